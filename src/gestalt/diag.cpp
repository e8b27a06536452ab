// Longest match by a dense sweep of each window's diagonals, for texts of a few hundred to a few
// thousand code points. Tested by tests/cpp/diag_test.cpp against the brute-force search and the
// other searches, and against difflib through the dispatcher by tests/test_ratio.py.
//
// Both texts become small integer ids (b's distinct code points numbered, a code point of a
// that b lacks one id no position of b has). A window is swept row by row along a, keeping for
// each column y of its b side the length L(y) of the common run ending at (row, y); the next
// row's value is L(y - 1) + 1 where the ids agree and 0 elsewhere, which is difflib's own
// recurrence over all of b at once, one vector of lanes per step. The first row whose largest
// value beats the best so far, and the first column holding that value, give difflib's
// tie-break (earliest in a, then earliest in b) exactly as its scan does. Lanes are bytes while
// b has few enough distinct code points; a byte saturates at 255, and a window whose best block
// reaches 255 is swept again with 16-bit lanes, which hold any length of a text this search
// takes.
//
// The cost is rows times columns over the lane count, for every window: the top window dominates,
// and ordinary text halves the area at each level of the recursion. The dispatcher weighs that
// against the automaton's linear build (diag_fit).
#include <algorithm>
#include <cstring>
#include <type_traits>
#include <utility>

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#include <cpuid.h>
#endif

#include "gestalt/gestalt.hpp"
#include "gestalt/recursion.hpp"
#include "gestalt/scratch.hpp"

