// Bit-parallel longest match for pairs where one text is short. Tested by
// tests/cpp/bits_test.cpp against the brute-force search and the automaton engine, and against
// difflib by tests/test_ratio.py.
//
// One text (the columns, at most BITS_MAX_COLS code points) becomes bit positions of W machine
// words; every position of the other (the rows) gets the mask of columns holding its code
// point. Runs of equal code points are diagonals of set bits, so "a block of length at least t
// ends at (row r, column c)" is bit c of
//   R_t(r) = E(r) & (E(r-1) << 1) & ... & (E(r-t+1) << (t-1)),
// and R_{s+t}(r) = R_s(r) & (R_t(r-s) << s). A window's longest block is found by doubling t
// while some row keeps a bit, then by binary descent between the last two powers: O(rows * W *
// log k) word operations, with no dependence on how often code points coincide. Windows are
// applied by masking columns and taking rows from the window's first row, so runs that begin
// outside the window never count.
#include <algorithm>
#include <array>
#include <bit>

#include "gestalt/gestalt.hpp"
#include "gestalt/recursion.hpp"
#include "gestalt/scratch.hpp"

namespace ratiokit {
namespace {

template <size_t W>
struct Bits {
  std::array<uint64_t, W> w;
};

template <size_t W>
inline Bits<W> operator&(const Bits<W>& x, const Bits<W>& y) {
  Bits<W> out;
  for (size_t i = 0; i < W; ++i) out.w[i] = x.w[i] & y.w[i];
  return out;
}

template <size_t W>
inline bool any(const Bits<W>& x) {
  uint64_t acc = 0;
  for (size_t i = 0; i < W; ++i) acc |= x.w[i];
  return acc != 0;
}

// x shifted towards higher columns by t (0 < t < 64 * W).
template <size_t W>
inline Bits<W> shifted(const Bits<W>& x, size_t t) {
  if constexpr (W == 1) {
    return Bits<W>{{x.w[0] << t}};
  } else {
    Bits<W> out;
    const size_t words = t / 64, bits = t % 64;
    for (size_t i = W; i-- > 0;) {
      uint64_t v = 0;
      if (i >= words) {
        v = x.w[i - words] << bits;
        if (bits != 0 && i > words) v |= x.w[i - words - 1] >> (64 - bits);
      }
      out.w[i] = v;
    }
    return out;
  }
}

template <size_t W>
inline size_t lowest_bit(const Bits<W>& x) {
  for (size_t i = 0; i < W; ++i) {
    if (x.w[i] != 0) return i * 64 + static_cast<size_t>(std::countr_zero(x.w[i]));
  }
  return 64 * W;
}

template <size_t W>
Bits<W> column_mask(size_t lo, size_t hi) {
  Bits<W> out;
  for (size_t i = 0; i < W; ++i) {
    const size_t base = i * 64;
    const size_t from = std::clamp(lo, base, base + 64) - base;
    const size_t to = std::clamp(hi, base, base + 64) - base;
    uint64_t v = 0;
    if (to > from) v = (to - from == 64 ? ~uint64_t{0} : ((uint64_t{1} << (to - from)) - 1)) << from;
    out.w[i] = v;
  }
  return out;
}

// Enough levels for blocks of 64 * W code points: 1, 2, 4, ..., 256.
constexpr size_t MAX_LEVELS = 9;

// Windows of one word of columns and at most this many rows skip no rows (find_dense).
constexpr size_t DENSE_ROWS = 128;

// The arrays of find_dense: the levels of blocks of 1, 2, ..., 64 code points and two for the
// descent, each behind DENSE_PAD rows that stay zero, so that a row shifted in from before the
// window's first row reads as no match without a branch or a fill.
struct DenseLevels {
  static constexpr size_t LEVELS = 7;
  static constexpr size_t PAD = 64;
  static constexpr size_t STRIDE = PAD + DENSE_ROWS;
  std::array<uint64_t, (LEVELS + 2) * STRIDE> words{};

