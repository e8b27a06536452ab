// The Ratcliff/Obershelp window recursion, written once for every longest-match search and every
// stopping rule (not part of the gestalt interface; engines include it to drive their search).
//
// difflib splits each window around its longest block and recurses on both sides; M is the sum
// of the blocks. Which block a window yields does not depend on the order windows are visited,
// so a recursion that may stop early takes the window with the most left to give first (ties:
// the one earlier in a), which settles a cap or a needed count soonest, while an exact count
// walks depth-first, which needs no heap. `find` is any callable Match(const WindowBounds&)
// returning difflib's longest block of a non-empty window (k = 0 when there is none).
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "gestalt/gestalt.hpp"
#include "gestalt/scratch.hpp"
#include "parallel/parallel.hpp"

namespace ratiokit {

extern thread_local ScratchSlot<std::vector<Window>> WINDOW_BUF;

namespace recursion_detail {

// Max-heap order: the larger bound first, then the smaller alo.
struct HeapLess {
  bool operator()(const Window& x, const Window& y) const {
    return x.bound < y.bound || (x.bound == y.bound && x.at.alo > y.at.alo);
  }
};

inline Window window(size_t alo, size_t ahi, size_t blo, size_t bhi) {
  return Window{WindowBounds{alo, ahi, blo, bhi}, std::min(ahi - alo, bhi - blo)};
}

}  // namespace recursion_detail

template <class Find>
GestaltCount recurse(size_t la, size_t lb, StopRule rule, Find&& find) {
  using recursion_detail::HeapLess;
  using recursion_detail::window;
  uint64_t m = 0;
  if (m >= rule.cap) return {m, Outcome::reached_cap};
  Borrow<std::vector<Window>> pending(WINDOW_BUF);
  std::vector<Window>& ws = *pending;
  ws.clear();
  const bool best_first = rule.cap != UINT64_MAX;
  // What the pending windows can still add: the sum of their bounds.
  uint64_t upper = std::min(la, lb);
  if (upper < rule.need) return {m, Outcome::short_of_need};
  if (upper == 0) return {m, Outcome::exact};
  ws.push_back(window(0, la, 0, lb));
  const auto push = [&](const Window& next) {
    if (next.bound == 0) return;
    ws.push_back(next);
    if (best_first) std::push_heap(ws.begin(), ws.end(), HeapLess{});
  };
  const CancelCheck check;
  while (!ws.empty()) {
    check();
    if (best_first) std::pop_heap(ws.begin(), ws.end(), HeapLess{});
    const Window w = ws.back();
    ws.pop_back();
    upper -= w.bound;
    const Match r = find(w.at);
    if (r.k == 0) {
      if (m + upper < rule.need) return {m, Outcome::short_of_need};
      continue;
    }
    m += r.k;
    if (m >= rule.cap) return {m, Outcome::reached_cap};
    const Window left = window(w.at.alo, r.i, w.at.blo, r.j);
    const Window right = window(r.i + r.k, w.at.ahi, r.j + r.k, w.at.bhi);
    upper += left.bound + right.bound;
    if (m + upper < rule.need) return {m, Outcome::short_of_need};
    // Depth-first order pops the left window first, as difflib's own recursion does.
    push(right);
    push(left);
  }
  return {m, Outcome::exact};
}

}  // namespace ratiokit
