// difflib's longest-match search over a counting-sort index of b, with and without autojunk.
#include "gestalt/b2j.hpp"

#include <algorithm>
#include <vector>

#include "gestalt/recursion.hpp"
#include "gestalt/scratch.hpp"
#include "parallel/parallel.hpp"

namespace ratiokit {
namespace {

struct RowEntry {
  uint32_t j1;  // j + 1
  uint32_t k;
};

struct B2jScratch {
  std::vector<uint32_t> char_start;
  std::vector<uint32_t> char_pos;
  std::vector<uint32_t> fill;
  std::vector<uint32_t> run_len;
  std::vector<RowEntry> prev_row;
  std::vector<RowEntry> cur_row;
  // The autojunk index works on dense symbol ids: b's distinct code points in ascending order,
  // and the two texts translated to them (a code point of a that b lacks gets the id after them).
  std::vector<uint32_t> symbols;
  std::vector<uint32_t> a_ids;
  std::vector<uint32_t> b_ids;
};

size_t scratch_bytes(const B2jScratch& sc) {
  return scratch_bytes_of(sc.char_start, sc.char_pos, sc.fill, sc.run_len, sc.prev_row,
                          sc.cur_row, sc.symbols, sc.a_ids, sc.b_ids);
}

thread_local ScratchSlot<B2jScratch> B2J;

// difflib's find_longest_match with no junk, on the counting-sort index of b. Rows reset only
// the run lengths the previous row set, so the table stays all-zero between windows. The row
// lists are sized lb + 1 up front and filled through raw cursors: this loop is the engine.
Match find_longest_b2j(Text a, B2jScratch& sc, size_t alo, size_t ahi, size_t blo, size_t bhi) {
  Match best{alo, blo, 0};
  if (alo >= ahi) return best;
  uint32_t* run_len = sc.run_len.data();
  const uint32_t* char_start = sc.char_start.data();
  const uint32_t* char_pos = sc.char_pos.data();
  RowEntry* prev = sc.prev_row.data();
  RowEntry* cur = sc.cur_row.data();
  size_t prev_n = 0;
  const auto lo = static_cast<uint32_t>(blo), hi = static_cast<uint32_t>(bhi);
  uint32_t best_k = 0;
  const CancelCheck check;
  for (size_t i = alo; i < ahi; ++i) {
    // A row costs up to the number of c's in b; sixteen of them are still a short stretch.
    if ((i - alo) % 16 == 0) check();
    const uint32_t c = a[i];
    const uint32_t* end = char_pos + char_start[c + 1];
    // Positions ascend: jump to the first one inside the window instead of skipping to it.
    const uint32_t* pos = char_pos + char_start[c];
    if (lo > 0) {
      if (end - pos > 8) {
        pos = std::lower_bound(pos, end, lo);
      } else {
        while (pos < end && *pos < lo) ++pos;
      }
    }
    size_t cur_n = 0;
    for (; pos < end; ++pos) {
      const uint32_t j = *pos;
      if (j >= hi) break;
      const uint32_t k = run_len[j] + 1;
      cur[cur_n++] = RowEntry{j + 1, k};
      if (k > best_k) {
        best_k = k;
        best = Match{i - k + 1, j - k + 1, k};
      }
    }
    for (size_t e = 0; e < prev_n; ++e) run_len[prev[e].j1] = 0;
    for (size_t e = 0; e < cur_n; ++e) run_len[cur[e].j1] = cur[e].k;
    std::swap(prev, cur);
    prev_n = cur_n;
  }
  for (size_t e = 0; e < prev_n; ++e) run_len[prev[e].j1] = 0;
  return best;
}

// The count under `rule` by difflib's recursion over the index already in `sc` (run_len
// zeroed, rows sized). With `extend`, each block found grows through equal elements on both
// sides, as find_longest_match does once elements were left out of the index: with no junk
// defined its extension loops stop only at a mismatch or the window's edge. Without it the
// block is final, since an index that holds every element already found the longest block.
GestaltCount b2j_matched(Text a, Text b, B2jScratch& sc, bool extend, StopRule rule) {
  return recurse(a.size(), b.size(), rule, [&](const WindowBounds& w) {
    Match r = find_longest_b2j(a, sc, w.alo, w.ahi, w.blo, w.bhi);
    if (extend) {
      while (r.i > w.alo && r.j > w.blo && a[r.i - 1] == b[r.j - 1]) {
        --r.i;
        --r.j;
        ++r.k;
      }
      while (r.i + r.k < w.ahi && r.j + r.k < w.bhi && a[r.i + r.k] == b[r.j + r.k]) ++r.k;
    }
    return r;
  });
}

// Sizes the run table and the row lists for a b of lb elements.
void size_rows(B2jScratch& sc, size_t lb) {
  sc.run_len.assign(lb + 1, 0);
  if (sc.prev_row.size() < lb + 1) {
    sc.prev_row.resize(lb + 1);
    sc.cur_row.resize(lb + 1);
  }
}

// The counting sort of b's positions by symbol (each below `alphabet`) into sc.char_start and
// sc.char_pos, leaving out symbols that occur more than `popular_above` times. sc.char_start
// must hold b's count of symbol c at c + 1 (count_symbols; alphabet + 2 entries); the bucket
// after the last symbol stays empty, for symbols of a that b lacks.
void index_counted(Text b, size_t alphabet, uint64_t popular_above, B2jScratch& sc) {
  std::vector<uint32_t>& start = sc.char_start;
  for (size_t c = 0; c < alphabet; ++c) {
    if (start[c + 1] > popular_above) start[c + 1] = 0;
  }
  for (size_t c = 0; c <= alphabet; ++c) start[c + 1] += start[c];
  sc.fill.assign(start.begin(), start.end() - 1);
  sc.char_pos.resize(b.size());
  for (size_t j = 0; j < b.size(); ++j) {
    const uint32_t c = b[j];
    if (sc.fill[c] < start[c + 1]) sc.char_pos[sc.fill[c]++] = static_cast<uint32_t>(j);
  }
}

void count_symbols(Text b, size_t alphabet, B2jScratch& sc) {
  sc.char_start.assign(alphabet + 2, 0);
  for (uint32_t c : b) ++sc.char_start[c + 1];
}

}  // namespace

double ratio_b2j_chars(Text a, Text b, const std::array<uint32_t, 128>& counts_b) {
  const size_t la = a.size(), lb = b.size();
  if (la + lb == 0) return 1.0;
  return ratio_from_m(gestalt_count_b2j(a, b, counts_b, StopRule{}).m, la + lb);
}

GestaltCount gestalt_count_b2j(Text a, Text b, const std::array<uint32_t, 128>& counts_b,
                               StopRule rule) {
  const size_t lb = b.size();
  Borrow<B2jScratch> sc(B2J);
  sc->char_start.assign(129, 0);
  for (size_t c = 0; c < 128; ++c) sc->char_start[c + 1] = sc->char_start[c] + counts_b[c];
  sc->fill.assign(sc->char_start.begin(), sc->char_start.begin() + 128);
  sc->char_pos.resize(lb);
  for (size_t j = 0; j < lb; ++j) sc->char_pos[sc->fill[b[j]]++] = static_cast<uint32_t>(j);
  size_rows(*sc, lb);
  return b2j_matched(a, b, *sc, false, rule);
}

std::optional<uint64_t> gestalt_count_symbols(Text a, Text b, size_t alphabet,
                                              uint64_t max_coinciding) {
  Borrow<B2jScratch> sc(B2J);
  count_symbols(b, alphabet, *sc);
  // Each position of a meets as many positions of b as b holds its symbol.
  uint64_t coinciding = 0;
  for (uint32_t c : a) coinciding += sc->char_start[c + 1];
  if (coinciding > max_coinciding) return std::nullopt;
  index_counted(b, alphabet, UINT64_MAX, *sc);
  size_rows(*sc, b.size());
  return b2j_matched(a, b, *sc, false, StopRule{}).m;
}

uint64_t gestalt_count_autojunk(Text a, Text b, size_t plain_alphabet) {
  const size_t la = a.size(), lb = b.size();
  Borrow<B2jScratch> sc(B2J);
  // Symbol ids: the code points themselves when both texts are ASCII, or symbols below a given
  // alphabet as they are, else ranks among b's distinct code points.
  uint32_t top = 0;
  if (plain_alphabet == 0) {
    for (uint32_t c : a) top = std::max(top, c);
    for (uint32_t c : b) top = std::max(top, c);
  }
  Text ta = a, tb = b;
  size_t alphabet = std::max<size_t>(plain_alphabet, 128);
  if (top >= 128) {
    sc->symbols.assign(b.begin(), b.end());
    std::sort(sc->symbols.begin(), sc->symbols.end());
    sc->symbols.erase(std::unique(sc->symbols.begin(), sc->symbols.end()), sc->symbols.end());
    alphabet = sc->symbols.size();
    const auto id_of = [&](uint32_t c) {
      const auto it = std::lower_bound(sc->symbols.begin(), sc->symbols.end(), c);
      return it != sc->symbols.end() && *it == c
                 ? static_cast<uint32_t>(it - sc->symbols.begin())
                 : static_cast<uint32_t>(alphabet);
    };
    sc->a_ids.resize(la);
    sc->b_ids.resize(lb);
    for (size_t i = 0; i < la; ++i) sc->a_ids[i] = id_of(a[i]);
    for (size_t j = 0; j < lb; ++j) sc->b_ids[j] = id_of(b[j]);
    ta = sc->a_ids;
    tb = sc->b_ids;
  }
  // The popular symbols, those occurring more than lb / 100 + 1 times, stay out of the index.
  count_symbols(tb, alphabet, *sc);
  index_counted(tb, alphabet, lb / 100 + 1, *sc);
  size_rows(*sc, lb);
  return b2j_matched(ta, tb, *sc, true, StopRule{}).m;
}

}  // namespace ratiokit