  uint64_t* level(size_t p) { return words.data() + p * STRIDE + PAD; }
};

// Rows a window sweeps at once. A longer text of rows is swept in pieces of this many rows
// (each with the block length's worth of rows before it, so that no block is cut), its row
// masks looked up for each piece rather than kept: the memory of a pair then stays a few
// megabytes however long its longer text is.
constexpr size_t ROW_PIECE = size_t{1} << 14;

// Column masks per code point, W words each, all zero between pairs: a pair ORs in its column
// text's bits, copies out the masks of its rows, and clears what it set. ASCII code points index
// the table directly; the others go through a small open-addressed table (key NO_CHAR: empty).
struct MaskTable {
  static constexpr size_t HASHED = 1024;  // > 2 * BITS_MAX_COLS, so probes stay short
  std::array<uint64_t, 128 * 4> ascii{};
  std::array<uint32_t, HASHED> key;
  std::array<uint64_t, HASHED * 4> hashed{};
  std::array<uint16_t, BITS_MAX_COLS> used;
  MaskTable() { key.fill(NO_CHAR); }
};

struct BitsScratch {
  MaskTable table;
  DenseLevels dense;
  std::vector<uint64_t> rows;    // E(r) for every row, W words each
  std::vector<uint64_t> levels;  // MAX_LEVELS arrays of one window's rows
  std::vector<uint64_t> cur, cand;
  std::vector<uint64_t> live;    // the row sets of the levels and of cur and cand
};

size_t scratch_bytes(const BitsScratch& sc) {
  return scratch_bytes_of(sc.rows, sc.levels, sc.cur, sc.cand, sc.live);
}

thread_local ScratchSlot<BitsScratch> BITS_BUF;

inline size_t hash_slot(uint32_t c) { return (c * 0x9E3779B1u) >> 22; }

// The slot of a non-ASCII code point: its own, or the empty one where it would go.
inline size_t find_slot(const MaskTable& t, uint32_t c) {
  size_t h = hash_slot(c);
  while (t.key[h] != c && t.key[h] != NO_CHAR) h = (h + 1) % MaskTable::HASHED;
  return h;
}

template <size_t W>
struct BitsFinder {
  Text a, b;
  bool rows_are_a;  // rows index a and columns b, or the other way round
  BitsScratch& sc;
  size_t live_words = 0;
  size_t row_room = 0;     // rows each level holds
  bool by_piece = false;   // rows swept a piece at a time, masks looked up from the table
  size_t table_used = 0;   // slots of sc.table.hashed taken by this pair, in sc.table.used

  // The table holds the column masks while rows go by piece; it must be left all clear for
  // the next pair, whether the recursion finishes or is cancelled.
  ~BitsFinder() {
    if (by_piece) clear_table();
  }

  Text row_text() const { return rows_are_a ? a : b; }
  Text col_text() const { return rows_are_a ? b : a; }

  uint64_t* mask_of(uint32_t c, bool add) {
    MaskTable& t = sc.table;
    if (c < 128) return &t.ascii[c * W];
    const size_t h = find_slot(t, c);
    if (t.key[h] == NO_CHAR) {
      if (!add) return nullptr;
      t.key[h] = c;
      t.used[table_used++] = static_cast<uint16_t>(h);
    }
    return &t.hashed[h * W];
  }

  void clear_table() {
    MaskTable& t = sc.table;
    for (const uint32_t c : col_text()) {
      if (c < 128) {
        for (size_t i = 0; i < W; ++i) t.ascii[c * W + i] = 0;
      }
    }
    for (size_t u = 0; u < table_used; ++u) {
      t.key[t.used[u]] = NO_CHAR;
      for (size_t i = 0; i < W; ++i) t.hashed[t.used[u] * W + i] = 0;
    }
    table_used = 0;
  }

  // The masks of rows [r0, r1) into sc.rows from its start.
  void fill_rows(size_t r0, size_t r1) {
    const Text rows = row_text();
    for (size_t r = r0; r < r1; ++r) {
      const uint64_t* m = mask_of(rows[r], false);
      for (size_t i = 0; i < W; ++i) sc.rows[(r - r0) * W + i] = m == nullptr ? 0 : m[i];
    }
  }

  void prepare() {
    const Text cols = col_text(), rows = row_text();
    by_piece = rows.size() > ROW_PIECE + BITS_MAX_COLS;
    row_room = by_piece ? ROW_PIECE + BITS_MAX_COLS : rows.size();
    live_words = (row_room + 63) / 64;
    // Grown only: every word is written before it is read, and shrinking then regrowing would
    // zero-fill the arrays again for each pair of a batch whose lengths vary.
    grow(sc.rows, row_room * W);
    grow(sc.levels, MAX_LEVELS * row_room * W);
    grow(sc.cur, row_room * W);
    grow(sc.cand, row_room * W);
    grow(sc.live, (MAX_LEVELS + 2) * live_words);
    // Nothing from here on allocates or throws until the recursion starts.
    for (size_t c = 0; c < cols.size(); ++c) mask_of(cols[c], true)[c / 64] |= uint64_t{1} << (c % 64);
    if (!by_piece) {
      fill_rows(0, rows.size());
      clear_table();
    }
  }

