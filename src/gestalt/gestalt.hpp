// The gestalt engine: the Ratcliff/Obershelp matching count M of two code-point sequences, as
// difflib.SequenceMatcher(None, a, b, autojunk=False) sums it over its matching blocks.
//
// A `Sam` is the suffix automaton of b, frozen into flat arrays: every state's edges form one
// sorted run with the preferred (next-in-text) edge cached, and every state's end positions form
// one contiguous range nested inside its suffix link's range. Ranges of a few hundred positions
// are scanned; longer ones get a sorted copy for binary search while all copies together stay
// within SORTED_COPY_BUDGET times the text (ordinary text needs 1 to 4), and the ranges left
// over (repetitive text has up to n^2 / 2 end positions in all) are searched through a wavelet
// matrix over the whole array, which answers "nearest end position above or below p within a
// range" in O(log n) and costs about log2(n) * 1.25 bits per position. Matching statistics of a against
// it (one linear pass) give, for each x, the longest suffix of a[0..=x] occurring in b; each
// window of the recursion then finds its longest block by walking a with skips, taking
// difflib's tie-break (earliest in a, then earliest in b). Building costs O(n) for a text of
// n code points; a ratio costs one matching pass plus the recursion over windows.
//
// A built Sam is immutable and may be read by any number of threads. Construction and matching
// use per-thread scratch (BUILDER, MS_BUF, WINDOW_BUF, CAP_BUF, SKIP_BUF, BITS_BUF) that lives
// as long as its thread. Texts must be shorter than 2^30 code points (positions and states are 32-bit).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace ratiokit {

using CodePoints = std::vector<uint32_t>;
using Text = std::span<const uint32_t>;

// Longest text the automaton's 32-bit fields can hold.
inline constexpr size_t MAX_TEXT_LEN = (size_t{1} << 30) - 1;

inline constexpr uint32_t NO_CHAR = 0xFFFFFFFFu;

struct ScanSlot {
  uint32_t pref_char, pref_target;
  uint32_t alt_char, alt_target;
  uint32_t edge_start, edge_end;
  uint32_t link, link_len;
};

struct StateInfo {
  uint32_t len;
  uint32_t link, link_len;
  uint32_t sorted_offset;  // start of the ascending copy of the end positions, or NO_SORTED
  uint32_t first_end, last_end;
  uint32_t occ_start, occ_count;
};

inline constexpr uint32_t NO_SORTED = 0xFFFFFFFFu;

struct PathSlot {
  uint32_t top, pos;  // indices into Sam::heavy_paths
};

// A wavelet matrix over an array of values below 2^levels: bit level l (most significant
// first) of every value, in the order the previous levels' stable partitions leave them. Each
// 256-bit block carries its rank: the set bits before it (low 32 bits of `counts`) and, nine
// bits each from bit 32 on, the set bits of its first one, two and three words.
struct RankBlock {
  uint64_t counts;
  uint64_t words[4];
};
inline constexpr uint32_t RANK_BLOCK_BITS = 4 * 64;

struct WaveletMatrix {
  uint32_t size = 0;
  uint32_t levels = 0;
  size_t blocks_per_level = 0;
  std::vector<RankBlock> blocks;  // level l's blocks start at l * blocks_per_level
  std::vector<uint32_t> zeros;    // number of zero bits on each level
};

// Builds the matrix of values (each below 2^levels, levels <= 32); `scratch` is reused.
void build_wavelet(std::span<const uint32_t> values, uint32_t levels, WaveletMatrix& wm,
                   std::vector<uint32_t>& scratch);
// Number of values below x among positions [lo, hi).
uint32_t wavelet_count_below(const WaveletMatrix& wm, uint32_t lo, uint32_t hi, uint64_t x);
// The k-th smallest (from 0) value among positions [lo, hi); k < hi - lo.
uint32_t wavelet_kth(const WaveletMatrix& wm, uint32_t lo, uint32_t hi, uint32_t k);

struct Sam {
  std::vector<uint64_t> edges;  // (code point << 32) | target, one ascending run per state
  std::array<int32_t, 128> root_ascii;
  std::vector<ScanSlot> scan;
  std::vector<int32_t> prefix_state;  // state of t[0..=p]
  std::vector<uint32_t> end_positions;
  std::vector<StateInfo> states;
  std::vector<uint32_t> sorted_positions;  // the sorted copies, at most SORTED_COPY_BUDGET * n
  // Over end_positions; built only when some long range has no sorted copy.
  WaveletMatrix end_index;
  // Heavy-path decomposition of the suffix-link tree, for texts of at least PATHS_MIN_LEN:
  // every heavy path's states in ascending len, one path after another, and for each state the
  // start of its path and its own place there. On repetitive text a state's link chain is as
  // long as the text; searches along these paths take O(log n) probes instead.
  std::vector<uint32_t> heavy_paths;
  std::vector<PathSlot> path_slot;
};

