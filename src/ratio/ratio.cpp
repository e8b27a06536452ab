// Exact-ratio dispatch and the b2j engine. Tested by tests/cpp/ratio_test.cpp and, against
// difflib, by tests/test_ratio.py.
#include "ratio/ratio.hpp"

#include <algorithm>

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
                          sc.cur_row);
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

// M by difflib's recursion over the index already in `sc` (run_len zeroed, rows sized). With
// `extend`, each block found grows through equal elements on both sides, as find_longest_match
// does once elements were left out of the index: with no junk defined its extension loops stop
// only at a mismatch or the window's edge. Without it the block is final, since an index that
// holds every element already found the longest block.
uint64_t b2j_matched(Text a, Text b, B2jScratch& sc, bool extend) {
  return recurse(a.size(), b.size(), StopRule{}, [&](const WindowBounds& w) {
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
  }).m;
}

// Sizes the run table and the row lists for a b of lb elements.
void size_rows(B2jScratch& sc, size_t lb) {
  sc.run_len.assign(lb + 1, 0);
  if (sc.prev_row.size() < lb + 1) {
    sc.prev_row.resize(lb + 1);
    sc.cur_row.resize(lb + 1);
  }
}

// From this length on, a text gets no automaton when the other text is short enough for masks.
constexpr size_t LONG_TEXT = size_t{1} << 16;

}  // namespace

AsciiCounts ascii_counts(Text s) {
  AsciiCounts out;
  out.count.fill(0);
  out.non_ascii = 0;
  for (uint32_t c : s) {
    if (c < 128) {
      ++out.count[c];
    } else {
      ++out.non_ascii;
    }
  }
  return out;
}

uint64_t parse_work_factor(const char* text) {
  if (text == nullptr) return DEFAULT_WORK_FACTOR;
  const char* p = text;
  if (*p == '+') ++p;
  if (*p == '\0') return DEFAULT_WORK_FACTOR;
  uint64_t value = 0;
  for (; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return DEFAULT_WORK_FACTOR;
    const auto digit = static_cast<uint64_t>(*p - '0');
    if (value > (UINT64_MAX - digit) / 10) return DEFAULT_WORK_FACTOR;
    value = value * 10 + digit;
  }
  return value;
}

double ratio_b2j_chars(Text a, Text b, const std::array<uint32_t, 128>& counts_b) {
  const size_t la = a.size(), lb = b.size();
  if (la == 0 || lb == 0) return 0.0;
  Borrow<B2jScratch> sc(B2J);
  sc->char_start.assign(129, 0);
  for (size_t c = 0; c < 128; ++c) sc->char_start[c + 1] = sc->char_start[c] + counts_b[c];
  sc->fill.assign(sc->char_start.begin(), sc->char_start.begin() + 128);
  sc->char_pos.resize(lb);
  for (size_t j = 0; j < lb; ++j) sc->char_pos[sc->fill[b[j]]++] = static_cast<uint32_t>(j);
  size_rows(*sc, lb);
  return ratio_from_m(b2j_matched(a, b, *sc, false), la + lb);
}

double ratio_chars(Text a, Text b, uint64_t work_factor) {
  const size_t la = a.size(), lb = b.size();
  if (la + lb == 0) return 1.0;
  if (la == 0 || lb == 0) return 0.0;
  const auto by_bits = [&] { return ratio_from_m(gestalt_count_bits(a, b, StopRule{}).m, la + lb); };
  const bool bits = bits_fit(la, lb);
  // One word of masks wins whatever the texts; past it, only while few rows keep runs alive.
  if (bits && std::min(la, lb) <= 64) return by_bits();
  // A short a against a long b: b's automaton would cost tens of bytes per code point of b,
  // the masks a few megabytes in all. They sweep b once per level of the recursion, which
  // stays a handful on ordinary text (it can reach the length of a on periodic text).
  if (la <= BITS_MAX_COLS && lb >= LONG_TEXT) return by_bits();
  // A few hundred to a few thousand code points a side: the dense sweep, whatever the texts.
  if (diag_suits(a, b)) return ratio_from_m(gestalt_count_diag(a, b, StopRule{}).m, la + lb);
  const AsciiCounts ca = ascii_counts(a);
  const AsciiCounts cb = ascii_counts(b);
  if (ca.non_ascii != 0 || cb.non_ascii != 0) return bits ? by_bits() : gestalt_ratio_chars(a, b);
  uint64_t coinciding = 0;
  for (size_t c = 0; c < 128; ++c) {
    coinciding += static_cast<uint64_t>(ca.count[c]) * cb.count[c];
  }
  // Code and prose coincide at about one position pair in ten to twenty; a handful of letters
  // (DNA, binary) at one in two to four, where the automaton is faster.
  if (bits && coinciding * 8 <= static_cast<uint64_t>(la) * lb) return by_bits();
  // Saturating, so that a huge factor means "always b2j" rather than wrapping around.
  const uint64_t total = la + lb;
  const uint64_t w = work_factor;
  const uint64_t budget = w > UINT64_MAX / total ? UINT64_MAX : w * total;
  if (coinciding > budget) {
    return gestalt_ratio_chars(a, b);
  }
  return ratio_b2j_chars(a, b, cb.count);
}