  static void grow(std::vector<uint64_t>& v, size_t n) {
    if (v.size() < n) v.resize(n);
  }

  Bits<W>* level(size_t p) {
    return reinterpret_cast<Bits<W>*>(sc.levels.data()) + p * row_room;
  }

  // Rows of level p live in its array only where its row set says so; the others hold stale
  // words and are never read.
  uint64_t* row_set(size_t p) { return sc.live.data() + p * live_words; }

  Match operator()(const WindowBounds& w) {
    if (!by_piece) {
      const size_t rlo = rows_are_a ? w.alo : w.blo;
      return find(w, reinterpret_cast<const Bits<W>*>(sc.rows.data()) + rlo);
    }
    // Pieces of rows, each widened back by the longest block the window can hold so that it
    // sees every block ending in it whole; the best block over all pieces, by difflib's order.
    const size_t rlo = rows_are_a ? w.alo : w.blo, rhi = rows_are_a ? w.ahi : w.bhi;
    const size_t width = rows_are_a ? w.bhi - w.blo : w.ahi - w.alo;
    Match best{w.alo, w.blo, 0};
    for (size_t r0 = rlo; r0 < rhi; r0 += ROW_PIECE) {
      const size_t from = std::max(rlo, r0 - std::min(r0, width - 1));
      const size_t to = std::min(rhi, r0 + ROW_PIECE);
      fill_rows(from, to);
      WindowBounds piece = w;
      (rows_are_a ? piece.alo : piece.blo) = from;
      (rows_are_a ? piece.ahi : piece.bhi) = to;
      const Match m = find(piece, reinterpret_cast<const Bits<W>*>(sc.rows.data()));
      if (m.k > best.k || (m.k == best.k && m.k > 0 && (m.i < best.i || (m.i == best.i && m.j < best.j)))) {
        best = m;
      }
    }
    return best;
  }

  // The longest block of window w, whose first row's mask is at e.
  Match find(const WindowBounds& w, const Bits<W>* e) {
    const size_t rlo = rows_are_a ? w.alo : w.blo, rhi = rows_are_a ? w.ahi : w.bhi;
    const size_t clo = rows_are_a ? w.blo : w.alo, chi = rows_are_a ? w.bhi : w.ahi;
    const size_t n = rhi - rlo, width = chi - clo;
    if constexpr (W == 1) {
      if (n <= DENSE_ROWS) return find_dense(w, e);
    }
    const size_t words = (n + 63) / 64;
    const Bits<W> cols = column_mask<W>(clo, chi);
    if (n == 1 || width == 1) {
      // Every block is one code point: the first match in row order, lowest column first, is
      // difflib's in either orientation (one of the two sides has a single position).
      for (size_t r = 0; r < n; ++r) {
        const Bits<W> hit = e[r] & cols;
        if (!any(hit)) continue;
        const size_t row = rlo + r, col = lowest_bit(hit);
        return rows_are_a ? Match{row, col, 1} : Match{col, row, 1};
      }
      return Match{w.alo, w.blo, 0};
    }
    Bits<W>* l0 = level(0);
    uint64_t* live0 = row_set(0);
    uint64_t found = 0;
    for (size_t x = 0; x < words; ++x) {
      uint64_t bits = 0;
      const size_t end = std::min(n, x * 64 + 64);
      for (size_t r = x * 64; r < end; ++r) {
        l0[r] = e[r] & cols;
        bits |= static_cast<uint64_t>(any(l0[r])) << (r % 64);
      }
      live0[x] = bits;
      found |= bits;
    }
    if (found == 0) return Match{w.alo, w.blo, 0};
    // Doubling: level p holds R_{2^p}, grown only from rows where both halves live.
    const size_t longest = std::min(n, width);
    size_t p = 0;
    while ((size_t{2} << p) <= longest) {
      const size_t t = size_t{1} << p;
      if (!step(level(p), row_set(p), level(p), row_set(p), t, level(p + 1), row_set(p + 1),
                words)) {
        break;
      }
      ++p;
    }
    // Binary descent from 2^p towards 2^(p+1) - 1.
    Bits<W>* cur = level(p);
    const uint64_t* cur_live = row_set(p);
    Bits<W>* spare[2] = {reinterpret_cast<Bits<W>*>(sc.cur.data()),
                         reinterpret_cast<Bits<W>*>(sc.cand.data())};
    uint64_t* spare_live[2] = {row_set(MAX_LEVELS), row_set(MAX_LEVELS + 1)};
    size_t next = 0;
    size_t k = size_t{1} << p;
    for (size_t q = p; q-- > 0;) {
      const size_t s = size_t{1} << q;
      if (k + s > longest) continue;
      if (step(cur, cur_live, level(q), row_set(q), k, spare[next], spare_live[next], words)) {
        cur = spare[next];
        cur_live = spare_live[next];
        next ^= 1;
        k += s;
      }
    }
    // difflib's tie-break: the block earliest in a, then earliest in b. Blocks of one length
    // order by their last position exactly as by their first.
    size_t row_end = 0, col_end = 0;
    const auto first_row = [&](auto&& keep) {
      for (size_t x = 0; x < words; ++x) {
        for (uint64_t bits = cur_live[x]; bits != 0; bits &= bits - 1) {
          const size_t r = x * 64 + static_cast<size_t>(std::countr_zero(bits));
          if (keep(r)) return r;
        }
      }
      return n;
    };
    if (rows_are_a) {
      row_end = first_row([](size_t) { return true; });
      col_end = lowest_bit(cur[row_end]);
    } else {
      Bits<W> all{};
      first_row([&](size_t r) {
        for (size_t i = 0; i < W; ++i) all.w[i] |= cur[r].w[i];
        return false;
      });
      col_end = lowest_bit(all);
      const size_t word = col_end / 64;
      const uint64_t bit = uint64_t{1} << (col_end % 64);
      row_end = first_row([&](size_t r) { return (cur[r].w[word] & bit) != 0; });
    }
    const size_t row_start = rlo + row_end + 1 - k, col_start = col_end + 1 - k;
    return rows_are_a ? Match{row_start, col_start, k} : Match{col_start, row_start, k};
  }

