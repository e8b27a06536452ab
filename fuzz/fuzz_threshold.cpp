// The threshold tests agree with the exact count: gestalt_ratio_reaches answers exactly when
// M >= need, gestalt_ratio_at_least gives the exact ratio exactly then, and gestalt_ratio_at_most
// and gestalt_ratio_below_count give it exactly when M stays below the cap. need and
// cap come from need_count / cap_count, whose own definitions are checked alongside.
#include <cmath>
#include <cstring>
#include <limits>

#include "fuzz_input.hpp"

using namespace ratiokit;

namespace {

double as_double(uint64_t bits) {
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

// Thresholds that sit on, just beside, or far from the pair's own ratio, and odd values.
double pick_threshold(uint8_t mode, uint64_t raw, uint64_t m, size_t total) {
  const auto near = [&](int64_t delta) {
    const int64_t k = std::max<int64_t>(0, static_cast<int64_t>(m) + delta);
    return total == 0 ? 1.0 : ratio_from_m(static_cast<uint64_t>(k), total);
  };
  switch (mode % 8) {
    case 0: return near(0);
    case 1: return std::nextafter(near(0), 2.0);
    case 2: return std::nextafter(near(0), -1.0);
    case 3: return near(static_cast<int64_t>(raw % 5) - 2);
    case 4: return static_cast<double>(raw % 1001) / 1000.0;
    case 5: return as_double(raw);  // NaN, infinities, negatives, subnormals
    case 6: {
      constexpr double odd[] = {0.0, -0.0, -1.0, 1.0, 1.0000000000000002, 2.0,
                                std::numeric_limits<double>::quiet_NaN(),
                                std::numeric_limits<double>::infinity(), 1e-300, 0.5};
      return odd[raw % 10];
    }
    default: return total == 0 ? 0.5 : static_cast<double>(raw % (total + 1)) / total;
  }
}

uint64_t pick_cap(uint8_t mode, uint64_t raw, uint64_t m) {
  switch (mode % 4) {
    case 0: return m + (raw % 5) - std::min<uint64_t>(m, 2);
    case 1: return raw;
    case 2: return raw % 4 == 0 ? UINT64_MAX : (uint64_t{1} << 32) + (raw % 3) - 1;
    default: return raw % (m + 3);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::ByteReader in(data, size);
  const uint8_t mode = in.byte();
  const uint64_t raw = in.u64();
  const std::vector<CodePoints> texts = fuzz::decode_texts(in, 2, 1500);
  const CodePoints& a = texts[0];
  const CodePoints& b = texts[1];
  const size_t total = a.size() + b.size();
  const Sam sam = build_sam(b);
  const uint64_t m = gestalt_m_with(a, sam, b);
  const double exact = total == 0 ? 1.0 : ratio_from_m(m, total);

  const double threshold = pick_threshold(mode, raw, m, total);
  const uint64_t need = need_count(threshold, total);
  if (std::isnan(threshold) || threshold <= 0.0 || total == 0) {
    FUZZ_CHECK(need == 0);
  } else if (need <= total / 2) {
    FUZZ_CHECK(ratio_from_m(need, total) >= threshold);
    FUZZ_CHECK(need == 0 || ratio_from_m(need - 1, total) < threshold);
  } else {
    FUZZ_CHECK(ratio_from_m(total / 2, total) < threshold);
  }
  const bool passes = total == 0 || m >= need;
  const std::optional<double> reached = gestalt_ratio_reaches(a, b, sam, threshold);
  FUZZ_CHECK(reached.has_value() == passes);
  if (reached && total > 0) FUZZ_CHECK(!(*reached < threshold) && *reached <= exact);
  const std::optional<double> edge = gestalt_ratio_at_least(a, b, sam, threshold);
  FUZZ_CHECK(edge.has_value() == passes);
  if (edge) FUZZ_CHECK(*edge == exact);

  const double cap_ratio = pick_threshold(mode >> 3, raw >> 7, m, total);
  const uint64_t cap_m = cap_count(cap_ratio, total);
  if (!(cap_ratio >= 0.0)) {
    FUZZ_CHECK(cap_m == 0);
  } else if (total > 0 && cap_m <= total / 2) {
    FUZZ_CHECK(ratio_from_m(cap_m, total) > cap_ratio);
    FUZZ_CHECK(cap_m == 0 || ratio_from_m(cap_m - 1, total) <= cap_ratio);
  }
  const std::optional<double> at_most = gestalt_ratio_at_most(a, b, sam, cap_ratio);
  FUZZ_CHECK(at_most.has_value() == (exact <= cap_ratio));
  if (at_most) FUZZ_CHECK(*at_most == exact);
  if (!a.empty() && !b.empty()) {
    for (const uint64_t cap : {pick_cap(mode >> 5, raw, m), cap_m}) {
      const std::optional<double> capped = gestalt_ratio_below_count(a, b, sam, cap);
      FUZZ_CHECK(capped.has_value() == (m < cap));
      if (capped) FUZZ_CHECK(*capped == exact);
    }
  }
  return 0;
}
