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

// The count no pair of this total reaches, for cutoffs beyond every ratio.
uint64_t out_of_reach(size_t total) { return static_cast<uint64_t>(total / 2) + 1; }

}  // namespace

uint64_t need_count(double threshold, size_t total) {
  if (!(threshold > 0.0) || total == 0) return 0;
  const double x = std::ceil(threshold * static_cast<double>(total) * 0.5);
  if (!(x <= static_cast<double>(total))) return out_of_reach(total);
  // t * T * 0.5 rounds on its own; settle on the count whose ratio, rounded the way the ratio
  // itself is, first reaches the threshold.
  auto m = static_cast<uint64_t>(x);
  while (m > 0 && ratio_from_m(m - 1, total) >= threshold) --m;
  while (ratio_from_m(m, total) < threshold) ++m;
  return std::min(m, out_of_reach(total));
}

uint64_t cap_count(double cap, size_t total) {
  if (!(cap >= 0.0)) return 0;
  const double x = std::floor(cap * static_cast<double>(total) * 0.5) + 1.0;
  if (!(x <= static_cast<double>(total))) return out_of_reach(total);
  auto c = static_cast<uint64_t>(x);
  while (c > 0 && ratio_from_m(c - 1, total) > cap) --c;
  while (ratio_from_m(c, total) <= cap) ++c;
  return std::min(c, out_of_reach(total));
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

std::optional<double> gestalt_ratio_at_least(Text a, Text b, const Sam& sam_b, double cutoff) {
  const size_t total = a.size() + b.size();
  if (total == 0) return 1.0;
  const uint64_t need = need_count(cutoff, total);
  if (a.empty() || b.empty()) return need == 0 ? std::optional<double>(0.0) : std::nullopt;
  const GestaltCount c = count_pair(a, b, sam_b, StopRule{need});
  if (c.outcome != Outcome::exact || c.m < need) return std::nullopt;
  return ratio_from_m(c.m, total);
}

std::optional<double> gestalt_ratio_reaches(Text a, Text b, const Sam& sam_b, double cutoff) {
  const size_t total = a.size() + b.size();
  if (total == 0) return 1.0;
  const uint64_t need = need_count(cutoff, total);
  if (need == 0) return ratio_from_m(0, total);
  if (a.empty() || b.empty()) return std::nullopt;
  const size_t shorter = std::min(a.size(), b.size());
  const size_t p = common_prefix(a, b);
  // The whole shorter text is a block, so it is the longest and M is exactly its length.
  if (p == shorter) {
    if (shorter < need) return std::nullopt;
    return ratio_from_m(shorter, total);
  }
  const size_t block = std::max(p, common_suffix(a, b, p));
  if (block >= need) return ratio_from_m(block, total);
  const GestaltCount c = count_pair(a, b, sam_b, StopRule{need, need});
  if (c.outcome == Outcome::short_of_need || c.m < need) return std::nullopt;
  return ratio_from_m(c.m, total);
}

std::optional<double> gestalt_ratio_at_most(Text a, Text b, const Sam& sam_b, double cutoff) {
  const size_t total = a.size() + b.size();
  if (total == 0) return 1.0 <= cutoff ? std::optional<double>(1.0) : std::nullopt;
  const uint64_t cap = cap_count(cutoff, total);
  if (a.empty() || b.empty()) return cap > 0 ? std::optional<double>(0.0) : std::nullopt;
  // Either common block is a lower bound on M: reaching the cap settles the answer.
  const size_t p = common_prefix(a, b);
  if (p >= cap) return std::nullopt;
  if (p < std::min(a.size(), b.size()) && common_suffix(a, b, p) >= cap) return std::nullopt;
  return gestalt_ratio_below_count(a, b, sam_b, cap);
}

std::optional<double> gestalt_ratio_below_count(Text a, Text b, const Sam& sam_b, uint64_t cap) {
  if (cap == 0) return std::nullopt;
  const GestaltCount c = count_pair(a, b, sam_b, StopRule{0, cap});
  if (c.outcome == Outcome::reached_cap) return std::nullopt;
  return ratio_from_m(c.m, a.size() + b.size());
}

}  // namespace ratiokit