  // find() for one word of columns and few rows: every row of every level is computed, in
  // straight loops the compiler vectorises, where skipping dead rows would cost more in
  // bookkeeping than the words it saves. Same levels, same descent, same tie-break.
  Match find_dense(const WindowBounds& w, const Bits<1>* e) {
    const size_t rlo = rows_are_a ? w.alo : w.blo, rhi = rows_are_a ? w.ahi : w.bhi;
    const size_t clo = rows_are_a ? w.blo : w.alo, chi = rows_are_a ? w.bhi : w.ahi;
    const size_t n = rhi - rlo, width = chi - clo;
    const uint64_t cols = column_mask<1>(clo, chi).w[0];
    const auto words = [&](size_t p) { return sc.dense.level(p); };
    // Levels 0 and 1 in one pass: most windows of ordinary text hold no block longer than
    // one or two code points, and stop here.
    uint64_t* l0 = words(0);
    uint64_t* l1 = words(1);
    uint64_t found = 0, found_two = 0, above = 0;
    for (size_t r = 0; r < n; ++r) {
      const uint64_t v = e[r].w[0] & cols;
      l0[r] = v;
      l1[r] = v & (above << 1);
      found |= v;
      found_two |= l1[r];
      above = v;
    }
    if (found == 0) return Match{w.alo, w.blo, 0};
    const size_t longest = std::min(n, width);
    size_t p = longest >= 2 && found_two != 0 ? 1 : 0;
    while (p != 0 && (size_t{2} << p) <= longest &&
           dense_step(words(p), words(p), size_t{1} << p, words(p + 1), n)) {
      ++p;
    }
    const uint64_t* cur = words(p);
    uint64_t* spare[2] = {words(DenseLevels::LEVELS), words(DenseLevels::LEVELS + 1)};
    size_t next = 0;
    size_t k = size_t{1} << p;
    for (size_t q = p; q-- > 0;) {
      const size_t s = size_t{1} << q;
      if (k + s > longest) continue;
      if (dense_step(cur, words(q), k, spare[next], n)) {
        cur = spare[next];
        next ^= 1;
        k += s;
      }
    }
    size_t row_end = 0;
    uint64_t col_bits = 0;
    if (rows_are_a) {
      while (cur[row_end] == 0) ++row_end;
      col_bits = cur[row_end];
    } else {
      // The lowest column over all rows, then the first row holding it.
      for (size_t r = 0; r < n; ++r) col_bits |= cur[r];
      col_bits &= ~col_bits + 1;
      while ((cur[row_end] & col_bits) == 0) ++row_end;
    }
    const size_t col_end = static_cast<size_t>(std::countr_zero(col_bits));
    const size_t row_start = rlo + row_end + 1 - k, col_start = col_end + 1 - k;
    return rows_are_a ? Match{row_start, col_start, k} : Match{col_start, row_start, k};
  }

