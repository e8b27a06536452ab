// Suffix automaton construction. Tested by tests/cpp/gestalt_test.cpp.
//
// The online construction runs on a per-thread Builder whose arrays keep their capacity, so
// building many short automata allocates only the frozen result. Edges live in four inline
// slots per state (most states have few successors) with an overflow list beyond that, and the
// root's ASCII edges also sit in a direct table. finalize() freezes everything into the Sam's
// flat, sorted layout.
#include <algorithm>
#include <bit>
#include <cassert>
#include <memory>

#include "gestalt/gestalt.hpp"
#include "gestalt/scratch.hpp"
#include "parallel/parallel.hpp"

namespace ratiokit {
namespace {

struct InlineEdge {
  uint32_t c;
  int32_t target;
};

// One state under construction. Everything extend() touches for a state sits in one record, so
// the online step costs about one cache line per state it visits.
struct BuildState {
  InlineEdge edges[4];  // the first four edges in insertion order; empty slots hold NO_CHAR
  uint32_t edge_count;
  int32_t overflow_head;  // edges beyond the fourth, newest first; -1 if none
  int32_t len;
  int32_t link;
  int32_t first_end;
  uint8_t is_primary;  // created for a text position (not a clone, not the root)
};

// Room for the states of one build, left uninitialized: new_state writes every state before
// it is read, and a text of n code points makes between n + 1 and 2n states (a run n + 1), so
// the pages of states never made are never touched and cost no resident memory.
struct StateArena {
  std::unique_ptr<BuildState[]> data;
  size_t capacity = 0;

  void ensure(size_t n) {
    if (capacity >= n) return;
    data.reset();
    data.reset(new BuildState[n]);
    capacity = n;
  }
  BuildState& operator[](size_t i) { return data[i]; }
  const BuildState& operator[](size_t i) const { return data[i]; }
};

size_t scratch_bytes(const StateArena& arena) { return arena.capacity * sizeof(BuildState); }

struct Builder {
  StateArena st;  // room for 2n + 1 states; `count` are in use
  uint32_t count = 0;
  std::vector<uint32_t> overflow_char;
  std::vector<int32_t> overflow_target;
  std::vector<int32_t> overflow_next;
  std::array<int32_t, 128> root_ascii;
  uint32_t last = 0;
  // finalize() scratch
  std::vector<uint32_t> offsets, histogram, by_len, counts, sort_tmp, wavelet_tmp, subtree, heavy;

  void reset(size_t n) {
    st.ensure(2 * n + 1);
    count = 0;
    overflow_char.clear();
    overflow_target.clear();
    overflow_next.clear();
    root_ascii.fill(-1);
    new_state(0, -1, 0, 0);
    last = 0;
  }

  uint32_t new_state(int32_t length, int32_t suffix_link, int32_t first, uint8_t primary) {
    const uint32_t id = count++;
    BuildState& s = st[id];
    for (InlineEdge& e : s.edges) e = InlineEdge{NO_CHAR, -1};
    s.edge_count = 0;
    s.overflow_head = -1;
    s.len = length;
    s.link = suffix_link;
    s.first_end = first;
    s.is_primary = primary;
    return id;
  }

  int32_t find(uint32_t s, uint32_t c) const {
    if (s == 0 && c < 128) return root_ascii[c];
    const BuildState& state = st[s];
    for (const InlineEdge& e : state.edges) {
      if (e.c == c) return e.target;
    }
    if (state.edge_count > 4) {
      for (int32_t node = state.overflow_head; node >= 0; node = overflow_next[node]) {
        if (overflow_char[node] == c) return overflow_target[node];
      }
    }
    return -1;
  }

  void add_edge(uint32_t s, uint32_t c, int32_t target) {
    BuildState& state = st[s];
    if (state.edge_count < 4) {
      state.edges[state.edge_count] = {c, target};
    } else {
      overflow_char.push_back(c);
      overflow_target.push_back(target);
      overflow_next.push_back(state.overflow_head);
      state.overflow_head = static_cast<int32_t>(overflow_char.size() - 1);
    }
    ++state.edge_count;
    if (s == 0 && c < 128) root_ascii[c] = target;
  }

  void redirect(uint32_t s, uint32_t c, int32_t target) {
    if (s == 0 && c < 128) root_ascii[c] = target;
    for (InlineEdge& e : st[s].edges) {
      if (e.c == c) {
        e.target = target;
        return;
      }
    }
    for (int32_t node = st[s].overflow_head; node >= 0; node = overflow_next[node]) {
      if (overflow_char[node] == c) {
        overflow_target[node] = target;
        return;
      }
    }
  }

