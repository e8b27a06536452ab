// Slow, obviously-correct twins of the engines: a direct O(la * lb) longest common block with
// difflib's tie-break and a line-by-line port of difflib's get_matching_blocks recursion.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "gestalt/gestalt.hpp"

namespace ratiokit::reference {

inline Match longest_block(Text a, Text b, size_t alo, size_t ahi, size_t blo, size_t bhi) {
  Match best{alo, blo, 0};
  for (size_t i = alo; i < ahi; ++i) {
    for (size_t j = blo; j < bhi; ++j) {
      size_t k = 0;
      while (i + k < ahi && j + k < bhi && a[i + k] == b[j + k]) ++k;
      if (k > best.k) best = Match{i, j, k};
    }
  }
  return best;
}

// The same block by dynamic programming in O(la * lb), for texts too repetitive for the direct
// search: runs ending at (i, j) in the order difflib visits them, keeping the first longest.
inline Match longest_block_dp(Text a, Text b, size_t alo, size_t ahi, size_t blo, size_t bhi) {
  Match best{alo, blo, 0};
  std::vector<size_t> prev(bhi - blo + 1, 0), cur(bhi - blo + 1, 0);
  for (size_t i = alo; i < ahi; ++i) {
    for (size_t j = blo; j < bhi; ++j) {
      const size_t k = a[i] == b[j] ? prev[j - blo] + 1 : 0;
      cur[j - blo + 1] = k;
      if (k > best.k) best = Match{i + 1 - k, j + 1 - k, k};
    }
    std::swap(prev, cur);
  }
  return best;
}

// difflib's get_matching_blocks recursion over a longest-block search.
template <class Longest>
uint64_t matching_count_with(Text a, Text b, Longest&& longest) {
  std::vector<WindowBounds> queue{{0, a.size(), 0, b.size()}};
  uint64_t m = 0;
  while (!queue.empty()) {
    const WindowBounds w = queue.back();
    queue.pop_back();
    const Match r = longest(a, b, w.alo, w.ahi, w.blo, w.bhi);
    if (r.k == 0) continue;
    m += r.k;
    if (w.alo < r.i && w.blo < r.j) queue.push_back({w.alo, r.i, w.blo, r.j});
    if (r.i + r.k < w.ahi && r.j + r.k < w.bhi) queue.push_back({r.i + r.k, w.ahi, r.j + r.k, w.bhi});
  }
  return m;
}

inline uint64_t matching_count(Text a, Text b) { return matching_count_with(a, b, longest_block); }

inline double ratio(Text a, Text b) {
  const size_t total = a.size() + b.size();
  return total == 0 ? 1.0 : ratio_from_m(matching_count(a, b), total);
}

// A random text over the first `alphabet` letters of `base`.
inline CodePoints random_text(std::mt19937_64& rng, size_t max_len, uint32_t alphabet,
                              uint32_t base = 'a') {
  std::uniform_int_distribution<size_t> len(0, max_len);
  std::uniform_int_distribution<uint32_t> ch(0, alphabet - 1);
  CodePoints t(len(rng));
  for (auto& c : t) c = base + ch(rng);
  return t;
}

inline CodePoints text(const char* s) {
  CodePoints out;
  for (; *s; ++s) out.push_back(static_cast<unsigned char>(*s));
  return out;
}

}  // namespace ratiokit::reference
