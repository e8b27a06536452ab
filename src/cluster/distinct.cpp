// Exact duplicates: distinct values in order of first occurrence, and the expansion of their
// clusters back to positions. Tested by tests/cpp/cluster_test.cpp and, end to end against
// difflib, by tests/test_cluster_scale.py.
#include <algorithm>
#include <string_view>
#include <unordered_map>

#include "cluster/cluster.hpp"

namespace ratiokit {

DistinctStrings distinct_strings(std::span<const CodePoints> strings) {
  const size_t n = strings.size();
  DistinctStrings out;
  std::vector<uint32_t> value_of(n);
  {
    // Keys view the callers' code points as bytes; equal bytes are equal strings.
    std::unordered_map<std::string_view, uint32_t> ids;
    ids.reserve(n);
    for (size_t i = 0; i < n; ++i) {
      const std::string_view key(reinterpret_cast<const char*>(strings[i].data()),
                                 strings[i].size() * sizeof(uint32_t));
      const auto [it, fresh] = ids.try_emplace(key, static_cast<uint32_t>(out.first.size()));
      if (fresh) {
        out.first.push_back(i);
        out.last.push_back(i);
      } else {
        out.last[it->second] = i;
      }
      value_of[i] = it->second;
    }
  }
  const size_t d = out.first.size();
  out.values.reserve(d);
  for (const size_t i : out.first) out.values.push_back(strings[i]);
  out.offsets.assign(d + 1, 0);
  for (const uint32_t v : value_of) ++out.offsets[v + 1];
  for (size_t v = 0; v < d; ++v) out.offsets[v + 1] += out.offsets[v];
  out.positions.resize(n);
  std::vector<size_t> fill(out.offsets.begin(), out.offsets.end() - 1);
  for (size_t i = 0; i < n; ++i) out.positions[fill[value_of[i]]++] = i;
  return out;
}

std::vector<Cluster> expand_clusters(const DistinctStrings& distinct,
                                     std::vector<Cluster> clusters,
                                     FunctionRef<bool(size_t)> copies_link) {
  const size_t d = distinct.values.size();
  std::vector<uint8_t> clustered(d, 0);
  auto positions_of = [&](size_t v) {
    return std::span<const size_t>(distinct.positions)
        .subspan(distinct.offsets[v], distinct.offsets[v + 1] - distinct.offsets[v]);
  };
  std::vector<Cluster> out;
  out.reserve(clusters.size());
  for (Cluster& cluster : clusters) {
    std::vector<size_t> members;
    for (const size_t v : cluster.first) {
      clustered[v] = 1;
      const auto at = positions_of(v);
      members.insert(members.end(), at.begin(), at.end());
    }
    std::sort(members.begin(), members.end());
    out.emplace_back(std::move(members), cluster.second);
  }
  for (size_t v = 0; v < d; ++v) {
    const auto at = positions_of(v);
    if (!clustered[v] && at.size() >= 2 && copies_link(v)) {
      out.emplace_back(std::vector<size_t>(at.begin(), at.end()), 1.0);
    }
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const Cluster& x, const Cluster& y) { return x.first[0] < y.first[0]; });
  return out;
}

}  // namespace ratiokit
