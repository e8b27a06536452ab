// Lazily built automata and the verified spanning edges. Tested by tests/cpp/cluster_test.cpp
// and, end to end, by tests/test_cluster.py.
#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <tuple>

#include "cluster/cluster.hpp"
#include "parallel/parallel.hpp"

namespace ratiokit {

LazySams::LazySams(std::span<const CodePoints> strings)
    : strings_(strings), slots_(std::make_unique<Slot[]>(strings.size())), size_(strings.size()) {}

LazySams LazySams::built(std::vector<Sam> automata) {
  LazySams lazy({});
  lazy.size_ = automata.size();
  lazy.slots_ = std::make_unique<Slot[]>(automata.size());
  for (size_t i = 0; i < automata.size(); ++i) {
    Slot& slot = lazy.slots_[i];
    std::call_once(slot.once, [&] { slot.sam = std::move(automata[i]); });
  }
  return lazy;
}

const Sam& LazySams::get(size_t i) {
  Slot& slot = slots_[i];
  std::call_once(slot.once, [&] { build_sam_into(strings_[i], slot.sam); });
  return slot.sam;
}

namespace {

bool progress_enabled() { return std::getenv("RATIOKIT_PROGRESS") != nullptr; }

// One whole line per write, so that lines from concurrent calls do not interleave mid-line.
void progress_line(size_t done, size_t total, size_t tested, size_t edges) {
  char line[160];
  const double pct = static_cast<double>(done) / static_cast<double>(total) * 100.0;
  const int len = std::snprintf(line, sizeof line,
                                "    [ratiokit] edges: %zu/%zu candidates (%.0f%%), %zu tested, "
                                "%zu edges\n",
                                done, total, pct, tested, edges);
  if (len > 0) std::fwrite(line, 1, static_cast<size_t>(len), stderr);
}

}  // namespace

std::vector<Edge> spanning_edges(std::vector<CandidatePair>& pairs,
                                 std::span<const CodePoints> strings,
                                 std::span<const CharCounts> counts, LazySams& lazy,
                                 double threshold) {
  std::vector<Edge> edges;
  if (pairs.empty()) return edges;
  auto test = [&](const CandidatePair& p) {
    return gestalt_edge_bounded(strings[p.a], strings[p.b], lazy.get(p.b), threshold);
  };
  if (pairs.size() == 1) {
    const CandidatePair p = pairs[0];
    const std::optional<double> r =
        gestalt_edge(strings[p.a], strings[p.b], lazy.get(p.b), threshold);
    if (r) edges.push_back({p.a, p.b, r});
    return edges;
  }

  // Likeliest links first: ascending complemented bit patterns of non-negative doubles are
  // descending bounds.
  const size_t g = pairs.size();
  {
    struct Keyed {
      uint64_t key;
      uint32_t a, b;
    };
    std::vector<Keyed> keyed = parallel_map<Keyed>(g, [&](size_t k) {
      const CandidatePair p = pairs[k];
      const double bound = quick_ratio_counts(counts[p.a], counts[p.b],
                                              strings[p.a].size() + strings[p.b].size());
      return Keyed{~std::bit_cast<uint64_t>(bound), p.a, p.b};
    });
    std::sort(keyed.begin(), keyed.end(), [](const Keyed& x, const Keyed& y) {
      return std::tie(x.key, x.a, x.b) < std::tie(y.key, y.a, y.b);
    });
    for (size_t k = 0; k < g; ++k) pairs[k] = {keyed[k].a, keyed[k].b};
  }

  std::vector<uint32_t> parent(strings.size());
  std::iota(parent.begin(), parent.end(), 0u);

  if (g < MIN_PARALLEL_ITEMS) {
    for (const CandidatePair& p : pairs) {
      const uint32_t ra = uf_find(parent, p.a), rb = uf_find(parent, p.b);
      if (ra != rb && test(p)) {
        parent[ra] = rb;
        edges.push_back({p.a, p.b, std::nullopt});
      }
    }
    return edges;
  }

  // Batches start small so that early unions prune the pairs after them, then grow to spread
  // the parallel fan-out over more work.
  const bool progress = progress_enabled();
  size_t done = 0;
  size_t batch = std::clamp<size_t>(g / 16, 32, 256);
  std::vector<CandidatePair> open;
  std::vector<uint32_t> owners;
  std::vector<uint8_t> passed;
  while (done < g) {
    const size_t end = std::min(done + batch, g);
    open.clear();
    for (size_t k = done; k < end; ++k) {
      const CandidatePair p = pairs[k];
      if (uf_find(parent, p.a) != uf_find(parent, p.b)) open.push_back(p);
    }
    done = end;
    batch = std::min<size_t>(2 * batch, 2048);
    if (open.empty()) continue;
    // Grouping by b lets consecutive tests share one automaton.
    std::sort(open.begin(), open.end(), [](const CandidatePair& x, const CandidatePair& y) {
      return x.b != y.b ? x.b < y.b : x.a < y.a;
    });
    if (open.size() >= MIN_PARALLEL_ITEMS) {
      // Build every automaton the batch needs first, so that no test waits on another's build.
      owners.clear();
      for (const CandidatePair& p : open) {
        if (owners.empty() || owners.back() != p.b) owners.push_back(p.b);
      }
      parallel_for(owners.size(), [&](size_t k) { (void)lazy.get(owners[k]); });
      passed = parallel_map<uint8_t>(open.size(), [&](size_t k) { return test(open[k]) ? 1 : 0; });
    } else {
      passed.resize(open.size());
      for (size_t k = 0; k < open.size(); ++k) passed[k] = test(open[k]) ? 1 : 0;
    }
    for (size_t k = 0; k < open.size(); ++k) {
      if (!passed[k]) continue;
      const CandidatePair p = open[k];
      const uint32_t ra = uf_find(parent, p.a), rb = uf_find(parent, p.b);
      if (ra != rb) parent[ra] = rb;
      edges.push_back({p.a, p.b, std::nullopt});
    }
    if (progress) progress_line(done, g, open.size(), edges.size());
  }
  return edges;
}

}  // namespace ratiokit
