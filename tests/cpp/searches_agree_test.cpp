// Every longest-match search (bit-parallel masks, difflib's b2j index, the suffix automaton)
// under every stopping rule (exact count, need, cap, both), the threshold tests and cutoffs
// built on them, and the dispatcher, held against a plain port of difflib and against each
// other on one shared set of inputs: sizes around the 64- and 256-code-point boundaries, ties
// between equally long blocks and at the length bound, runs, periodic texts, and triples of
// texts that share automata and per-thread scratch.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "cluster/cluster.hpp"
#include "gestalt/b2j.hpp"
#include "gestalt/gestalt.hpp"
#include "ratio/ratio.hpp"
#include "reference.hpp"
#include "search/search.hpp"

namespace ratiokit {
namespace {

constexpr double INF = std::numeric_limits<double>::infinity();

// difflib's find_longest_match and get_matching_blocks with isjunk=None and autojunk=False,
// line by line: b2j maps each element to its ascending positions, j2len holds the lengths of
// the runs ending on the previous row.
namespace naive {

using B2j = std::map<uint32_t, std::vector<size_t>>;

Match find_longest_match(Text a, Text b, const B2j& b2j, size_t alo, size_t ahi, size_t blo,
                         size_t bhi) {
  size_t besti = alo, bestj = blo, bestsize = 0;
  std::map<size_t, size_t> j2len;
  for (size_t i = alo; i < ahi; ++i) {
    std::map<size_t, size_t> newj2len;
    const auto found = b2j.find(a[i]);
    if (found != b2j.end()) {
      for (const size_t j : found->second) {
        if (j < blo) continue;
        if (j >= bhi) break;
        const auto prev = j > 0 ? j2len.find(j - 1) : j2len.end();
        const size_t k = newj2len[j] = (prev == j2len.end() ? 0 : prev->second) + 1;
        if (k > bestsize) {
          besti = i - k + 1;
          bestj = j - k + 1;
          bestsize = k;
        }
      }
    }
    j2len = std::move(newj2len);
  }
  // difflib's extension loops; with nothing junk they cannot grow a longest block, but they
  // are part of the function ported.
  while (besti > alo && bestj > blo && a[besti - 1] == b[bestj - 1]) {
    --besti;
    --bestj;
    ++bestsize;
  }
  while (besti + bestsize < ahi && bestj + bestsize < bhi &&
         a[besti + bestsize] == b[bestj + bestsize]) {
    ++bestsize;
  }
  return Match{besti, bestj, bestsize};
}

std::vector<Match> matching_blocks(Text a, Text b) {
  B2j b2j;
  for (size_t j = 0; j < b.size(); ++j) b2j[b[j]].push_back(j);
  std::vector<WindowBounds> queue{{0, a.size(), 0, b.size()}};
  std::vector<Match> blocks;
  while (!queue.empty()) {
    const WindowBounds w = queue.back();
    queue.pop_back();
    const Match x = find_longest_match(a, b, b2j, w.alo, w.ahi, w.blo, w.bhi);
    if (x.k == 0) continue;
    blocks.push_back(x);
    if (w.alo < x.i && w.blo < x.j) queue.push_back({w.alo, x.i, w.blo, x.j});
    if (x.i + x.k < w.ahi && x.j + x.k < w.bhi) {
      queue.push_back({x.i + x.k, w.ahi, x.j + x.k, w.bhi});
    }
  }
  return blocks;
}

uint64_t matching_count(Text a, Text b) {
  uint64_t m = 0;
  for (const Match& x : matching_blocks(a, b)) m += x.k;
  return m;
}

}  // namespace naive

struct Case {
  std::string name;
  CodePoints a, b;
};

CodePoints repeat(const char* period, size_t n, size_t shift = 0) {
  const size_t p = std::strlen(period);
  CodePoints out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<unsigned char>(period[(i + shift) % p]);
  return out;
}

CodePoints fixed_text(std::mt19937_64& rng, size_t n, uint32_t alphabet, uint32_t base = 'a') {
  CodePoints out(n);
  for (auto& c : out) c = base + static_cast<uint32_t>(rng() % alphabet);
  return out;
}

CodePoints concat(std::initializer_list<CodePoints> parts) {
  CodePoints out;
  for (const CodePoints& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// Lengths on both sides of one mask word (64) and of the masks' column limit (256).
constexpr size_t BOUNDARY_LENGTHS[] = {0, 1, 2, 63, 64, 65, 127, 128, 129, 255, 256, 257, 300};

std::vector<Case> boundary_cases() {
  std::mt19937_64 rng(41);
  std::vector<Case> out;
  const uint32_t alphabets[] = {2, 4, 26};
  size_t n = 0;
  for (const size_t la : BOUNDARY_LENGTHS) {
    for (const size_t lb : BOUNDARY_LENGTHS) {
      const uint32_t alphabet = alphabets[n++ % 3];
      const CodePoints a = fixed_text(rng, la, alphabet);
      CodePoints b = fixed_text(rng, lb, alphabet);
      // Half the pairs are near-copies, so that long blocks cross the word boundaries.
      if (n % 2 == 0) {
        for (size_t j = 0; j < std::min(la, lb); ++j) {
          if (rng() % 9 != 0) b[j] = a[j];
        }
      }
      out.push_back({"sizes " + std::to_string(la) + "x" + std::to_string(lb), a, b});
    }
  }
  return out;
}

std::vector<Case> tie_cases() {
  std::mt19937_64 rng(43);
  std::vector<Case> out;
  for (const size_t k : {1, 3, 8, 63, 64, 65, 127, 128}) {
    const CodePoints x = fixed_text(rng, k, 26), y = fixed_text(rng, k, 26);
    const CodePoints sep = reference::text("#"), other = reference::text("$");
    // Two equally long blocks, in opposite orders: difflib keeps the one earliest in a.
    const std::string size = std::to_string(k);
    out.push_back({"two equal blocks " + size, concat({x, sep, y}), concat({y, other, x})});
    // One block twice in b: the earliest in b.
    out.push_back({"repeated block " + size, x, concat({x, other, x})});
    out.push_back({"repeated block in a " + size, concat({x, sep, x}), x});
    // A unique centre with equally wide windows on both sides: the two windows tie on their
    // length bound.
    const CodePoints centre = reference::text("0123456789");
    out.push_back({"equal windows " + size, concat({x, centre, y}), concat({y, centre, x})});
  }
  // Short texts over two to four letters: ties at every turn.
  for (int round = 0; round < 600; ++round) {
    const uint32_t alphabet = 2 + round % 3;
    const size_t longest = round % 5 == 0 ? 300 : 70;
    out.push_back({"small alphabet " + std::to_string(round),
                   reference::random_text(rng, longest, alphabet),
                   reference::random_text(rng, 70, alphabet)});
  }
  return out;
}

std::vector<Case> repetitive_cases() {
  std::mt19937_64 rng(47);
  std::vector<Case> out;
  const char* const periods[] = {"a", "ab", "ac", "abcd", "aab", "abc", "ba", "aabb"};
  for (const size_t n : {63, 64, 65, 255, 256, 257, 600}) {
    out.push_back({"runs " + std::to_string(n), CodePoints(n, 'a'), CodePoints(n / 2 + 1, 'a')});
  }
  for (int round = 0; round < 32; ++round) {
    const char* pa = periods[rng() % 8];
    const char* pb = periods[rng() % 8];
    const size_t la = (round % 4 == 0 ? 40 : 150) + rng() % 300, lb = 60 + rng() % 300;
    CodePoints a = repeat(pa, la), b = repeat(pb, lb, round);
    for (int e = 0; e < round % 3; ++e) b[rng() % lb] = 'x';
    if (round % 5 == 1) a[rng() % la] = 0x1F600;
    // Stretches of b copied into a: longer blocks far into windows, past stretches of a that
    // can only give shorter ones.
    for (int e = 0; e < round % 4; ++e) {
      const size_t k = std::min<size_t>({4 + rng() % 40, la, lb});
      const size_t from = rng() % (lb - k + 1), to = rng() % (la - k + 1);
      std::copy(b.begin() + static_cast<ptrdiff_t>(from),
                b.begin() + static_cast<ptrdiff_t>(from + k),
                a.begin() + static_cast<ptrdiff_t>(to));
    }
    out.push_back({std::string("periodic ") + pa + "/" + pb + " " + std::to_string(round), a, b});
  }
  return out;
}

// Beyond ASCII, where b2j does not apply and the automaton leaves its root table.
std::vector<Case> wide_cases() {
  std::mt19937_64 rng(53);
  std::vector<Case> out;
  for (int round = 0; round < 60; ++round) {
    const uint32_t base = round % 2 == 0 ? 0x3B1 : 0x1F600;
    const uint32_t alphabet = 2 + round % 5;
    out.push_back({"wide " + std::to_string(round),
                   fixed_text(rng, 1 + rng() % 300, alphabet, base),
                   fixed_text(rng, 1 + rng() % 300, alphabet, base)});
  }
  return out;
}

bool all_ascii(Text t) {
  return std::all_of(t.begin(), t.end(), [](uint32_t c) { return c < 128; });
}

const char* outcome_name(Outcome o) {
  switch (o) {
    case Outcome::exact:
      return "exact";
    case Outcome::reached_cap:
      return "reached_cap";
    case Outcome::short_of_need:
      return "short_of_need";
  }
  return "?";
}

// The searches that apply to a pair, each as a count under a stopping rule.
struct Searches {
  Text a, b;
  Sam sam_b;
  MatchStats ms;
  std::array<uint32_t, 128> counts_b{};

  Searches(Text a_, Text b_) : a(a_), b(b_), sam_b(build_sam(b_)) {
    matching_stats_into(a, sam_b, ms);
    if (all_ascii(b)) counts_b = ascii_counts(b).count;
  }

  std::vector<std::pair<const char*, GestaltCount>> counts(StopRule rule) {
    std::vector<std::pair<const char*, GestaltCount>> out;
    out.emplace_back("automaton", gestalt_count_sam(a, b, sam_b, ms, rule));
    if (std::min(a.size(), b.size()) <= BITS_MAX_COLS) {
      out.emplace_back("bits", gestalt_count_bits(a, b, rule));
    }
    if (all_ascii(a) && all_ascii(b)) {
      out.emplace_back("b2j", gestalt_count_b2j(a, b, counts_b, rule));
    }
    return out;
  }
};

// What a rule must give for a pair whose exact count is m. With m below need and at or above
// cap either stop is right; otherwise the outcome is fixed, and the count is m when exact.
void expect_rule(const Case& c, uint64_t m, StopRule rule, const char* search, GestaltCount got) {
  const auto where = [&] {
    return c.name + " search=" + search + " need=" + std::to_string(rule.need) +
           " cap=" + std::to_string(rule.cap) + " M=" + std::to_string(m) + " got " +
           outcome_name(got.outcome) + " " + std::to_string(got.m);
  };
  const bool reach = m >= rule.cap, fall_short = m < rule.need;
  if (reach && fall_short) {
    ASSERT_NE(got.outcome, Outcome::exact) << where();
  } else if (reach) {
    ASSERT_EQ(got.outcome, Outcome::reached_cap) << where();
  } else if (fall_short) {
    ASSERT_EQ(got.outcome, Outcome::short_of_need) << where();
  } else {
    ASSERT_EQ(got.outcome, Outcome::exact) << where();
  }
  if (got.outcome == Outcome::exact) {
    ASSERT_EQ(got.m, m) << where();
  }
  if (got.outcome == Outcome::reached_cap) {
    ASSERT_GE(got.m, rule.cap) << where();
    ASSERT_LE(got.m, m) << where();
  }
  if (got.outcome == Outcome::short_of_need) {
    ASSERT_LE(got.m, m) << where();
  }
}

// Every search under every stopping rule with need and cap at, just below and just above the
// pair's count, against the port and against each other (the searches share the recursion, so
// equal blocks give equal counts even where a rule stops early).
void check_searches(const Case& c, uint64_t m) {
  Searches s(c.a, c.b);
  std::vector<StopRule> rules{StopRule{}};
  for (const uint64_t v : {m > 0 ? m - 1 : 0, m, m + 1}) {
    rules.push_back(StopRule{v});
    rules.push_back(StopRule{0, v});
    rules.push_back(StopRule{v, v});
    rules.push_back(StopRule{v, m + 1});
    rules.push_back(StopRule{m + 1, v});
  }
  for (const StopRule rule : rules) {
    const auto counts = s.counts(rule);
    for (const auto& [search, got] : counts) {
      expect_rule(c, m, rule, search, got);
      const GestaltCount& first = counts.front().second;
      ASSERT_TRUE(got.m == first.m && got.outcome == first.outcome)
          << c.name << ": " << search << " and automaton differ under need=" << rule.need
          << " cap=" << rule.cap;
    }
  }
}

// The threshold tests, the capped ratio and the dispatcher, at the pair's own ratio and its
// neighbours, where a ratio equal to the threshold must pass and one a bit above must not.
void check_threshold_tests(const Case& c, uint64_t m) {
  const Text a = c.a, b = c.b;
  const size_t total = a.size() + b.size();
  const double r = total == 0 ? 1.0 : ratio_from_m(m, total);
  const Sam sam_b = build_sam(b);
  for (const double t : {r, std::nextafter(r, INF), std::nextafter(r, -INF),
                         total == 0 || m == 0 ? 0.0 : ratio_from_m(m - 1, total),
                         total == 0 ? 1.0 : ratio_from_m(m + 1, total)}) {
    const bool reaches = total == 0 || r >= t;
    ASSERT_EQ(gestalt_ratio_reaches(a, b, sam_b, t).has_value(), reaches)
        << c.name << " t=" << t;
    const std::optional<double> edge = gestalt_ratio_at_least(a, b, sam_b, t);
    ASSERT_EQ(edge.has_value(), reaches) << c.name << " t=" << t;
    if (edge) {
      ASSERT_EQ(*edge, r) << c.name;
    }
    const std::optional<double> capped = gestalt_ratio_at_most(a, b, sam_b, t);
    ASSERT_EQ(capped.has_value(), r <= t) << c.name << " cap=" << t;
    if (capped) {
      ASSERT_EQ(*capped, r) << c.name;
    }
  }
  if (!a.empty() && !b.empty()) {
    for (const uint64_t cap : {m > 0 ? m - 1 : 0, m, m + 1}) {
      ASSERT_EQ(gestalt_ratio_below_count(a, b, sam_b, cap),
                m >= cap ? std::nullopt : std::optional<double>(r))
          << c.name << " cap=" << cap;
    }
  }
  for (const uint64_t factor : {uint64_t{0}, DEFAULT_WORK_FACTOR, UINT64_MAX}) {
    ASSERT_EQ(ratio_chars(a, b, factor), r) << c.name << " factor=" << factor;
  }
  for (const Search search : {Search::bits, Search::b2j, Search::automaton}) {
    if (search_applies(search, a, b)) {
      ASSERT_EQ(ratio_by(a, b, search), r) << c.name << " search=" << static_cast<int>(search);
    }
  }
  if (b.size() < AUTOJUNK_MIN_LEN) {
    ASSERT_EQ(ratio_autojunk_chars(a, b), r) << c.name;
  }
}

void check_all(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    const uint64_t m = naive::matching_count(c.a, c.b);
    ASSERT_NO_FATAL_FAILURE(check_searches(c, m));
    ASSERT_NO_FATAL_FAILURE(check_threshold_tests(c, m));
    // Swapped roles: the index, masks and automaton are built on the other text.
    const Case swapped{c.name + " (swapped)", c.b, c.a};
    ASSERT_NO_FATAL_FAILURE(check_searches(swapped, naive::matching_count(c.b, c.a)));
  }
}

TEST(SearchesAgree, TheNaivePortIsDifflib) {
  // Hand-checked against difflib.SequenceMatcher(None, a, b, autojunk=False).
  const auto blocks = [](const char* a, const char* b) {
    std::vector<std::tuple<size_t, size_t, size_t>> out;
    for (const Match& x : naive::matching_blocks(reference::text(a), reference::text(b))) {
      out.emplace_back(x.i, x.j, x.k);
    }
    std::sort(out.begin(), out.end());
    return out;
  };
  using Blocks = std::vector<std::tuple<size_t, size_t, size_t>>;
  EXPECT_EQ(blocks("abxcd", "abcd"), (Blocks{{0, 0, 2}, {3, 2, 2}}));
  EXPECT_EQ(blocks("ab", "ba"), (Blocks{{0, 1, 1}}));
  EXPECT_EQ(blocks("abcab", "ab"), (Blocks{{0, 0, 2}}));
  EXPECT_EQ(blocks("xab", "abxab"), (Blocks{{0, 2, 3}}));
  EXPECT_EQ(naive::matching_count(reference::text("private Thread currentThread;"),
                                  reference::text("private volatile Thread currentThread;")),
            29u);
  // Against the brute-force twin on small random pairs.
  std::mt19937_64 rng(59);
  for (int round = 0; round < 2000; ++round) {
    const CodePoints a = reference::random_text(rng, 30, 1 + round % 4);
    const CodePoints b = reference::random_text(rng, 30, 1 + round % 4);
    ASSERT_EQ(naive::matching_count(a, b), reference::matching_count(a, b)) << round;
  }
}

TEST(SearchesAgree, SizesAroundTheMaskBoundaries) { check_all(boundary_cases()); }

TEST(SearchesAgree, TiedBlocksAndTiedBounds) { check_all(tie_cases()); }

TEST(SearchesAgree, RunsAndPeriodicTexts) { check_all(repetitive_cases()); }

TEST(SearchesAgree, BeyondAscii) { check_all(wide_cases()); }

// Three texts, each pair in both orders, tested against automata built once and shared, the
// way clustering and lookup hold them: per-thread scratch left by one pair must not leak into
// the next, and a cutoff at a pair's own ratio keeps exactly the choices that reach it.
TEST(SearchesAgree, ThreeTextsShareAutomataAndScratch) {
  std::mt19937_64 rng(61);
  for (int round = 0; round < 150; ++round) {
    const uint32_t alphabet = 2 + round % 4;
    const size_t sizes[] = {20, 64, 65, 130, 256, 257};
    std::vector<CodePoints> t(3);
    t[0] = fixed_text(rng, sizes[round % 6], alphabet);
    t[1] = t[0];
    for (auto& ch : t[1]) {
      if (rng() % 5 == 0) ch = 'a' + rng() % alphabet;
    }
    if (round % 3 == 0) t[1].insert(t[1].begin(), t[0].begin(), t[0].begin() + t[0].size() / 2);
    t[2] = round % 2 == 0 ? repeat("ab", t[0].size() + 3)
                          : fixed_text(rng, 1 + rng() % 300, alphabet);
    std::vector<Sam> sams;
    for (const CodePoints& s : t) sams.push_back(build_sam(s));
    double ratios[3][3];
    for (size_t x = 0; x < 3; ++x) {
      for (size_t y = 0; y < 3; ++y) {
        ratios[x][y] = reference::ratio(t[x], t[y]);
      }
    }
    for (size_t x = 0; x < 3; ++x) {
      for (size_t y = 0; y < 3; ++y) {
        if (x == y) continue;
        const double r = ratios[x][y];
        const Sam& sam = sams[y];
        ASSERT_EQ(gestalt_ratio_at_least(t[x], t[y], sam, r), std::optional<double>(r))
            << round << x << y;
        ASSERT_FALSE(gestalt_ratio_reaches(t[x], t[y], sam, std::nextafter(r, INF)))
            << round << x << y;
        ASSERT_TRUE(gestalt_ratio_reaches(t[x], t[y], sam, r)) << round << x << y;
        ASSERT_EQ(gestalt_ratio_at_most(t[x], t[y], sam, r), std::optional<double>(r))
            << round << x << y;
        ASSERT_EQ(ratio_chars(t[x], t[y], DEFAULT_WORK_FACTOR), r) << round << x << y;
      }
      // The other two as choices, at each one's ratio as the cutoff (a choice is scored as
      // difflib's get_close_matches scores it: the choice first, the query second).
      std::vector<Text> choices;
      std::vector<size_t> index;
      for (size_t y = 0; y < 3; ++y) {
        if (y != x) {
          choices.push_back(t[y]);
          index.push_back(y);
        }
      }
      for (size_t k = 0; k < 2; ++k) {
        const double cutoff = ratios[index[k]][x];
        const std::vector<Scored> got = extract_chars(t[x], choices, 2, cutoff, false, false);
        std::vector<std::pair<size_t, double>> want;
        for (size_t q = 0; q < 2; ++q) {
          if (ratios[index[q]][x] >= cutoff) want.emplace_back(q, ratios[index[q]][x]);
        }
        std::stable_sort(want.begin(), want.end(),
                         [](const auto& p, const auto& q) { return p.second > q.second; });
        ASSERT_EQ(got.size(), want.size()) << round << " query " << x << " cutoff " << cutoff;
        for (size_t q = 0; q < got.size(); ++q) {
          ASSERT_EQ(got[q].index, want[q].first) << round;
          ASSERT_EQ(got[q].score, want[q].second) << round;
        }
      }
    }
  }
}

}  // namespace
}  // namespace ratiokit
