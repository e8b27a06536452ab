// Matching statistics and the longest common block of one window. Tested by
// tests/cpp/gestalt_test.cpp against a brute-force search.
#include <algorithm>
#include <cassert>

#include "gestalt/gestalt.hpp"

namespace ratiokit {
namespace {

// Walks a along the automaton while it agrees with the automaton's own text, which keeps every
// step on the cached preferred edge.
template <class Sink>
size_t prefix_walk(Text a, const Sam& sam, Sink&& sink) {
  const size_t limit = std::min(a.size(), sam.prefix_state.size());
  uint32_t s = 0;
  size_t x = 0;
  while (x < limit) {
    const uint32_t c = a[x];
    int64_t target;
    if (s == 0) {
      if (c >= 128) break;
      target = sam.root_ascii[c];
      if (target < 0) break;
    } else {
      if (c != sam.scan[s].pref_char) break;
      target = sam.scan[s].pref_target;
    }
    if (target != sam.prefix_state[x]) break;
    s = static_cast<uint32_t>(target);
    if (!sink(x, s)) return x + 1;
    ++x;
  }
  return x;
}

// One step of the matching-statistics walk: from (s, len) read c.
inline void ms_step(const Sam& sam, uint32_t& s, uint32_t& len, uint32_t c) {
  for (;;) {
    const int64_t t = sam_next(sam, s, c);
    if (t >= 0) {
      s = static_cast<uint32_t>(t);
      len += 1;
      return;
    }
    if (s == 0) {
      len = 0;
      return;
    }
    len = sam.scan[s].link_len;
    s = sam.scan[s].link;
  }
}

// Largest end position of state `st` that is at most hi, or -1.
inline int64_t occ_pred(const Sam& sam, const StateInfo& st, uint32_t hi) {
  if (st.last_end <= hi) return st.last_end;
  if (st.first_end > hi) return -1;
  if (st.sorted_offset >= 0) {
    const uint32_t* first = sam.sorted_positions.data() + st.sorted_offset;
    const uint32_t* last = first + st.occ_count;
    const uint32_t* it = std::upper_bound(first, last, hi);
    return it == first ? -1 : static_cast<int64_t>(it[-1]);
  }
  // Branch-free so that the compiler vectorises it: best holds e + 1, 0 meaning none.
  const uint32_t* p = sam.end_positions.data() + st.occ_start;
  uint32_t best = 0;
  for (uint32_t k = 0; k < st.occ_count; ++k) {
    const uint32_t v = p[k] <= hi ? p[k] + 1 : 0;
    best = v > best ? v : best;
  }
  return static_cast<int64_t>(best) - 1;
}

// Smallest end position of state `st` in [lo, hi]; the caller knows one exists.
inline uint32_t occ_succ(const Sam& sam, const StateInfo& st, uint32_t lo, uint32_t hi) {
  if (st.first_end >= lo) return st.first_end;
  if (st.sorted_offset >= 0) {
    const uint32_t* first = sam.sorted_positions.data() + st.sorted_offset;
    return *std::lower_bound(first, first + st.occ_count, lo);
  }
  const uint32_t* p = sam.end_positions.data() + st.occ_start;
  uint32_t best = NO_CHAR;
  for (uint32_t k = 0; k < st.occ_count; ++k) {
    const uint32_t v = p[k] >= lo && p[k] <= hi ? p[k] : NO_CHAR;
    best = v < best ? v : best;
  }
  return best;
}

// Direct dynamic programme for b-windows of at most 8 elements.
Match longest_short(Text a, Text b, size_t alo, size_t ahi, size_t blo, size_t bhi) {
  const size_t w = bhi - blo;
  uint32_t window[8];
  for (size_t y = 0; y < w; ++y) window[y] = b[blo + y];
  uint32_t row[9] = {0}, next[9] = {0};
  Match best{0, 0, 0};
  for (size_t x = alo; x < ahi; ++x) {
    const uint32_t c = a[x];
    uint32_t r = 0;
    size_t ry = 0;
    for (size_t y = 0; y < w; ++y) {
      const uint32_t v = window[y] == c ? row[y] + 1 : 0;
      next[y + 1] = v;
      if (v > r) {
        r = v;
        ry = y;
      }
    }
    if (r > best.k) best = Match{x - r + 1, blo + ry - r + 1, r};
    std::copy(next, next + w + 1, row);
  }
  return best;
}

}  // namespace

size_t prefix_fill(Text a, const Sam& sam, uint32_t* ms_state, uint32_t* ms_len) {
  return prefix_walk(a, sam, [&](size_t x, uint32_t s) {
    ms_state[x] = s;
    ms_len[x] = static_cast<uint32_t>(x + 1);
    return true;
  });
}

void matching_stats_into(Text a, const Sam& sam, MatchStats& ms) {
  const size_t la = a.size();
  ms.state.resize(la);
  ms.len.resize(la);
  const size_t f = prefix_fill(a, sam, ms.state.data(), ms.len.data());
  uint32_t s = f > 0 ? static_cast<uint32_t>(sam.prefix_state[f - 1]) : 0;
  uint32_t len = static_cast<uint32_t>(f);
  for (size_t x = f; x < la; ++x) {
    ms_step(sam, s, len, a[x]);
    ms.state[x] = s;
    ms.len[x] = len;
  }
}

bool matching_stats_bounded(Text a, const Sam& sam, MatchStats& ms, uint32_t bound) {
  const size_t la = a.size();
  ms.state.resize(la);
  ms.len.resize(la);
  bool reached = false;
  const size_t f = prefix_walk(a, sam, [&](size_t x, uint32_t s) {
    ms.state[x] = s;
    ms.len[x] = static_cast<uint32_t>(x + 1);
    reached = x + 1 >= bound;
    return !reached;
  });
  if (reached) return true;
  uint32_t s = f > 0 ? static_cast<uint32_t>(sam.prefix_state[f - 1]) : 0;
  uint32_t len = static_cast<uint32_t>(f);
  for (size_t x = f; x < la; ++x) {
    ms_step(sam, s, len, a[x]);
    ms.state[x] = s;
    ms.len[x] = len;
    if (len >= bound) return true;
  }
  return false;
}

Match longest_in(Text a, Text b, const Sam& sam, const MatchStats& ms, std::span<uint32_t> cap,
                 size_t alo, size_t ahi, size_t blo, size_t bhi) {
  if (alo >= ahi || blo >= bhi) return Match{0, 0, 0};
  if (bhi - blo <= 8) return longest_short(a, b, alo, ahi, blo, bhi);

  const uint32_t* ms_state = ms.state.data();
  const uint32_t* ms_len = ms.len.data();
  const auto b_last = static_cast<uint32_t>(bhi - 1);
  const auto b_first = static_cast<uint32_t>(blo);
  Match best{0, 0, 0};
  size_t x = alo;
  while (x < ahi) {
    size_t h = std::min<size_t>({x - alo + 1, ms_len[x], cap[x]});
    while (h <= best.k) {
      x += best.k - h + 1;
      if (x >= ahi) return best;
      h = std::min<size_t>({x - alo + 1, ms_len[x], cap[x]});
    }
    uint32_t s = ms_state[x];
    size_t g;
    for (;;) {
      const StateInfo& st = sam.states[s];
      const size_t m = std::min<size_t>(st.len, h);
      if (best.k >= m) {
        g = m;
        break;
      }
      if (st.link_len < m) {
        const int64_t e = occ_pred(sam, st, b_last);
        if (e >= static_cast<int64_t>(b_first)) {
          const size_t span = static_cast<size_t>(e) - blo + 1;
          const size_t cand = std::min(span, m);
          if (cand > st.link_len) {
            g = cand;
            if (g > best.k) {
              if (span - 1 < m) {
                best = Match{x - g + 1, blo, g};
              } else {
                const uint32_t e2 = occ_succ(sam, st, static_cast<uint32_t>(blo + g - 1), b_last);
                best = Match{x - g + 1, e2 - g + 1, g};
              }
            }
            break;
          }
        }
      }
      if (st.link == 0) {
        g = 0;
        break;
      }
      s = st.link;
    }
    if (g < cap[x]) cap[x] = static_cast<uint32_t>(g);
    x += g <= best.k ? best.k - g + 1 : 1;
  }
  return best;
}

}  // namespace ratiokit