  void extend(uint32_t c, uint32_t pos) {
    const uint32_t cur = new_state(st[last].len + 1, -1, static_cast<int32_t>(pos), 1);
    int32_t p = static_cast<int32_t>(last);
    while (p != -1 && find(p, c) < 0) {
      add_edge(p, c, static_cast<int32_t>(cur));
      p = st[p].link;
    }
    if (p == -1) {
      st[cur].link = 0;
    } else {
      const int32_t q = find(p, c);
      if (st[p].len + 1 == st[q].len) {
        st[cur].link = q;
      } else {
        const uint32_t clone = new_state(st[p].len + 1, st[q].link, st[q].first_end, 0);
        const uint32_t q_edges = st[q].edge_count;
        for (uint32_t e = 0; e < std::min<uint32_t>(q_edges, 4); ++e) {
          add_edge(clone, st[q].edges[e].c, st[q].edges[e].target);
        }
        for (int32_t node = st[q].overflow_head; node >= 0; node = overflow_next[node]) {
          add_edge(clone, overflow_char[node], overflow_target[node]);
        }
        while (p != -1 && find(p, c) == q) {
          redirect(p, c, static_cast<int32_t>(clone));
          p = st[p].link;
        }
        st[q].link = static_cast<int32_t>(clone);
        st[cur].link = static_cast<int32_t>(clone);
      }
    }
    last = cur;
  }

