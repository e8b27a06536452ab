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

namespace {

std::atomic<size_t> LAZY_SAMS_PEAK{0};
std::atomic<size_t> DEFAULT_RESIDENT_BUDGET{RESIDENT_BUDGET};

// The slot value while one thread builds the automaton; no automaton lives at this address.
Sam* building() { return reinterpret_cast<Sam*>(uintptr_t{alignof(Sam)}); }

}  // namespace

LazySams::LazySams(std::span<const CodePoints> strings, size_t budget)
    : strings_(strings),
      slots_(std::make_unique<Slot[]>(strings.size())),
      size_(strings.size()),
      budget_(budget) {}

LazySams::LazySams(std::vector<Sam> automata)
    : slots_(std::make_unique<Slot[]>(automata.size())), size_(automata.size()) {
  for (size_t i = 0; i < automata.size(); ++i) {
    slots_[i].sam.store(std::make_unique<Sam>(std::move(automata[i])).release(),
                        std::memory_order_relaxed);
  }
}

LazySams LazySams::built(std::vector<Sam> automata) { return LazySams(std::move(automata)); }

size_t default_resident_budget() {
  return DEFAULT_RESIDENT_BUDGET.load(std::memory_order_relaxed);
}
size_t set_default_resident_budget(size_t budget) {
  return DEFAULT_RESIDENT_BUDGET.exchange(budget, std::memory_order_relaxed);
}

size_t lazy_sams_peak() { return LAZY_SAMS_PEAK.load(std::memory_order_relaxed); }
void reset_lazy_sams_peak() { LAZY_SAMS_PEAK.store(0, std::memory_order_relaxed); }

LazySams::~LazySams() {
  const size_t peak = peak_resident();
  size_t seen = LAZY_SAMS_PEAK.load(std::memory_order_relaxed);
  while (peak > seen &&
         !LAZY_SAMS_PEAK.compare_exchange_weak(seen, peak, std::memory_order_relaxed)) {
  }
  for (size_t i = 0; i < size_; ++i) delete slots_[i].sam.load(std::memory_order_relaxed);
}

bool LazySams::built_now(size_t i) const {
  const Sam* p = slots_[i].sam.load(std::memory_order_acquire);
  return p != nullptr && p != building();
}

const Sam& LazySams::get(size_t i) {
  std::atomic<Sam*>& cell = slots_[i].sam;
  Sam* p = cell.load(std::memory_order_acquire);
  while (p == nullptr || p == building()) {
    if (p == nullptr) {
      if (cell.compare_exchange_strong(p, building(), std::memory_order_acq_rel)) break;
      continue;
    }
    std::unique_lock lock(mutex_);
    built_cv_.wait(lock, [&] { return cell.load(std::memory_order_acquire) != building(); });
    p = cell.load(std::memory_order_acquire);
  }
  if (p != nullptr && p != building()) return *p;
  // This thread builds it; a failure (out of memory, cancellation) empties the slot again, so
  // that a waiting thread tries for itself.
  std::unique_ptr<Sam> sam;
  try {
    sam = std::make_unique<Sam>();
    build_sam_into(strings_[i], *sam);
    std::lock_guard lock(mutex_);
    order_.push_back(static_cast<uint32_t>(i));
  } catch (...) {
    {
      std::lock_guard lock(mutex_);
      cell.store(nullptr, std::memory_order_release);
    }
    built_cv_.notify_all();
    throw;
  }
  const size_t now = resident_.fetch_add(length(i), std::memory_order_relaxed) + length(i);
  size_t peak = peak_.load(std::memory_order_relaxed);
  while (now > peak && !peak_.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
  }
  p = sam.release();
  {
    std::lock_guard lock(mutex_);
    cell.store(p, std::memory_order_release);
  }
  built_cv_.notify_all();
  return *p;
}

void LazySams::drop(size_t i) {
  Sam* p = slots_[i].sam.exchange(nullptr, std::memory_order_acq_rel);
  if (p == nullptr) return;
  delete p;
  resident_.fetch_sub(length(i), std::memory_order_relaxed);
}

