// Length of the longest common subsequence, bit-parallel (Hyyrö's LCS bit-vector recurrence),
// the upper bound that spares the edge tests most rejections. Tested by
// tests/cpp/cluster_test.cpp against a quadratic table.
#include <algorithm>
#include <bit>
#include <utility>

#include "cluster/cluster.hpp"

namespace ratiokit {

void LcsMasks::build(Text pattern) {
  length = pattern.size();
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
    const uint32_t c = pattern[i];
    uint64_t* r = c < 128 ? ascii.data() + c * words
                          : other.data() + static_cast<size_t>(
                                               std::lower_bound(chars.begin(), chars.end(), c) -
                                               chars.begin()) * words;
    r[i / 64] |= uint64_t{1} << (i % 64);
  }
}

const uint64_t* LcsMasks::row(uint32_t c) const {
  if (c < 128) return ascii.data() + c * words;
  const auto it = std::lower_bound(chars.begin(), chars.end(), c);
  if (it == chars.end() || *it != c) return nullptr;
  return other.data() + static_cast<size_t>(it - chars.begin()) * words;
}

size_t lcs_length(const LcsMasks& masks, Text text, std::vector<uint64_t>& v) {
  if (masks.length == 0 || text.empty()) return 0;
  const size_t words = masks.words;
  if (words == 1) {
    uint64_t row = ~uint64_t{0};
    for (const uint32_t c : text) {
      const uint64_t* match = masks.row(c);
      if (match == nullptr) continue;  // a character the pattern lacks changes nothing
      const uint64_t u = row & *match;
      row = (row + u) | (row - u);
    }
    const uint64_t valid = masks.length == 64 ? ~uint64_t{0} : (uint64_t{1} << masks.length) - 1;
    return static_cast<size_t>(std::popcount(~row & valid));
  }
  v.assign(words, ~uint64_t{0});
  for (const uint32_t c : text) {
    const uint64_t* match = masks.row(c);
    if (match == nullptr) continue;
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
    const size_t bits = w + 1 < words ? 64 : masks.length - 64 * w;
    const uint64_t mask = bits == 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1;
    zeros += static_cast<size_t>(std::popcount(~v[w] & mask));
  }
  return zeros;
}

namespace {
thread_local LcsMasks LCS_MASKS;
thread_local std::vector<uint64_t> LCS_ROW;
}  // namespace

size_t lcs_length(Text a, Text b) {
  if (a.size() > b.size()) std::swap(a, b);
  if (a.empty()) return 0;
  LCS_MASKS.build(a);
  return lcs_length(LCS_MASKS, b, LCS_ROW);
}

bool lcs_rules_out(Text a, Text b, double threshold) {
  const size_t total = a.size() + b.size();
  if (a.empty() || b.empty()) return false;  // the gestalt tests settle these at once
  if (std::min(a.size(), b.size()) * std::max(a.size(), b.size()) > LCS_MAX_CELLS) return false;
  return lcs_length(a, b) < need_count(threshold, total);
}

}  // namespace ratiokit
