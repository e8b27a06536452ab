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
    std::call_once(slot.once, [&] { slot.sam = std::make_unique<Sam>(std::move(automata[i])); });
  }
  return lazy;
}

const Sam& LazySams::get(size_t i) {
  Slot& slot = slots_[i];
  std::call_once(slot.once, [&] {
    slot.sam = std::make_unique<Sam>();
    build_sam_into(strings_[i], *slot.sam);
  });
  return *slot.sam;
}

void LazySams::drop(size_t i) { slots_[i].sam.reset(); }

void screen_pairs(std::vector<CandidatePair>& pairs, std::span<const CodePoints> strings,
                  LazySams& lazy, double threshold, Orientation orientation) {
  auto by_b = [](const CandidatePair& x, const CandidatePair& y) {
    return x.b != y.b ? x.b < y.b : x.a < y.a;
  };
  // The LCS bound first, grouped by its pattern (the shorter string) so that consecutive tests
  // share its masks; then what is left grouped by b, so that consecutive tests share one
  // automaton.
  const auto pattern = [&](const CandidatePair& p) {
    return strings[p.b].size() < strings[p.a].size() ? p.b : p.a;
  };
  std::sort(pairs.begin(), pairs.end(), [&](const CandidatePair& x, const CandidatePair& y) {
    const uint32_t px = pattern(x), py = pattern(y);
    return px != py ? px < py : by_b(x, y);
  });
  const std::vector<uint8_t> open = parallel_map<uint8_t>(pairs.size(), [&](size_t k) {
    return lcs_rules_out(strings[pairs[k].a], strings[pairs[k].b], threshold) ? 0 : 1;
  });
  size_t kept = 0;
  for (size_t k = 0; k < pairs.size(); ++k) {
    if (open[k]) pairs[kept++] = pairs[k];
  }
  pairs.resize(kept);
  std::sort(pairs.begin(), pairs.end(), by_b);
  // Every automaton the pairs need is built first, so that no test waits on another's build.
  std::vector<uint32_t> owners;
  for (const CandidatePair& p : pairs) {
    if (owners.empty() || owners.back() != p.b) owners.push_back(p.b);
    if (orientation.both_ways(p.a, p.b)) owners.push_back(p.a);
  }
  std::sort(owners.begin(), owners.end());
  owners.erase(std::unique(owners.begin(), owners.end()), owners.end());
  parallel_for(owners.size(), [&](size_t k) { (void)lazy.get(owners[k]); });
}

namespace {

// Tests a pair in every orientation that occurs: it links when one of them reaches the threshold.
// In two steps, so that a batch builds automata only for the pairs the LCS bound leaves open.
struct PairTest {
  std::span<const CodePoints> strings;
  LazySams& lazy;
  double threshold;
  Orientation orientation;

  // The bound holds for both orientations.
  bool ruled_out(const CandidatePair& p) const {
    return lcs_rules_out(strings[p.a], strings[p.b], threshold);
  }
  bool links(const CandidatePair& p) const {
    if (gestalt_edge_bounded(strings[p.a], strings[p.b], lazy.get(p.b), threshold)) return true;
    return orientation.both_ways(p.a, p.b) &&
           gestalt_edge_bounded(strings[p.b], strings[p.a], lazy.get(p.a), threshold);
  }
  bool operator()(const CandidatePair& p) const { return !ruled_out(p) && links(p); }
};

// Verifies `pairs` (likeliest links first) against the forest in batches that grow from
// clamp(G / 16, 32, 256) to 2048 pairs, appending edges; after each tested batch calls
// batch_done(pairs consumed, pairs tested).
void verify_batches(std::span<const CandidatePair> pairs, const PairTest& test,
                    std::vector<uint32_t>& parent, std::vector<Edge>& edges,
                    FunctionRef<void(size_t, size_t)> batch_done) {
  const size_t g = pairs.size();
  if (g < MIN_PARALLEL_ITEMS) {
    for (const CandidatePair& p : pairs) {
      const uint32_t ra = uf_find(parent, p.a), rb = uf_find(parent, p.b);
      if (ra != rb && test(p)) {
        parent[ra] = rb;
        edges.push_back({p.a, p.b, std::nullopt});
      }
    }
    return;
  }
  // Batches start small so that early unions prune the pairs after them, then grow to spread
  // the parallel fan-out over more work.
  size_t done = 0;
  size_t batch = std::clamp<size_t>(g / 16, 32, 256);
  std::vector<CandidatePair> open;
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
    const size_t tested = open.size();
    // Grouping by b lets consecutive tests share one automaton.
    auto by_b = [](const CandidatePair& x, const CandidatePair& y) {
      return x.b != y.b ? x.b < y.b : x.a < y.a;
    };
    if (open.size() >= MIN_PARALLEL_ITEMS) {
      screen_pairs(open, test.strings, test.lazy, test.threshold, test.orientation);
      passed = parallel_map<uint8_t>(open.size(), [&](size_t k) { return test.links(open[k]) ? 1 : 0; });
    } else {
      std::sort(open.begin(), open.end(), by_b);
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
    batch_done(done, tested);
  }
}

void edges_line(Progress* progress, uint64_t done, uint64_t total, size_t tested, size_t edges) {
  const double pct = static_cast<double>(done) / static_cast<double>(total) * 100.0;
  progress_tick(progress, "edges: %llu/%llu candidates (%.0f%%), %zu tested, %zu edges",
                 static_cast<unsigned long long>(done), static_cast<unsigned long long>(total),
                 pct, tested, edges);
}

std::vector<uint32_t> singleton_forest(size_t n) {
  std::vector<uint32_t> parent(n);
  std::iota(parent.begin(), parent.end(), 0u);
  return parent;
}

}  // namespace