// Texts from this length on get heavy paths, when some suffix-link chain is deeper than
// PATHS_MIN_DEPTH; otherwise every link walk is short anyway and the paths would cost their
// build for nothing (ordinary text and code have shallow link trees; runs and periodic text
// have chains as long as the text).
inline constexpr size_t PATHS_MIN_LEN = 512;
inline constexpr uint32_t PATHS_MIN_DEPTH = 64;

// Ranges at least this long are searched (in a sorted copy or the index) instead of scanned.
inline constexpr uint32_t INDEXED_OCC_MIN = 257;
// Sorted copies hold at most this many positions per code point of the text; with texts below
// 2^30 code points their offsets stay below NO_SORTED.
inline constexpr size_t SORTED_COPY_BUDGET = 4;

Sam build_sam(Text text);
// The same, reusing the arrays (and so the capacity) of an existing Sam.
void build_sam_into(Text text, Sam& sam);

// Target of the edge of state s on c, or -1. Inline: the matching pass takes a step per code
// point, and nearly every step ends at the root's table or a state's two cached edges.
int64_t sam_next_in_run(const Sam& sam, const ScanSlot& slot, uint32_t c);
inline int64_t sam_next(const Sam& sam, uint32_t s, uint32_t c) {
  if (s == 0 && c < 128) return sam.root_ascii[c];
  const ScanSlot& slot = sam.scan[s];
  if (slot.pref_char == c) return slot.pref_target;
  if (slot.alt_char == c) return slot.alt_target;
  if (slot.edge_end - slot.edge_start < 3) return -1;
  return sam_next_in_run(sam, slot, c);
}

// The window a[alo..ahi) x b[blo..bhi) of the recursion.
struct WindowBounds {
  size_t alo, ahi, blo, bhi;
};

struct Match {
  size_t i, j, k;
};

struct MatchStats {
  std::vector<uint32_t> state;
  std::vector<uint32_t> len;
};

// Heap memory held, for the per-thread scratch that keeps these between calls.
size_t scratch_bytes(const Sam& sam);
size_t scratch_bytes(const MatchStats& ms);

size_t prefix_fill(Text a, const Sam& sam, uint32_t* ms_state, uint32_t* ms_len);
void matching_stats_into(Text a, const Sam& sam, MatchStats& ms);
// True as soon as some position's match length reaches `bound`.
bool matching_stats_bounded(Text a, const Sam& sam, MatchStats& ms, uint32_t bound);

// The positions of a that can still start a longer block: a max-tree over blocks of
// SKIP_BLOCK positions of min(ms.len[x], cap[x]), which finds the next position above any
// length in O(log n). A window whose best block is short scans the rest of its a side one or
// two positions per step; on runs and periodic text, where difflib's recursion cuts the texts
// into a window per code point, that scan alone would be quadratic. Built on first need by
// longest_in and kept for the recursion (clear() it when ms or cap start over). Caps only
// fall, so the tree holds upper bounds, and a block found stale is recomputed when reached.
struct SkipIndex {
  std::vector<uint32_t> tree;  // heap order from 1; leaves (blocks) from `leaves` on
  size_t leaves = 0;           // 0 until built
  void clear() { leaves = 0; }
};
inline constexpr size_t SKIP_BLOCK = 16;
size_t scratch_bytes(const SkipIndex& index);

// Longest common block of a[alo..ahi) x b[blo..bhi) with difflib's tie-break; k = 0 when none.
// `cap` holds per-position upper bounds valid for every window inside the current one; `skip`,
// when given, must stay with the same ms and cap across the windows of one recursion.
Match longest_in(Text a, Text b, const Sam& sam, const MatchStats& ms, std::span<uint32_t> cap,
                 size_t alo, size_t ahi, size_t blo, size_t bhi, SkipIndex* skip = nullptr);

// ---------------------------------------------------------------------------------------------
// The recursion (recursion.hpp drives it for every longest-match search).
//
// A recursion may stop before M is known: with Outcome::reached_cap as soon as M >= cap, with
// Outcome::short_of_need as soon as the windows left cannot bring M up to need. The default
// rule never stops, and the count is then exact.
struct StopRule {
  uint64_t need = 0;
  uint64_t cap = UINT64_MAX;
};
enum class Outcome : uint8_t { exact, reached_cap, short_of_need };
struct GestaltCount {
  uint64_t m;  // M when exact, else the count reached when the recursion stopped
  Outcome outcome;
};

// One pending window of the recursion; `bound` = min of its two sides is the most it can still
// add to M.
struct Window {
  WindowBounds at;
  size_t bound;
};

// The count through b's automaton, given matching statistics of a against it.
GestaltCount gestalt_count_sam(Text a, Text b, const Sam& sam_b, const MatchStats& ms,
                               StopRule rule);