namespace ratiokit {
namespace {

// Ids 0..252 are b's code points in byte lanes; the sentinels below never equal one of them.
constexpr uint32_t BYTE_IDS = 253;
constexpr uint16_t A_ONLY16 = 0xFFFF, PAD16 = 0xFFFE;
constexpr uint8_t A_ONLY8 = 0xFF, PAD8 = 0xFE;

// Bytes in the widest vector of lanes; the row buffers and the window's ids are padded by one.
constexpr size_t VBYTES = 32;

// A block found, as its window's children see it: the left child ends where it starts, the right
// child starts where it ends.
struct Corner {
  uint32_t j, k;  // k = 0: none
};

struct DiagScratch {
  std::vector<uint16_t> ids_a, ids_b;  // 16-bit ids of both texts
  std::vector<uint8_t> bytes_a, bytes_b;
  std::vector<uint32_t> wide;          // b's distinct non-ASCII code points, ascending
  std::vector<uint8_t> row;            // L of the previous row, one lane per column, from index 1
  std::vector<uint8_t> window_b;       // the window's b ids, padded with PAD
  std::vector<Corner> starts, ends;    // blocks found, by their first and past-the-end a positions
};

size_t scratch_bytes(const DiagScratch& sc) {
  return scratch_bytes_of(sc.ids_a, sc.ids_b, sc.bytes_a, sc.bytes_b, sc.wide, sc.row,
                          sc.window_b, sc.starts, sc.ends);
}

thread_local ScratchSlot<DiagScratch> DIAG_BUF;

constexpr size_t DIAG_MIN_SHORTER = 128;

// Numbers b's distinct code points (ASCII by first occurrence, then the others ascending) and
// maps a onto them; returns how many b has.
uint32_t assign_ids(Text a, Text b, DiagScratch& sc) {
  std::array<uint16_t, 128> ascii;
  ascii.fill(A_ONLY16);
  uint32_t next = 0;
  bool any_wide = false;
  for (const uint32_t c : b) {
    if (c >= 128) {
      any_wide = true;
    } else if (ascii[c] == A_ONLY16) {
      ascii[c] = static_cast<uint16_t>(next++);
    }
  }
  sc.wide.clear();
  if (any_wide) {
    for (const uint32_t c : b) {
      if (c >= 128) sc.wide.push_back(c);
    }
    std::sort(sc.wide.begin(), sc.wide.end());
    sc.wide.erase(std::unique(sc.wide.begin(), sc.wide.end()), sc.wide.end());
  }
  const uint32_t ascii_ids = next;
  const auto id_of = [&](uint32_t c) -> uint16_t {
    if (c < 128) return ascii[c];
    const auto it = std::lower_bound(sc.wide.begin(), sc.wide.end(), c);
    if (it == sc.wide.end() || *it != c) return A_ONLY16;
    return static_cast<uint16_t>(ascii_ids + static_cast<uint32_t>(it - sc.wide.begin()));
  };
  sc.ids_a.resize(a.size());
  sc.ids_b.resize(b.size());
  for (size_t i = 0; i < a.size(); ++i) sc.ids_a[i] = id_of(a[i]);
  for (size_t j = 0; j < b.size(); ++j) sc.ids_b[j] = id_of(b[j]);
  return ascii_ids + static_cast<uint32_t>(sc.wide.size());
}

#if defined(__GNUC__) && !defined(RATIOKIT_DIAG_SCALAR)

template <class T, size_t VB>
struct LaneTraits {
  typedef T V __attribute__((vector_size(VB)));
  typedef uint64_t Quads __attribute__((vector_size(VB)));
};

// Vectors go by reference: passing them by value would tie these helpers to one vector ABI.
template <class V>
[[gnu::always_inline]] inline void load(V& v, const void* p) {
  std::memcpy(&v, p, sizeof v);
}

template <class Quads, class V>
[[gnu::always_inline]] inline bool any_set(const V& v) {
  Quads q;
  static_assert(sizeof q == sizeof v);
  std::memcpy(&q, &v, sizeof q);
  uint64_t acc = 0;
  for (size_t k = 0; k < sizeof q / 8; ++k) acc |= q[k];
  return acc != 0;
}

// Lane l of `out` is lane l - 1 of `cur`, and lane 0 the last lane of `before`: the previous
// row's values moved one column along, in registers.
template <class V, size_t LANES, size_t... Is>
[[gnu::always_inline]] inline void shift_in(V& out, const V& before, const V& cur,
                                            std::index_sequence<Is...>) {
#if defined(__clang__) || __GNUC__ >= 12
  out = __builtin_shufflevector(before, cur, (Is == 0 ? LANES - 1 : LANES + Is - 1)...);
#else
  using Lane = std::remove_reference_t<decltype(cur[0])>;
  out = __builtin_shuffle(before, cur, V{static_cast<Lane>(Is == 0 ? LANES - 1 : LANES + Is - 1)...});
#endif
}

// The longest block of the window, lanes of type T over ids of type T, VB bytes per vector; no
// block is longer than `bound`, so the first row that reaches it settles the window. `row` holds
// at least width + 1 + lanes elements, `wb` the window's b ids padded by one vector with an id
// no row has. IN_REGISTERS moves the previous row by one column with a shuffle, which pays
// where the processor shuffles across a whole vector in one or two instructions.
template <class T, size_t VB, bool IN_REGISTERS>
[[gnu::always_inline]] inline Match sweep_lanes(const T* ids_a, const T* wb, T* row, size_t alo,
                                                size_t ahi, size_t blo, size_t width,
                                                size_t bound) {
  using V = typename LaneTraits<T, VB>::V;
  using Quads = typename LaneTraits<T, VB>::Quads;
  constexpr size_t LANES = VB / sizeof(T);
  constexpr T TOP = static_cast<T>(~T{0});
  // Where the row keeps column y: at y when the move by one column happens in registers, else
  // at y + 1 behind a zero for column -1.
  constexpr size_t AT = IN_REGISTERS ? 0 : 1;
  const size_t vectors = (width + LANES - 1) / LANES;
  std::memset(row, 0, (vectors * LANES + AT) * sizeof(T));
  Match best{alo, blo, 0};
  const size_t longest = std::min({ahi - alo, width, bound});
  V best_v = V{} + T{0};
  for (size_t r = alo; r < ahi; ++r) {
    const V ch = V{} + ids_a[r];
    V most = V{};
    if constexpr (IN_REGISTERS) {
      // Each vector is stored where the next row loads it whole, so the load takes the value
      // straight from the store (a load straddling two recent stores waits for both to land);
      // the previous vector's last lane is carried in.
      V carry = V{};
      for (size_t v = 0; v < vectors; ++v) {
        const size_t c = v * LANES;
        V prev, ids, diag;
        load(prev, row + c);
        load(ids, wb + c);
        shift_in<V, LANES>(diag, carry, prev, std::make_index_sequence<LANES>{});
        carry = prev;
        const V eq = reinterpret_cast<V>(ids == ch);
        // diag + 1, stopping at TOP: subtracting the all-ones of "diag != TOP".
        const V next = (diag - reinterpret_cast<V>(diag != TOP)) & eq;
        std::memcpy(row + c, &next, sizeof next);
        most = most > next ? most : next;
      }
    } else {
      // Right to left, so that each step reads the previous row's values before they are
      // overwritten: lanes [c, c + LANES) of the row become columns [c, c + LANES) of this
      // one, stored one place to the right.
      for (size_t v = vectors; v-- > 0;) {
        const size_t c = v * LANES;
        V diag, ids;
        load(diag, row + c);
        load(ids, wb + c);
        const V eq = reinterpret_cast<V>(ids == ch);
        const V next = (diag - reinterpret_cast<V>(diag != TOP)) & eq;
        std::memcpy(row + c + 1, &next, sizeof next);
        most = most > next ? most : next;
      }
    }
    const auto beats = most > best_v;
    if (!any_set<Quads>(beats)) continue;
    T top = 0;
    for (size_t l = 0; l < LANES; ++l) top = std::max<T>(top, most[l]);
    const V top_v = V{} + top;
    for (size_t v = 0;; ++v) {
      V values;
      load(values, row + AT + v * LANES);
      const V hit = reinterpret_cast<V>(values == top_v);
      if (!any_set<Quads>(hit)) continue;
      size_t l = 0;
      while (hit[l] == 0) ++l;
      const size_t y = v * LANES + l;
      best = Match{r + 1 - top, blo + y + 1 - top, top};
      break;
    }
    best_v = V{} + top;
    if (top >= longest || top == TOP) break;
  }
  return best;
}

#define RATIOKIT_DIAG_SWEEPS(suffix, vb, shift, ...)                                                   \
  __VA_ARGS__ Match sweep_bytes_##suffix(const uint8_t* ids_a, const uint8_t* wb, uint8_t* row,  \
                                         size_t alo, size_t ahi, size_t blo, size_t width,      \
                                         size_t bound) {                                        \
    return sweep_lanes<uint8_t, vb, shift>(ids_a, wb, row, alo, ahi, blo, width, bound);               \
  }                                                                                             \
  __VA_ARGS__ Match sweep_shorts_##suffix(const uint16_t* ids_a, const uint16_t* wb,            \
                                          uint16_t* row, size_t alo, size_t ahi, size_t blo,    \
                                          size_t width, size_t bound) {                         \
    return sweep_lanes<uint16_t, vb, shift>(ids_a, wb, row, alo, ahi, blo, width, bound);              \
  }

