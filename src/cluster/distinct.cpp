// Exact duplicates: distinct values in order of first occurrence, and the expansion of their
// clusters back to positions. Tested by tests/cpp/cluster_test.cpp and, end to end against
// difflib, by tests/test_cluster_scale.py.
#include <algorithm>

#include "cluster/cluster.hpp"
#include "parallel/parallel.hpp"

namespace ratiokit {

namespace {

uint64_t hash_units(const CodePoints& text) {
  uint64_t h = 0x9E3779B97F4A7C15ull ^ text.size();
  for (const uint32_t c : text) {
    h = (h ^ c) * 0xFF51AFD7ED558CCDull;
    h ^= h >> 32;
  }
  return h;
}

}  // namespace

DistinctStrings distinct_strings(std::span<const CodePoints> strings) {
  const size_t n = strings.size();
  DistinctStrings out;
  std::vector<uint32_t> value_of(n);
  {
    // Hashes in parallel, then one serial pass over an open-addressing table of value ids: a
    // few million strings take a fraction of what a node-based map costs, and the pass stays
    // interruptible.
    const std::vector<uint64_t> hashes =
        parallel_map<uint64_t>(n, [&](size_t i) { return hash_units(strings[i]); });
    size_t capacity = 16;
    while (capacity < 2 * n) capacity *= 2;
    const size_t mask = capacity - 1;
    std::vector<uint32_t> table(capacity, UINT32_MAX);  // value ids
    const CancelCheck check;
    for (size_t i = 0; i < n; ++i) {
      check();
      size_t slot = hashes[i] & mask;
      uint32_t v;
      while ((v = table[slot]) != UINT32_MAX) {
        const size_t first = out.first[v];
        if (hashes[first] == hashes[i] && strings[first] == strings[i]) break;
        slot = (slot + 1) & mask;
      }
      if (v == UINT32_MAX) {
        v = static_cast<uint32_t>(out.first.size());
        table[slot] = v;
        out.first.push_back(i);
        out.last.push_back(i);
      } else {
        out.last[v] = i;
      }
      value_of[i] = v;
    }
  }
  const size_t d = out.first.size();
  // With no copies the caller's strings are the values: copying millions of them would cost
  // seconds for nothing.
  if (d < n) {
    out.values.reserve(d);
    const CancelCheck check;
    for (const size_t i : out.first) {
      check();
      out.values.push_back(strings[i]);
    }
  }
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
  const size_t d = distinct.first.size();
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
