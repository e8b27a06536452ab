#include "dedupe/dedupe.hpp"

#include "cluster/cluster.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <numeric>
#include <random>

#include "parallel/parallel.hpp"
#include "reference.hpp"

namespace ratiokit {
namespace {

using reference::random_text;
using reference::text;

// The rule itself, one row at a time, with difflib's recursion.
std::vector<size_t> sequential(const std::vector<CodePoints>& rows, double threshold) {
  std::vector<size_t> labels, kept;
  for (size_t r = 0; r < rows.size(); ++r) {
    size_t label = r;
    for (const size_t k : kept) {
      if (reference::ratio(rows[k], rows[r]) >= threshold) {
        label = k;
        break;
      }
    }
    if (label == r) kept.push_back(r);
    labels.push_back(label);
  }
  return labels;
}

// Near-copies of a few bases over a small alphabet, some non-ASCII, with exact copies, empty
// strings and chains (each edit builds on the last) mixed in.
std::vector<CodePoints> rows_of(std::mt19937_64& rng, size_t count) {
  std::vector<CodePoints> bases;
  for (int k = 0; k < 6; ++k) {
    bases.push_back(random_text(rng, 14, 3 + rng() % 3, rng() % 4 ? 'a' : 0xE0));
  }
  std::vector<CodePoints> out;
  while (out.size() < count) {
    CodePoints s = bases[rng() % bases.size()];
    const size_t steps = rng() % 6;
    for (size_t e = 0; e < steps && out.size() < count; ++e) {
      const size_t pos = s.empty() ? 0 : rng() % (s.size() + 1);
      if (rng() % 2 == 0 || s.empty()) {
        s.insert(s.begin() + pos, (rng() % 8 ? 'a' : 0x3B1) + rng() % 4);
      } else {
        s.erase(s.begin() + std::min(pos, s.size() - 1));
      }
      out.push_back(s);
    }
    if (rng() % 5 == 0 && !out.empty()) out.push_back(out[rng() % out.size()]);
    if (rng() % 9 == 0) out.push_back({});
  }
  out.resize(count);
  return out;
}

TEST(Dedupe, MatchesTheSequentialRuleWhateverTheBlocks) {
  std::mt19937_64 rng(21);
  for (int trial = 0; trial < 40; ++trial) {
    const std::vector<CodePoints> rows = rows_of(rng, 1 + rng() % 150);
    for (const double t : {0.3, 0.5, 0.7, 0.8, 0.9, 1.0}) {
      const std::vector<size_t> want = sequential(rows, t);
      // Blocks of one row are the sequential rule itself; larger ones settle rows within a
      // block, including those whose first hit there was dropped.
      for (const size_t block : {size_t{1}, size_t{2}, size_t{5}, size_t{33}, DEDUPE_MAX_BLOCK}) {
        ASSERT_EQ(dedupe_chars(rows, t, nullptr, block), want)
            << "trial " << trial << " threshold " << t << " block " << block;
      }
    }
  }
}

TEST(Dedupe, ParallelBlocksMatchTheSerialRun) {
  std::mt19937_64 rng(5);
  const std::vector<CodePoints> rows = rows_of(rng, 3000);
  const std::vector<size_t> serial =
      run_on_threads(1, [&] { return dedupe_chars(rows, 0.75, nullptr, 64); });
  EXPECT_EQ(run_on_threads(3, [&] { return dedupe_chars(rows, 0.75, nullptr, 64); }), serial);
  EXPECT_EQ(dedupe_chars(rows, 0.75), serial);
}

TEST(Dedupe, ChainsDoNotJoinFarRows) {
  // Each row reaches its neighbours but not the rows two steps away: single linkage would put
  // all of them in one cluster; dedupe keeps every other row.
  const std::vector<CodePoints> rows = {text("aaaaaaaaaa"), text("aaaaaabbbb"), text("aabbbbbbbb"),
                                        text("bbbbbbbbbb")};
  const double t = 0.6;
  ASSERT_GE(reference::ratio(rows[0], rows[1]), t);
  ASSERT_LT(reference::ratio(rows[0], rows[2]), t);
  EXPECT_EQ(dedupe_chars(rows, t), sequential(rows, t));
  EXPECT_EQ(dedupe_chars(rows, t), (std::vector<size_t>{0, 0, 2, 2}));
}

TEST(Dedupe, EdgeThresholdsAndCopies) {
  const std::vector<CodePoints> rows = {text("abc"), text(""), text("abc"), text(""), text("xyz")};
  const std::vector<size_t> all_first(rows.size(), 0);
  EXPECT_EQ(dedupe_chars(rows, 0.0), all_first);
  EXPECT_EQ(dedupe_chars(rows, -1.0), all_first);
  EXPECT_EQ(dedupe_chars(rows, std::numeric_limits<double>::quiet_NaN()), all_first);
  EXPECT_EQ(dedupe_chars(rows, 1.0), (std::vector<size_t>{0, 1, 0, 1, 4}));
  EXPECT_EQ(dedupe_chars(rows, 1.5), (std::vector<size_t>{0, 1, 2, 3, 4}));
  EXPECT_TRUE(dedupe_chars({}, 0.5).empty());
  // Thousands of copies collapse to one value before any pair is tested.
  std::vector<CodePoints> copies(5000, text("the same line"));
  copies.push_back(text("the same lime"));
  std::vector<size_t> want(copies.size(), 0);
  EXPECT_EQ(dedupe_chars(copies, 0.9), want);
}

TEST(DenseCounts, SurvivorsOfARunAreThePairsTheCoarseRowsLeave) {
  // The run form tests a count per run; it must keep exactly the pairs coarse_rejects keeps,
  // at every threshold, for rows with and without histograms (over 32,767 characters).
  std::mt19937_64 rng(3);
  std::vector<CodePoints> rows;
  for (int k = 0; k < 60; ++k) rows.push_back(random_text(rng, 40, 6, k % 3 ? 'a' : 0x3B1));
  rows.push_back(CodePoints(40000, 'a'));
  std::vector<CharCounts> counts;
  for (const CodePoints& s : rows) counts.push_back(char_counts(s));
  std::vector<uint32_t> order(rows.size());
  std::iota(order.begin(), order.end(), 0u);
  const DenseCounts table(order, rows, counts);
  for (const double t : {0.1, 0.5, 0.77, 0.9, 1.0}) {
    for (uint32_t p = 0; p < rows.size(); ++p) {
      // Runs of one total length, as dedupe hands them over.
      std::map<size_t, std::vector<uint32_t>> by_length;
      for (uint32_t q = 0; q < rows.size(); ++q) by_length[rows[q].size()].push_back(q);
      for (const auto& [length, run] : by_length) {
        const size_t total = rows[p].size() + length;
        std::vector<uint32_t> got, want;
        table.coarse_survivors(p, run, total, t, got);
        for (const uint32_t q : run) {
          if (!table.coarse_rejects(p, q, total, t)) want.push_back(q);
        }
        ASSERT_EQ(got, want) << "p " << p << " length " << length << " threshold " << t;
      }
    }
  }
}

}  // namespace
}  // namespace ratiokit
