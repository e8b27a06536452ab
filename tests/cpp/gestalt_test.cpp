#include "gestalt/gestalt.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "reference.hpp"

namespace ratiokit {
namespace {

using reference::random_text;
using reference::text;

// Every state's range nests inside its link's, holds exactly the state's end positions and
// starts with its own position when primary.
void check_invariants(const Sam& sam, Text t) {
  const size_t n = t.size();
  const size_t states = sam.states.size();
  ASSERT_LE(states, 2 * n + 1);
  ASSERT_EQ(sam.end_positions.size(), n);
  EXPECT_EQ(sam.states[0].occ_count, n);
  std::vector<uint32_t> root(sam.end_positions);
  std::sort(root.begin(), root.end());
  for (size_t p = 0; p < n; ++p) ASSERT_EQ(root[p], p);
  for (size_t s = 1; s < states; ++s) {
    const StateInfo& st = sam.states[s];
    const StateInfo& up = sam.states[st.link];
    ASSERT_GT(st.len, st.link_len);
    ASSERT_EQ(st.link_len, up.len);
    ASSERT_GE(st.occ_start, up.occ_start);
    ASSERT_LE(st.occ_start + st.occ_count, up.occ_start + up.occ_count);
    ASSERT_GT(st.occ_count, 0u);
    const uint32_t* r = sam.end_positions.data() + st.occ_start;
    EXPECT_EQ(*std::min_element(r, r + st.occ_count), st.first_end);
    EXPECT_EQ(*std::max_element(r, r + st.occ_count), st.last_end);
    // Every end position really ends an occurrence of the state's longest string... or at
    // least of its shortest one, which every end position must carry.
    const size_t shortest = st.link_len + 1;
    const size_t e0 = st.first_end;
    for (uint32_t k = 0; k < st.occ_count; ++k) {
      ASSERT_GE(r[k] + 1, shortest);
      for (size_t d = 0; d < shortest; ++d) ASSERT_EQ(t[r[k] - d], t[e0 - d]);
    }
    std::vector<uint32_t> want(r, r + st.occ_count);
    std::sort(want.begin(), want.end());
    if (st.sorted_offset != NO_SORTED) {
      ASSERT_GE(st.occ_count, INDEXED_OCC_MIN);
      ASSERT_LE(st.sorted_offset + st.occ_count, sam.sorted_positions.size());
      ASSERT_TRUE(std::equal(want.begin(), want.end(),
                             sam.sorted_positions.begin() + st.sorted_offset));
    } else if (st.occ_count >= INDEXED_OCC_MIN) {
      // The index returns the range's end positions in ascending order.
      ASSERT_EQ(sam.end_index.size, n);
      for (uint32_t k = 0; k < st.occ_count; k += 1 + st.occ_count / 16) {
        ASSERT_EQ(wavelet_kth(sam.end_index, st.occ_start, st.occ_start + st.occ_count, k),
                  want[k]);
      }
    }
    for (uint32_t e = sam.scan[s].edge_start; e + 1 < sam.scan[s].edge_end; ++e) {
      ASSERT_LT(sam.edges[e], sam.edges[e + 1]);
    }
  }
  for (size_t p = 0; p < n; ++p) {
    EXPECT_EQ(sam.states[sam.prefix_state[p]].len, p + 1);
  }
  // Heavy paths exactly when the text is long enough and some link chain is deep.
  uint32_t deepest = 0;
  for (size_t s = 1; s < states; ++s) {
    uint32_t depth = 0;
    for (uint32_t t = static_cast<uint32_t>(s); t != 0; t = sam.states[t].link) ++depth;
    deepest = std::max(deepest, depth);
  }
  if (n < PATHS_MIN_LEN || deepest <= PATHS_MIN_DEPTH) {
    EXPECT_TRUE(sam.path_slot.empty()) << n << " " << deepest;
    return;
  }
  // Heavy paths partition the states; along a path each state's link is its predecessor.
  ASSERT_EQ(sam.heavy_paths.size(), states);
  std::vector<bool> seen(states, false);
  for (size_t q = 0; q < states; ++q) {
    const uint32_t s = sam.heavy_paths[q];
    ASSERT_FALSE(seen[s]);
    seen[s] = true;
    const PathSlot slot = sam.path_slot[s];
    ASSERT_EQ(slot.pos, q);
    ASSERT_LE(slot.top, q);
    if (slot.top < q) {
      ASSERT_EQ(sam.path_slot[sam.heavy_paths[q - 1]].top, slot.top);
      ASSERT_EQ(sam.states[s].link, sam.heavy_paths[q - 1]);
    } else if (s != 0) {
      // A path's top is a light child: its link's path continues with another child.
      const uint32_t up = sam.states[s].link;
      const PathSlot up_slot = sam.path_slot[up];
      ASSERT_TRUE(up_slot.pos + 1 < states &&
                  sam.path_slot[sam.heavy_paths[up_slot.pos + 1]].top == up_slot.top);
    }
  }
}

TEST(GestaltSam, EmptyAndSmallTexts) {
  const Sam empty = build_sam({});
  EXPECT_EQ(empty.states.size(), 1u);
  EXPECT_TRUE(empty.edges.empty());
  EXPECT_TRUE(empty.prefix_state.empty());
  EXPECT_TRUE(empty.end_positions.empty());
  for (int32_t v : empty.root_ascii) EXPECT_EQ(v, -1);

  const CodePoints abab = text("abab");
  const Sam sam = build_sam(abab);
  check_invariants(sam, abab);
  const int64_t a = sam_next(sam, 0, 'a');
  const int64_t ab = sam_next(sam, a, 'b');
  ASSERT_GE(ab, 0);
  EXPECT_EQ(sam_next(sam, 0, 'b'), ab);  // "b" shares the state of "ab"
  EXPECT_EQ(sam.states[ab].occ_count, 2u);
  EXPECT_EQ(sam.states[ab].first_end, 1u);
  EXPECT_EQ(sam.states[ab].last_end, 3u);
  EXPECT_EQ(sam_next(sam, 0, 'c'), -1);
}

TEST(GestaltSam, InvariantsOnRandomAndRepetitiveTexts) {
  std::mt19937_64 rng(7);
  for (int round = 0; round < 300; ++round) {
    const CodePoints t = random_text(rng, 60, 1 + round % 5);
    check_invariants(build_sam(t), t);
  }
  // Runs and periodic texts: up to n^2 / 2 end positions over all states, and link chains as
  // long as the text; sizes on both sides of the indexing and heavy-path thresholds.
  for (const size_t n : {size_t{256}, size_t{257}, size_t{300}, size_t{511}, size_t{512},
                         size_t{640}}) {
    const CodePoints run(n, 'x');
    const Sam sam = build_sam(run);
    check_invariants(sam, run);
    EXPECT_EQ(sam.states.size(), n + 1);
    EXPECT_EQ(!sam.path_slot.empty(), n >= PATHS_MIN_LEN) << n;  // its link chain is n deep
    // x^k has n - k + 1 end positions: ranges from 257 on are searched, in sorted copies while
    // their budget of 4n lasts (from the longest strings down) and through the index after.
    size_t copied = 0, indexed = 0;
    for (const StateInfo& st : sam.states) {
      copied += st.sorted_offset != NO_SORTED;
      indexed += st.sorted_offset == NO_SORTED && st.occ_count >= INDEXED_OCC_MIN && st.len > 0;
    }
    EXPECT_LE(sam.sorted_positions.size(), SORTED_COPY_BUDGET * n);
    if (n >= 300) {
      EXPECT_GT(copied, 0u) << n;
      EXPECT_GT(indexed, 0u) << n;
    }
    EXPECT_EQ(sam.end_index.size, indexed > 0 ? n : 0u) << n;
    CodePoints periodic(n);
    for (size_t i = 0; i < n; ++i) periodic[i] = "abc"[i % 3];
    check_invariants(build_sam(periodic), periodic);
  }
  // Ordinary text has a shallow link tree: no paths to build, whatever its length.
  const CodePoints text = random_text(rng, 5000, 26);
  const Sam sam = build_sam(text);
  check_invariants(sam, text);
  EXPECT_TRUE(sam.path_slot.empty());
}

TEST(GestaltSam, WideAlphabetsUseSortedRuns) {
  CodePoints t;
  for (uint32_t c = 0; c < 40; ++c) t.push_back(0x4E00 + c * 7);
  t.push_back(0x1F600);
  t.push_back('a');
  const Sam sam = build_sam(t);
  check_invariants(sam, t);
  for (uint32_t c : t) EXPECT_GE(sam_next(sam, 0, c), 0);
  EXPECT_EQ(sam_next(sam, 0, 0x4E01), -1);
  EXPECT_EQ(sam.root_ascii['a'], sam_next(sam, 0, 'a'));
}

TEST(GestaltSam, BuilderReuseGivesIdenticalAutomata) {
  std::mt19937_64 rng(11);
  const CodePoints big = random_text(rng, 5000, 3);
  const CodePoints small = text("mississippi");
  (void)build_sam(big);
  const Sam reused = build_sam(small);
  Sam fresh;
  std::thread([&] { fresh = build_sam(small); }).join();
  EXPECT_EQ(reused.edges, fresh.edges);
  EXPECT_EQ(reused.prefix_state, fresh.prefix_state);
  EXPECT_EQ(reused.end_positions, fresh.end_positions);
  ASSERT_EQ(reused.states.size(), fresh.states.size());
  for (size_t s = 0; s < reused.states.size(); ++s) {
    EXPECT_EQ(std::memcmp(&reused.states[s], &fresh.states[s], sizeof(StateInfo)), 0);
    EXPECT_EQ(std::memcmp(&reused.scan[s], &fresh.scan[s], sizeof(ScanSlot)), 0);
  }
}

TEST(GestaltMatch, MatchingStatisticsAreLongestSuffixes) {
  std::mt19937_64 rng(3);
  MatchStats ms;
  for (int round = 0; round < 200; ++round) {
    const CodePoints a = random_text(rng, 40, 3);
    const CodePoints b = random_text(rng, 40, 3);
    const Sam sam = build_sam(b);
    matching_stats_into(a, sam, ms);
    for (size_t x = 0; x < a.size(); ++x) {
      size_t want = 0;
      for (size_t l = 1; l <= x + 1; ++l) {
        bool found = false;
        for (size_t e = l - 1; e < b.size() && !found; ++e) {
          found = std::equal(a.begin() + (x + 1 - l), a.begin() + x + 1, b.begin() + (e + 1 - l));
        }
        if (found) want = l;
      }
      ASSERT_EQ(ms.len[x], want);
    }
    const uint32_t most = a.empty() ? 0 : *std::max_element(ms.len.begin(), ms.len.end());
    MatchStats bounded;
    EXPECT_EQ(matching_stats_bounded(a, sam, bounded, most + 1), false);
    if (most > 0) {
      EXPECT_EQ(matching_stats_bounded(a, sam, bounded, most), true);
    }
  }
}

TEST(GestaltMatch, LongestInAgreesWithBruteForceOnRandomWindows) {
  std::mt19937_64 rng(5);
  MatchStats ms;
  std::vector<uint32_t> cap;
  for (int round = 0; round < 3000; ++round) {
    const uint32_t alphabet = 1 + round % 4;
    const CodePoints a = random_text(rng, 50, alphabet);
    const CodePoints b = random_text(rng, 50, alphabet);
    if (a.empty() || b.empty()) continue;
    const Sam sam = build_sam(b);
    matching_stats_into(a, sam, ms);
    std::uniform_int_distribution<size_t> pa(0, a.size()), pb(0, b.size());
    size_t alo = pa(rng), ahi = pa(rng), blo = pb(rng), bhi = pb(rng);
    if (alo > ahi) std::swap(alo, ahi);
    if (blo > bhi) std::swap(blo, bhi);
    // Windows of exactly 8 and 9 elements sit on both sides of the direct programme.
    if (round % 3 == 0 && b.size() >= 9) {
      blo = std::min(blo, b.size() - 9);
      bhi = blo + 8 + round % 2;
    }
    cap.assign(a.size(), NO_CHAR);
    const Match got = longest_in(a, b, sam, ms, cap, alo, ahi, blo, bhi);
    const Match want = reference::longest_block(a, b, alo, ahi, blo, bhi);
    ASSERT_EQ(got.k, want.k) << round;
    if (want.k > 0) {
      ASSERT_EQ(got.i, want.i) << round;
      ASSERT_EQ(got.j, want.j) << round;
    }
  }
}

TEST(GestaltMatch, TieBreaksAndCutBlocks) {
  const CodePoints a = text("abxab");
  const CodePoints b = text("abzzzzzzzzzab");
  const Sam sam = build_sam(b);
  MatchStats ms;
  matching_stats_into(a, sam, ms);
  std::vector<uint32_t> cap(a.size(), NO_CHAR);
  Match m = longest_in(a, b, sam, ms, cap, 0, a.size(), 0, b.size());
  EXPECT_EQ(m.i, 0u);
  EXPECT_EQ(m.j, 0u);
  EXPECT_EQ(m.k, 2u);
  // A window starting inside the only occurrence of "xyzw" cuts it to "yzw".
  const CodePoints c = text("xyzw");
  const CodePoints d = text("qqqqqqqqxyzwqqqqqqqq");
  const Sam sam_d = build_sam(d);
  MatchStats ms_c;
  matching_stats_into(c, sam_d, ms_c);
  std::vector<uint32_t> cap_c(c.size(), NO_CHAR);
  m = longest_in(c, d, sam_d, ms_c, cap_c, 0, c.size(), 9, d.size());
  EXPECT_EQ(m.k, 3u);
  EXPECT_EQ(m.i, 1u);
  EXPECT_EQ(m.j, 9u);
  cap.assign(a.size(), NO_CHAR);
  EXPECT_EQ(longest_in(a, b, sam, ms, cap, 3, 3, 0, b.size()).k, 0u);
}

TEST(GestaltRatio, MatchesDifflibPortOnRandomPairs) {
  std::mt19937_64 rng(17);
  for (int round = 0; round < 4000; ++round) {
    const uint32_t alphabet = 1 + round % 6;
    const uint32_t base = round % 7 == 0 ? 0x1F600 : 'a';
    const CodePoints a = random_text(rng, 80, alphabet, base);
    const CodePoints b = random_text(rng, 80, alphabet, base);
    ASSERT_EQ(gestalt_ratio_chars(a, b), reference::ratio(a, b)) << round;
  }
}

// Windows over runs and periodic texts long enough for the end-position index and the heavy-path
// search, against the dynamic-programming reference.
TEST(GestaltMatch, LongestInOnRepetitiveTexts) {
  std::mt19937_64 rng(23);
  MatchStats ms;
  std::vector<uint32_t> cap;
  for (int round = 0; round < 60; ++round) {
    const size_t la = 300 + rng() % 900, lb = 520 + rng() % 900;
    const uint32_t period = 1 + round % 4;
    CodePoints a(la), b(lb);
    for (size_t i = 0; i < la; ++i) a[i] = 'a' + (i + round) % period;
    for (size_t j = 0; j < lb; ++j) b[j] = 'a' + j % period;
    // A few edits cut the runs into pieces of different lengths on both sides.
    for (int e = 0; e < round % 5; ++e) a[rng() % la] = 'z';
    for (int e = 0; e < round % 3; ++e) b[rng() % lb] = 'y' - e % 2;
    const Sam sam = build_sam(b);
    matching_stats_into(a, sam, ms);
    cap.assign(la, NO_CHAR);
    for (int w = 0; w < 6; ++w) {
      size_t alo = rng() % la, ahi = rng() % (la + 1), blo = rng() % lb, bhi = rng() % (lb + 1);
      if (w == 0) alo = 0, ahi = la, blo = 0, bhi = lb;
      if (alo > ahi) std::swap(alo, ahi);
      if (blo > bhi) std::swap(blo, bhi);
      // A fresh cap per window: caps are only valid for windows nested in the one that set them.
      cap.assign(la, NO_CHAR);
      const Match got = longest_in(a, b, sam, ms, cap, alo, ahi, blo, bhi);
      const Match want = reference::longest_block_dp(a, b, alo, ahi, blo, bhi);
      ASSERT_EQ(got.k, want.k) << round << " " << w;
      if (want.k > 0) {
        ASSERT_EQ(got.i, want.i) << round << " " << w;
        ASSERT_EQ(got.j, want.j) << round << " " << w;
      }
    }
    const uint64_t m = reference::matching_count_with(a, b, reference::longest_block_dp);
    ASSERT_EQ(gestalt_ratio_chars(a, b), ratio_from_m(m, la + lb)) << round;
  }
}

TEST(GestaltRatio, LongRunsWithManyOccurrences) {
  CodePoints a(700, 'a'), b(700, 'a');
  a[350] = 'b';
  b[123] = 'c';
  EXPECT_EQ(gestalt_ratio_chars(a, b), reference::ratio(a, b));
  EXPECT_EQ(gestalt_ratio_chars(a, a), 1.0);
  EXPECT_EQ(gestalt_ratio_chars({}, {}), 1.0);
  EXPECT_EQ(gestalt_ratio_chars(a, {}), 0.0);
  EXPECT_EQ(gestalt_ratio_chars({}, b), 0.0);
}

// Long runs, where every state has up to n end positions (n^2 / 2 in all), more than a 32-bit
// offset into sorted copies of them could address. M has a closed form: for x^n against x^n with
// position p replaced, the longer side of p wins and is matched from a's start, so M is n - 1
// when the left side is at least as long, and the right side's length otherwise.
TEST(GestaltRatio, LongRunsMatchTheirClosedForm) {
  for (const size_t n : {size_t{1000}, size_t{70000}, size_t{300000}}) {
    const CodePoints run(n, 'a');
    CodePoints longer = run;
    longer.push_back('b');
    EXPECT_EQ(gestalt_ratio_chars(run, longer), ratio_from_m(n, 2 * n + 1)) << n;
    for (const size_t p : {size_t{0}, n / 3, n / 2, n - 1}) {
      CodePoints edited = run;
      edited[p] = 'c';
      const size_t m = p >= n - p - 1 ? n - 1 : n - p - 1;
      EXPECT_EQ(gestalt_ratio_chars(run, edited), ratio_from_m(m, 2 * n)) << n << " " << p;
    }
  }
}

}  // namespace
}  // namespace ratiokit
