#include "ratio/ratio.hpp"

#include <gtest/gtest.h>

#include "reference.hpp"

namespace ratiokit {
namespace {

using reference::random_text;
using reference::text;

TEST(RatioEngines, B2jAndAutomatonAgreeWithTheDifflibPort) {
  std::mt19937_64 rng(23);
  for (int round = 0; round < 5000; ++round) {
    const uint32_t alphabet = 1 + round % 8;
    const CodePoints a = random_text(rng, 70, alphabet);
    const CodePoints b = random_text(rng, 70, alphabet);
    const double want = reference::ratio(a, b);
    ASSERT_EQ(ratio_b2j_chars(a, b, ascii_counts(b).count), want);
    ASSERT_EQ(gestalt_ratio_chars(a, b), want);
    // The work factor only picks the engine: every choice gives the same value.
    for (const uint64_t factor : {uint64_t{0}, DEFAULT_WORK_FACTOR, UINT64_MAX}) {
      ASSERT_EQ(ratio_chars(a, b, factor), want);
    }
  }
}

TEST(RatioEngines, ScratchIsRebuiltBetweenCalls) {
  std::mt19937_64 rng(29);
  const CodePoints long_a = random_text(rng, 4000, 3), long_b = random_text(rng, 4000, 3);
  const CodePoints a = text("abcabcab"), b = text("bcbcaab");
  const double fresh = ratio_b2j_chars(a, b, ascii_counts(b).count);
  (void)ratio_b2j_chars(long_a, long_b, ascii_counts(long_b).count);
  EXPECT_EQ(ratio_b2j_chars(a, b, ascii_counts(b).count), fresh);
  EXPECT_EQ(fresh, reference::ratio(a, b));
}

// Sequences of items reach the engines as item ids, which are any 32-bit values but NO_CHAR:
// only equality between them may matter, never their size.
TEST(RatioEngines, SymbolsBeyondTheUnicodeRangeCountAsTheirEquality) {
  std::mt19937_64 rng(31);
  const auto far = [](CodePoints t) {
    for (uint32_t& c : t) c = 0x80000000u + (c - 'a') * 0x01000001u;
    return t;
  };
  for (int round = 0; round < 400; ++round) {
    const uint32_t alphabet = 1 + round % 6;
    const size_t len = round % 2 == 0 ? 90 : 400;  // past the autojunk floor on odd rounds
    const CodePoints a = random_text(rng, len, alphabet), b = random_text(rng, len, alphabet);
    const CodePoints fa = far(a), fb = far(b);
    ASSERT_EQ(ratio_chars(fa, fb, DEFAULT_WORK_FACTOR), reference::ratio(a, b));
    ASSERT_EQ(gestalt_ratio_chars(fa, fb), reference::ratio(a, b));
    ASSERT_EQ(ratio_autojunk_chars(fa, fb), ratio_autojunk_chars(a, b));
    // Over an alphabet of buckets, whichever search the work factor picks.
    for (const uint64_t factor : {uint64_t{0}, DEFAULT_WORK_FACTOR, UINT64_MAX}) {
      ASSERT_EQ(ratio_symbols(a, b, 'a' + 300, factor), reference::ratio(a, b));
      ASSERT_EQ(ratio_autojunk_chars(a, b, factor, 'a' + 300), ratio_autojunk_chars(a, b));
    }
  }
}

TEST(RatioDispatch, EdgeValues) {
  EXPECT_EQ(ratio_chars({}, {}, DEFAULT_WORK_FACTOR), 1.0);
  EXPECT_EQ(ratio_b2j_chars({}, {}, ascii_counts({}).count), 1.0);
  EXPECT_EQ(ratio_b2j_chars(text("abc"), {}, ascii_counts({}).count), 0.0);
  EXPECT_EQ(ratio_chars(text("abc"), {}, DEFAULT_WORK_FACTOR), 0.0);
  const CodePoints accented{0xE9};
  EXPECT_EQ(ratio_chars({}, accented, DEFAULT_WORK_FACTOR), 0.0);
  EXPECT_EQ(ratio_chars(accented, {}, DEFAULT_WORK_FACTOR), 0.0);
  EXPECT_EQ(ratio_chars(text("abcd"), text("bcde"), DEFAULT_WORK_FACTOR), 0.75);
  EXPECT_EQ(ratio_chars(text("abc"), text("xyz"), DEFAULT_WORK_FACTOR), 0.0);
  const CodePoints a50(50, 'a'), a100(100, 'a');
  EXPECT_EQ(ratio_chars(a50, a50, DEFAULT_WORK_FACTOR), 1.0);
  EXPECT_EQ(ratio_chars(a100, a100, DEFAULT_WORK_FACTOR), 1.0);
  CodePoints mixed = text("caf");
  mixed.push_back(0xE9);
  EXPECT_EQ(ratio_chars(mixed, text("cafe"), DEFAULT_WORK_FACTOR), 0.75);
}

TEST(RatioDispatch, WorkFactorParsing) {
  EXPECT_EQ(parse_work_factor(nullptr), DEFAULT_WORK_FACTOR);
  EXPECT_EQ(parse_work_factor("+5"), 5u);
  EXPECT_EQ(parse_work_factor("0"), 0u);
  EXPECT_EQ(parse_work_factor("18446744073709551615"), UINT64_MAX);
  for (const char* bad : {" 5", "5 ", "-1", "", "+", "abc", "5x", "++5", "18446744073709551616",
                          "99999999999999999999"}) {
    EXPECT_EQ(parse_work_factor(bad), DEFAULT_WORK_FACTOR) << bad;
  }
}

TEST(RatioCounts, CharCountsWithAndWithoutNonAscii) {
  const CharCounts banana = char_counts(text("banana"));
  EXPECT_EQ(banana, (CharCounts{{'a', 3}, {'b', 1}, {'n', 2}}));
  CodePoints with = text("banana");
  with.insert(with.begin() + 2, 0x1F600);
  EXPECT_EQ(char_counts(with), (CharCounts{{'a', 3}, {'b', 1}, {'n', 2}, {0x1F600, 1}}));
  EXPECT_TRUE(char_counts({}).empty());
}

}  // namespace
}  // namespace ratiokit
