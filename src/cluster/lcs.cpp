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
    const size_t s = slot(pattern[i]);
    uint64_t* r = s < 128 ? ascii.data() + s * words : other.data() + (s - 128) * words;
    r[i / 64] |= uint64_t{1} << (i % 64);
  }
}

size_t LcsMasks::slot(uint32_t c) const {
  if (c < 128) return c;
  const auto it = std::lower_bound(chars.begin(), chars.end(), c);
  if (it == chars.end() || *it != c) return NO_SLOT;
  return 128 + static_cast<size_t>(it - chars.begin());
}

const uint64_t* LcsMasks::row(uint32_t c) const {
  const size_t s = slot(c);
  if (s == NO_SLOT) return nullptr;
  return s < 128 ? ascii.data() + s * words : other.data() + (s - 128) * words;
}

namespace {

// One step of the recurrence over all words: V = (V + U) | (V - U) with U = V & match; U lies
// within V, so V - U = V & ~U. The sum carries across words.
inline void add_step(uint64_t* v, const uint64_t* match, size_t words) {
  uint64_t carry = 0;
  for (size_t w = 0; w < words; ++w) {
    const uint64_t x = v[w], u = x & match[w];
    const uint64_t sum = x + u;
    const uint64_t total = sum + carry;
    carry = (sum < u) | (total < sum);
    v[w] = total | (x & ~u);
  }
}

// LCS of the pattern and the text read so far: the zeros of `v` within the pattern's length.
size_t lcs_so_far(const LcsMasks& masks, const uint64_t* v) {
  size_t zeros = 0;
  for (size_t w = 0; w < masks.words; ++w) {
    const size_t bits = w + 1 < masks.words ? 64 : masks.length - 64 * w;
    const uint64_t mask = bits == 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1;
    zeros += static_cast<size_t>(std::popcount(~v[w] & mask));
  }
  return zeros;
}

}  // namespace

size_t lcs_length(const LcsMasks& masks, Text text, std::vector<uint64_t>& v, size_t target) {
  if (masks.length == 0 || text.empty()) return 0;
  if (target > masks.length || target > text.size()) return 0;
  const size_t words = masks.words;
  const bool early = target > 0;
  // With a target, the answer is settled once the LCS of the text read so far reaches it, or
  // once even one more for every unread character would not. Counting costs a pass over the
  // words, so the count is looked at every `every` characters.
  const size_t every = words == 1 ? 8 : 32;
  auto settled = [&](size_t so_far, size_t read) {
    return so_far >= target || so_far + (text.size() - read) < target;
  };
  if (words == 1) {
    uint64_t row = ~uint64_t{0};
    for (size_t i = 0; i < text.size(); ++i) {
      const size_t s = masks.slot(text[i]);
      if (s == LcsMasks::NO_SLOT) continue;  // a character the pattern lacks changes nothing
      const uint64_t u = row & (s < 128 ? masks.ascii[s] : masks.other[s - 128]);
      row = (row + u) | (row - u);
      if (!early) continue;
      if ((i + 1) % every == 0) {
        const size_t so_far = lcs_so_far(masks, &row);
        if (settled(so_far, i + 1)) return so_far;
      }
    }
    return lcs_so_far(masks, &row);
  }
  // With a target only a band of the table matters. A common subsequence of `target` or more
  // leaves at most length - target pattern and size - target text characters unmatched, so
  // where it pairs pattern position p with text position i, p - i <= length - target and
  // i - p <= size - target. Matches outside the band can be dropped without losing any such
  // subsequence, and dropping them only lowers the count, so the side of the target is kept.
  // Dropped by words: words below the band are left as they are (nothing carries out of them),
  // words above it have seen no match yet and stay all ones, which a carry passes through.
  const size_t above = early ? masks.length - target : masks.length;
  const size_t below = early ? text.size() - target : text.size();
  v.assign(words, ~uint64_t{0});
  for (size_t i = 0; i < text.size(); ++i) {
    const size_t s = masks.slot(text[i]);
    if (s == LcsMasks::NO_SLOT) continue;
    const uint64_t* match = s < 128 ? masks.ascii.data() + s * words
                                    : masks.other.data() + (s - 128) * words;
    const size_t lo = i > below ? (i - below) / 64 : 0;
    const size_t hi = std::min(words - 1, (i + above) / 64);
    add_step(v.data() + lo, match + lo, hi - lo + 1);
    if (!early) continue;
    if ((i + 1) % every == 0) {
      const size_t so_far = lcs_so_far(masks, v.data());
      if (settled(so_far, i + 1)) return so_far;
    }
  }
  return lcs_so_far(masks, v.data());
}

namespace {
thread_local LcsMasks LCS_MASKS;
thread_local CodePoints LCS_PATTERN;  // what LCS_MASKS was built for
thread_local std::vector<uint64_t> LCS_ROW;

// The thread's masks for `pattern`, rebuilt only when the pattern differs from the last one:
// callers test one string against many in a row, and comparing costs less than building.
const LcsMasks& masks_for(Text pattern) {
  if (!std::equal(pattern.begin(), pattern.end(), LCS_PATTERN.begin(), LCS_PATTERN.end())) {
    LCS_MASKS.build(pattern);
    LCS_PATTERN.assign(pattern.begin(), pattern.end());
  }
  return LCS_MASKS;
}

}  // namespace

size_t lcs_length(Text a, Text b) {
  if (a.size() > b.size()) std::swap(a, b);
  if (a.empty()) return 0;
  return lcs_length(masks_for(a), b, LCS_ROW);
}

bool lcs_rules_out(Text a, Text b, double threshold) {
  const size_t total = a.size() + b.size();
  if (a.empty() || b.empty()) return false;  // the gestalt tests settle these at once
  if (a.size() * b.size() > LCS_MAX_CELLS) return false;
  const uint64_t need = need_count(threshold, total);
  if (need == 0) return false;
  if (a.size() > b.size()) std::swap(a, b);
  return lcs_length(masks_for(a), b, LCS_ROW, need) < need;
}

}  // namespace ratiokit