  // out(r) = x(r) & (y(r - t) << t) for every row, 0 < t < 64, y's rows before its first being
  // its zero pad; returns whether any word of out is set.
  static bool dense_step(const uint64_t* x, const uint64_t* y, size_t t, uint64_t* out, size_t n) {
    const uint64_t* const back = y - t;  // inside the pad, which holds 64 rows
    uint64_t acc = 0;
    for (size_t r = 0; r < n; ++r) {
      out[r] = x[r] & (back[r] << t);
      acc |= out[r];
    }
    return acc != 0;
  }

  // out(r) = x(r) & (y(r - t) << t) for the rows r where x and y(r - t) both live; returns
  // whether any row of out lives.
  static bool step(const Bits<W>* x, const uint64_t* x_live, const Bits<W>* y,
                   const uint64_t* y_live, size_t t, Bits<W>* out, uint64_t* out_live,
                   size_t words) {
    const size_t ws = t / 64, bs = t % 64;
    uint64_t any_live = 0;
    for (size_t v = 0; v < words; ++v) {
      // Bit r of the candidates: row r of x and row r - t of y both live.
      uint64_t shifted_y = 0;
      if (v >= ws) {
        shifted_y = y_live[v - ws] << bs;
        if (bs != 0 && v > ws) shifted_y |= y_live[v - ws - 1] >> (64 - bs);
      }
      uint64_t cand = x_live[v] & shifted_y;
      uint64_t kept = 0;
      for (; cand != 0; cand &= cand - 1) {
        const size_t bit = static_cast<size_t>(std::countr_zero(cand));
        const size_t r = v * 64 + bit;
        out[r] = x[r] & shifted(y[r - t], t);
        kept |= static_cast<uint64_t>(any(out[r])) << bit;
      }
      out_live[v] = kept;
      any_live |= kept;
    }
    return any_live != 0;
  }
};

template <size_t W>
GestaltCount count_bits(Text a, Text b, bool rows_are_a, StopRule rule) {
  Borrow<BitsScratch> sc(BITS_BUF);
  BitsFinder<W> finder{a, b, rows_are_a, *sc};
  finder.prepare();
  return recurse(a.size(), b.size(), rule, finder);
}

size_t words_for(size_t len) { return (len + 63) / 64; }

// Row-words the cheaper orientation sweeps per level; SIZE_MAX when neither side fits.
size_t row_words(size_t la, size_t lb) {
  size_t best = SIZE_MAX;
  if (lb <= BITS_MAX_COLS) best = la * words_for(lb);
  if (la <= BITS_MAX_COLS) best = std::min(best, lb * words_for(la));
  return best;
}

}  // namespace

bool bits_fit(size_t la, size_t lb, bool automaton_built) {
  const size_t work = row_words(la, lb);
  if (work == SIZE_MAX) return false;
  // With b's automaton already paid for, a pair costs only its matching pass and windows there,
  // which a single word of masks still beats while the rows stay few.
  if (automaton_built) return std::min(la, lb) <= 64 && std::max(la, lb) <= 512;
  // Measured on standard-library functions: about 0.02 us per row-word for this search,
  // against about 0.075 us per code point of b (the automaton's build) plus 0.035 us per code
  // point of a for the automaton's.
  return 20 * static_cast<uint64_t>(work) <= 75 * static_cast<uint64_t>(lb) + 35 * static_cast<uint64_t>(la);
}

GestaltCount gestalt_count_bits(Text a, Text b, StopRule rule) {
  // Columns are the side that leaves the fewest row-words to sweep per level.
  const size_t la = a.size(), lb = b.size();
  const bool b_fits = lb <= BITS_MAX_COLS, a_fits = la <= BITS_MAX_COLS;
  const bool rows_are_a = b_fits && (!a_fits || la * words_for(lb) <= lb * words_for(la));
  switch (words_for(rows_are_a ? lb : la)) {
    case 0:
    case 1:
      return count_bits<1>(a, b, rows_are_a, rule);
    case 2:
      return count_bits<2>(a, b, rows_are_a, rule);
    case 3:
      return count_bits<3>(a, b, rows_are_a, rule);
    default:
      return count_bits<4>(a, b, rows_are_a, rule);
  }
}

}  // namespace ratiokit
