// Exact single-linkage clustering of code-point strings at a ratio threshold.
//
// Two strings are linked when their gestalt ratio (gestalt.hpp, the automaton built over the
// string with the higher index) reaches the threshold; clusters are the connected components of
// two or more members, each reported with the exact minimum ratio over all pairs of its members.
//
// How it gets there without n^2 exact ratios:
//   1. candidate_pairs keeps only pairs whose length bound (real_quick_ratio) and character-count
//      bound (quick_ratio_counts) both reach the threshold; a length-sorted walk stops each row
//      early, so spread-out lengths cost little, and a one-cache-line histogram of character
//      groups rejects most pairs before the full count bound is read.
//   2. spanning_edges verifies candidates in order of decreasing count bound, skipping pairs a
//      union-find forest already connects, in batches that grow from 32 to 2048 pairs: first the
//      LCS bound (a banded bit-parallel scan that stops once settled), then the early-stopping
//      threshold tests of gestalt.hpp on the pairs it leaves, with their automata built first.
//      Past STREAM_BUDGET pairs within the length bound, candidates are produced a block of
//      rows at a time and verified before the next block (CandidateStream), leaving out pairs the
//      forest already connects, so memory stays with the strings and the block.
//   3. assemble forms the components and evaluates every remaining member pair with a ratio
//      capped at the cluster's running minimum, lowest bound first, so a pair that cannot lower
//      the minimum costs little. It is shared with the LSH variant, which brings its own edges.
//
// Automata are built on first use and kept while those built cover at most RESIDENT_BUDGET
// code points of text (LazySams): past that, the edge tests and the minimum run a chunk of
// pairs grouped by their automaton at a time, dropping automata built longest ago to make room,
// so memory grows with the longest texts in use rather than with all of them. Edge tests in
// chunks join the forest chunk by chunk, and the pairs it then connects are left out.
//
// Exact duplicates are clustered once: the driver clusters the distinct strings, in order of
// first occurrence, and expands the result. The pair of copies i < j of values u != v is
// ratio(u, v) when u stands first; both orientations occur when copies of each stand before
// copies of the other, and then both are tested (Orientation). Copies of one value link when a
// ratio of 1.0 reaches the threshold and add 1.0 to the minimum.
//
// Progress (parallel/progress.hpp): phases "candidates", "edges" and "minimum" publish their
// counts; with lines on, each starts and ends with a line, the edges phase writes one line per
// tested batch and the minimum phase about one a second.
//
// Every parallel step runs on the ambient pool (parallel.hpp) and stays on the calling thread
// below 32 items; results never depend on the number of threads. Candidate and work lists use
// 32-bit string indices: at most 2^32 - 1 strings (the binding refuses more).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "gestalt/gestalt.hpp"
#include "parallel/parallel.hpp"
#include "parallel/progress.hpp"
#include "ratio/ratio.hpp"

namespace ratiokit {

// Largest number of strings one clustering call takes (indices are 32-bit).
inline constexpr size_t MAX_CLUSTER_STRINGS = UINT32_MAX;

// (member indices ascending, minimum pairwise ratio).
using Cluster = std::pair<std::vector<size_t>, double>;

// 2 min(la, lb) / (la + lb); 1.0 when both are empty. An upper bound on the ratio.
double real_quick_ratio(size_t la, size_t lb);

// 2 S / total with S the size of the multiset intersection of the two histograms; 1.0 when
// total is 0, 0.0 when either histogram is empty. An upper bound on the ratio.
double quick_ratio_counts(const CharCounts& ca, const CharCounts& cb, size_t total);

// The histograms behind the count bound, one row per position p of `order` (the string
// order[p]): a 128-column table for pure-ASCII strings and a one-cache-line coarse table of
// character groups for strings of at most 32,767 characters (candidates.cpp says why both).
// Read-only once built; about 320 bytes per row.
struct DenseCounts {
  DenseCounts(std::span<const uint32_t> order, std::span<const CodePoints> strings,
              std::span<const CharCounts> counts);
  // Whether the coarse rows alone show that the count bound of positions p and q (total length
  // `total`) misses the threshold.
  bool coarse_rejects(size_t p, size_t q, size_t total, double threshold) const;
  // Appends to `out` the positions of `qs` that coarse_rejects leaves, all of total length
  // `total` with p: one call for a run of rows of one length.
  void coarse_survivors(size_t p, std::span<const uint32_t> qs, size_t total, double threshold,
                        std::vector<uint32_t>& out) const;
  // The count bound of positions p and q, whose strings have the counts cp and cq: the value of
  // quick_ratio_counts, read from the tables where both rows have one.
  double bound(size_t p, size_t q, const CharCounts& cp, const CharCounts& cq, size_t total) const;

