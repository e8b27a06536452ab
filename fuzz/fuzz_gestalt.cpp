// The suffix automaton's invariants on any text, rebuilding into used arrays included, and its
// matching statistics and longest blocks against brute force on a second, small text.
#include <algorithm>
#include <cstring>

#include "fuzz_input.hpp"
#include "reference.hpp"

using namespace ratiokit;

namespace {

void check_invariants(const Sam& sam, Text t) {
  const size_t n = t.size();
  const size_t states = sam.states.size();
  FUZZ_CHECK(states >= 1 && states <= 2 * n + 1);
  FUZZ_CHECK(sam.scan.size() == states);
  FUZZ_CHECK(sam.end_positions.size() == n);
  FUZZ_CHECK(sam.prefix_state.size() == n);
  FUZZ_CHECK(sam.states[0].occ_count == n);
  std::vector<uint32_t> root(sam.end_positions);
  std::sort(root.begin(), root.end());
  for (size_t p = 0; p < n; ++p) FUZZ_CHECK(root[p] == p);
  for (size_t s = 1; s < states; ++s) {
    const StateInfo& st = sam.states[s];
    FUZZ_CHECK(st.link < states);
    const StateInfo& up = sam.states[st.link];
    FUZZ_CHECK(st.len > st.link_len);
    FUZZ_CHECK(st.link_len == up.len);
    FUZZ_CHECK(st.occ_count > 0);
    FUZZ_CHECK(st.occ_start >= up.occ_start);
    FUZZ_CHECK(st.occ_start + st.occ_count <= up.occ_start + up.occ_count);
    const uint32_t* r = sam.end_positions.data() + st.occ_start;
    FUZZ_CHECK(*std::min_element(r, r + st.occ_count) == st.first_end);
    FUZZ_CHECK(*std::max_element(r, r + st.occ_count) == st.last_end);
    // Every end position ends an occurrence of the state's shortest string. Checking all of it
    // costs up to n^3 on long runs; past small texts the last few characters must do.
    const size_t shortest = st.link_len + 1;
    const size_t checked = n <= 150 ? shortest : std::min<size_t>(shortest, 4);
    const size_t e0 = st.first_end;
    for (uint32_t k = 0; k < st.occ_count; ++k) {
      FUZZ_CHECK(r[k] + 1 >= shortest);
      for (size_t d = 0; d < checked; ++d) FUZZ_CHECK(t[r[k] - d] == t[e0 - d]);
    }
    std::vector<uint32_t> want(r, r + st.occ_count);
    std::sort(want.begin(), want.end());
    if (st.sorted_offset != NO_SORTED) {
      FUZZ_CHECK(st.occ_count >= INDEXED_OCC_MIN);
      FUZZ_CHECK(st.sorted_offset + st.occ_count <= sam.sorted_positions.size());
      const uint32_t* c = sam.sorted_positions.data() + st.sorted_offset;
      FUZZ_CHECK(std::equal(want.begin(), want.end(), c));
    } else if (st.occ_count >= INDEXED_OCC_MIN) {
      // Ranges without a sorted copy are read through the index, in ascending order.
      FUZZ_CHECK(sam.end_index.size == n);
      for (uint32_t k = 0; k < st.occ_count; k += 1 + st.occ_count / 8) {
        FUZZ_CHECK(wavelet_kth(sam.end_index, st.occ_start, st.occ_start + st.occ_count, k) ==
                   want[k]);
      }
    }
    FUZZ_CHECK(sam.scan[s].edge_start <= sam.scan[s].edge_end);
    FUZZ_CHECK(sam.scan[s].edge_end <= sam.edges.size());
    for (uint32_t e = sam.scan[s].edge_start; e + 1 < sam.scan[s].edge_end; ++e) {
      FUZZ_CHECK(sam.edges[e] < sam.edges[e + 1]);
    }
  }
  // Walking the text from the root follows the automaton through every prefix's state.
  uint32_t s = 0;
  for (size_t p = 0; p < n; ++p) {
    const int64_t next = sam_next(sam, s, t[p]);
    FUZZ_CHECK(next >= 0);
    s = static_cast<uint32_t>(next);
    FUZZ_CHECK(static_cast<int64_t>(s) == sam.prefix_state[p]);
    FUZZ_CHECK(sam.states[s].len == p + 1);
  }
}

bool same_automaton(const Sam& x, const Sam& y) {
  if (x.states.size() != y.states.size() || x.edges != y.edges ||
      x.prefix_state != y.prefix_state || x.end_positions != y.end_positions ||
      x.sorted_positions != y.sorted_positions || x.root_ascii != y.root_ascii) {
    return false;
  }
  for (size_t s = 0; s < x.states.size(); ++s) {
    if (std::memcmp(&x.states[s], &y.states[s], sizeof(StateInfo)) != 0) return false;
    if (std::memcmp(&x.scan[s], &y.scan[s], sizeof(ScanSlot)) != 0) return false;
  }
  return true;
}

// Longest suffix of a[0..=x] that occurs in b, by brute force.
size_t longest_suffix_in(Text a, size_t x, Text b) {
  size_t best = 0;
  for (size_t l = 1; l <= x + 1 && l <= b.size(); ++l) {
    bool found = false;
    for (size_t e = l - 1; e < b.size() && !found; ++e) {
      found = std::equal(a.begin() + (x + 1 - l), a.begin() + x + 1, b.begin() + (e + 1 - l));
    }
    if (!found) break;  // a longer suffix contains this one
    best = l;
  }
  return best;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::ByteReader in(data, size);
  const uint8_t window_seed = in.byte();
  const std::vector<CodePoints> texts = fuzz::decode_texts(in, 2, 1000);
  const CodePoints& t = texts[0];
  const CodePoints& a = texts[1];

  const Sam sam = build_sam(t);
  check_invariants(sam, t);
  // Rebuilding into arrays sized by another text gives the same automaton.
  static Sam reused;
  build_sam_into(a, reused);
  build_sam_into(t, reused);
  FUZZ_CHECK(same_automaton(sam, reused));

  if (a.size() * t.size() > 20'000) return 0;
  MatchStats ms;
  matching_stats_into(a, sam, ms);
  FUZZ_CHECK(ms.len.size() == a.size());
  uint32_t most = 0;
  for (size_t x = 0; x < a.size(); ++x) {
    FUZZ_CHECK(ms.len[x] == longest_suffix_in(a, x, t));
    most = std::max(most, ms.len[x]);
  }
  MatchStats bounded;
  FUZZ_CHECK(!matching_stats_bounded(a, sam, bounded, most + 1));
  if (most > 0) FUZZ_CHECK(matching_stats_bounded(a, sam, bounded, most));

  if (a.empty() || t.empty()) return 0;
  // One window of the recursion, placed by the seed byte, against the brute-force block.
  const size_t alo = window_seed % (a.size() + 1) / 2;
  const size_t ahi = alo + (a.size() - alo) * ((window_seed >> 4) + 1) / 16;
  const size_t blo = (window_seed * 7u) % (t.size() + 1) / 2;
  const size_t bhi = t.size() - (t.size() - blo) * (window_seed & 3) / 8;
  std::vector<uint32_t> cap(a.size(), NO_CHAR);
  const Match got = longest_in(a, t, sam, ms, cap, alo, ahi, blo, bhi);
  const Match want = reference::longest_block(a, t, alo, ahi, blo, bhi);
  FUZZ_CHECK(got.k == want.k);
  if (want.k > 0) FUZZ_CHECK(got.i == want.i && got.j == want.j);
  return 0;
}