void LazySams::new_epoch() {
  if (mark_.size() != size_) mark_.assign(size_, 0);
  if (++epoch_ == 0) {  // wrapped: no stale mark may equal the new epoch
    std::fill(mark_.begin(), mark_.end(), 0);
    epoch_ = 1;
  }
}

void LazySams::make_room(size_t incoming) {
  if (resident() + incoming <= budget_) return;
  std::lock_guard lock(mutex_);
  size_t kept = 0;
  for (const uint32_t i : order_) {
    if (!built_now(i)) continue;  // dropped meanwhile: forget it
    if (mark_[i] != epoch_ && resident() + incoming > budget_) {
      drop(i);
    } else {
      order_[kept++] = i;
    }
  }
  order_.resize(kept);
}

void LazySams::reserve(uint32_t b, uint32_t a) {
  size_t missing = built_now(b) ? 0 : length(b);
  if (a != NO_OWNER && a != b && !built_now(a)) missing += length(a);
  if (resident() + missing <= budget_) return;
  new_epoch();
  mark_[b] = epoch_;
  if (a != NO_OWNER) mark_[a] = epoch_;
  make_room(missing);
}

void LazySams::build_all(std::span<const uint32_t> owners) {
  parallel_for(owners.size(), [&](size_t k) { (void)get(owners[k]); });
}

void LazySams::run(size_t count, FunctionRef<std::pair<uint32_t, uint32_t>(size_t)> owners,
                   FunctionRef<void(size_t)> fn) {
  (void)run(count, owners, fn, [](size_t) { return false; }, [](std::span<const uint32_t>) {});
}

bool LazySams::run(size_t count, FunctionRef<std::pair<uint32_t, uint32_t>(size_t)> owners,
                   FunctionRef<void(size_t)> fn, FunctionRef<bool(size_t)> skip,
                   FunctionRef<void(std::span<const uint32_t>)> chunk_done) {
  // Callers list items grouped by owner: repeats next to each other are skipped, the others
  // cost a glance at a built slot.
  std::vector<uint32_t> needed;
  needed.reserve(count);
  for (size_t k = 0; k < count; ++k) {
    const auto [b, a] = owners(k);
    if (needed.empty() || needed.back() != b) needed.push_back(b);
    if (a != NO_OWNER) needed.push_back(a);
  }
  auto missing = [&] {
    size_t sum = 0;
    for (const uint32_t i : needed) {
      if (!built_now(i)) sum += length(i);
    }
    return sum;
  };
  bool fits = strings_.empty() || resident() + missing() <= budget_;
  if (!fits) {  // repeats may have been counted more than once
    std::sort(needed.begin(), needed.end());
    needed.erase(std::unique(needed.begin(), needed.end()), needed.end());
    fits = resident() + missing() <= budget_;
  }
  if (fits) {
    // Every automaton the items read is built first, so that no item waits on another's build.
    build_all(needed);
    parallel_for(count, fn);
    return false;
  }
  std::vector<uint32_t>().swap(needed);
  // Grouped by owner, so that a chunk reads few automata and an automaton serves one chunk;
  // owners already built go first, so that what an earlier call left is used before it is
  // dropped.
  std::vector<uint32_t> items(count);
  std::iota(items.begin(), items.end(), 0u);
  std::vector<uint8_t> cold(count);
  for (size_t k = 0; k < count; ++k) cold[k] = built_now(owners(k).first) ? 0 : 1;
  std::stable_sort(items.begin(), items.end(), [&](uint32_t x, uint32_t y) {
    return std::pair(cold[x], owners(x)) < std::pair(cold[y], owners(y));
  });
  std::vector<uint8_t>().swap(cold);
  std::vector<uint32_t> chunk_owners, chunk;
  size_t next = 0;
  while (next < count) {
    // Items join the chunk while the code points of its automata stay within the budget; the
    // chunk's strings carry the new epoch's mark.
    new_epoch();
    chunk_owners.clear();
    chunk.clear();
    size_t cost = 0;
    for (; next < count; ++next) {
      const uint32_t k = items[next];
      if (skip(k)) continue;
      const auto [b, a] = owners(k);
      const bool new_b = mark_[b] != epoch_;
      const bool new_a = a != NO_OWNER && a != b && mark_[a] != epoch_;
      const size_t more = (new_b ? length(b) : 0) + (new_a ? length(a) : 0);
      if (!chunk.empty() && cost + more > budget_) break;
      if (new_b) {
        mark_[b] = epoch_;
        chunk_owners.push_back(b);
      }
      if (new_a) {
        mark_[a] = epoch_;
        chunk_owners.push_back(a);
      }
      cost += more;
      chunk.push_back(k);
    }
    if (chunk.empty()) break;
    size_t missing = 0;
    for (const uint32_t i : chunk_owners) {
      if (!built_now(i)) missing += length(i);
    }
    make_room(missing);
    build_all(chunk_owners);
    parallel_for(chunk.size(), [&](size_t k) { fn(chunk[k]); });
    chunk_done(chunk);
  }
  return true;
}