// Every build has the 16-byte vectors; x86 builds add 32-byte ones for the processors that have
// them, chosen once at run time. Both compute the same values. (64-byte vectors measured no
// faster: a window's rows are short, and a byte shuffle across 64 bytes is slow without VBMI.)
RATIOKIT_DIAG_SWEEPS(base, 16, false)
#if defined(__x86_64__) || defined(__i386__)
#define RATIOKIT_DIAG_X86 1
RATIOKIT_DIAG_SWEEPS(avx2, 32, true, [[gnu::target("avx2")]])
#endif

#else

// The same sweep one lane at a time, for compilers without vector extensions.
template <class T>
Match sweep_scalar(const T* ids_a, const T* wb, T* row, size_t alo, size_t ahi, size_t blo,
                   size_t width, size_t bound) {
  constexpr T TOP = static_cast<T>(~T{0});
  std::memset(row, 0, (width + 1) * sizeof(T));
  Match best{alo, blo, 0};
  const size_t longest = std::min({ahi - alo, width, bound});
  for (size_t r = alo; r < ahi; ++r) {
    const T ch = ids_a[r];
    for (size_t y = width; y-- > 0;) row[y + 1] = wb[y] == ch ? static_cast<T>(row[y] + (row[y] != TOP)) : 0;
    for (size_t y = 0; y < width; ++y) {
      if (row[y + 1] > best.k) best = Match{r + 1 - row[y + 1], blo + y + 1 - row[y + 1], row[y + 1]};
    }
    if (best.k >= longest || best.k == TOP) break;
  }
  return best;
}
Match sweep_bytes_base(const uint8_t* ids_a, const uint8_t* wb, uint8_t* row, size_t alo,
                       size_t ahi, size_t blo, size_t width, size_t bound) {
  return sweep_scalar<uint8_t>(ids_a, wb, row, alo, ahi, blo, width, bound);
}
Match sweep_shorts_base(const uint16_t* ids_a, const uint16_t* wb, uint16_t* row, size_t alo,
                        size_t ahi, size_t blo, size_t width, size_t bound) {
  return sweep_scalar<uint16_t>(ids_a, wb, row, alo, ahi, blo, width, bound);
}

