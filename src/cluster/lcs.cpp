// Length of the longest common subsequence, bit-parallel (Hyyrö's LCS bit-vector recurrence),
// the upper bound that spares the edge tests most rejections. Tested by
// tests/cpp/cluster_test.cpp against a quadratic table.
#include <algorithm>
#include <array>
#include <bit>
#include <utility>

#include "cluster/cluster.hpp"
#include "gestalt/scratch.hpp"

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

namespace {

// std::popcount without a popcount instruction in the target is a library call: this is the
// same count in a few inline operations.
inline size_t count_ones(uint64_t x) {
  x = x - ((x >> 1) & 0x5555555555555555ULL);
  x = (x & 0x3333333333333333ULL) + ((x >> 2) & 0x3333333333333333ULL);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
  return static_cast<size_t>((x * 0x0101010101010101ULL) >> 56);
}

// One step of the recurrence over all words: V = (V + U) | (V - U) with U = V & match. U lies
// within V, so the difference borrows nothing and is taken word by word; the sum carries across
// words. With `words` known at compile time the loop unrolls and V can stay in registers.
inline void add_step(uint64_t* v, const uint64_t* match, size_t words) {
  uint64_t carry = 0;
  for (size_t w = 0; w < words; ++w) {
    const uint64_t x = v[w], u = x & match[w];
    const uint64_t sum = x + u;
    const uint64_t total = sum + carry;
    carry = (sum < u) | (total < sum);
    v[w] = total | (x - u);
  }
}

// The pattern's match bits for c, `words` words of them; nullptr for a character beyond ASCII
// that the pattern lacks (an ASCII one it lacks has all-zero bits: the step changes nothing).
inline const uint64_t* match_bits(const LcsMasks& masks, uint32_t c, size_t words) {
  if (c < 128) return masks.ascii.data() + c * words;
  const size_t s = masks.slot(c);
  return s == LcsMasks::NO_SLOT ? nullptr : masks.other.data() + (s - 128) * words;
}

// LCS of the pattern and the text read so far: the zeros of `v` within the pattern's length.
inline size_t lcs_so_far(const uint64_t* v, size_t words, size_t length) {
  size_t zeros = 0;
  for (size_t w = 0; w < words; ++w) {
    const size_t bits = w + 1 < words ? 64 : length - 64 * w;
    const uint64_t mask = bits == 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1;
    zeros += count_ones(~v[w] & mask);
  }
  return zeros;
}

// With a target, the answer is settled once the LCS of the text read so far reaches it, or once
// even one more for every unread character would not.
inline bool settled(size_t so_far, size_t unread, size_t target) {
  return so_far >= target || so_far + unread < target;
}

// The whole table for a pattern of W words, the common short lengths, with the row in
// registers: here that costs less than working out the band. Counting costs more than a step,
// so with a target the count is looked at every few characters.
template <size_t W, class Char>
size_t lcs_in_registers(const LcsMasks& masks, std::span<const Char> text, size_t target) {
  std::array<uint64_t, W> v;
  v.fill(~uint64_t{0});
  const uint64_t* const ascii = masks.ascii.data();
  const Char* at = text.data();
  const Char* const end = at + text.size();
  const size_t stride = target > 0 ? (W == 1 ? 16 : 32) : text.size();
  while (at != end) {
    const Char* const stop = at + std::min<size_t>(stride, static_cast<size_t>(end - at));
    for (; at != stop; ++at) {
      const uint32_t c = *at;
      // The ASCII rows are looked up without the test for a missing row.
      const uint64_t* match = c < 128 ? ascii + W * c : match_bits(masks, c, W);
      if (c < 128 || match != nullptr) add_step(v.data(), match, W);
    }
    if (target > 0) {
      const size_t so_far = lcs_so_far(v.data(), W, masks.length);
      if (settled(so_far, static_cast<size_t>(end - at), target)) return so_far;
    }
  }
  return lcs_so_far(v.data(), W, masks.length);
}

}  // namespace