// The count by bit-parallel search, for pairs whose shorter text has at most BITS_MAX_COLS code
// points: that text becomes bit masks swept along the other. It needs no automaton and no
// per-pair allocation once a thread has warmed up. bits_fit says whether it is the cheaper
// search for a pair of these lengths of ordinary text, counting the build of b's automaton
// unless it exists already. Its cost grows with how many rows keep runs alive, so texts over
// a very small alphabet (where every row does) are the dispatcher's to steer away.
inline constexpr size_t BITS_MAX_COLS = 256;
bool bits_fit(size_t la, size_t lb, bool automaton_built = false);
GestaltCount gestalt_count_bits(Text a, Text b, StopRule rule);

// The count by a dense sweep of each window's diagonals (diag.cpp), for pairs where neither text
// is longer than DIAG_MAX_LEN: every window costs its rows times its columns over the lanes of a
// vector, with no index to build, which beats the automaton's build on texts of a few hundred to
// a few thousand code points. diag_fit says whether it is the cheaper search for a pair of these
// lengths; diag_vectorised whether this build sweeps vectors of lanes (without them the search
// is exact but never the cheaper one).
inline constexpr size_t DIAG_MAX_LEN = 65533;
bool diag_vectorised();
bool diag_fit(size_t la, size_t lb);
// diag_fit, and for the larger pairs also no common prefix or suffix of 255 code points or more.
bool diag_suits(Text a, Text b);
GestaltCount gestalt_count_diag(Text a, Text b, StopRule rule);

// M for a against b, given b's automaton.
uint64_t gestalt_m_with(Text a, const Sam& sam, Text b);

// 2M / (la + lb); 1.0 for two empty texts.
double gestalt_ratio_chars(Text a, Text b);

// Computes the exact ratio from a count, the way every engine does.
inline double ratio_from_m(uint64_t m, size_t total) {
  return (static_cast<double>(m) * 2.0) / static_cast<double>(total);
}

// ---------------------------------------------------------------------------------------------
// Threshold tests (threshold.cpp).
//
// Clustering and search rarely need a ratio exactly: they ask whether ratio(a, b) reaches a
// threshold, or for the exact ratio only when it lies at or below a cap. The tests below run the
// same recursion as an exact count but stop once the answer is settled: accept as soon as the
// matched count reaches what is needed, reject once the windows still waiting cannot supply it,
// and settle what a common prefix, suffix or single long block already decides before any
// recursion. Every answer equals comparing difflib's exact ratio, as ratio_from_m computes it,
// with the cutoff.
//
// Like a scorer with a score cutoff, every test takes the pair, b's automaton and a ratio
// cutoff, and answers std::optional<double>: a ratio when the pair's ratio lies on the asked
// side of the cutoff, nothing otherwise. The automaton comes in prebuilt and is only read (pairs
// the bit-parallel search serves better leave it unused); scratch is per thread, so any number
// of threads may test pairs against shared automata.
//
// Cutoffs become counts through need_count / cap_count, which search the count whose ratio,
// computed in double exactly as ratio_from_m does, crosses the cutoff: a ratio equal to the
// cutoff is on both sides of it, whatever rounding t * T / 2 suffers. Counts no pair of the
// total can reach come back as total / 2 + 1, which every comparison with an M treats as out of
// reach (M is at most the shorter length).

// The smallest M with ratio_from_m(M, total) >= threshold: the pair reaches the threshold
// exactly when its count is at least this. 0 for a NaN or non-positive threshold (and for
// total 0).
uint64_t need_count(double threshold, size_t total);

// The smallest M with ratio_from_m(M, total) > cap; 0 for a NaN or negative cap.
uint64_t cap_count(double cap, size_t total);

// The exact ratio when it reaches `cutoff`. Two empty texts give 1.0 whatever the cutoff, and a
// NaN cutoff is reached by every pair, as need_count treats them.
std::optional<double> gestalt_ratio_at_least(Text a, Text b, const Sam& sam_b, double cutoff);

// Present exactly when gestalt_ratio_at_least is, but settled as cheaply as possible (quick
// accepts first, then a best-first recursion that stops at the needed count): the value is the
// ratio of the count the test reached, at least the cutoff and at most the exact ratio.
std::optional<double> gestalt_ratio_reaches(Text a, Text b, const Sam& sam_b, double cutoff);

// The exact ratio when it is at most `cutoff`.
std::optional<double> gestalt_ratio_at_most(Text a, Text b, const Sam& sam_b, double cutoff);

// The same from a count: the exact ratio when M < cap. a and b must be non-empty.
std::optional<double> gestalt_ratio_below_count(Text a, Text b, const Sam& sam_b, uint64_t cap);

// Length of the common prefix of a and b, and of their common suffix within the rest.
size_t common_prefix(Text a, Text b);
size_t common_suffix(Text a, Text b, size_t prefix);

}  // namespace ratiokit
