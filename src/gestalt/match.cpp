// Matching statistics and the longest common block of one window. Tested by
// tests/cpp/gestalt_test.cpp against a brute-force search.
#include <algorithm>
#include <bit>
#include <cassert>

#include "gestalt/gestalt.hpp"
#include "parallel/parallel.hpp"

namespace ratiokit {
namespace {

// Positions between cancellation checks in the linear scans: a few microseconds of work.
constexpr uint32_t CHECK_EVERY = 4096;

// Walks a along the automaton while it agrees with the automaton's own text, which keeps every
// step on the cached preferred edge.
template <class Sink>
size_t prefix_walk(Text a, const Sam& sam, Sink&& sink) {
  const size_t limit = std::min(a.size(), sam.prefix_state.size());
  uint32_t s = 0;
  size_t x = 0;
  const CancelCheck check;
  while (x < limit) {
    if (x % CHECK_EVERY == 0) check();
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
  if (st.sorted_offset != NO_SORTED) {
    const uint32_t* first = sam.sorted_positions.data() + st.sorted_offset;
    const uint32_t* last = first + st.occ_count;
    const uint32_t* it = std::upper_bound(first, last, hi);
    return it == first ? -1 : static_cast<int64_t>(it[-1]);
  }
  if (st.occ_count >= INDEXED_OCC_MIN) {
    const uint32_t lo = st.occ_start, end = st.occ_start + st.occ_count;
    const uint32_t below = wavelet_count_below(sam.end_index, lo, end, uint64_t{hi} + 1);
    return below == 0 ? -1 : static_cast<int64_t>(wavelet_kth(sam.end_index, lo, end, below - 1));
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
  if (st.sorted_offset != NO_SORTED) {
    const uint32_t* first = sam.sorted_positions.data() + st.sorted_offset;
    return *std::lower_bound(first, first + st.occ_count, lo);
  }
  if (st.occ_count >= INDEXED_OCC_MIN) {
    const uint32_t start = st.occ_start, end = st.occ_start + st.occ_count;
    const uint32_t below = wavelet_count_below(sam.end_index, start, end, lo);
    return wavelet_kth(sam.end_index, start, end, below);
  }
  const uint32_t* p = sam.end_positions.data() + st.occ_start;
  uint32_t best = NO_CHAR;
  for (uint32_t k = 0; k < st.occ_count; ++k) {
    const uint32_t v = p[k] >= lo && p[k] <= hi ? p[k] : NO_CHAR;
    best = v < best ? v : best;
  }
  return best;
}

// What one state of the walk in longest_in says: settled, with the block length g it gives (m
// is min(len, h)), and the end position e of that block in b when it beats the best so far.
struct Probe {
  bool settled;
  size_t g, m;
  int64_t e;
};

// The deepest state on the link path from s up to the root for which `settles` holds, given
// that it holds for the root and, once it holds, for every state above: O(log n) heavy paths,
// each probed at its top, then one binary search along the last.
template <class Settles>
uint32_t deepest_ancestor(const Sam& sam, uint32_t s, Settles&& settles) {
  for (;;) {
    const PathSlot slot = sam.path_slot[s];
    const uint32_t top = sam.heavy_paths[slot.top];
    if (settles(top)) {
      uint32_t lo = slot.top, hi = slot.pos;  // settles at lo; find the last such position
      while (lo < hi) {
        const uint32_t mid = lo + (hi - lo + 1) / 2;
        if (settles(sam.heavy_paths[mid])) {
          lo = mid;
        } else {
          hi = mid - 1;
        }
      }
      return sam.heavy_paths[lo];
    }
    s = sam.states[top].link;
  }
}

// Skip steps a window takes on its own before it asks the skip index: ordinary text rarely
// needs more, and the index costs a pass over a to build.
constexpr size_t SKIPS_BEFORE_INDEX = 32;

// The longest block ending in a's block `block` that any window inside the current one can hold.
uint32_t block_reach(const uint32_t* ms_len, const uint32_t* cap, size_t block, size_t n) {
  const size_t lo = block * SKIP_BLOCK, hi = std::min(n, lo + SKIP_BLOCK);
  uint32_t most = 0;
  for (size_t x = lo; x < hi; ++x) most = std::max(most, std::min(ms_len[x], cap[x]));
  return most;
}

void build_skip(SkipIndex& index, const uint32_t* ms_len, const uint32_t* cap, size_t n) {
  const size_t blocks = (n + SKIP_BLOCK - 1) / SKIP_BLOCK;
  index.leaves = std::bit_ceil(std::max<size_t>(blocks, 1));
  index.tree.assign(2 * index.leaves, 0);
  uint32_t* tree = index.tree.data();
  for (size_t k = 0; k < blocks; ++k) tree[index.leaves + k] = block_reach(ms_len, cap, k, n);
  for (size_t v = index.leaves; v-- > 1;) tree[v] = std::max(tree[2 * v], tree[2 * v + 1]);
}

// The first x in [from, end) with min(ms_len[x], cap[x]) > t, or end. Every inner node holds
// the max of its children; a leaf may hold more than its block's true max (caps fell since),
// and is lowered, with its ancestors, when a search reaches it for nothing.
size_t next_above(SkipIndex& index, const uint32_t* ms_len, const uint32_t* cap, size_t n,
                  size_t from, size_t end, uint32_t t) {
  const auto above = [&](size_t x) { return std::min(ms_len[x], cap[x]) > t; };
  const size_t first_end = std::min(end, (from / SKIP_BLOCK + 1) * SKIP_BLOCK);
  for (size_t x = from; x < first_end; ++x) {
    if (above(x)) return x;
  }
  if (first_end >= end) return end;
  uint32_t* tree = index.tree.data();
  size_t node = index.leaves + first_end / SKIP_BLOCK;
  // To the next subtree on the right, or 0 past the last one.
  const auto step_right = [](size_t v) {
    while ((v & 1) != 0) v >>= 1;
    return v == 0 ? v : v + 1;
  };
  for (;;) {
    while (tree[node] <= t) {
      node = step_right(node);
      if (node == 0) return end;
    }
    while (node < index.leaves) {
      node *= 2;
      if (tree[node] <= t) ++node;
    }
    const size_t lo = (node - index.leaves) * SKIP_BLOCK;
    if (lo >= end) return end;
    const size_t hi = std::min(end, lo + SKIP_BLOCK);
    for (size_t x = lo; x < hi; ++x) {
      if (above(x)) return x;
    }
    if (hi == end) return end;
    tree[node] = block_reach(ms_len, cap, node - index.leaves, n);
    for (size_t up = node >> 1; up >= 1; up >>= 1) {
      const uint32_t most = std::max(tree[2 * up], tree[2 * up + 1]);
      if (tree[up] == most) break;
      tree[up] = most;
    }
    node = step_right(node);
    if (node == 0) return end;
  }
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

namespace {

// The matching statistics of a from position f on, where the first f positions match a prefix
// of b (filled by the caller). True as soon as a length reaches `bound`, leaving the rest unset.
bool ms_from(Text a, const Sam& sam, MatchStats& ms, size_t f, uint32_t bound) {
  uint32_t s = f > 0 ? static_cast<uint32_t>(sam.prefix_state[f - 1]) : 0;
  uint32_t len = static_cast<uint32_t>(f);
  const CancelCheck check;
  for (size_t x = f; x < a.size(); ++x) {
    if (x % CHECK_EVERY == 0) check();
    ms_step(sam, s, len, a[x]);
    ms.state[x] = s;
    ms.len[x] = len;
    if (len >= bound) return true;
  }
  return false;
}

}  // namespace

void matching_stats_into(Text a, const Sam& sam, MatchStats& ms) {
  const size_t la = a.size();
  ms.state.resize(la);
  ms.len.resize(la);
  const size_t f = prefix_fill(a, sam, ms.state.data(), ms.len.data());
  // No length reaches UINT32_MAX: texts are shorter.
  ms_from(a, sam, ms, f, UINT32_MAX);
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
  return ms_from(a, sam, ms, f, bound);
}

Match longest_in(Text a, Text b, const Sam& sam, const MatchStats& ms, std::span<uint32_t> cap,
                 size_t alo, size_t ahi, size_t blo, size_t bhi, SkipIndex* skip) {
  if (alo >= ahi || blo >= bhi) return Match{0, 0, 0};
  if (bhi - blo <= 8) return longest_short(a, b, alo, ahi, blo, bhi);

  const uint32_t* ms_state = ms.state.data();
  const uint32_t* ms_len = ms.len.data();
  const auto b_last = static_cast<uint32_t>(bhi - 1);
  const auto b_first = static_cast<uint32_t>(blo);
  // No block of the window is longer than its b side.
  const size_t b_width = bhi - blo;
  const bool has_paths = !sam.path_slot.empty();
  const CancelCheck check;
  uint32_t until_check = CHECK_EVERY;
  Match best{0, 0, 0};
  size_t x = alo;
  size_t h = 0;
  // Whether state t settles the block ending at x: either it cannot beat the best block found,
  // or its longest string (capped at h) that ends inside the window is longer than its link's.
  // Reads only; the caller records the block of the state it settles on.
  auto probe = [&](uint32_t t) -> Probe {
    const StateInfo& st = sam.states[t];
    const size_t m = std::min<size_t>(st.len, h);
    if (best.k >= m) return Probe{true, m, m, -1};
    if (st.link_len < m) {
      const int64_t e = occ_pred(sam, st, b_last);
      if (e >= static_cast<int64_t>(b_first)) {
        const size_t cand = std::min(static_cast<size_t>(e) - blo + 1, m);
        if (cand > st.link_len) return Probe{true, cand, m, e};
      }
    }
    return Probe{false, 0, m, -1};
  };
  size_t skips = 0;
  while (x < ahi) {
    h = std::min<size_t>({x - alo + 1, ms_len[x], cap[x], b_width});
    while (h <= best.k) {
      if (best.k >= b_width) return best;
      x += best.k - h + 1;
      if (skip != nullptr && ++skips > SKIPS_BEFORE_INDEX && x < ahi) {
        if (skip->leaves == 0) build_skip(*skip, ms_len, cap.data(), cap.size());
        x = next_above(*skip, ms_len, cap.data(), cap.size(), std::max(x, alo + best.k), ahi,
                       static_cast<uint32_t>(best.k));
      }
      if (x >= ahi) return best;
      h = std::min<size_t>({x - alo + 1, ms_len[x], cap[x], b_width});
    }
    if (--until_check == 0) {
      until_check = CHECK_EVERY;
      check();
    }
    // Walk up from the state of the longest match ending at x to the first state that settles
    // the longest block ending at x inside the window. On repetitive text that walk can be as
    // long as the text (lengths dropping by one period per link), so after a few steps the
    // rest is a search along heavy paths: whether a state settles is monotone along the walk.
    uint32_t s = ms_state[x];
    Probe p = probe(s);
    for (int steps = 0; !p.settled; ++steps) {
      const uint32_t up = sam.states[s].link;
      if (up == 0) break;
      if (steps == 8 && has_paths) {
        s = deepest_ancestor(sam, up, [&](uint32_t t) { return t == 0 || probe(t).settled; });
        if (s != 0) p = probe(s);
        break;
      }
      s = up;
      p = probe(s);
    }
    const size_t g = p.settled ? p.g : 0;
    if (p.settled && p.e >= 0 && g > best.k) {
      const size_t span = static_cast<size_t>(p.e) - blo + 1;
      if (span - 1 < p.m) {
        best = Match{x - g + 1, blo, g};
      } else {
        const uint32_t e2 =
            occ_succ(sam, sam.states[s], static_cast<uint32_t>(blo + g - 1), b_last);
        best = Match{x - g + 1, e2 - g + 1, g};
      }
    }
    if (g < cap[x]) cap[x] = static_cast<uint32_t>(g);
    x += g <= best.k ? best.k - g + 1 : 1;
  }
  return best;
}

}  // namespace ratiokit