#endif

#if defined(RATIOKIT_DIAG_X86)
// AVX2 by CPUID and XGETBV directly rather than __builtin_cpu_supports, whose model variable
// lives in the compiler's runtime library and need not be linkable into a shared module: the
// processor must have it (leaf 7, EBX bit 5) and the operating system must save the YMM
// registers (OSXSAVE, then XCR0 bits 1 and 2).
bool has_avx2() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  const bool osxsave = (ecx & (1u << 27)) != 0, avx = (ecx & (1u << 28)) != 0;
  if (!osxsave || !avx) return false;
  uint32_t xcr0_lo = 0, xcr0_hi = 0;
  __asm__ volatile("xgetbv" : "=a"(xcr0_lo), "=d"(xcr0_hi) : "c"(0));
  if ((xcr0_lo & 0x6u) != 0x6u) return false;
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
  return (ebx & (1u << 5)) != 0;
}
#endif

// The widest vectors this processor runs that the sweep uses: 16 or 32 bytes.
int vector_bytes() {
#if defined(RATIOKIT_DIAG_X86)
  static const int bytes = has_avx2() ? 32 : 16;
  return bytes;
#else
  return 16;
#endif
}

struct DiagFinder {
  DiagScratch& sc;
  bool bytes;  // ids fit byte lanes
  int vector_bytes;

  Match operator()(const WindowBounds& w) {
    const size_t width = w.bhi - w.blo;
    const size_t bound = parent_bound(w);
    Match m{w.alo, w.blo, 0};
    if (bound == 0) return m;
    bool done = false;
    if (bytes) {
      uint8_t* wb = sc.window_b.data();
      std::memcpy(wb, sc.bytes_b.data() + w.blo, width);
      std::memset(wb + width, PAD8, VBYTES);
      m = sweep_bytes(sc.bytes_a.data(), wb, sc.row.data(), w.alo, w.ahi, w.blo, width, bound);
      // A block of 255 may be longer than the byte lanes can say.
      done = m.k < 255;
    }
    if (!done) {
      auto* wb = reinterpret_cast<uint16_t*>(sc.window_b.data());
      std::memcpy(wb, sc.ids_b.data() + w.blo, width * sizeof(uint16_t));
      std::fill(wb + width, wb + width + VBYTES / sizeof(uint16_t), PAD16);
      auto* row = reinterpret_cast<uint16_t*>(sc.row.data());
      m = sweep_shorts(sc.ids_a.data(), wb, row, w.alo, w.ahi, w.blo, width, bound);
    }
    if (m.k > 0) {
      const auto k = static_cast<uint32_t>(m.k);
      sc.starts[m.i] = Corner{static_cast<uint32_t>(m.j), k};
      sc.ends[m.i + m.k] = Corner{static_cast<uint32_t>(m.j + m.k), k};
    }
    return m;
  }

  // Every block inside a window is at most as long as the block of any window it lies in, and
  // shorter when it lies before that block in a (else that window would have taken it by the
  // tie-break). A window whose top right corner is where a block starts lies in that block's
  // left child, one whose bottom left corner is where a block ends in its right child.
  size_t parent_bound(const WindowBounds& w) const {
    size_t bound = SIZE_MAX;
    const Corner& before = sc.starts[w.ahi];
    if (before.k != 0 && before.j == w.bhi) bound = before.k - 1;
    const Corner& after = sc.ends[w.alo];
    if (after.k != 0 && after.j == w.blo) bound = std::min<size_t>(bound, after.k);
    return bound;
  }

