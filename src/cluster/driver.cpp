// The exact clustering driver. Tested end to end by tests/cpp/cluster_test.cpp,
// tests/test_cluster.py and tests/test_cluster_scale.py.
#include "cluster/cluster.hpp"
#include "parallel/parallel.hpp"

namespace ratiokit {

std::vector<Cluster> cluster_distinct(std::span<const CodePoints> strings, double threshold,
                                      Orientation orientation, Progress* progress,
                                      uint64_t budget, size_t resident_budget) {
  const size_t n = strings.size();
  if (n < 2) return {};
  const std::vector<CharCounts> counts =
      parallel_map<CharCounts>(n, [&](size_t i) { return char_counts(strings[i]); });
  LazySams lazy(strings, resident_budget);
  std::vector<Edge> edges;
  CandidateStream stream(strings, counts, threshold);
  if (stream.window_pairs() <= budget) {
    progress_start(progress, "candidates", n, "%zu strings", n);
    std::vector<CandidatePair> pairs = stream.all_pairs(progress);
    progress_end(progress, "%zu pairs", pairs.size());
    progress_start(progress, "edges", pairs.size(), "%zu candidates", pairs.size());
    edges = spanning_edges(pairs, strings, counts, lazy, threshold, orientation, progress);
    progress_end(progress, "%zu edges", edges.size());
  } else {
    // Too many pairs to hold at once: each block of rows is verified before the next is
    // walked, and the forest built so far leaves its connected pairs out of later blocks.
    progress_start(progress, "edges", stream.window_pairs(),
                   "%zu strings, %llu pairs within the length bound, streamed", n,
                   static_cast<unsigned long long>(stream.window_pairs()));
    edges = streamed_edges(stream, strings, lazy, threshold, orientation, budget, progress);
    progress_end(progress, "%zu edges", edges.size());
  }
  return assemble(n, edges, strings, lazy, orientation, progress, budget);
}

std::vector<Cluster> cluster_canonicals_chars(std::span<const CodePoints> strings,
                                              double threshold, Progress* progress,
                                              size_t resident_budget) {
  const size_t n = strings.size();
  if (n < 2) return {};
  const DistinctStrings distinct = distinct_strings(strings);
  const size_t d = distinct.first.size();
  if (d == n) {
    return cluster_distinct(strings, threshold, {}, progress, STREAM_BUDGET, resident_budget);
  }
  progress_write(progress, "cluster: %zu strings, %zu distinct", n, d);
  std::vector<Cluster> clusters =
      cluster_distinct(distinct.values, threshold, {distinct.first, distinct.last}, progress,
                       STREAM_BUDGET, resident_budget);
  // Copies pass both bounds (1.0) and the edge test exactly when 1.0 reaches the threshold.
  return expand_clusters(distinct, std::move(clusters),
                         [&](size_t) { return !(threshold > 1.0); });
}

}  // namespace ratiokit
