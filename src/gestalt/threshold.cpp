// Threshold tests and the capped recursion. Tested by tests/cpp/threshold_test.cpp against the
// brute-force count of tests/cpp/reference.hpp, and through clustering by tests/test_cluster.py.
#include <algorithm>
#include <cmath>

#include "gestalt/gestalt.hpp"
#include "gestalt/internal.hpp"
#include "gestalt/recursion.hpp"
#include "parallel/parallel.hpp"

namespace ratiokit {

namespace {

// Past this a count cannot be matched anyway (M <= total / 2), so its exact value only has to
// stay out of reach; 2^64 as a double.
constexpr double U64_LIMIT = 18446744073709551616.0;

uint64_t saturate(double x) { return x >= U64_LIMIT ? UINT64_MAX : static_cast<uint64_t>(x); }

// The count of a non-empty pair under `rule`, by the search that suits it. On the automaton the
// matching pass comes first, and a common block reaching the cap settles the count right there
// (any block is a lower bound on M).
GestaltCount count_pair(Text a, Text b, const Sam& sam_b, StopRule rule) {
  if (bits_fit(a.size(), b.size(), true)) return gestalt_count_bits(a, b, rule);
  Borrow<MatchStats> ms(MS_BUF);
  const auto bound = static_cast<uint32_t>(std::min<uint64_t>(rule.cap, NO_CHAR));
  if (matching_stats_bounded(a, sam_b, *ms, bound)) return {bound, Outcome::reached_cap};
  return gestalt_count_sam(a, b, sam_b, *ms, rule);
}

}  // namespace

uint64_t need_count(double threshold, size_t total) {
  if (!(threshold > 0.0) || total == 0) return 0;
  const double x = std::ceil(threshold * static_cast<double>(total) * 0.5);
  if (!(x <= static_cast<double>(total))) return saturate(x);
  // t * T * 0.5 rounds on its own; settle on the count whose ratio, rounded the way the ratio
  // itself is, first reaches the threshold.
  auto m = static_cast<uint64_t>(x);
  while (m > 0 && ratio_from_m(m - 1, total) >= threshold) --m;
  while (ratio_from_m(m, total) < threshold) ++m;
  return m;
}

uint64_t cap_count(double cap, size_t total) {
  if (!(cap >= 0.0)) return 0;
  if (total == 0) return 1;  // no count has a ratio; keep the cap out of reach of M = 0
  const double x = std::floor(cap * static_cast<double>(total) * 0.5) + 1.0;
  if (!(x <= static_cast<double>(total))) return saturate(x);
  auto c = static_cast<uint64_t>(x);
  while (c > 0 && ratio_from_m(c - 1, total) > cap) --c;
  while (ratio_from_m(c, total) <= cap) ++c;
  return c;
}

size_t common_prefix(Text a, Text b) {
  const size_t n = std::min(a.size(), b.size());
  size_t p = 0;
  while (p < n && a[p] == b[p]) ++p;
  return p;
}

size_t common_suffix(Text a, Text b, size_t prefix) {
  const size_t n = std::min(a.size(), b.size()) - prefix;
  size_t s = 0;
  while (s < n && a[a.size() - 1 - s] == b[b.size() - 1 - s]) ++s;
  return s;
}

std::optional<double> gestalt_edge(Text a, Text b, const Sam& sam_b, double threshold) {
  const size_t total = a.size() + b.size();
  if (total == 0) return 1.0;
  const uint64_t need = need_count(threshold, total);
  if (a.empty() || b.empty()) return need == 0 ? std::optional<double>(0.0) : std::nullopt;
  const GestaltCount c = count_pair(a, b, sam_b, StopRule{need});
  if (c.outcome != Outcome::exact || c.m < need) return std::nullopt;
  return ratio_from_m(c.m, total);
}

bool gestalt_edge_bounded(Text a, Text b, const Sam& sam_b, double threshold) {
  const size_t total = a.size() + b.size();
  if (total == 0) return true;
  const uint64_t need = need_count(threshold, total);
  if (need == 0) return true;
  if (a.empty() || b.empty()) return false;
  const size_t shorter = std::min(a.size(), b.size());
  const size_t p = common_prefix(a, b);
  // The whole shorter text is a block, so it is the longest and M is exactly its length.
  if (p == shorter) return shorter >= need;
  if (std::max<uint64_t>(p, common_suffix(a, b, p)) >= need) return true;
  const GestaltCount c = count_pair(a, b, sam_b, StopRule{need, need});
  return c.outcome == Outcome::reached_cap || (c.outcome == Outcome::exact && c.m >= need);
}

double gestalt_ratio_capped(Text a, Text b, const Sam& sam_b, uint64_t cap) {
  if (cap == 0) return 2.0;
  const GestaltCount c = count_pair(a, b, sam_b, StopRule{0, cap});
  return c.outcome == Outcome::reached_cap ? 2.0 : ratio_from_m(c.m, a.size() + b.size());
}

}  // namespace ratiokit