  // Rows are cleared by the workers that fill them: a serial fill of millions of rows would
  // hold up the whole call (and its Ctrl-C) for seconds.
  std::unique_ptr<int16_t[]> table;   // 128 entries per position, zero when not dense
  std::unique_ptr<int16_t[]> coarse;  // 32 entries per position, zero when not coarse
  std::vector<uint8_t> dense;
  std::vector<uint8_t> has_coarse;
};

struct CandidatePair {
  uint32_t a, b;  // a < b
};

// Every unordered pair whose two bounds reach the threshold (a bound equal to it keeps the
// pair), rows in length order, each row in walk order. Counts rows as done.
std::vector<CandidatePair> candidate_pairs(std::span<const CodePoints> strings,
                                           std::span<const CharCounts> counts, double threshold,
                                           Progress* progress = nullptr);

// Length of the longest common subsequence of a and b. The gestalt count M never exceeds it (its
// blocks form a common subsequence), so 2 LCS / (la + lb) bounds the ratio from above, far more
// tightly than the count bound on texts such as code. Bit-parallel: about la * lb / 64 steps.
size_t lcs_length(Text a, Text b);
// The same against a pattern whose masks are built once, for one text scanned against many:
// one row of bits per distinct character of the pattern, bit i set where the pattern holds it.
struct LcsMasks {
  static constexpr size_t NO_SLOT = SIZE_MAX;
  size_t length = 0;
  size_t words = 0;
  std::vector<uint64_t> ascii;    // 128 rows
  std::vector<uint32_t> chars;    // the pattern's non-ASCII characters, ascending
  std::vector<uint64_t> other;    // their rows, in that order

