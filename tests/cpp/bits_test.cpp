// The bit-parallel search on one word of columns, where windows of few rows are swept whole
// and longer ones skip dead rows: both held against the plain recursion, in both orientations,
// under every stopping rule, with the thread's scratch carried from pair to pair of varying
// sizes as a batch carries it.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "gestalt/gestalt.hpp"
#include "reference.hpp"

namespace ratiokit {
namespace {

CodePoints small_alphabet_text(std::mt19937_64& rng, size_t n, uint32_t alphabet) {
  CodePoints out(n);
  for (auto& c : out) c = 'a' + static_cast<uint32_t>(rng() % alphabet);
  return out;
}

// b mostly a copy of a where they overlap, so that long blocks and many windows occur.
void near_copy(std::mt19937_64& rng, const CodePoints& a, CodePoints& b) {
  for (size_t j = 0; j < std::min(a.size(), b.size()); ++j) {
    if (rng() % 7 != 0) b[j] = a[j];
  }
}

void expect_all_rules(Text a, Text b, const std::string& what) {
  const uint64_t want = reference::matching_count(a, b);
  const GestaltCount exact = gestalt_count_bits(a, b, StopRule{});
  ASSERT_EQ(exact.outcome, Outcome::exact) << what;
  ASSERT_EQ(exact.m, want) << what;
  // The capped recursion takes windows best first: another order through the same finder.
  for (const uint64_t need : {want, want + 1}) {
    const GestaltCount r = gestalt_count_bits(a, b, StopRule{need, need});
    ASSERT_EQ(r.outcome, want >= need ? Outcome::reached_cap : Outcome::short_of_need) << what;
  }
}

// Shorter texts within one word against longer ones on both sides of the row count where the
// sweep stops being whole (128 rows), each pair in both orders so that the shorter text is the
// columns in one and may be the rows in the other.
TEST(Bits, OneWordAgainstRecursionAcrossRowCounts) {
  std::mt19937_64 rng(61);
  const size_t shorts[] = {1, 2, 5, 31, 32, 33, 63, 64};
  const size_t longs[] = {1, 2, 40, 64, 65, 100, 127, 128, 129, 130, 200, 256};
  for (const size_t ls : shorts) {
    for (const size_t ll : longs) {
      for (uint32_t alphabet = 2; alphabet <= 4; ++alphabet) {
        CodePoints s = small_alphabet_text(rng, ls, alphabet);
        CodePoints l = small_alphabet_text(rng, ll, alphabet);
        if ((ls + ll + alphabet) % 2 == 0) near_copy(rng, l, s);
        const std::string what =
            std::to_string(ls) + "x" + std::to_string(ll) + " over " + std::to_string(alphabet);
        expect_all_rules(s, l, what);
        expect_all_rules(l, s, what + " swapped");
      }
    }
  }
}

// A batch's pairs grow and shrink, and one may sweep its rows in pieces: every pair's count
// must not depend on what the pairs before it left in the thread's scratch.
TEST(Bits, ScratchCarriedAcrossPairsOfVaryingSize) {
  std::mt19937_64 rng(67);
  std::vector<std::pair<CodePoints, CodePoints>> pairs;
  for (int k = 0; k < 300; ++k) {
    const size_t la = 1 + rng() % 64, lb = 1 + rng() % 160;
    CodePoints a = small_alphabet_text(rng, la, 2 + k % 3);
    CodePoints b = small_alphabet_text(rng, lb, 2 + k % 3);
    if (k % 2 == 0) near_copy(rng, b, a);
    pairs.emplace_back(std::move(a), std::move(b));
    if (k % 100 == 50) {
      // Rows past one piece: the masks are looked up per piece from the shared table.
      CodePoints longer = small_alphabet_text(rng, 20000, 4);
      CodePoints shorter(longer.begin() + 7000, longer.begin() + 7060);
      shorter[30] = 'z';
      pairs.emplace_back(std::move(shorter), std::move(longer));
    }
  }
  std::vector<uint64_t> want;
  for (const auto& [a, b] : pairs) want.push_back(reference::matching_count(a, b));
  for (int pass = 0; pass < 2; ++pass) {
    for (size_t k = 0; k < pairs.size(); ++k) {
      const auto& [a, b] = pairs[k];
      ASSERT_EQ(gestalt_count_bits(a, b, StopRule{}).m, want[k]) << "pair " << k << " pass " << pass;
    }
    std::reverse(pairs.begin(), pairs.end());
    std::reverse(want.begin(), want.end());
  }
}

}  // namespace
}  // namespace ratiokit