  Match sweep_bytes(const uint8_t* ids_a, const uint8_t* wb, uint8_t* row, size_t alo, size_t ahi,
                    size_t blo, size_t width, size_t bound) const {
#if defined(RATIOKIT_DIAG_X86)
    if (vector_bytes == 32) return sweep_bytes_avx2(ids_a, wb, row, alo, ahi, blo, width, bound);
#endif
    return sweep_bytes_base(ids_a, wb, row, alo, ahi, blo, width, bound);
  }
  Match sweep_shorts(const uint16_t* ids_a, const uint16_t* wb, uint16_t* row, size_t alo,
                     size_t ahi, size_t blo, size_t width, size_t bound) const {
#if defined(RATIOKIT_DIAG_X86)
    if (vector_bytes == 32) return sweep_shorts_avx2(ids_a, wb, row, alo, ahi, blo, width, bound);
#endif
    return sweep_shorts_base(ids_a, wb, row, alo, ahi, blo, width, bound);
  }
};

}  // namespace

bool diag_vectorised() {
#if defined(__GNUC__) && !defined(RATIOKIT_DIAG_SCALAR)
  return true;
#else
  return false;
#endif
}

bool diag_fit(size_t la, size_t lb) {
  if (!diag_vectorised() || la > DIAG_MAX_LEN || lb > DIAG_MAX_LEN) return false;
  // Below this the bit-parallel search's few words of masks cost less.
  if (std::min(la, lb) <= DIAG_MIN_SHORTER) return false;
  // Measured on standard-library functions, with 16- and 32-byte vectors alike: about 0.1 ns
  // per cell of the top window (the recursion's other windows included), against about 90 ns
  // per code point of both texts for the automaton's build and search.
  const uint64_t cells = static_cast<uint64_t>(la) * lb;
  return cells <= 800 * static_cast<uint64_t>(la + lb);
}

bool diag_suits(Text a, Text b) {
  const size_t la = a.size(), lb = b.size();
  if (!diag_fit(la, lb)) return false;
  // A common prefix or suffix of 255 is a block the byte lanes cannot measure, so the top window
  // is swept twice, the second time in 16-bit lanes: the automaton is then the cheaper search
  // from about half the size on (and near-identical texts are its best case).
  const uint64_t cells = static_cast<uint64_t>(la) * lb;
  if (cells <= 400 * static_cast<uint64_t>(la + lb)) return true;
  const size_t prefix = common_prefix(a, b);
  return prefix < 255 && common_suffix(a, b, prefix) < 255;
}

GestaltCount gestalt_count_diag(Text a, Text b, StopRule rule) {
  const size_t la = a.size(), lb = b.size();
  Borrow<DiagScratch> sc(DIAG_BUF);
  const uint32_t distinct = assign_ids(a, b, *sc);
  const bool bytes = distinct <= BYTE_IDS;
  if (bytes) {
    sc->bytes_a.resize(la);
    sc->bytes_b.resize(lb);
    for (size_t i = 0; i < la; ++i) {
      sc->bytes_a[i] = sc->ids_a[i] == A_ONLY16 ? A_ONLY8 : static_cast<uint8_t>(sc->ids_a[i]);
    }
    for (size_t j = 0; j < lb; ++j) sc->bytes_b[j] = static_cast<uint8_t>(sc->ids_b[j]);
  }
  // Room for the 16-bit lanes of the widest window, which also holds the byte lanes.
  sc->row.resize((lb + 1) * sizeof(uint16_t) + 2 * VBYTES);
  sc->window_b.resize(lb * sizeof(uint16_t) + 2 * VBYTES);
  sc->starts.assign(la + 1, Corner{0, 0});
  sc->ends.assign(la + 1, Corner{0, 0});
  DiagFinder finder{*sc, bytes, vector_bytes()};
  return recurse(la, lb, rule, finder);
}

}  // namespace ratiokit
