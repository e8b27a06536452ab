#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "gestalt/gestalt.hpp"
#include "ratio/ratio.hpp"
#include "reference.hpp"

namespace ratiokit {
namespace {

using reference::random_text;

uint64_t diag_m(Text a, Text b) {
  const GestaltCount c = gestalt_count_diag(a, b, StopRule{});
  EXPECT_EQ(c.outcome, Outcome::exact);
  return c.m;
}

uint64_t reference_m(Text a, Text b) {
  return reference::matching_count_with(a, b, reference::longest_block_dp);
}

CodePoints random_of_length(std::mt19937_64& rng, size_t n, uint32_t alphabet, uint32_t base = 'a') {
  std::uniform_int_distribution<uint32_t> ch(0, alphabet - 1);
  CodePoints t(n);
  for (auto& c : t) c = base + ch(rng);
  return t;
}

// Lengths at every lane count's edge (16, 32, 64 lanes of bytes, half as many of 16 bits) and at
// the bit-parallel search's word and column limits, where a tail vector is partly past b.
constexpr size_t EDGES[] = {0, 1, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 64, 65, 127, 128, 129, 255, 256, 257};

TEST(GestaltDiag, AgreesWithTheOtherSearchesAtLaneEdges) {
  std::mt19937_64 rng(41);
  for (const size_t la : EDGES) {
    for (const size_t lb : EDGES) {
      for (const uint32_t alphabet : {2u, 4u, 26u}) {
        const CodePoints a = random_of_length(rng, la, alphabet);
        const CodePoints b = random_of_length(rng, lb, alphabet);
        const uint64_t want = reference_m(a, b);
        ASSERT_EQ(diag_m(a, b), want) << la << " x " << lb << " over " << alphabet;
        ASSERT_EQ(gestalt_m_with(a, build_sam(b), b), want);
        if (std::min(la, lb) <= BITS_MAX_COLS) {
          ASSERT_EQ(gestalt_count_bits(a, b, StopRule{}).m, want);
        }
      }
    }
  }
}

// Runs of 254 to 256 and longer: byte lanes stop at 255 and the window is swept again in 16-bit
// lanes, which must keep difflib's choice between equal blocks (the earliest in a, then in b).
TEST(GestaltDiag, LongRunsPastTheByteLanes) {
  std::mt19937_64 rng(43);
  for (const size_t run : {200u, 254u, 255u, 256u, 257u, 300u, 600u}) {
    const CodePoints r = random_of_length(rng, run, 26);
    CodePoints a = r, b = random_of_length(rng, 40, 26);
    a.insert(a.end(), r.begin(), r.end());  // two equal blocks in a: the first must win
    b.insert(b.end(), r.begin(), r.end());
    b.push_back('z' + 1);
    b.insert(b.end(), r.begin(), r.end());  // and two in b
    ASSERT_EQ(diag_m(a, b), reference_m(a, b)) << run;
    ASSERT_EQ(diag_m(b, a), reference_m(b, a)) << run;
    // A run of 256 that ends before a longer one: a search that stopped counting at 255 would
    // take the earlier run and split the texts elsewhere.
    const CodePoints p = random_of_length(rng, 256, 26), q = random_of_length(rng, run + 100, 26);
    CodePoints pq = p, qp = q;
    pq.insert(pq.end(), q.begin(), q.end());
    qp.insert(qp.end(), p.begin(), p.end());
    ASSERT_EQ(diag_m(pq, qp), reference_m(pq, qp)) << run;
    // One code point over and over: every diagonal is one run.
    const CodePoints same_a(run, 'x'), same_b(run + 3, 'x');
    ASSERT_EQ(diag_m(same_a, same_b), run);
  }
}

// More distinct code points in b than byte ids (253), astral ones among them: 16-bit lanes from
// the start; a's code points that b lacks never match anything.
TEST(GestaltDiag, WideAlphabets) {
  std::mt19937_64 rng(44);
  for (const uint32_t alphabet : {200u, 253u, 254u, 300u, 2000u}) {
    for (const uint32_t base : {0x20u, 0x400u, 0x1F600u}) {
      const CodePoints a = random_of_length(rng, 600, alphabet, base);
      CodePoints b = a;
      std::reverse(b.begin() + 100, b.begin() + 300);
      b.push_back(0x10FFFF);
      ASSERT_EQ(diag_m(a, b), reference_m(a, b)) << alphabet << " from " << base;
      ASSERT_EQ(diag_m(b, a), reference_m(b, a)) << alphabet << " from " << base;
    }
  }
}

// Periodic texts make every window's blocks tie and chains of windows whose block is as long as
// their parent's (where a window stops at its first block of the parent's length); texts with a
// filler between the letters make blocks of one code point along a staircase of windows.
TEST(GestaltDiag, TiesAndStaircases) {
  std::mt19937_64 rng(45);
  for (const size_t n : {31u, 64u, 100u, 257u, 700u}) {
    for (const char* unit : {"ab", "abc", "aab", "abcd"}) {
      CodePoints a, b;
      const size_t len = strlen(unit);
      for (size_t i = 0; i < n; ++i) a.push_back(static_cast<unsigned char>(unit[i % len]));
      for (size_t i = 0; i < n + 5; ++i) b.push_back(static_cast<unsigned char>(unit[(len - 1 - i % len)]));
      ASSERT_EQ(diag_m(a, b), reference_m(a, b)) << unit << " " << n;
      ASSERT_EQ(diag_m(b, a), reference_m(b, a)) << unit << " " << n;
    }
    CodePoints a, b;
    for (size_t i = 0; i < n; ++i) {
      a.push_back(0x100 + static_cast<uint32_t>(i));
      b.push_back(0x100 + static_cast<uint32_t>(i));
      b.push_back('-');
    }
    ASSERT_EQ(diag_m(a, b), n);
    const CodePoints shuffled = [&] {
      CodePoints t = a;
      std::shuffle(t.begin(), t.end(), rng);
      return t;
    }();
    ASSERT_EQ(diag_m(shuffled, b), reference_m(shuffled, b)) << n;
  }
}

// Every stopping rule sees the same blocks in the same order as the automaton's search.
TEST(GestaltDiag, StopRulesMatchTheAutomaton) {
  std::mt19937_64 rng(46);
  for (int round = 0; round < 200; ++round) {
    const CodePoints a = random_text(rng, 500, round % 2 == 0 ? 4 : 30);
    const CodePoints b = random_text(rng, 500, round % 2 == 0 ? 4 : 30);
    const Sam sam = build_sam(b);
    MatchStats ms;
    matching_stats_into(a, sam, ms);
    const uint64_t m = gestalt_count_sam(a, b, sam, ms, StopRule{}).m;
    for (const StopRule rule : {StopRule{0, m / 2}, StopRule{0, m}, StopRule{m, UINT64_MAX},
                                StopRule{m + 1, UINT64_MAX}, StopRule{m / 2, m / 2 + 1}}) {
      const GestaltCount want = gestalt_count_sam(a, b, sam, ms, rule);
      const GestaltCount got = gestalt_count_diag(a, b, rule);
      ASSERT_EQ(got.m, want.m) << "round " << round;
      ASSERT_EQ(got.outcome, want.outcome) << "round " << round;
    }
  }
}

// The dispatcher sends mid-length pairs here; whatever it picks, the ratio is the reference's.
TEST(GestaltDiag, DispatcherAndForcedSearchAgree) {
  std::mt19937_64 rng(47);
  EXPECT_FALSE(diag_fit(10, DIAG_MAX_LEN + 1));
  // A shared prefix or suffix of 255 sends large pairs to the automaton, not small ones.
  const CodePoints big = random_of_length(rng, 1200, 30);
  CodePoints edited = big;
  edited[600] = '#';
  EXPECT_TRUE(diag_suits(big, random_of_length(rng, 1200, 30)));
  EXPECT_FALSE(diag_suits(big, edited));
  EXPECT_TRUE(diag_suits(CodePoints(big.begin(), big.begin() + 300), CodePoints(edited.begin(), edited.begin() + 300)));
  EXPECT_EQ(ratio_chars(big, edited, DEFAULT_WORK_FACTOR), reference::ratio(big, edited));
  for (int round = 0; round < 60; ++round) {
    const CodePoints a = random_text(rng, 1500, 40);
    const CodePoints b = random_text(rng, 1500, 40);
    const double want = reference::ratio(a, b);
    ASSERT_EQ(ratio_chars(a, b, DEFAULT_WORK_FACTOR), want);
    ASSERT_TRUE(search_applies(Search::diag, a, b));
    ASSERT_EQ(ratio_by(a, b, Search::diag), want);
  }
}

}  // namespace
}  // namespace ratiokit
