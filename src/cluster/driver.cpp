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

std::vector<std::pair<size_t, size_t>> cluster_shard_edges(std::span<const CodePoints> strings,
                                                           double threshold, size_t shard,
                                                           size_t shards) {
  const size_t n = strings.size();
  std::vector<std::pair<size_t, size_t>> out;
  if (n < 2) return out;
  const DistinctStrings distinct = distinct_strings(strings);
  const bool collapsed = distinct.first.size() != n;
  const std::span<const CodePoints> values = collapsed ? distinct.values : strings;
  const Orientation orientation =
      collapsed ? Orientation{distinct.first, distinct.last} : Orientation{};
  const std::vector<CharCounts> counts =
      parallel_map<CharCounts>(values.size(), [&](size_t i) { return char_counts(values[i]); });
  LazySams lazy(values);
  CandidateStream stream(values, counts, threshold);
  stream.limit_to_shard(shard, shards);
  const std::vector<Edge> edges =
      streamed_edges(stream, values, lazy, threshold, orientation, STREAM_BUDGET);
  auto first_of = [&](size_t v) { return collapsed ? distinct.first[v] : v; };
  out.reserve(edges.size());
  for (const Edge& e : edges) {
    const size_t a = first_of(e.a), b = first_of(e.b);
    out.emplace_back(std::min(a, b), std::max(a, b));
  }
  // Copies pass both bounds (1.0) and the edge test exactly when 1.0 reaches the threshold.
  if (collapsed && shard == 0 && !(threshold > 1.0)) {
    for (size_t v = 0; v + 1 < distinct.offsets.size(); ++v) {
      for (size_t k = distinct.offsets[v] + 1; k < distinct.offsets[v + 1]; ++k) {
        out.emplace_back(distinct.positions[distinct.offsets[v]], distinct.positions[k]);
      }
    }
  }
  return out;
}

double cluster_minimum(std::span<const CodePoints> strings) {
  const size_t n = strings.size();
  if (n < 2) return 1.0;
  const DistinctStrings distinct = distinct_strings(strings);
  const size_t d = distinct.first.size();
  if (d == 1) return 1.0;  // copies of one value
  const bool collapsed = d != n;
  const std::span<const CodePoints> values = collapsed ? distinct.values : strings;
  const Orientation orientation =
      collapsed ? Orientation{distinct.first, distinct.last} : Orientation{};
  // A star links every member, and assemble evaluates every pair no edge knows.
  std::vector<Edge> edges;
  edges.reserve(d - 1);
  for (size_t v = 1; v < d; ++v) edges.push_back({0, v, std::nullopt});
  LazySams lazy(values);
  const std::vector<Cluster> found = assemble(d, edges, values, lazy, orientation);
  // Copies of one value add pairs of ratio 1.0, never below a minimum.
  return found.at(0).second;
}

}  // namespace ratiokit