namespace {

// Drops the pairs the LCS bound rules out (in parallel) and orders the rest by (b, a).
void drop_ruled_out(std::vector<CandidatePair>& pairs, std::span<const CodePoints> strings,
                    double threshold) {
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
}

}  // namespace

void screen_pairs(std::vector<CandidatePair>& pairs, std::span<const CodePoints> strings,
                  LazySams& lazy, double threshold, Orientation orientation) {
  drop_ruled_out(pairs, strings, threshold);
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
    if (gestalt_ratio_reaches(strings[p.a], strings[p.b], lazy.get(p.b), threshold)) return true;
    return orientation.both_ways(p.a, p.b) &&
           gestalt_ratio_reaches(strings[p.b], strings[p.a], lazy.get(p.a), threshold);
  }
  bool operator()(const CandidatePair& p) const { return !ruled_out(p) && links(p); }
  // The automata a test reads: of b, and of a where both orientations occur.
  std::pair<uint32_t, uint32_t> owners(const CandidatePair& p) const {
    return {p.b, orientation.both_ways(p.a, p.b) ? p.a : LazySams::NO_OWNER};
  }
  // For serial loops: room for the pair's automata before its test builds them.
  void reserve(const CandidatePair& p) const {
    const auto [b, a] = owners(p);
    lazy.reserve(b, a);
  }
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
      if (ra == rb) continue;
      test.reserve(p);
      if (test(p)) {
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
  auto add_edge = [&](const CandidatePair& p) {
    const uint32_t ra = uf_find(parent, p.a), rb = uf_find(parent, p.b);
    if (ra != rb) parent[ra] = rb;
    edges.push_back({p.a, p.b, std::nullopt});
  };
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
      drop_ruled_out(open, test.strings, test.threshold);
      passed.assign(open.size(), 0);
      // In chunks (automata beyond the budget), each chunk's links join the forest before the
      // next chunk forms, and its pairs that the forest then connects are left out, with the
      // automata only they would read.
      const bool chunked = test.lazy.run(
          open.size(), [&](size_t k) { return test.owners(open[k]); },
          [&](size_t k) { passed[k] = test.links(open[k]) ? 1 : 0; },
          [&](size_t k) { return uf_find(parent, open[k].a) == uf_find(parent, open[k].b); },
          [&](std::span<const uint32_t> chunk) {
            for (const uint32_t k : chunk) {
              if (passed[k]) add_edge(open[k]);
            }
          });
      if (!chunked) {
        for (size_t k = 0; k < open.size(); ++k) {
          if (passed[k]) add_edge(open[k]);
        }
      }
    } else {
      std::sort(open.begin(), open.end(), by_b);
      passed.resize(open.size());
      for (size_t k = 0; k < open.size(); ++k) {
        test.reserve(open[k]);
        passed[k] = test(open[k]) ? 1 : 0;
      }
      for (size_t k = 0; k < open.size(); ++k) {
        if (passed[k]) add_edge(open[k]);
      }
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
    std::optional<double> r =
        gestalt_ratio_at_least(strings[p.a], strings[p.b], lazy.get(p.b), threshold);
    if (orientation.both_ways(p.a, p.b)) {
      const std::optional<double> back =
          gestalt_ratio_at_least(strings[p.b], strings[p.a], lazy.get(p.a), threshold);
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