  void build(Text pattern);
  // A character's slot: itself when ASCII, 128 + its rank in `chars` otherwise, NO_SLOT when
  // the pattern lacks it.
  size_t slot(uint32_t c) const;
  // The rows of c; nullptr for a character beyond ASCII that the pattern lacks.
  const uint64_t* row(uint32_t c) const;
};
// `row` is the caller's scratch. With a target above 0 the scan stops as soon as it is settled
// whether the LCS reaches the target, and returns a count on the same side of it (at least the
// target when the LCS reaches it, below it otherwise) instead of the length itself.
// Instantiated for texts of 1-, 2- and 4-byte code points (Text is the last).
template <class Char>
size_t lcs_length(const LcsMasks& masks, std::span<const Char> text, std::vector<uint64_t>& row,
                  size_t target = 0);
inline size_t lcs_length(const LcsMasks& masks, Text text, std::vector<uint64_t>& row,
                         size_t target = 0) {
  return lcs_length<uint32_t>(masks, text, row, target);
}
// Largest la * lb for which the edge tests try the LCS bound first. The bound costs about
// la * lb / 64 word steps (less when the scan stops early), the gestalt test it could save grows
// with la + lb: past about 8,000 code points a side the test is cheaper.
inline constexpr size_t LCS_MAX_CELLS = size_t{1} << 26;
// True when the LCS bound shows that the pair cannot reach the threshold (in either order).
bool lcs_rules_out(Text a, Text b, double threshold);

// Past this many pairs within the length bound, candidates are streamed.
inline constexpr uint64_t STREAM_BUDGET = uint64_t{1} << 21;

// A candidate with its sort key: the complemented bit pattern of its count bound, so that
// ascending keys are descending bounds.
struct KeyedPair {
  uint64_t key;
  uint32_t a, b;
};

// The candidate walk of candidate_pairs, a block of rows at a time. Borrows its inputs. With a
// `split`, the strings are two lists one after the other (the second starts at index split) and
// only pairs with one string from each are walked; the length bound still counts every pair
// within it (window_pairs, next_block's return), the candidates are only the cross pairs.
struct CandidateWalk;
class CandidateStream {
 public:
  // With `members`, only pairs of those strings are walked (empty: every string).
  CandidateStream(std::span<const CodePoints> strings, std::span<const CharCounts> counts,
                  double threshold, size_t split = 0, std::span<const uint32_t> members = {});
  // Pairs within the length bound over all rows.
  uint64_t window_pairs() const { return window_pairs_; }
  bool finished() const { return next_row_ == end_row_; }
  // Walks only the rows of the shard-th of `shards` runs of consecutive rows, cut so that each
  // holds about the same number of pairs within the length bound; call before the first block.
  // Every pair is walked by the row of its shorter string, so the shards together walk every
  // candidate once.
  void limit_to_shard(size_t shard, size_t shards);
  // Every candidate at once, as candidate_pairs lists them; counts rows as done.
  std::vector<CandidatePair> all_pairs(Progress* progress = nullptr) const;
  // The candidates of the next rows (at least one row, more while their pairs within the length
  // bound stay within `budget`), leaving out pairs that `parent` (a union-find forest, read
  // only; empty for none) already connects. Returns the number of pairs within the length
  // bound walked.
  uint64_t next_block(const std::vector<uint32_t>& parent, uint64_t budget,
                      std::vector<KeyedPair>& out);
  // Rows walked so far. Rows go in walk order, and a row pairs its string only with strings
  // later in that order, so once a block is walked the strings of its rows appear in no later
  // block.
  size_t rows_walked() const { return next_row_; }
  // The string of each row, in walk order.
  std::span<const uint32_t> walk_order() const;

 private:
  std::shared_ptr<const CandidateWalk> walk_;
  std::vector<uint64_t> row_pairs_;
  uint64_t window_pairs_ = 0;
  size_t next_row_ = 0;
  size_t end_row_ = 0;
};

// Where the copies of each clustered string stand in the caller's list, for the orientation of
// its pairs. Empty: every string stands once, at its own index.
struct Orientation {
  std::span<const size_t> first, last;
  // Whether, besides (a, b), the pair (b, a) occurs (a < b): a copy of b stands before one of a.
  bool both_ways(size_t a, size_t b) const { return !first.empty() && first[b] < last[a]; }
};

// Code points of text whose automata one clustering call keeps at once, unless a single test
// needs more: near-identical long texts otherwise hold an automaton each (over a hundred bytes
// per code point on repetitive text) until the call ends. Ordinary inputs of tens of thousands
// of function-length texts stay below it and never rebuild an automaton.
inline constexpr size_t RESIDENT_BUDGET = size_t{1} << 22;
// The budget clustering calls take when not given one: RESIDENT_BUDGET unless set (process-
// wide, for tests that show the bound on small inputs). Setting returns the previous value.
size_t default_resident_budget();
size_t set_default_resident_budget(size_t budget);

// The largest peak_resident() of any LazySams destroyed since the last reset, process-wide:
// for tests of the calls that keep their LazySams to themselves.
size_t lazy_sams_peak();
void reset_lazy_sams_peak();

// The suffix automata of the strings, each built on first use by exactly one thread (others
// asking for it meanwhile wait) and then shared read-only. An automaton may be dropped and is
// built again when asked for after that. `run` keeps the automata built at once within a
// budget of code points. Borrows `strings`.
class LazySams {
 public:
  static constexpr uint32_t NO_OWNER = UINT32_MAX;

  explicit LazySams(std::span<const CodePoints> strings,
                    size_t budget = default_resident_budget());
  // Every slot already filled, in order; nothing is ever built or dropped.
  static LazySams built(std::vector<Sam> automata);
  ~LazySams();
  LazySams(const LazySams&) = delete;
  LazySams& operator=(const LazySams&) = delete;

