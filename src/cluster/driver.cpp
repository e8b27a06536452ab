// The exact clustering driver. Tested end to end by tests/cpp/cluster_test.cpp and
// tests/test_cluster.py.
#include "cluster/cluster.hpp"
#include "parallel/parallel.hpp"

namespace ratiokit {

std::vector<Cluster> cluster_canonicals_chars(std::span<const CodePoints> strings,
                                              double threshold) {
  const size_t n = strings.size();
  if (n < 2) return {};
  const std::vector<CharCounts> counts =
      parallel_map<CharCounts>(n, [&](size_t i) { return char_counts(strings[i]); });
  std::vector<CandidatePair> pairs = candidate_pairs(strings, counts, threshold);
  LazySams lazy(strings);
  const std::vector<Edge> edges = spanning_edges(pairs, strings, counts, lazy, threshold);
  std::vector<CandidatePair>().swap(pairs);
  return assemble(n, edges, strings, lazy);
}

}  // namespace ratiokit