std::vector<Edge> spanning_edges(std::vector<CandidatePair>& pairs,
                                 std::span<const CodePoints> strings,
                                 std::span<const CharCounts> counts, LazySams& lazy,
                                 double threshold, Orientation orientation, Progress* progress) {
  std::vector<Edge> edges;
  if (pairs.empty()) return edges;
  const PairTest test{strings, lazy, threshold, orientation};
  if (pairs.size() == 1) {
    const CandidatePair p = pairs[0];
    std::optional<double> r = gestalt_edge(strings[p.a], strings[p.b], lazy.get(p.b), threshold);
    if (orientation.both_ways(p.a, p.b)) {
      const std::optional<double> back =
          gestalt_edge(strings[p.b], strings[p.a], lazy.get(p.a), threshold);
      // The ratio is known only when both orientations reached the threshold: the other one is
      // below it, and lower.
      if (r && back) {
        r = std::min(*r, *back);
      } else if (r || back) {
        edges.push_back({p.a, p.b, std::nullopt});
        return edges;
      }
    }
    if (r) edges.push_back({p.a, p.b, r});
    return edges;
  }

  // Likeliest links first: ascending complemented bit patterns of non-negative doubles are
  // descending bounds.
  const size_t g = pairs.size();
  {
    std::vector<KeyedPair> keyed = parallel_map<KeyedPair>(g, [&](size_t k) {
      const CandidatePair p = pairs[k];
      const double bound = quick_ratio_counts(counts[p.a], counts[p.b],
                                              strings[p.a].size() + strings[p.b].size());
      return KeyedPair{~std::bit_cast<uint64_t>(bound), p.a, p.b};
    });
    std::sort(keyed.begin(), keyed.end(), [](const KeyedPair& x, const KeyedPair& y) {
      return std::tie(x.key, x.a, x.b) < std::tie(y.key, y.a, y.b);
    });
    for (size_t k = 0; k < g; ++k) pairs[k] = {keyed[k].a, keyed[k].b};
  }

  std::vector<uint32_t> parent = singleton_forest(strings.size());
  verify_batches(pairs, test, parent, edges, [&](size_t done, size_t tested) {
    progress_set(progress, done);
    edges_line(progress, done, g, tested, edges.size());
  });
  return edges;
}

std::vector<Edge> streamed_edges(CandidateStream& stream, std::span<const CodePoints> strings,
                                 LazySams& lazy, double threshold, Orientation orientation,
                                 uint64_t budget, Progress* progress,
                                 std::vector<uint32_t>* forest) {
  const PairTest test{strings, lazy, threshold, orientation};
  std::vector<uint32_t> own;
  if (forest == nullptr) own = singleton_forest(strings.size());
  std::vector<uint32_t>& parent = forest != nullptr ? *forest : own;
  std::vector<Edge> edges;
  std::vector<KeyedPair> keyed;
  std::vector<CandidatePair> pairs;
  const uint64_t total = stream.window_pairs();
  uint64_t walked = 0;
  while (!stream.finished()) {
    const uint64_t block = stream.next_block(parent, budget, keyed);
    std::sort(keyed.begin(), keyed.end(), [](const KeyedPair& x, const KeyedPair& y) {
      return std::tie(x.key, x.a, x.b) < std::tie(y.key, y.a, y.b);
    });
    pairs.resize(keyed.size());
    for (size_t k = 0; k < keyed.size(); ++k) pairs[k] = {keyed[k].a, keyed[k].b};
    // Lines count pairs within the length bound: the candidates of later rows are not known yet.
    const size_t g = pairs.size();
    verify_batches(pairs, test, parent, edges, [&](size_t done, size_t tested) {
      const uint64_t now = walked + block * done / g;
      progress_set(progress, now);
      edges_line(progress, now, total, tested, edges.size());
    });
    walked += block;
    progress_set(progress, walked);
  }
  return edges;
}

}  // namespace ratiokit