  // Safe from any number of threads while no drop runs.
  const Sam& get(size_t i);
  // Frees the automaton of string i (built again if asked for later). Not while a get runs.
  void drop(size_t i);
  size_t size() const { return size_; }
  // Code points of the strings whose automata are built now, and the most there were at once.
  size_t resident() const { return resident_.load(std::memory_order_relaxed); }
  size_t peak_resident() const { return peak_.load(std::memory_order_relaxed); }

  // Runs fn(k) for every k < count on the ambient pool, after building the automata item k
  // reads: owners(k).first and, unless NO_OWNER, owners(k).second (fn may read no other).
  // When these with the automata already built fit the budget, all are built at once and the
  // items run in one loop; otherwise the items run grouped by owner, in chunks whose automata
  // fit the budget (at least one item each), and before each chunk the automata built longest
  // ago that it does not read are dropped until it fits. Items must not depend on their order.
  // Calling thread only; no get may run meanwhile outside fn.
  void run(size_t count, FunctionRef<std::pair<uint32_t, uint32_t>(size_t)> owners,
           FunctionRef<void(size_t)> fn);
  // The same, where items may be left out once they run in chunks: skip(k), asked on the
  // calling thread as chunks form, leaves item k out (it never runs), and chunk_done gets each
  // chunk's items after they ran, before the next chunk forms. Returns whether the items ran
  // in chunks; if not, every item ran, in one loop, and neither callback was called.
  bool run(size_t count, FunctionRef<std::pair<uint32_t, uint32_t>(size_t)> owners,
           FunctionRef<void(size_t)> fn, FunctionRef<bool(size_t)> skip,
           FunctionRef<void(std::span<const uint32_t>)> chunk_done);
  // Makes room, as `run` does before a chunk, for the automata of b and a (unless NO_OWNER),
  // without building them: for serial loops that build on demand. Calling thread only.
  void reserve(uint32_t b, uint32_t a = NO_OWNER);

 private:
  // An automaton object is large even empty (its ASCII root table alone is 512 bytes): slots
  // hold a pointer, so that millions of strings cost a few bytes each until their automata are
  // built. The pointer is null, BUILDING while one thread builds it, or the automaton.
  struct Slot {
    std::atomic<Sam*> sam{nullptr};
  };
  explicit LazySams(std::vector<Sam> automata);
  // Drops the automata built longest ago, except those marked with the current epoch, until
  // `incoming` more code points fit the budget or nothing else is left to drop.
  void make_room(size_t incoming);
  // Starts an epoch: no string carries its mark yet.
  void new_epoch();
  bool built_now(size_t i) const;
  void build_all(std::span<const uint32_t> owners);
  size_t length(size_t i) const { return strings_.empty() ? 0 : strings_[i].size(); }

