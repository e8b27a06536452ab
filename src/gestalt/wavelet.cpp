// The wavelet matrix behind the automaton's end-position searches. Tested by
// tests/cpp/wavelet_test.cpp against direct scans.
#include <bit>
#include <cassert>

#include "gestalt/gestalt.hpp"
#include "parallel/parallel.hpp"

namespace ratiokit {
namespace {

inline uint32_t popcount64(uint64_t x) {
#if defined(__POPCNT__)
  return static_cast<uint32_t>(std::popcount(x));
#else
  // Without the instruction std::popcount becomes a library call; this stays inline.
  x -= (x >> 1) & 0x5555555555555555ull;
  x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
  return static_cast<uint32_t>((x * 0x0101010101010101ull) >> 56);
#endif
}

// Set bits of `level` before position i (i <= size).
inline uint32_t rank1(const RankBlock* level, uint32_t i) {
  const RankBlock& b = level[i / RANK_BLOCK_BITS];
  const uint32_t word = (i % RANK_BLOCK_BITS) / 64;
  const uint32_t rest = i % 64;
  auto r = static_cast<uint32_t>(b.counts);
  if (word != 0) r += static_cast<uint32_t>(b.counts >> (23 + 9 * word)) & 511u;
  const uint64_t below = rest == 0 ? 0 : b.words[word] << (64 - rest);
  return r + popcount64(below);
}

}  // namespace

void build_wavelet(std::span<const uint32_t> values, uint32_t levels, WaveletMatrix& wm,
                   std::vector<uint32_t>& scratch) {
  assert(levels <= 32 && values.size() < (size_t{1} << 32) - 1);
  const auto n = static_cast<uint32_t>(values.size());
  wm.size = n;
  wm.levels = levels;
  wm.blocks_per_level = n / RANK_BLOCK_BITS + 1;
  wm.blocks.assign(wm.blocks_per_level * levels, RankBlock{});
  wm.zeros.assign(levels, 0);
  // The current order lives in the first half of scratch; each level partitions it stably
  // into zeros then ones through the second half.
  scratch.resize(2 * size_t{n});
  uint32_t* cur = scratch.data();
  uint32_t* next = scratch.data() + n;
  std::copy(values.begin(), values.end(), cur);
  const CancelCheck check;
  for (uint32_t l = 0; l < levels; ++l) {
    check();
    RankBlock* level = wm.blocks.data() + l * wm.blocks_per_level;
    const uint32_t shift = levels - 1 - l;
    uint32_t zeros = 0;
    for (uint32_t i = 0; i < n; ++i) zeros += ((cur[i] >> shift) & 1u) == 0;
    uint32_t z = 0, o = zeros;
    for (uint32_t i = 0; i < n; ++i) {
      const uint32_t v = cur[i];
      if ((v >> shift) & 1u) {
        level[i / RANK_BLOCK_BITS].words[(i % RANK_BLOCK_BITS) / 64] |= uint64_t{1} << (i % 64);
        next[o++] = v;
      } else {
        next[z++] = v;
      }
    }
    uint64_t ones = 0;
    for (size_t b = 0; b < wm.blocks_per_level; ++b) {
      uint64_t counts = ones, inside = 0;
      for (uint32_t w = 0; w < 4; ++w) {
        if (w != 0) counts |= inside << (23 + 9 * w);
        inside += popcount64(level[b].words[w]);
      }
      level[b].counts = counts;
      ones += inside;
    }
    wm.zeros[l] = zeros;
    std::swap(cur, next);
  }
}

uint32_t wavelet_count_below(const WaveletMatrix& wm, uint32_t lo, uint32_t hi, uint64_t x) {
  if (wm.levels < 64 && x >= (uint64_t{1} << wm.levels)) return hi - lo;
  uint32_t below = 0;
  for (uint32_t l = 0; l < wm.levels && lo < hi; ++l) {
    const RankBlock* level = wm.blocks.data() + l * wm.blocks_per_level;
    const uint32_t ones_lo = rank1(level, lo), ones_hi = rank1(level, hi);
    if ((x >> (wm.levels - 1 - l)) & 1u) {
      below += (hi - ones_hi) - (lo - ones_lo);
      lo = wm.zeros[l] + ones_lo;
      hi = wm.zeros[l] + ones_hi;
    } else {
      lo -= ones_lo;
      hi -= ones_hi;
    }
  }
  return below;
}

uint32_t wavelet_kth(const WaveletMatrix& wm, uint32_t lo, uint32_t hi, uint32_t k) {
  assert(k < hi - lo);
  uint32_t value = 0;
  for (uint32_t l = 0; l < wm.levels; ++l) {
    const RankBlock* level = wm.blocks.data() + l * wm.blocks_per_level;
    const uint32_t ones_lo = rank1(level, lo), ones_hi = rank1(level, hi);
    const uint32_t zeros_in = (hi - ones_hi) - (lo - ones_lo);
    value <<= 1;
    if (k < zeros_in) {
      lo -= ones_lo;
      hi -= ones_hi;
    } else {
      k -= zeros_in;
      value |= 1u;
      lo = wm.zeros[l] + ones_lo;
      hi = wm.zeros[l] + ones_hi;
    }
  }
  return value;
}

}  // namespace ratiokit
