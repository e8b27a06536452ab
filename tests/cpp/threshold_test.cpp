#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "cluster/cluster.hpp"
#include "gestalt/gestalt.hpp"
#include "reference.hpp"

namespace ratiokit {
namespace {

using reference::random_text;
using reference::text;

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

// The definition need_count must meet, searched the slow way.
uint64_t smallest_count_reaching(double t, size_t total) {
  uint64_t m = 0;
  while (ratio_from_m(m, total) < t) ++m;
  return m;
}

uint64_t smallest_count_above(double cap, size_t total) {
  uint64_t c = 0;
  while (ratio_from_m(c, total) <= cap) ++c;
  return c;
}

TEST(ThresholdCounts, RatioEqualToTheThresholdAlwaysQualifies) {
  // ceil(0.56 * 25 * 0.5) is 8 in doubles, yet 7 matches give exactly the ratio 0.56.
  EXPECT_EQ(ratio_from_m(7, 25), 0.56);
  EXPECT_EQ(need_count(0.56, 25), 7u);
  // ceil(t * 3 * 0.5) is 1, yet 1 match gives 0.6666666666666666, below t.
  const double t = 0.6666666666666667;
  EXPECT_LT(ratio_from_m(1, 3), t);
  EXPECT_EQ(need_count(t, 3), 2u);

  // Every ratio a pair can have, as a threshold, needs exactly its own count.
  for (size_t total = 1; total <= 400; ++total) {
    for (uint64_t m = 0; 2 * m <= total; ++m) {
      const double r = ratio_from_m(m, total);
      ASSERT_EQ(need_count(r, total), smallest_count_reaching(r, total)) << m << "/" << total;
      ASSERT_LE(need_count(r, total), m);
      const double above = std::nextafter(r, INF);
      ASSERT_EQ(need_count(above, total), smallest_count_reaching(above, total));
      ASSERT_EQ(cap_count(r, total), smallest_count_above(r, total)) << m << "/" << total;
      const double below = std::nextafter(r, -INF);
      if (below >= 0.0) {
        ASSERT_EQ(cap_count(below, total), smallest_count_above(below, total));
      }
    }
  }
}

TEST(ThresholdCounts, OutOfReachAndOddThresholds) {
  EXPECT_EQ(need_count(NaN, 10), 0u);
  EXPECT_EQ(need_count(-0.5, 10), 0u);
  EXPECT_EQ(need_count(0.0, 10), 0u);
  EXPECT_EQ(need_count(0.9, 0), 0u);
  EXPECT_EQ(need_count(1e-300, 10), 1u);
  EXPECT_EQ(need_count(1.0, 10), 5u);
  // Out of reach (M <= total / 2): the first count past every pair of the total.
  for (const double t : {1.0000000000000002, 1.5, 1.9, 2.0, 3.0, 1e300, INF}) {
    EXPECT_EQ(need_count(t, 10), 6u) << t;
    EXPECT_EQ(need_count(t, 11), 6u) << t;
    EXPECT_EQ(cap_count(t, 10), 6u) << t;
  }
  EXPECT_EQ(cap_count(NaN, 10), 0u);
  EXPECT_EQ(cap_count(-1.0, 10), 0u);
  EXPECT_EQ(cap_count(0.0, 10), 1u);
  EXPECT_EQ(cap_count(1.0, 10), 6u);
  EXPECT_EQ(cap_count(0.5, 0), 1u);
  EXPECT_EQ(cap_count(1e300, (size_t{1} << 62) + 1), (uint64_t{1} << 61) + 1);
}

TEST(ThresholdEdge, EmptyTexts) {
  const CodePoints empty, abc = text("abc");
  const Sam sam_empty = build_sam(empty), sam_abc = build_sam(abc);
  for (double t : {0.0, 0.5, 1.0, 7.0, -1.0, NaN}) {
    EXPECT_EQ(gestalt_ratio_at_least(empty, empty, sam_empty, t), 1.0);
    EXPECT_EQ(gestalt_ratio_reaches(empty, empty, sam_empty, t), 1.0);
  }
  for (const auto& [a, b, sam] : {std::tuple{&empty, &abc, &sam_abc}, {&abc, &empty, &sam_empty}}) {
    EXPECT_EQ(gestalt_ratio_at_least(*a, *b, *sam, 0.0), 0.0);
    EXPECT_EQ(gestalt_ratio_at_least(*a, *b, *sam, NaN), 0.0);
    EXPECT_EQ(gestalt_ratio_reaches(*a, *b, *sam, -2.0), 0.0);
    EXPECT_EQ(gestalt_ratio_at_least(*a, *b, *sam, 0.1), std::nullopt);
    EXPECT_EQ(gestalt_ratio_reaches(*a, *b, *sam, 0.1), std::nullopt);
    EXPECT_EQ(gestalt_ratio_at_most(*a, *b, *sam, 0.5), 0.0);
    EXPECT_EQ(gestalt_ratio_at_most(*a, *b, *sam, 0.0), 0.0);
    EXPECT_EQ(gestalt_ratio_at_most(*a, *b, *sam, -0.5), std::nullopt);
  }
  // The cap side has no exception for two empty texts: their ratio 1.0 is above a cap below it.
  EXPECT_EQ(gestalt_ratio_at_most(empty, empty, sam_empty, 1.0), 1.0);
  EXPECT_EQ(gestalt_ratio_at_most(empty, empty, sam_empty, 0.5), std::nullopt);
  EXPECT_EQ(gestalt_ratio_at_most(empty, empty, sam_empty, NaN), std::nullopt);
}

TEST(ThresholdEdge, RoundingExamplesDecideLikeTheRatio) {
  // "a" against "ab": ratio 0.6666666666666666, just below the threshold.
  const CodePoints a = text("a"), ab = text("ab");
  const Sam sam_ab = build_sam(ab);
  const double t = 0.6666666666666667;
  EXPECT_EQ(gestalt_ratio_at_least(a, ab, sam_ab, t), std::nullopt);
  EXPECT_EQ(gestalt_ratio_reaches(a, ab, sam_ab, t), std::nullopt);
  EXPECT_EQ(gestalt_ratio_at_least(a, ab, sam_ab, 2.0 / 3.0), 2.0 / 3.0);
  EXPECT_EQ(gestalt_ratio_at_most(a, ab, sam_ab, t), 2.0 / 3.0);
  // T = 25, M = 7: ratio exactly 0.56, the threshold.
  const CodePoints x = text("abcdefgpqrst"), y = text("abcdefgxyzuvw");
  ASSERT_EQ(reference::matching_count(x, y), 7u);
  const Sam sam_y = build_sam(y);
  EXPECT_EQ(gestalt_ratio_at_least(x, y, sam_y, 0.56), 0.56);
  EXPECT_EQ(gestalt_ratio_reaches(x, y, sam_y, 0.56), 0.56);
  EXPECT_EQ(gestalt_ratio_reaches(x, y, sam_y, std::nextafter(0.56, 1.0)), std::nullopt);
  EXPECT_EQ(gestalt_ratio_at_most(x, y, sam_y, 0.56), 0.56);
  EXPECT_EQ(gestalt_ratio_at_most(x, y, sam_y, std::nextafter(0.56, 0.0)), std::nullopt);
}

// The tests and the capped ratio against the exact count, at thresholds on both sides of the
// pair's own ratio, where every rounding and off-by-one would show.
TEST(ThresholdEdge, AgreeWithTheExactCountOnRandomPairs) {
  std::mt19937_64 rng(17);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (int round = 0; round < 4000; ++round) {
    const uint32_t alphabet = 1 + round % 4;
    const CodePoints a = random_text(rng, 1 + round % 60, alphabet);
    CodePoints b = random_text(rng, 1 + round % 60, alphabet);
    if (round % 3 == 0) {  // near-duplicates exercise the quick accepts
      b = a;
      for (int e = 0; e < 3 && !b.empty(); ++e) b[rng() % b.size()] = 'a' + rng() % alphabet;
    }
    const Sam sam = build_sam(b);
    const uint64_t m = reference::matching_count(a, b);
    const size_t total = a.size() + b.size();
    const double r = total == 0 ? 1.0 : ratio_from_m(m, total);
    for (double t : {r, std::nextafter(r, INF), std::nextafter(r, -INF), unit(rng), 0.0}) {
      // Two empty texts pass any threshold (their need is 0), even one above 1.0.
      const bool reaches = total == 0 || r >= t;
      const std::optional<double> reached = gestalt_ratio_reaches(a, b, sam, t);
      ASSERT_EQ(reached.has_value(), reaches) << round << " t=" << t;
      if (reached && total > 0) {
        // A count the test reached: its ratio lies between the threshold and the exact ratio.
        ASSERT_TRUE(!(*reached < t) && *reached <= r) << round << " t=" << t;
      }
      const std::optional<double> edge = gestalt_ratio_at_least(a, b, sam, t);
      ASSERT_EQ(edge.has_value(), reaches) << round;
      if (edge) {
        ASSERT_EQ(*edge, r);
      }
      const std::optional<double> capped = gestalt_ratio_at_most(a, b, sam, t);
      ASSERT_EQ(capped.has_value(), r <= t) << round << " t=" << t;
      if (capped) {
        ASSERT_EQ(*capped, r);
      }
    }
    if (a.empty() || b.empty()) continue;
    EXPECT_EQ(gestalt_ratio_below_count(a, b, sam, m), std::nullopt);
    EXPECT_EQ(gestalt_ratio_below_count(a, b, sam, m + 1), r);
    const uint64_t c = rng() % (m + 3);
    EXPECT_EQ(gestalt_ratio_below_count(a, b, sam, c), m >= c ? std::nullopt : std::optional(r));
    EXPECT_EQ(gestalt_ratio_at_most(a, b, sam, 1.0), r);
  }
}

// A short text against one longer than a piece of rows (the masks sweep it a piece at a time),
// in both orders: blocks planted across the piece boundaries and tied copies of one block in
// different pieces must come out as difflib's, and the mask table must be left clean for the
// next pair (the pairs alternate with short ones, over ASCII and beyond).
TEST(ThresholdEdge, BitsSweepLongTextsByPiece) {
  std::mt19937_64 rng(31);
  for (int round = 0; round < 12; ++round) {
    const uint32_t base = round % 3 == 2 ? 0x4E00 : 'a';
    const CodePoints shorter = random_text(rng, 256, 3 + round % 4, base);
    if (shorter.size() < 20) continue;
    CodePoints longer(40'000 + rng() % 20'000);
    for (auto& c : longer) c = base + static_cast<uint32_t>(rng() % (5 + round % 4));
    // Copies of a stretch of the short text straddling the first piece boundaries and at both
    // ends, so that the same longest block turns up in several pieces.
    const size_t span = 8 + rng() % 12, from = rng() % (shorter.size() - span);
    for (size_t at : {size_t{16'384} - span / 2, size_t{32'768} - 1, size_t{0}, longer.size() - span}) {
      std::copy(shorter.begin() + static_cast<ptrdiff_t>(from),
                shorter.begin() + static_cast<ptrdiff_t>(from + span),
                longer.begin() + static_cast<ptrdiff_t>(at));
    }
    for (const bool short_first : {true, false}) {
      const Text a = short_first ? Text(shorter) : Text(longer);
      const Text b = short_first ? Text(longer) : Text(shorter);
      const uint64_t want = reference::matching_count_with(a, b, reference::longest_block_dp);
      ASSERT_EQ(gestalt_count_bits(a, b, StopRule{}).m, want) << round << short_first;
      const CodePoints x = random_text(rng, 40, 3, base), y = random_text(rng, 40, 3, base);
      ASSERT_EQ(gestalt_count_bits(x, y, StopRule{}).m, reference::matching_count(x, y)) << round;
    }
  }
}

}  // namespace
}  // namespace ratiokit
