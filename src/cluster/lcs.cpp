// Length of the longest common subsequence, bit-parallel (Hyyrö's LCS bit-vector recurrence),
// the upper bound that spares the edge tests most rejections. Tested by
// tests/cpp/cluster_test.cpp against a quadratic table.
#include <algorithm>
#include <bit>
#include <utility>

#include "cluster/cluster.hpp"

namespace ratiokit {
namespace {

// One row of bits per distinct character of the pattern (the shorter text), bit i set where the
// pattern holds that character. ASCII rows are found by index, others by binary search.
struct PatternMasks {
  size_t words = 0;
  std::vector<uint64_t> ascii;  // 128 rows
  std::vector<uint32_t> chars;  // sorted non-ASCII characters of the pattern
  std::vector<uint64_t> other;  // their rows, in that order

  void build(Text pattern) {
    words = (pattern.size() + 63) / 64;
    ascii.assign(128 * words, 0);
    chars.clear();
    for (const uint32_t c : pattern) {
      if (c >= 128) chars.push_back(c);
    }
    std::sort(chars.begin(), chars.end());
    chars.erase(std::unique(chars.begin(), chars.end()), chars.end());
    other.assign(chars.size() * words, 0);
    for (size_t i = 0; i < pattern.size(); ++i) {
      uint64_t* row = this->row(pattern[i]);
      row[i / 64] |= uint64_t{1} << (i % 64);
    }
  }

  uint64_t* row(uint32_t c) {
    if (c < 128) return ascii.data() + c * words;
    const auto it = std::lower_bound(chars.begin(), chars.end(), c);
    if (it == chars.end() || *it != c) return nullptr;
    return other.data() + static_cast<size_t>(it - chars.begin()) * words;
  }
};

thread_local PatternMasks LCS_MASKS;
thread_local std::vector<uint64_t> LCS_ROW;

}  // namespace

size_t lcs_length(Text a, Text b) {
  if (a.size() > b.size()) std::swap(a, b);
  if (a.empty()) return 0;
  PatternMasks& masks = LCS_MASKS;
  masks.build(a);
  const size_t words = masks.words;
  std::vector<uint64_t>& v = LCS_ROW;
  v.assign(words, ~uint64_t{0});
  for (const uint32_t c : b) {
    const uint64_t* match = masks.row(c);
    if (match == nullptr) continue;  // a character a lacks changes nothing
    // V = (V + U) | (V - U) with U = V & match; U lies within V, so V - U = V & ~U.
    uint64_t carry = 0;
    for (size_t w = 0; w < words; ++w) {
      const uint64_t u = v[w] & match[w];
      const uint64_t sum = v[w] + u;
      const uint64_t total = sum + carry;
      carry = (sum < u) | (total < sum);
      v[w] = total | (v[w] & ~u);
    }
  }
  size_t zeros = 0;
  for (size_t w = 0; w < words; ++w) {
    const size_t bits = w + 1 < words ? 64 : a.size() - 64 * w;
    const uint64_t mask = bits == 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1;
    zeros += static_cast<size_t>(std::popcount(~v[w] & mask));
  }
  return zeros;
}

bool lcs_rules_out(Text a, Text b, double threshold) {
  const size_t total = a.size() + b.size();
  if (a.empty() || b.empty()) return false;  // the gestalt tests settle these at once
  if (std::min(a.size(), b.size()) * std::max(a.size(), b.size()) > LCS_MAX_CELLS) return false;
  return lcs_length(a, b) < need_count(threshold, total);
}

}  // namespace ratiokit
