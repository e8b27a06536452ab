#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <random>

#include "gestalt/gestalt.hpp"

namespace ratiokit {
namespace {

// Every count and order statistic of random ranges against a direct scan, for sizes on both
// sides of the rank blocks (256 bits) and for values that use every level or only a few.
TEST(WaveletMatrix, CountsAndOrderStatisticsMatchDirectScans) {
  std::mt19937_64 rng(31);
  std::vector<uint32_t> scratch;
  for (const size_t n : {size_t{1}, size_t{2}, size_t{63}, size_t{64}, size_t{255}, size_t{256},
                         size_t{257}, size_t{513}, size_t{3000}}) {
    for (const uint32_t levels : {1u, std::max(1u, static_cast<uint32_t>(std::bit_width(n - 1))),
                                  32u}) {
      std::vector<uint32_t> values(n);
      const uint64_t limit = uint64_t{1} << levels;
      for (auto& v : values) v = static_cast<uint32_t>(rng() % limit);
      WaveletMatrix wm;
      build_wavelet(values, levels, wm, scratch);
      for (int q = 0; q < 200; ++q) {
        uint32_t lo = static_cast<uint32_t>(rng() % (n + 1)), hi = static_cast<uint32_t>(rng() % (n + 1));
        if (lo > hi) std::swap(lo, hi);
        if (q == 0) lo = 0, hi = static_cast<uint32_t>(n);
        std::vector<uint32_t> range(values.begin() + lo, values.begin() + hi);
        std::sort(range.begin(), range.end());
        const uint64_t x = q % 4 == 0 ? limit : rng() % (limit + 1);
        const auto below = static_cast<uint32_t>(
            std::lower_bound(range.begin(), range.end(), x) - range.begin());
        ASSERT_EQ(wavelet_count_below(wm, lo, hi, x), below) << n << " " << levels;
        for (uint32_t k = 0; k < range.size(); k += 1 + static_cast<uint32_t>(range.size() / 8)) {
          ASSERT_EQ(wavelet_kth(wm, lo, hi, k), range[k]) << n << " " << levels;
        }
        if (!range.empty()) {
          ASSERT_EQ(wavelet_kth(wm, lo, hi, hi - lo - 1), range.back());
        }
      }
    }
  }
}

TEST(WaveletMatrix, EmptyArrayAndReuse) {
  std::vector<uint32_t> scratch;
  WaveletMatrix wm;
  build_wavelet(std::vector<uint32_t>{}, 1, wm, scratch);
  EXPECT_EQ(wavelet_count_below(wm, 0, 0, 1), 0u);
  // Rebuilding a smaller matrix into the same value leaves nothing of the larger one behind.
  std::vector<uint32_t> big(5000, 0xFFFFFFFFu), small{3, 1, 2};
  build_wavelet(big, 32, wm, scratch);
  build_wavelet(small, 2, wm, scratch);
  EXPECT_EQ(wavelet_count_below(wm, 0, 3, 3), 2u);
  EXPECT_EQ(wavelet_kth(wm, 0, 3, 0), 1u);
  EXPECT_EQ(wavelet_kth(wm, 1, 3, 1), 2u);
}

}  // namespace
}  // namespace ratiokit