bool search_applies(Search search, Text a, Text b) {
  switch (search) {
    case Search::bits:
      return std::min(a.size(), b.size()) <= BITS_MAX_COLS;
    case Search::b2j: {
      const auto ascii = [](Text t) { return std::all_of(t.begin(), t.end(), [](uint32_t c) { return c < 128; }); };
      return ascii(a) && ascii(b);
    }
    case Search::automaton:
      return true;
    case Search::diag:
      return a.size() <= DIAG_MAX_LEN && b.size() <= DIAG_MAX_LEN;
  }
  return false;
}

double ratio_by(Text a, Text b, Search search) {
  const size_t la = a.size(), lb = b.size();
  if (la + lb == 0) return 1.0;
  switch (search) {
    case Search::bits:
      return ratio_from_m(gestalt_count_bits(a, b, StopRule{}).m, la + lb);
    case Search::b2j:
      return ratio_b2j_chars(a, b, ascii_counts(b).count);
    case Search::automaton:
      return gestalt_ratio_chars(a, b);
    case Search::diag:
      return ratio_from_m(gestalt_count_diag(a, b, StopRule{}).m, la + lb);
  }
  return 0.0;
}

double ratio_autojunk_chars(Text a, Text b, uint64_t work_factor) {
  const size_t la = a.size(), lb = b.size();
  if (lb < AUTOJUNK_MIN_LEN) return ratio_chars(a, b, work_factor);  // nothing is popular: the plain ratio
  if (la == 0) return 0.0;
  Borrow<B2jScratch> sc(B2J);
  // Symbol ids: the code points themselves when both texts are ASCII, else ranks among b's
  // distinct code points.
  uint32_t top = 0;
  for (uint32_t c : a) top = std::max(top, c);
  for (uint32_t c : b) top = std::max(top, c);
  Text ta = a, tb = b;
  size_t alphabet = 128;
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
  // Counting sort of b's positions by symbol, leaving out the popular symbols: those occurring
  // more than lb / 100 + 1 times. The bucket after the last symbol stays empty for a's symbols
  // that b lacks.
  std::vector<uint32_t>& start = sc->char_start;
  start.assign(alphabet + 2, 0);
  for (uint32_t c : tb) ++start[c + 1];
  const uint64_t popular_above = lb / 100 + 1;
  for (size_t c = 0; c < alphabet; ++c) {
    if (start[c + 1] > popular_above) start[c + 1] = 0;
  }
  for (size_t c = 0; c <= alphabet; ++c) start[c + 1] += start[c];
  sc->fill.assign(start.begin(), start.end() - 1);
  sc->char_pos.resize(lb);
  for (size_t j = 0; j < lb; ++j) {
    const uint32_t c = tb[j];
    if (sc->fill[c] < start[c + 1]) sc->char_pos[sc->fill[c]++] = static_cast<uint32_t>(j);
  }
  size_rows(*sc, lb);
  return ratio_from_m(b2j_matched(ta, tb, *sc, true), la + lb);
}

CharCounts char_counts(Text s) {
  CharCounts out;
  std::array<uint32_t, 128> hist{};
  for (uint32_t c : s) {
    if (c >= 128) {
      std::vector<uint32_t> sorted(s.begin(), s.end());
      std::sort(sorted.begin(), sorted.end());
      for (size_t i = 0; i < sorted.size();) {
        size_t j = i;
        while (j < sorted.size() && sorted[j] == sorted[i]) ++j;
        out.emplace_back(sorted[i], static_cast<uint32_t>(j - i));
        i = j;
      }
      return out;
    }
    ++hist[c];
  }
  for (uint32_t c = 0; c < 128; ++c) {
    if (hist[c] != 0) out.emplace_back(c, hist[c]);
  }
  return out;
}

}  // namespace ratiokit
