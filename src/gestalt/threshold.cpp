// Threshold tests and the capped recursion. Tested by tests/cpp/threshold_test.cpp against the
// brute-force count of tests/cpp/reference.hpp, and through clustering by tests/test_cluster.py.
#include <algorithm>
#include <cmath>

#include "gestalt/gestalt.hpp"
#include "gestalt/internal.hpp"
#include "parallel/parallel.hpp"

namespace ratiokit {

thread_local ScratchSlot<std::vector<Window>> HEAP_BUF;

namespace {

// Past this a count cannot be matched anyway (M <= total / 2), so its exact value only has to
// stay out of reach; 2^64 as a double.
constexpr double U64_LIMIT = 18446744073709551616.0;

uint64_t saturate(double x) { return x >= U64_LIMIT ? UINT64_MAX : static_cast<uint64_t>(x); }

// Max-heap order: the larger bound first, then the smaller alo.
struct HeapLess {
  bool operator()(const Window& x, const Window& y) const {
    return x.bound < y.bound || (x.bound == y.bound && x.alo > y.alo);
  }
};

void heap_push(std::vector<Window>& heap, const Window& w) {
  heap.push_back(w);
  std::push_heap(heap.begin(), heap.end(), HeapLess{});
}

Window heap_pop(std::vector<Window>& heap) {
  std::pop_heap(heap.begin(), heap.end(), HeapLess{});
  const Window w = heap.back();
  heap.pop_back();
  return w;
}

inline size_t side_min(size_t alo, size_t ahi, size_t blo, size_t bhi) {
  return std::min(ahi - alo, bhi - blo);
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
  Borrow<MatchStats> ms(MS_BUF);
  matching_stats_into(a, sam_b, *ms);
  const size_t total = a.size() + b.size();
  if (total == 0) return 1.0;
  const uint64_t need = need_count(threshold, total);
  if (a.empty() || b.empty()) return need == 0 ? std::optional<double>(0.0) : std::nullopt;
  return gestalt_edge_with_ms_inner(a, b, sam_b, *ms, need, total);
}

std::optional<double> gestalt_edge_with_ms_inner(Text a, Text b, const Sam& sam_b,
                                                 const MatchStats& ms, uint64_t need,
                                                 size_t total) {
  Borrow<std::vector<WindowBounds>> stack(STACK_BUF);
  Borrow<std::vector<uint32_t>> cap(CAP_BUF);
  cap->assign(a.size(), NO_CHAR);
  stack->clear();
  stack->push_back({0, a.size(), 0, b.size()});
  uint64_t upper = std::min(a.size(), b.size());
  uint64_t m = 0;
  const CancelCheck check;
  while (!stack->empty()) {
    check();
    const WindowBounds w = stack->back();
    stack->pop_back();
    upper -= side_min(w.alo, w.ahi, w.blo, w.bhi);
    if (w.alo >= w.ahi || w.blo >= w.bhi) continue;
    const Match r = longest_in(a, b, sam_b, ms, *cap, w.alo, w.ahi, w.blo, w.bhi);
    if (r.k == 0) continue;
    upper += side_min(w.alo, r.i, w.blo, r.j) + side_min(r.i + r.k, w.ahi, r.j + r.k, w.bhi);
    if (m + r.k + upper < need) return std::nullopt;
    m += r.k;
    stack->push_back({w.alo, r.i, w.blo, r.j});
    stack->push_back({r.i + r.k, w.ahi, r.j + r.k, w.bhi});
  }
  if (m < need) return std::nullopt;
  return ratio_from_m(m, total);
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
  Borrow<MatchStats> ms(MS_BUF);
  const auto bound = static_cast<uint32_t>(std::min<uint64_t>(need, NO_CHAR));
  if (matching_stats_bounded(a, sam_b, *ms, bound)) return true;
  return gestalt_qualifies_ms(a, b, sam_b, *ms, need);
}

bool gestalt_qualifies_ms(Text a, Text b, const Sam& sam_b, const MatchStats& ms, uint64_t need) {
  Borrow<std::vector<Window>> heap(HEAP_BUF);
  Borrow<std::vector<uint32_t>> cap(CAP_BUF);
  cap->assign(a.size(), NO_CHAR);
  heap->clear();
  const size_t first = std::min(a.size(), b.size());
  heap->push_back({first, 0, a.size(), 0, b.size()});
  uint64_t upper = first;
  uint64_t total = 0;
  const CancelCheck check;
  while (!heap->empty()) {
    check();
    const Window w = heap_pop(*heap);
    upper -= side_min(w.alo, w.ahi, w.blo, w.bhi);
    if (w.alo >= w.ahi || w.blo >= w.bhi) continue;
    const Match r = longest_in(a, b, sam_b, ms, *cap, w.alo, w.ahi, w.blo, w.bhi);
    if (r.k == 0) continue;
    total += r.k;
    if (total >= need) return true;
    const size_t left = side_min(w.alo, r.i, w.blo, r.j);
    const size_t right = side_min(r.i + r.k, w.ahi, r.j + r.k, w.bhi);
    upper += left + right;
    if (total + upper < need) return false;
    heap_push(*heap, {left, w.alo, r.i, w.blo, r.j});
    heap_push(*heap, {right, r.i + r.k, w.ahi, r.j + r.k, w.bhi});
  }
  return total >= need;
}

double gestalt_ratio_capped(Text a, Text b, const Sam& sam_b, uint64_t cap) {
  Borrow<MatchStats> ms(MS_BUF);
  const auto bound = static_cast<uint32_t>(std::min<uint64_t>(cap, NO_CHAR));
  if (matching_stats_bounded(a, sam_b, *ms, bound)) return 2.0;
  return capped_recursion(a, b, sam_b, *ms, cap, a.size() + b.size());
}

double capped_recursion(Text a, Text b, const Sam& sam_b, const MatchStats& ms, uint64_t cap,
                        size_t total) {
  if (cap == 0) return 2.0;
  Borrow<std::vector<Window>> heap(HEAP_BUF);
  Borrow<std::vector<uint32_t>> bounds(CAP_BUF);
  bounds->assign(a.size(), NO_CHAR);
  heap->clear();
  heap->push_back({std::min(a.size(), b.size()), 0, a.size(), 0, b.size()});
  uint64_t m = 0;
  const CancelCheck check;
  while (!heap->empty()) {
    check();
    const Window w = heap_pop(*heap);
    if (w.alo >= w.ahi || w.blo >= w.bhi) continue;
    const Match r = longest_in(a, b, sam_b, ms, *bounds, w.alo, w.ahi, w.blo, w.bhi);
    if (r.k == 0) continue;
    m += r.k;
    if (m >= cap) return 2.0;
    heap_push(*heap, {side_min(w.alo, r.i, w.blo, r.j), w.alo, r.i, w.blo, r.j});
    heap_push(*heap, {side_min(r.i + r.k, w.ahi, r.j + r.k, w.bhi), r.i + r.k, w.ahi, r.j + r.k,
                      w.bhi});
  }
  return ratio_from_m(m, total);
}

}  // namespace ratiokit
