// Tested by tests/cpp/rationer_test.cpp and, from Python, by tests/test_rationer.py.
#include "rationer/rationer.hpp"

#include <algorithm>
#include <bit>
#include <atomic>

#include "portable/portable.hpp"
#include "ratio/ratio.hpp"

namespace ratiokit {
namespace {

// How many items ahead a loop over scattered texts asks for their first cache line.
constexpr size_t PREFETCH_AHEAD = 4;

// Two code points per step, in two independent lanes: hashing is most of what interning costs.
uint64_t hash_text(Text t) {
  uint64_t h0 = 0x9e3779b97f4a7c15ULL ^ t.size(), h1 = 0xc2b2ae3d27d4eb4fULL;
  size_t i = 0;
  for (; i + 4 <= t.size(); i += 4) {
    h0 = (h0 ^ (uint64_t{t[i]} | uint64_t{t[i + 1]} << 32)) * 0xff51afd7ed558ccdULL;
    h1 = (h1 ^ (uint64_t{t[i + 2]} | uint64_t{t[i + 3]} << 32)) * 0xc4ceb9fe1a85ec53ULL;
    h0 ^= h0 >> 29;
    h1 ^= h1 >> 31;
  }
  for (; i < t.size(); ++i) h0 = (h0 ^ t[i]) * 0x100000001b3ULL;
  uint64_t h = h0 ^ (h1 * 0x9e3779b97f4a7c15ULL);
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  return h;
}

// Interns the b's by exact equality: out[k] is the index of one pair whose b equals pair k's,
// the same for every such pair. Pairs race for the slots of one lock-free table and whichever
// claims a slot first stands for its text; who wins varies between runs, the classes never do,
// so interning runs on all workers instead of holding up all but one.
std::vector<uint32_t> intern_b(std::span<const PairView> pairs) {
  const size_t n = pairs.size();
  size_t size = 16;
  while (size < 2 * n) size <<= 1;
  const size_t mask = size - 1;
  std::vector<std::atomic<uint32_t>> slots(size);  // pair + 1; 0 is free
  std::vector<uint64_t> hashes(n);  // written before the pair's claim, read after it is seen
  std::vector<uint32_t> out(n);
  parallel_for(n, [&](size_t k) {
    // Texts lie anywhere in memory, so each one costs a cache miss; have a few in flight.
    if (k + PREFETCH_AHEAD < n) prefetch(pairs[k + PREFETCH_AHEAD].second.data());
    const Text b = pairs[k].second;
    const uint64_t h = hash_text(b);
    hashes[k] = h;
    for (size_t s = h & mask;; s = (s + 1) & mask) {
      uint32_t held = slots[s].load(std::memory_order_acquire);
      if (held == 0) {
        if (slots[s].compare_exchange_strong(held, static_cast<uint32_t>(k + 1),
                                             std::memory_order_acq_rel,
                                             std::memory_order_acquire)) {
          out[k] = static_cast<uint32_t>(k);
          return;
        }
      }
      const uint32_t j = held - 1;
      if (hashes[j] == h && std::ranges::equal(pairs[j].second, b)) {
        out[k] = j;
        return;
      }
    }
  });
  return out;
}

struct PairKey {
  uint32_t b;  // interned: the index of a pair with the same b
  uint32_t index;  // position in the input
  uint64_t a_hash;  // of a, where b meets more than one a
};

inline constexpr uint32_t NO_SAM = UINT32_MAX;

// The keys [begin, end) that share one b, and the slot of b's automaton in the current block.
struct Group {
  size_t begin, end;
  bool automaton = false;  // b is met by two or more distinct non-empty a's
  uint32_t sam = NO_SAM;
};

// Most pairs one pass takes: interned ids and keys are 32-bit pair indices.
constexpr size_t MAX_SLICE = UINT32_MAX;

// Automata are big items; below this many code points a build is too cheap to hand out.
constexpr size_t PARALLEL_BUILD_CODE_POINTS = size_t{1} << 14;

// Keys ordered by b, cut into groups of one b each; the a's of a group are ordered later, by
// whichever worker computes them.
std::vector<Group> order_pairs(std::span<const PairView> pairs, std::span<const uint32_t> b_id,
                               std::vector<PairKey>& keys) {
  const size_t n = pairs.size();
  // Ids are pair indices, so a counting sort orders by b in linear time.
  std::vector<uint32_t> count(n, 0), next(n);
  for (size_t k = 0; k < n; ++k) ++count[b_id[k]];
  std::vector<Group> groups;
  for (size_t id = 0, at = 0; id < n; at += count[id++]) {
    next[id] = static_cast<uint32_t>(at);
    if (count[id] != 0) groups.push_back({at, at + count[id]});
  }
  keys.resize(n);
  for (size_t k = 0; k < n; ++k) keys[next[b_id[k]]++] = {b_id[k], static_cast<uint32_t>(k), 0};

  // The a's matter only where a b meets several: to find repeated pairs, and to tell whether an
  // automaton for b pays. Equal a's have equal hashes.
  parallel_for(n, [&](size_t p) {
    if (p + PREFETCH_AHEAD < n) {
      prefetch(pairs[keys[p + PREFETCH_AHEAD].index].first.data());
    }
    if (count[keys[p].b] > 1) keys[p].a_hash = hash_text(pairs[keys[p].index].first);
  });
  const auto a_of = [&](const PairKey& key) -> Text { return pairs[key.index].first; };
  for (Group& g : groups) {
    const auto first = keys.begin() + static_cast<ptrdiff_t>(g.begin);
    const auto last = keys.begin() + static_cast<ptrdiff_t>(g.end);
    // Only a's that the automaton would serve count: empty ones need no search, and short
    // pairs take the bit-parallel one.
    const size_t lb = pairs[first->index].second.size();
    const auto needs_sam = [&](const PairKey& key) {
      return !a_of(key).empty() && !bits_fit(a_of(key).size(), lb);
    };
    const auto first_a = std::find_if(first, last, needs_sam);
    g.automaton = lb != 0 && first_a != last &&
                  std::any_of(first_a + 1, last, [&](const PairKey& key) {
                    return needs_sam(key) && (key.a_hash != first_a->a_hash ||
                                              !std::ranges::equal(a_of(key), a_of(*first_a)));
                  });
  }
  return groups;
}

// A fingerprint of a text from its length and its first and last code points: equal texts
// always share it, and an estimate of repeats needs no more.
uint64_t sketch(Text t) {
  uint64_t h = t.size() * 0x9E3779B97F4A7C15ull;
  const size_t ends = std::min<size_t>(t.size(), 4);
  for (size_t k = 0; k < ends; ++k) {
    h = (h ^ t[k]) * 0x100000001B3ull;
    h = (h ^ t[t.size() - 1 - k]) * 0x100000001B3ull;
  }
  return h;
}

// How many pairs look like an earlier one (an overestimate of the repeats), through an
// open-addressed table of their fingerprints: one pass, no sort.
size_t repeated_pairs(std::span<const PairView> pairs) {
  const size_t slots = std::bit_ceil(2 * pairs.size() + 2);
  std::vector<uint64_t> table(slots, 0);
  size_t repeats = 0;
  for (const PairView& p : pairs) {
    const uint64_t h = (sketch(p.first) * 0x9E3779B97F4A7C15ull ^ sketch(p.second)) | 1;
    for (size_t i = h >> 20 & (slots - 1);; i = (i + 1) & (slots - 1)) {
      if (table[i] == 0) {
        table[i] = h;
        break;
      }
      if (table[i] == h) {
        ++repeats;
        break;
      }
    }
  }
  return repeats;
}

}  // namespace

bool shares_work(std::span<const PairView> pairs, size_t min_long) {
  // Short pairs take the bit-parallel search, which has no automaton to share: a batch of only
  // those gains from interning and ordering only what repeated pairs save, and otherwise goes
  // through as the free batch does.
  const size_t long_pairs = static_cast<size_t>(std::count_if(pairs.begin(), pairs.end(), [](const PairView& p) {
    return !bits_fit(p.first.size(), p.second.size());
  }));
  return long_pairs >= min_long || repeated_pairs(pairs) * 8 >= pairs.size();
}

std::vector<double> ratio_many_cpu(std::span<const PairView> pairs, uint64_t work_factor,
                                   size_t block_code_points) {
  const size_t n = pairs.size();
  std::vector<double> out(n, 0.0);
  if (n == 0) return out;
  if (n > MAX_SLICE) {
    // Keys hold pair indices in 32 bits: a larger batch goes through in slices.
    for (size_t at = 0; at < n; at += MAX_SLICE) {
      const auto part = ratio_many_cpu(pairs.subspan(at, std::min(MAX_SLICE, n - at)), work_factor,
                                       block_code_points);
      std::copy(part.begin(), part.end(), out.begin() + static_cast<ptrdiff_t>(at));
    }
    return out;
  }

  if (!shares_work(pairs)) return ratio_many_plain(pairs, work_factor);

  std::vector<PairKey> keys;
  std::vector<Group> groups = order_pairs(pairs, intern_b(pairs), keys);
  const auto a_of = [&](const PairKey& key) -> Text { return pairs[key.index].first; };
  const auto b_of = [&](const PairKey& key) -> Text { return pairs[key.index].second; };

  // Blocks of consecutive groups whose automata are held at once: at least one automaton, and
  // otherwise no more than block_code_points of b, so that a batch of many long texts stays
  // within memory.
  std::vector<Sam> sams;
  std::vector<size_t> to_build;
  for (size_t g0 = 0; g0 < groups.size();) {
    size_t held = 0;
    size_t g1 = g0;
    to_build.clear();
    for (; g1 < groups.size(); ++g1) {
      if (!groups[g1].automaton) continue;
      const size_t lb = b_of(keys[groups[g1].begin]).size();
      if (!to_build.empty() && held + lb > block_code_points) break;
      groups[g1].sam = static_cast<uint32_t>(to_build.size());
      to_build.push_back(g1);
      held += lb;
    }
    sams.assign(to_build.size(), Sam{});
    parallel_for(
        to_build.size(),
        [&](size_t s) { build_sam_into(b_of(keys[groups[to_build[s]].begin]), sams[s]); },
        held >= PARALLEL_BUILD_CODE_POINTS ? 2 : MIN_PARALLEL_ITEMS);

    // Chunks are contiguous in key order: consecutive pairs share one automaton, and a pair
    // that the input repeats is computed once per chunk. A b that only one a meets gains
    // nothing from an automaton of its own, and goes to the dispatcher like any single pair.
    const size_t begin = groups[g0].begin;
    const size_t end = groups[g1 - 1].end;
    const auto block_groups = std::span(groups).subspan(g0, g1 - g0);
    parallel_for_chunks(end - begin, MIN_PARALLEL_ITEMS, [&](size_t lo, size_t hi) {
      auto group = std::upper_bound(block_groups.begin(), block_groups.end(), begin + lo,
                                    [](size_t p, const Group& g) { return p < g.end; });
      // Equal a's next to each other, in the part of each group that this chunk holds.
      for (auto g = group; g != block_groups.end() && g->begin < begin + hi; ++g) {
        if (g->end - g->begin < 2) continue;
        std::sort(keys.begin() + static_cast<ptrdiff_t>(std::max(g->begin, begin + lo)),
                  keys.begin() + static_cast<ptrdiff_t>(std::min(g->end, begin + hi)),
                  [](const PairKey& x, const PairKey& y) { return x.a_hash < y.a_hash; });
      }
      const CancelCheck check;  // a chunk of long texts can run for seconds
      const PairKey* last = nullptr;
      double value = 0.0;
      for (size_t p = begin + lo; p < begin + hi; ++p) {
        check();
        if (p + PREFETCH_AHEAD < begin + hi) {
          const PairView& ahead = pairs[keys[p + PREFETCH_AHEAD].index];
          prefetch(ahead.first.data());
          prefetch(ahead.second.data());
        }
        while (p >= group->end) ++group;
        const PairKey& key = keys[p];
        if (last == nullptr || key.b != last->b || key.a_hash != last->a_hash ||
            !std::ranges::equal(a_of(key), a_of(*last))) {
          const Text a = a_of(key), b = b_of(key);
          if (group->sam == NO_SAM || bits_fit(a.size(), b.size(), true)) {
            value = ratio_chars(a, b, work_factor);
          } else if (a.empty()) {
            value = 0.0;  // b is not empty, or it would have no automaton
          } else {
            value = ratio_from_m(gestalt_m_with(a, sams[group->sam], b), a.size() + b.size());
          }
          last = &key;
        }
        out[key.index] = value;
      }
    });
    g0 = g1;
  }
  return out;
}

double limit_delta(double delta) {
  if (delta < 0.0) return 0.0;
  if (delta > 1.0) return 1.0;
  return delta;  // NaN compares false both ways and is kept
}

void ratio_range(std::span<const PairView> pairs, std::span<double> out, size_t begin, size_t end,
                 uint64_t work_factor, bool autojunk, std::span<const uint32_t> alphabets) {
  const CancelCheck check;
  for (size_t k = begin; k < end; ++k) {
    check();
    const auto& [a, b] = pairs[k];
    const size_t alphabet = alphabets.empty() ? 0 : alphabets[k];
    out[k] = autojunk ? ratio_autojunk_chars(a, b, work_factor, alphabet)
                      : ratio_symbols(a, b, alphabet, work_factor);
  }
}

std::vector<double> ratio_many_plain(std::span<const PairView> pairs, uint64_t work_factor,
                                     bool autojunk, std::span<const uint32_t> alphabets) {
  std::vector<double> out(pairs.size());
  parallel_for_chunks(pairs.size(), MIN_PARALLEL_ITEMS, [&](size_t begin, size_t end) {
    ratio_range(pairs, out, begin, end, work_factor, autojunk, alphabets);
  });
  return out;
}

double Rationer::ratio(Text a, Text b, uint64_t work_factor) const {
  return ratio_chars(a, b, work_factor);
}

std::vector<double> Rationer::ratio_many(std::span<const PairView> pairs,
                                         uint64_t work_factor) const {
  return with_pool([&] { return ratio_many_cpu(pairs, work_factor); });
}

std::vector<Cluster> Rationer::cluster_canonicals(std::span<const CodePoints> strings,
                                                  double threshold, Progress* progress) const {
  return with_pool([&] { return cluster_canonicals_chars(strings, threshold, progress); });
}

Rationer make_rationer(Concurrency requested, uint64_t threads, double delta) {
  // Every mode was validated by the caller; without a GPU backend all of them run on the CPU.
  (void)requested;
  Rationer r;
  if (threads > 0) r.pool = make_pool(threads);
  r.delta = limit_delta(delta);
  r.concurrency = Concurrency::Cpu;
  return r;
}

}  // namespace ratiokit
