// The autojunk ratio against a direct port of difflib's popular-element rule, and extract and the
// joins against brute force over ratio_chars.
#include "search/search.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "ratio/ratio.hpp"
#include "reference.hpp"

namespace ratiokit {
namespace {

using reference::random_text;
using reference::text;

// difflib's find_longest_match over b2j without popular elements, then its extension loops
// (bjunk empty), and get_matching_blocks' recursion.
double autojunk_port(Text a, Text b) {
  if (a.size() + b.size() == 0) return 1.0;
  std::map<uint32_t, std::vector<size_t>> b2j;
  for (size_t j = 0; j < b.size(); ++j) b2j[b[j]].push_back(j);
  if (b.size() >= 200) {
    const size_t ntest = b.size() / 100 + 1;
    for (auto it = b2j.begin(); it != b2j.end();) {
      it = it->second.size() > ntest ? b2j.erase(it) : std::next(it);
    }
  }
  std::vector<WindowBounds> queue{{0, a.size(), 0, b.size()}};
  uint64_t m = 0;
  while (!queue.empty()) {
    const WindowBounds w = queue.back();
    queue.pop_back();
    size_t bi = w.alo, bj = w.blo, bk = 0;
    std::map<size_t, size_t> j2len;
    for (size_t i = w.alo; i < w.ahi; ++i) {
      std::map<size_t, size_t> next;
      const auto found = b2j.find(a[i]);
      if (found != b2j.end()) {
        for (size_t j : found->second) {
          if (j < w.blo) continue;
          if (j >= w.bhi) break;
          const auto prev = j > 0 ? j2len.find(j - 1) : j2len.end();
          const size_t k = next[j] = (prev == j2len.end() ? 0 : prev->second) + 1;
          if (k > bk) bi = i - k + 1, bj = j - k + 1, bk = k;
        }
      }
      j2len.swap(next);
    }
    while (bi > w.alo && bj > w.blo && a[bi - 1] == b[bj - 1]) --bi, --bj, ++bk;
    while (bi + bk < w.ahi && bj + bk < w.bhi && a[bi + bk] == b[bj + bk]) ++bk;
    if (bk == 0) continue;
    m += bk;
    if (w.alo < bi && w.blo < bj) queue.push_back({w.alo, bi, w.blo, bj});
    if (bi + bk < w.ahi && bj + bk < w.bhi) queue.push_back({bi + bk, w.ahi, bj + bk, w.bhi});
  }
  return ratio_from_m(m, a.size() + b.size());
}

TEST(Autojunk, AgreesWithThePortOfDifflib) {
  std::mt19937_64 rng(31);
  for (int round = 0; round < 400; ++round) {
    const uint32_t alphabet = 1 + round % 12;
    CodePoints b = random_text(rng, 600, alphabet);
    CodePoints a = round % 2 ? random_text(rng, 600, alphabet) : b;
    if (round % 2 == 0 && !a.empty()) a[rng() % a.size()] = 1;
    if (round % 5 == 0) {  // code points beyond ASCII take the remapped index
      for (auto& c : b) c += 0x400;
      for (auto& c : a) c += 0x400;
    }
    ASSERT_EQ(ratio_autojunk_chars(a, b), autojunk_port(a, b)) << round;
  }
  // Short b: exactly the plain ratio.
  EXPECT_EQ(ratio_autojunk_chars(text("abcd"), text("bcde")), 0.75);
}

TEST(Extract, BestFirstTiesByIndexAndCutoff) {
  std::mt19937_64 rng(37);
  std::vector<CodePoints> owned;
  for (int k = 0; k < 300; ++k) owned.push_back(random_text(rng, 20, 3 + k % 4));
  owned.push_back(owned[5]);  // a duplicate ties with its original
  std::vector<Text> choices(owned.begin(), owned.end());
  for (int q = 0; q < 20; ++q) {
    const CodePoints query = owned[static_cast<size_t>(q) * 7];
    std::vector<Scored> all;
    for (size_t k = 0; k < choices.size(); ++k) {
      all.push_back({k, ratio_chars(choices[k], query, DEFAULT_WORK_FACTOR)});
    }
    std::stable_sort(all.begin(), all.end(),
                     [](const Scored& x, const Scored& y) { return x.score > y.score; });
    for (const auto& [limit, cutoff] : {std::pair<size_t, double>{5, 0.0}, {1, 0.0}, {50, 0.6},
                                       {SIZE_MAX, 0.8}}) {
      std::vector<Scored> want;
      for (const Scored& s : all) {
        if (s.score >= cutoff && want.size() < limit) want.push_back(s);
      }
      const std::vector<Scored> got = extract_chars(query, choices, limit, cutoff, false, false);
      ASSERT_EQ(got.size(), want.size());
      for (size_t k = 0; k < got.size(); ++k) {
        EXPECT_EQ(got[k].index, want[k].index);
        EXPECT_EQ(got[k].score, want[k].score);
      }
    }
  }
}

// Prepared choices stored one, two or four bytes a code point, counted or not, and scanned on
// one thread or many, rank exactly as plain code-point choices do.
TEST(Extract, PreparedChoicesOfEveryWidthRankAsPlainOnes) {
  std::mt19937_64 rng(43);
  std::vector<CodePoints> owned;
  for (int k = 0; k < 400; ++k) {
    const uint32_t base = k % 3 == 0 ? 'a' : k % 3 == 1 ? 0xE0 : 0x4E00;
    owned.push_back(random_text(rng, k % 50 == 0 ? 400 : 40, 3 + k % 4, base));
  }
  owned.push_back(CodePoints(300, 'a'));  // a count past what the two-byte counts hold
  std::vector<Text> plain(owned.begin(), owned.end());
  std::vector<std::vector<uint8_t>> narrow;
  std::vector<std::vector<uint16_t>> half;
  std::vector<PackedText> packed;
  for (const CodePoints& t : owned) {
    const uint32_t top = t.empty() ? 0 : *std::max_element(t.begin(), t.end());
    if (top < 256) {
      narrow.emplace_back(t.begin(), t.end());
      packed.push_back({narrow.back().data(), t.size(), 1});
    } else {
      half.emplace_back(t.begin(), t.end());
      packed.push_back({half.back().data(), t.size(), 2});
    }
  }
  // (Moving the outer vectors keeps each inner buffer where it is, so the views stay valid.)
  for (const bool counted : {false, true}) {
    const ChoiceSet set = choice_set(packed, counted);
    for (int q = 0; q < 12; ++q) {
      const CodePoints query = q % 2 ? owned[static_cast<size_t>(q) * 31]
                                     : random_text(rng, q < 6 ? 60 : 150, 4, 'a');
      for (const auto& [limit, cutoff] : {std::pair<size_t, double>{5, 0.0}, {40, 0.3}}) {
        const std::vector<Scored> want = extract_chars(query, plain, limit, cutoff, false, false);
        const std::vector<Scored> got = extract_prepared(query, set, limit, cutoff, false, false);
        ASSERT_EQ(got.size(), want.size());
        for (size_t k = 0; k < got.size(); ++k) {
          EXPECT_EQ(got[k].index, want[k].index);
          EXPECT_EQ(got[k].score, want[k].score);
        }
      }
    }
    const std::vector<CodePoints> queries(owned.begin(), owned.begin() + 40);
    const auto many = extract_many(queries, set, 3, 0.0, false, false);
    for (size_t q = 0; q < queries.size(); ++q) {
      const std::vector<Scored> want = extract_chars(queries[q], plain, 3, 0.0, false, false);
      ASSERT_EQ(many[q].size(), want.size());
      for (size_t k = 0; k < want.size(); ++k) EXPECT_EQ(many[q][k].index, want[k].index);
    }
  }
}

// Checks a join's rows against every pair of left x right at the threshold, in order; `self`
// joins a list with itself, pairs i < j only.
void expect_join(const std::vector<RatioPair>& got, std::span<const CodePoints> left,
                 std::span<const CodePoints> right, double threshold, bool self) {
  size_t at = 0;
  for (size_t i = 0; i < left.size(); ++i) {
    for (size_t j = self ? i + 1 : 0; j < right.size(); ++j) {
      const double r = ratio_chars(left[i], right[j], DEFAULT_WORK_FACTOR);
      if (r < threshold) continue;
      ASSERT_LT(at, got.size());
      EXPECT_EQ(got[at].i, i);
      EXPECT_EQ(got[at].j, j);
      EXPECT_EQ(got[at].ratio, r);
      ++at;
    }
  }
  EXPECT_EQ(at, got.size());
}

TEST(Joins, EqualBruteForce) {
  std::mt19937_64 rng(41);
  std::vector<CodePoints> strings;
  for (int k = 0; k < 120; ++k) strings.push_back(random_text(rng, 12, 2 + k % 3));
  const std::span<const CodePoints> left(strings.data(), 50), right(strings.data() + 50, 70);
  // Lists apart in memory are copied into one; lists side by side are walked in place.
  const std::vector<CodePoints> apart_left(strings.begin() + 70, strings.end());
  const std::vector<CodePoints> apart_right(strings.begin(), strings.begin() + 70);
  for (double threshold : {0.0, 0.5, 0.8, 1.0}) {
    expect_join(self_join_chars(strings, threshold), strings, strings, threshold, true);
    expect_join(ratio_join_chars(left, right, threshold), left, right, threshold, false);
    expect_join(ratio_join_chars(apart_left, apart_right, threshold), apart_left, apart_right,
                threshold, false);
  }
}

// Shards of a join concatenated and sorted are the whole join: every pair in exactly one shard,
// each shard's rows already in order, for self and two-sided joins.
TEST(Joins, ShardsTogetherAreTheWholeJoin) {
  std::mt19937_64 rng(43);
  std::vector<CodePoints> strings;
  for (int k = 0; k < 150; ++k) strings.push_back(random_text(rng, 14, 2 + k % 3));
  auto by_pair = [](const RatioPair& x, const RatioPair& y) {
    return x.i != y.i ? x.i < y.i : x.j < y.j;
  };
  for (size_t split : {size_t{0}, size_t{60}}) {
    for (double threshold : {0.0, 0.6, 1.0}) {
      const std::vector<RatioPair> want =
          split == 0 ? self_join_chars(strings, threshold)
                     : ratio_join_chars(std::span<const CodePoints>(strings).first(split),
                                        std::span<const CodePoints>(strings).subspan(split),
                                        threshold);
      for (size_t shards : {size_t{1}, size_t{4}, size_t{200}}) {
        std::vector<RatioPair> got;
        for (size_t s = 0; s < shards; ++s) {
          const std::vector<RatioPair> part = join_shard_chars(strings, split, threshold, s, shards);
          EXPECT_TRUE(std::is_sorted(part.begin(), part.end(), by_pair));
          got.insert(got.end(), part.begin(), part.end());
        }
        std::sort(got.begin(), got.end(), by_pair);
        ASSERT_EQ(got.size(), want.size()) << split << " " << threshold << " " << shards;
        for (size_t k = 0; k < want.size(); ++k) {
          EXPECT_EQ(got[k].i, want[k].i);
          EXPECT_EQ(got[k].j, want[k].j);
          EXPECT_EQ(got[k].ratio, want[k].ratio);
        }
      }
    }
  }
}

}  // namespace
}  // namespace ratiokit