const uint64_t* LcsMasks::row(uint32_t c) const { return match_bits(*this, c, words); }

template <class Char>
size_t lcs_length(const LcsMasks& masks, std::span<const Char> text, std::vector<uint64_t>& v,
                  size_t target) {
  if (masks.length == 0 || text.empty()) return 0;
  if (target > masks.length || target > text.size()) return 0;
  const size_t words = masks.words;
  if (words == 1) return lcs_in_registers<1>(masks, text, target);
  if (words == 2) return lcs_in_registers<2>(masks, text, target);
  // With a target only a band of the table matters. A common subsequence of `target` or more
  // leaves at most length - target pattern and size - target text characters unmatched, so
  // where it pairs pattern position p with text position i, p - i <= length - target and
  // i - p <= size - target. Matches outside the band can be dropped without losing any such
  // subsequence, and dropping them only lowers the count, so the side of the target is kept.
  // Dropped by words: words below the band are left as they are (nothing carries out of them),
  // words above it have seen no match yet and stay all ones, which a carry passes through.
  const bool early = target > 0;
  const size_t above = early ? masks.length - target : masks.length;
  const size_t below = early ? text.size() - target : text.size();
  constexpr size_t EVERY = 32;
  v.assign(words, ~uint64_t{0});
  for (size_t i = 0; i < text.size(); ++i) {
    const uint64_t* match = match_bits(masks, text[i], words);
    if (match == nullptr) continue;
    const size_t lo = i > below ? (i - below) / 64 : 0;
    const size_t hi = std::min(words - 1, (i + above) / 64);
    add_step(v.data() + lo, match + lo, hi - lo + 1);
    if (!early) continue;
    if ((i + 1) % EVERY == 0) {
      const size_t so_far = lcs_so_far(v.data(), words, masks.length);
      if (settled(so_far, text.size() - (i + 1), target)) return so_far;
    }
  }
  return lcs_so_far(v.data(), words, masks.length);
}

template size_t lcs_length(const LcsMasks&, std::span<const uint8_t>, std::vector<uint64_t>&,
                           size_t);
template size_t lcs_length(const LcsMasks&, std::span<const uint16_t>, std::vector<uint64_t>&,
                           size_t);
template size_t lcs_length(const LcsMasks&, std::span<const uint32_t>, std::vector<uint64_t>&,
                           size_t);

namespace {

// The masks of the last pattern a thread tested, with the pattern they were built for (callers
// test one string against many in a row, and comparing costs less than building), and the row
// of the scan.
struct LcsScratch {
  LcsMasks masks;
  CodePoints pattern;
  std::vector<uint64_t> row;
};

size_t scratch_bytes(const LcsScratch& sc) {
  return scratch_bytes_of(sc.masks.ascii, sc.masks.chars, sc.masks.other, sc.pattern, sc.row);
}

thread_local ScratchSlot<LcsScratch> LCS_BUF;

size_t lcs_length_of(Text pattern, Text text, size_t target) {
  Borrow<LcsScratch> sc(LCS_BUF);
  if (!std::equal(pattern.begin(), pattern.end(), sc->pattern.begin(), sc->pattern.end())) {
    sc->masks.build(pattern);
    sc->pattern.assign(pattern.begin(), pattern.end());
  }
  return lcs_length(sc->masks, text, sc->row, target);
}

}  // namespace

size_t lcs_length(Text a, Text b) {
  if (a.size() > b.size()) std::swap(a, b);
  if (a.empty()) return 0;
  return lcs_length_of(a, b, 0);
}

bool lcs_rules_out(Text a, Text b, double threshold) {
  const size_t total = a.size() + b.size();
  if (a.empty() || b.empty()) return false;  // the gestalt tests settle these at once
  if (a.size() * b.size() > LCS_MAX_CELLS) return false;
  const uint64_t need = need_count(threshold, total);
  if (need == 0) return false;
  if (a.size() > b.size()) std::swap(a, b);
  return lcs_length_of(a, b, need) < need;
}

}  // namespace ratiokit
