// Exact single-linkage clustering of code-point strings at a ratio threshold.
//
// Two strings are linked when their gestalt ratio (gestalt.hpp, the automaton built over the
// string with the higher index) reaches the threshold; clusters are the connected components of
// two or more members, each reported with the exact minimum ratio over all pairs of its members.
//
// How it gets there without n^2 exact ratios:
//   1. candidate_pairs keeps only pairs whose length bound (real_quick_ratio) and character-count
//      bound (quick_ratio_counts) both reach the threshold; a length-sorted walk stops each row
//      early, so spread-out lengths cost little.
//   2. spanning_edges verifies candidates in order of decreasing count bound with the early-
//      stopping threshold tests of gestalt.hpp, skipping pairs a union-find forest already
//      connects, in batches that grow from 32 to 2048 pairs.
//   3. assemble forms the components and evaluates every remaining member pair with a ratio
//      capped at the cluster's running minimum, lowest bound first, so a pair that cannot lower
//      the minimum costs little. It is shared with the LSH variant, which brings its own edges
//      and prebuilt automata (LazySams::built).
//
// Every parallel step runs on the ambient pool (parallel.hpp) and stays on the calling thread
// below 32 items; results never depend on the number of threads. Candidate and work lists use
// 32-bit string indices: at most 2^32 - 1 strings (the binding refuses more).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "gestalt/gestalt.hpp"
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

struct CandidatePair {
  uint32_t a, b;  // a < b
};

// Every unordered pair whose two bounds reach the threshold (a bound equal to it keeps the
// pair), rows in length order, each row in walk order.
std::vector<CandidatePair> candidate_pairs(std::span<const CodePoints> strings,
                                           std::span<const CharCounts> counts, double threshold);

// The suffix automata of all strings, each built on first use by exactly one thread (others
// asking for it meanwhile wait) and then shared read-only. Borrows `strings`.
class LazySams {
 public:
  explicit LazySams(std::span<const CodePoints> strings);
  // Every slot already filled, in order; nothing is ever built.
  static LazySams built(std::vector<Sam> automata);

  const Sam& get(size_t i);
  size_t size() const { return size_; }

 private:
  struct Slot {
    std::once_flag once;
    Sam sam;
  };
  std::span<const CodePoints> strings_;
  std::unique_ptr<Slot[]> slots_;
  size_t size_ = 0;
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

// Edges that connect every candidate pair reaching the threshold (a spanning forest, plus
// edges that close cycles within one batch). Reorders `pairs`. With RATIOKIT_PROGRESS set (any
// value) writes one line per tested batch to standard error.
std::vector<Edge> spanning_edges(std::vector<CandidatePair>& pairs,
                                 std::span<const CodePoints> strings,
                                 std::span<const CharCounts> counts, LazySams& lazy,
                                 double threshold);

// The exact ratio of a and b when it is at most `cap`, 2.0 (above every ratio) otherwise.
double capped_pair_ratio(Text a, Text b, const Sam& sam_b, double cap);

// Components of the edges with two or more members, each with its exact minimum pairwise
// ratio, ordered by smallest member.
std::vector<Cluster> assemble(size_t n, std::span<const Edge> edges,
                              std::span<const CodePoints> strings, LazySams& lazy);

// The whole exact clustering. Equal strings are distinct members.
std::vector<Cluster> cluster_canonicals_chars(std::span<const CodePoints> strings,
                                              double threshold);

}  // namespace ratiokit