  std::span<const CodePoints> strings_;
  std::unique_ptr<Slot[]> slots_;
  size_t size_ = 0;
  size_t budget_ = SIZE_MAX;
  std::atomic<size_t> resident_{0}, peak_{0};
  std::mutex mutex_;               // guards order_; with built_cv_, wakes those waiting on a build
  std::condition_variable built_cv_;
  std::vector<uint32_t> order_;  // built automata, oldest first (may name dropped ones)
  std::vector<uint32_t> mark_;   // per string, the last epoch that marked it
  uint32_t epoch_ = 0;
};

// An edge of the similarity graph, a < b; the ratio when the producer knew it.
struct Edge {
  size_t a, b;
  std::optional<double> ratio;
};

// Root of x with path halving.
template <class Index>
Index uf_find(std::vector<Index>& parent, Index x) {
  while (parent[x] != x) {
    parent[x] = parent[parent[x]];
    x = parent[x];
  }
  return x;
}

// Drops the pairs the LCS bound rules out (in parallel), then orders the rest by (b, a) and
// builds the automata their tests need: of b, and of a where `orientation` has both ways.
void screen_pairs(std::vector<CandidatePair>& pairs, std::span<const CodePoints> strings,
                  LazySams& lazy, double threshold, Orientation orientation = {});

// Edges that connect every candidate pair reaching the threshold (a spanning forest, plus
// edges that close cycles within one batch). Reorders `pairs`. With progress lines on, writes
// one line per tested batch.
std::vector<Edge> spanning_edges(std::vector<CandidatePair>& pairs,
                                 std::span<const CodePoints> strings,
                                 std::span<const CharCounts> counts, LazySams& lazy,
                                 double threshold, Orientation orientation = {},
                                 Progress* progress = nullptr);

// The same edges from a CandidateStream, verifying each block of at most `budget` pairs before
// walking the next. Its progress lines have the same fields, but count pairs within the length
// bound (the candidates of rows not yet walked are unknown). With a `forest` (a union-find
// parent array over all strings), pairs it already connects are left out and the new edges
// join its trees, so that several streams can share one.
std::vector<Edge> streamed_edges(CandidateStream& stream, std::span<const CodePoints> strings,
                                 LazySams& lazy, double threshold, Orientation orientation,
                                 uint64_t budget, Progress* progress = nullptr,
                                 std::vector<uint32_t>* forest = nullptr);

// Components of the edges with two or more members, each with its exact minimum pairwise
// ratio (over both orientations where they occur), ordered by smallest member. Member pairs
// are evaluated in blocks of at most `budget`.
std::vector<Cluster> assemble(size_t n, std::span<const Edge> edges,
                              std::span<const CodePoints> strings, LazySams& lazy,
                              Orientation orientation = {}, Progress* progress = nullptr,
                              uint64_t budget = STREAM_BUDGET);

// The distinct values of a list of strings, in order of first occurrence, and where each stands.
// Their number is first.size(); `values` is left empty when every string is distinct.
struct DistinctStrings {
  std::vector<CodePoints> values;
  std::vector<size_t> first, last;  // per value: its first and last position
  std::vector<size_t> offsets;      // values + 1 entries
  std::vector<size_t> positions;    // value v stands at positions[offsets[v] .. offsets[v + 1])
};
DistinctStrings distinct_strings(std::span<const CodePoints> strings);

// Clusters of values -> clusters of positions (the members of every value); a value with copies
// that no cluster holds becomes a cluster of its own, at 1.0, where copies_link(value) says so.
std::vector<Cluster> expand_clusters(const DistinctStrings& distinct,
                                     std::vector<Cluster> clusters,
                                     FunctionRef<bool(size_t)> copies_link);

// Exact clustering of strings that are all different (or whose copies `orientation` describes).
// Automata are kept within `resident_budget` code points (LazySams).
std::vector<Cluster> cluster_distinct(std::span<const CodePoints> strings, double threshold,
                                      Orientation orientation, Progress* progress,
                                      uint64_t budget = STREAM_BUDGET,
                                      size_t resident_budget = default_resident_budget());

// One shard of the exact clustering's edges, for a clustering spread over several calls that
// each hold every string: the edges among the shard-th of `shards` runs of the candidate walk
// (CandidateStream::limit_to_shard) over the distinct strings, verified with a forest of this
// shard's edges only, as (a, b) indices of the list, a < b; shard 0 also links every copy of
// a value to its first copy when copies link. The union of all shards' edges has the
// components of cluster_canonicals_chars's clusters. shards = 0 counts as 1.
std::vector<std::pair<size_t, size_t>> cluster_shard_edges(std::span<const CodePoints> strings,
                                                           double threshold, size_t shard,
                                                           size_t shards);

// The exact minimum ratio over the pairs i < j of `strings` (in this order), as
// cluster_canonicals_chars reports it for a cluster of these members: exact duplicates are
// evaluated once, both orientations where they occur. 1.0 for fewer than two strings.
double cluster_minimum(std::span<const CodePoints> strings);

// The whole exact clustering. Equal strings are distinct members.
std::vector<Cluster> cluster_canonicals_chars(std::span<const CodePoints> strings,
                                              double threshold, Progress* progress = nullptr,
                                              size_t resident_budget = default_resident_budget());

}  // namespace ratiokit
