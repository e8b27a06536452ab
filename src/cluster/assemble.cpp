// Clusters from edges, with the exact minimum pairwise ratio of each. Tested by
// tests/cpp/cluster_test.cpp and, end to end, by tests/test_cluster.py.
#include <algorithm>
#include <atomic>
#include <bit>
#include <numeric>
#include <optional>
#include <tuple>

#include "cluster/cluster.hpp"
#include "parallel/parallel.hpp"

namespace ratiokit {

namespace {

struct WorkItem {
  uint32_t cluster;
  uint64_t key;
  uint32_t a, b;
};

struct Known {
  size_t a, b;
  double ratio;
};

// Lowers cell to value; bit patterns of non-negative doubles order like the doubles.
void atomic_min(std::atomic<uint64_t>& cell, double value) {
  const uint64_t bits = std::bit_cast<uint64_t>(value);
  uint64_t seen = cell.load(std::memory_order_relaxed);
  while (bits < seen && !cell.compare_exchange_weak(seen, bits, std::memory_order_relaxed)) {
  }
}

}  // namespace

std::vector<Cluster> assemble(size_t n, std::span<const Edge> edges,
                              std::span<const CodePoints> strings, LazySams& lazy,
                              Orientation orientation, Progress* progress, uint64_t budget) {
  std::vector<size_t> parent(n);
  std::iota(parent.begin(), parent.end(), size_t{0});
  for (const Edge& e : edges) {
    const size_t ra = uf_find(parent, e.a), rb = uf_find(parent, e.b);
    if (ra != rb) parent[ra] = rb;
  }
  std::vector<size_t> root(n);
  for (size_t i = 0; i < n; ++i) root[i] = uf_find(parent, i);
  std::vector<size_t>().swap(parent);

  std::vector<size_t> by_root(n);
  std::iota(by_root.begin(), by_root.end(), size_t{0});
  std::sort(by_root.begin(), by_root.end(), [&](size_t x, size_t y) {
    return root[x] != root[y] ? root[x] < root[y] : x < y;
  });
  constexpr uint32_t NONE = UINT32_MAX;
  std::vector<uint32_t> cluster_of(n, NONE);
  std::vector<std::vector<size_t>> members;
  for (size_t s = 0; s < n;) {
    size_t e = s + 1;
    while (e < n && root[by_root[e]] == root[by_root[s]]) ++e;
    if (e - s >= 2) {
      const auto id = static_cast<uint32_t>(members.size());
      for (size_t k = s; k < e; ++k) cluster_of[by_root[k]] = id;
      members.emplace_back(by_root.begin() + s, by_root.begin() + e);
    }
    s = e;
  }
  if (members.empty()) {
    progress_start(progress, "minimum", 0, "0 clusters, 0 pairs");
    progress_end(progress, "0 clusters");
    return {};
  }
  std::vector<size_t>().swap(root);
  std::vector<size_t>().swap(by_root);

  std::vector<std::vector<Known>> known(members.size());
  for (const Edge& e : edges) {
    if (e.ratio) known[cluster_of[e.a]].push_back({e.a, e.b, *e.ratio});
  }

  std::vector<std::atomic<uint64_t>> minimum(members.size());
  uint64_t pending = 0;  // member pairs to evaluate, over all clusters
  for (size_t c = 0; c < members.size(); ++c) {
    std::vector<Known>& kn = known[c];
    std::sort(kn.begin(), kn.end(), [](const Known& x, const Known& y) {
      return std::tie(x.a, x.b) < std::tie(y.a, y.b);
    });
    // An edge list may name a pair twice; count it once.
    kn.erase(std::unique(kn.begin(), kn.end(),
                         [](const Known& x, const Known& y) { return x.a == y.a && x.b == y.b; }),
             kn.end());
    double lowest = 1.0;
    for (const Known& k : kn) lowest = std::min(lowest, k.ratio);
    minimum[c].store(std::bit_cast<uint64_t>(lowest), std::memory_order_relaxed);
    const uint64_t m = members[c].size();
    pending += m * (m - 1) / 2 - kn.size();
  }
  progress_start(progress, "minimum", pending, "%zu clusters, %llu pairs", members.size(),
                 static_cast<unsigned long long>(pending));

  if (pending > 0) {
    // Counts only for strings that take part in some evaluation.
    std::vector<uint8_t> marked(n, 0);
    for (size_t c = 0; c < members.size(); ++c) {
      const uint64_t m = members[c].size();
      if (known[c].size() == m * (m - 1) / 2) continue;
      for (const size_t i : members[c]) marked[i] = 1;
    }
    const size_t min_parallel = pending >= MIN_PARALLEL_ITEMS ? MIN_PARALLEL_ITEMS : SIZE_MAX;
    const std::vector<CharCounts> counts = parallel_map<CharCounts>(
        n, [&](size_t i) { return marked[i] ? char_counts(strings[i]) : CharCounts{}; },
        min_parallel);

    auto evaluate = [&](const WorkItem& w) {
      std::atomic<uint64_t>& cell = minimum[w.cluster];
      // A stale (higher) cap only costs time, never the answer.
      const double cap = std::bit_cast<double>(cell.load(std::memory_order_relaxed));
      std::optional<double> r =
          gestalt_ratio_at_most(strings[w.a], strings[w.b], lazy.get(w.b), cap);
      if (orientation.both_ways(w.a, w.b)) {
        // Only a ratio below the one just found can lower the minimum further.
        const std::optional<double> back =
            gestalt_ratio_at_most(strings[w.b], strings[w.a], lazy.get(w.a), r.value_or(cap));
        if (back) r = back;
      }
      if (r) atomic_min(cell, *r);
    };

    // Member pairs are listed a block at a time (cluster by cluster, pairs in lexicographic
    // order, known ones skipped), so that a huge cluster costs the block, not its square.
    size_t c = 0, i = 0, j = 1, next_known = 0;
    auto fill = [&](std::vector<WorkItem>& work) {
      work.clear();
      while (c < members.size() && work.size() < budget) {
        const std::vector<size_t>& m = members[c];
        const std::vector<Known>& kn = known[c];
        if (kn.size() == m.size() * (m.size() - 1) / 2 || i + 1 >= m.size()) {
          ++c;
          i = 0;
          j = 1;
          next_known = 0;
          continue;
        }
        if (next_known < kn.size() && kn[next_known].a == m[i] && kn[next_known].b == m[j]) {
          ++next_known;
        } else {
          work.push_back({static_cast<uint32_t>(c), 0, static_cast<uint32_t>(m[i]),
                          static_cast<uint32_t>(m[j])});
        }
        if (++j == m.size()) {
          ++i;
          j = i + 1;
        }
      }
    };

    uint64_t evaluated = 0;
    auto account = [&](size_t count) {
      evaluated += count;
      progress_set(progress, evaluated);
      progress_tick(progress, "minimum: %llu/%llu pairs (%.0f%%)",
                    static_cast<unsigned long long>(evaluated),
                    static_cast<unsigned long long>(pending),
                    static_cast<double>(evaluated) / static_cast<double>(pending) * 100.0);
    };

    std::vector<WorkItem> work;
    std::vector<size_t> heads, rest;
    for (fill(work); !work.empty(); fill(work)) {
      parallel_for(work.size(), [&](size_t k) {
        WorkItem& w = work[k];
        const double bound = quick_ratio_counts(counts[w.a], counts[w.b],
                                                strings[w.a].size() + strings[w.b].size());
        w.key = std::bit_cast<uint64_t>(bound);
      });
      // Within a cluster the lowest bound, the likeliest minimum, goes first.
      std::sort(work.begin(), work.end(), [](const WorkItem& x, const WorkItem& y) {
        return std::tie(x.cluster, x.key, x.a, x.b) < std::tie(y.cluster, y.key, y.a, y.b);
      });
      // The first item of each cluster is its head; all others, in order, are the rest.
      heads.clear();
      rest.clear();
      for (size_t k = 0; k < work.size(); ++k) {
        (k == 0 || work[k].cluster != work[k - 1].cluster ? heads : rest).push_back(k);
      }
      // The rest by b, then a: consecutive pairs then read the same automaton, which stays in
      // cache, instead of a different one each (on texts of a few hundred code points a cold
      // automaton costs more than the capped ratio itself). The heads already set the caps.
      std::sort(rest.begin(), rest.end(), [&](size_t x, size_t y) {
        return std::tie(work[x].b, work[x].a) < std::tie(work[y].b, work[y].a);
      });
      auto owners = [&](size_t k) {
        const WorkItem& w = work[k];
        return std::pair<uint32_t, uint32_t>(
            w.b, orientation.both_ways(w.a, w.b) ? w.a : LazySams::NO_OWNER);
      };
      if (work.size() < MIN_PARALLEL_ITEMS) {
        for (const size_t k : heads) {
          const auto [b, a] = owners(k);
          lazy.reserve(b, a);
          evaluate(work[k]);
        }
        for (const size_t k : rest) {
          const auto [b, a] = owners(k);
          lazy.reserve(b, a);
          evaluate(work[k]);
        }
        account(work.size());
        continue;
      }
      // Heads first, as a phase of their own, so that the rest start with tight caps.
      lazy.run(
          heads.size(), [&](size_t k) { return owners(heads[k]); },
          [&](size_t k) { evaluate(work[heads[k]]); });
      account(heads.size());
      // The rest in slices, so that the calling thread can report between them.
      constexpr size_t SLICE = 8192;
      for (size_t s = 0; s < rest.size(); s += SLICE) {
        const size_t e = std::min(rest.size(), s + SLICE);
        lazy.run(
            e - s, [&](size_t k) { return owners(rest[s + k]); },
            [&](size_t k) { evaluate(work[rest[s + k]]); });
        account(e - s);
      }
    }
  }
  progress_end(progress, "%zu clusters", members.size());

  std::vector<Cluster> out;
  out.reserve(members.size());
  for (size_t c = 0; c < members.size(); ++c) {
    out.emplace_back(std::move(members[c]),
                     std::bit_cast<double>(minimum[c].load(std::memory_order_relaxed)));
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const Cluster& x, const Cluster& y) { return x.first[0] < y.first[0]; });
  return out;
}

}  // namespace ratiokit