  void finalize(Text text, Sam& sam);
  uint32_t max_link_depth(const Sam& sam);
  void build_heavy_paths(Sam& sam);
};

void sort_run(uint64_t* first, uint64_t* last) {
  // The empty text's automaton has no edges at all, and then `first` is null: stepping it even
  // by one is undefined.
  if (last - first < 2) return;
  if (last - first <= 16) {
    for (uint64_t* it = first + 1; it < last; ++it) {
      const uint64_t key = *it;
      uint64_t* hole = it;
      while (hole > first && hole[-1] > key) {
        *hole = hole[-1];
        --hole;
      }
      *hole = key;
    }
  } else {
    std::sort(first, last);
  }
}

// Sorts count values below `limit` into out, least significant byte first; `tmp` is scratch.
void radix_sort(const uint32_t* in, uint32_t count, size_t limit, uint32_t* out,
                std::vector<uint32_t>& tmp) {
  int passes = 1;
  while (passes < 4 && (limit >> (8 * passes)) != 0) ++passes;
  tmp.resize(count);
  // Arrange the passes so that the last one writes into out.
  uint32_t* bufs[2] = {passes % 2 == 1 ? out : tmp.data(), passes % 2 == 1 ? tmp.data() : out};
  const uint32_t* src = in;
  for (int pass = 0; pass < passes; ++pass) {
    uint32_t* dst = bufs[pass % 2];
    const int shift = 8 * pass;
    uint32_t hist[257] = {0};
    for (uint32_t k = 0; k < count; ++k) ++hist[((src[k] >> shift) & 0xFF) + 1];
    for (int d = 0; d < 256; ++d) hist[d + 1] += hist[d];
    for (uint32_t k = 0; k < count; ++k) dst[hist[(src[k] >> shift) & 0xFF]++] = src[k];
    src = dst;
  }
}

// Index of the edge on c within [start, end) of sorted keys, or end.
uint32_t find_in_run(const std::vector<uint64_t>& edges, uint32_t start, uint32_t end, uint32_t c) {
  if (end - start <= 8) {
    for (uint32_t e = start; e < end; ++e) {
      if (static_cast<uint32_t>(edges[e] >> 32) == c) return e;
    }
    return end;
  }
  const uint64_t key = static_cast<uint64_t>(c) << 32;
  auto it = std::lower_bound(edges.begin() + start, edges.begin() + end, key);
  if (it != edges.begin() + end && static_cast<uint32_t>(*it >> 32) == c) {
    return static_cast<uint32_t>(it - edges.begin());
  }
  return end;
}

void Builder::finalize(Text text, Sam& sam) {
  const size_t n = text.size();
  const size_t states = count;

  // Edge runs, sorted by key within each state.
  offsets.assign(states + 1, 0);
  for (size_t s = 0; s < states; ++s) offsets[s + 1] = offsets[s] + st[s].edge_count;
  sam.edges.resize(offsets[states]);
  for (size_t s = 0; s < states; ++s) {
    uint64_t* out = sam.edges.data() + offsets[s];
    const uint32_t count = st[s].edge_count;
    uint32_t k = 0;
    for (; k < std::min<uint32_t>(count, 4); ++k) {
      out[k] = (static_cast<uint64_t>(st[s].edges[k].c) << 32) |
               static_cast<uint32_t>(st[s].edges[k].target);
    }
    for (int32_t node = st[s].overflow_head; node >= 0; node = overflow_next[node], ++k) {
      out[k] = (static_cast<uint64_t>(overflow_char[node]) << 32) |
               static_cast<uint32_t>(overflow_target[node]);
    }
    sort_run(out, out + count);
  }

  sam.root_ascii.fill(-1);
  for (uint32_t e = offsets[0]; e < offsets[1]; ++e) {
    const auto c = static_cast<uint32_t>(sam.edges[e] >> 32);
    if (c < 128) sam.root_ascii[c] = static_cast<int32_t>(static_cast<uint32_t>(sam.edges[e]));
  }

  sam.scan.resize(states);
  for (size_t s = 0; s < states; ++s) {
    ScanSlot& slot = sam.scan[s];
    const uint32_t start = offsets[s], end = offsets[s + 1];
    slot.edge_start = start;
    slot.edge_end = end;
    slot.link = s == 0 ? 0 : static_cast<uint32_t>(st[s].link);
    slot.link_len = s == 0 ? 0 : static_cast<uint32_t>(st[st[s].link].len);
    slot.pref_char = NO_CHAR;
    slot.pref_target = 0;
    slot.alt_char = NO_CHAR;
    slot.alt_target = 0;
    if (start == end) continue;
    uint32_t pref = start;
    const auto fe = static_cast<size_t>(st[s].first_end);
    if (st[s].is_primary && fe + 1 < n) {
      const uint32_t found = find_in_run(sam.edges, start, end, text[fe + 1]);
      if (found != end) pref = found;
    }
    slot.pref_char = static_cast<uint32_t>(sam.edges[pref] >> 32);
    slot.pref_target = static_cast<uint32_t>(sam.edges[pref]);
    for (uint32_t e = start; e < end; ++e) {
      if (static_cast<uint32_t>(sam.edges[e] >> 32) != slot.pref_char) {
        slot.alt_char = static_cast<uint32_t>(sam.edges[e] >> 32);
        slot.alt_target = static_cast<uint32_t>(sam.edges[e]);
        break;
      }
    }
  }

  sam.prefix_state.assign(n, 0);
  for (size_t s = 1; s < states; ++s) {
    if (st[s].is_primary) sam.prefix_state[st[s].first_end] = static_cast<int32_t>(s);
  }

  // States in ascending len (stable), root first.
  histogram.assign(n + 2, 0);
  for (size_t s = 0; s < states; ++s) ++histogram[st[s].len + 1];
  for (size_t l = 1; l < n + 2; ++l) histogram[l] += histogram[l - 1];
  by_len.resize(states);
  for (size_t s = 0; s < states; ++s) by_len[histogram[st[s].len]++] = static_cast<uint32_t>(s);

  counts.assign(states, 0);
  sam.states.resize(states);
  for (size_t s = 0; s < states; ++s) {
    counts[s] = st[s].is_primary ? 1 : 0;
    StateInfo& info = sam.states[s];
    info.len = static_cast<uint32_t>(st[s].len);
    info.link = sam.scan[s].link;
    info.link_len = sam.scan[s].link_len;
    info.sorted_offset = NO_SORTED;
    info.first_end = static_cast<uint32_t>(st[s].first_end);
    info.last_end = st[s].is_primary ? info.first_end : 0;
  }
  // From here on the states' lengths, links and first ends are read from sam.states (a state
  // made for a text position is the prefix state of its first end), so that the builder's
  // states, the largest array of a build, are freed before the rest of the automaton is laid
  // out when they are too large to keep.
  const auto primary = [&](size_t s) {
    return s != 0 && sam.prefix_state[sam.states[s].first_end] == static_cast<int32_t>(s);
  };
  if (scratch_bytes(st) > SCRATCH_KEEP_BYTES) st = StateArena{};
  for (size_t r = states; r-- > 1;) {
    const uint32_t s = by_len[r];
    const uint32_t up = sam.states[s].link;
    counts[up] += counts[s];
    sam.states[up].last_end = std::max(sam.states[up].last_end, sam.states[s].last_end);
  }
  for (size_t s = 0; s < states; ++s) sam.states[s].occ_count = counts[s];

  // Nested ranges: each state's range starts with its own position, then its link-tree
  // children's ranges in ascending len.
  std::vector<uint32_t>& cursor = offsets;  // edge offsets are no longer needed
  cursor.assign(states, 0);
  sam.end_positions.resize(n);
  sam.states[0].occ_start = 0;
  for (size_t r = 1; r < states; ++r) {
    const uint32_t s = by_len[r];
    const uint32_t up = sam.states[s].link;
    sam.states[s].occ_start = cursor[up];
    cursor[up] += counts[s];
    cursor[s] = sam.states[s].occ_start;
    if (primary(s)) sam.end_positions[cursor[s]++] = sam.states[s].first_end;
  }

  // Long ranges get sorted copies, the longest strings (fewest positions) first, while the
  // budget lasts; the rest are searched through the index. The root's range (every position)
  // is never searched.
  const size_t budget = SORTED_COPY_BUDGET * n;
  size_t copied = 0;
  bool indexed = false;
  for (size_t r = states; r-- > 1;) {
    StateInfo& info = sam.states[by_len[r]];
    if (info.occ_count < INDEXED_OCC_MIN) continue;
    if (copied + info.occ_count > budget) {
      indexed = true;
    } else {
      info.sorted_offset = static_cast<uint32_t>(copied);
      copied += info.occ_count;
    }
  }
  sam.sorted_positions.resize(copied);
  for (size_t s = 1; s < states; ++s) {
    const StateInfo& info = sam.states[s];
    if (info.sorted_offset == NO_SORTED) continue;
    radix_sort(sam.end_positions.data() + info.occ_start, info.occ_count, n,
               sam.sorted_positions.data() + info.sorted_offset, sort_tmp);
  }
  if (n >= PATHS_MIN_LEN && max_link_depth(sam) > PATHS_MIN_DEPTH) {
    build_heavy_paths(sam);
  } else {
    sam.heavy_paths.clear();
    sam.path_slot.clear();
  }
  if (indexed) {
    build_wavelet(sam.end_positions, static_cast<uint32_t>(std::bit_width(n - 1)),
                  sam.end_index, wavelet_tmp);
  } else {
    sam.end_index = WaveletMatrix{};
  }
}

// Needs by_len from finalize(): links point to shorter states, so depths fill in len order.
uint32_t Builder::max_link_depth(const Sam& sam) {
  std::vector<uint32_t>& depth = subtree;
  depth.assign(count, 0);
  uint32_t deepest = 0;
  for (size_t r = 1; r < count; ++r) {
    const uint32_t s = by_len[r];
    const uint32_t d = depth[sam.states[s].link] + 1;
    depth[s] = d;
    deepest = std::max(deepest, d);
  }
  return deepest;
}

// Needs by_len from finalize(). The heavy child of a state is its child with the largest
// subtree (the first in ascending len on ties), so any root path crosses O(log n) light links.
void Builder::build_heavy_paths(Sam& sam) {
  const size_t states = count;
  subtree.assign(states, 1);
  for (size_t r = states; r-- > 1;) {
    const uint32_t s = by_len[r];
    subtree[sam.states[s].link] += subtree[s];
  }
  heavy.assign(states, NO_CHAR);
  for (size_t r = 1; r < states; ++r) {
    const uint32_t s = by_len[r];
    const uint32_t up = sam.states[s].link;
    if (heavy[up] == NO_CHAR || subtree[s] > subtree[heavy[up]]) heavy[up] = s;
  }
  sam.heavy_paths.resize(states);
  sam.path_slot.resize(states);
  uint32_t next = 0;
  for (size_t r = 0; r < states; ++r) {
    const uint32_t s = by_len[r];
    if (s != 0 && heavy[sam.states[s].link] == s) continue;  // not a path's top
    const uint32_t top = next;
    for (uint32_t t = s; t != NO_CHAR; t = heavy[t]) {
      sam.heavy_paths[next] = t;
      sam.path_slot[t] = PathSlot{top, next};
      ++next;
    }
  }
}

size_t scratch_bytes(const Builder& b) {
  return scratch_bytes_of(b.st, b.overflow_char, b.overflow_target, b.overflow_next, b.offsets,
                          b.histogram, b.by_len, b.counts, b.sort_tmp, b.wavelet_tmp, b.subtree, b.heavy);
}

thread_local ScratchSlot<Builder> BUILDER;

}  // namespace

void build_sam_into(Text text, Sam& sam) {
  assert(text.size() <= MAX_TEXT_LEN);
  Borrow<Builder> builder(BUILDER);
  builder->reset(text.size());
  const CancelCheck check;
  for (size_t i = 0; i < text.size(); ++i) {
    if (i % 4096 == 0) check();
    builder->extend(text[i], static_cast<uint32_t>(i));
  }
  builder->finalize(text, sam);
}

Sam build_sam(Text text) {
  Sam sam;
  build_sam_into(text, sam);
  return sam;
}

int64_t sam_next_in_run(const Sam& sam, const ScanSlot& slot, uint32_t c) {
  const uint32_t e = find_in_run(sam.edges, slot.edge_start, slot.edge_end, c);
  return e == slot.edge_end ? -1 : static_cast<int64_t>(static_cast<uint32_t>(sam.edges[e]));
}

}  // namespace ratiokit
