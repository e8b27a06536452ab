// Batched exact ratios, and the Rationer handle that keeps a private worker pool between calls.
//
// ratio_many_cpu(pairs) returns, for every (a, b), the exact difflib ratio that ratio_chars()
// gives (SequenceMatcher(None, a, b, autojunk=False).ratio()), in input order. Where the free
// batch treats every pair on its own, this one interns the b's of the batch by exact equality of
// code points, orders the pairs by b (and the a's of one b so that equal ones are adjacent), and
// builds one suffix automaton per distinct b that two or more distinct a's meet (counting only
// pairs too long for the bit-parallel search, which needs no automaton): the pairs
// sharing that b then run one after another against the same automaton while it is hot in
// cache, so its build is paid once instead of once per pair. A b met by a single a gains
// nothing from an automaton of its own and goes through ratio_chars()'s dispatcher, like the
// free batch. A pair repeated in the batch is computed once per chunk of work. Automata are
// built and held one block of b's at a time, so memory stays bounded however large the batch.
// The two engines agree exactly, so none of this shows in the results.
//
// A Rationer is immutable once made and may be used by any number of threads at once. Its pool,
// when it has one, is shared-owned: a copy of the handle keeps it alive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "cluster/cluster.hpp"
#include "gestalt/gestalt.hpp"
#include "parallel/concurrency.hpp"
#include "parallel/parallel.hpp"

namespace ratiokit {

// The batches read pairs through views, so that a caller may keep all texts in one buffer.
using PairView = std::pair<Text, Text>;

// Code points of b whose automata are held at once: an automaton takes 100 to 170 bytes per
// code point, so about 100 to 170 MiB.
inline constexpr size_t BLOCK_CODE_POINTS = size_t{1} << 20;

// Runs on the ambient pool (see parallel.hpp); results never depend on it, nor on how many
// code points of b may have their automata held at once.
// work_factor is ratio_chars()'s.
std::vector<double> ratio_many_cpu(std::span<const PairView> pairs, uint64_t work_factor,
                                   size_t block_code_points = BLOCK_CODE_POINTS);

// Whether ratio_many_cpu() takes its own path for these pairs rather than going through as the
// free batch: `min_long` or more of them too long for the bit-parallel search (an automaton
// then has a second pair to serve; 1 when these pairs are only the start of a batch), or one in
// eight a repeat.
bool shares_work(std::span<const PairView> pairs, size_t min_long = 2);

// Every pair on its own through ratio_symbols() (with `autojunk`, ratio_autojunk_chars()), on
// the ambient pool: the free batch. alphabets[k] is pair k's alphabet for ratio_symbols (0: code
// points); empty when every pair is texts.
std::vector<double> ratio_many_plain(std::span<const PairView> pairs, uint64_t work_factor,
                                     bool autojunk = false,
                                     std::span<const uint32_t> alphabets = {});
// One chunk of the free batch: out[k] = the ratio of pairs[k] for k in [begin, end), with a
// cancellation point before each pair.
void ratio_range(std::span<const PairView> pairs, std::span<double> out, size_t begin, size_t end,
                 uint64_t work_factor, bool autojunk = false,
                 std::span<const uint32_t> alphabets = {});

// delta limited to [0, 1]; NaN stays NaN.
double limit_delta(double delta);

struct Rationer {
  PoolHandle pool;  // null: work runs on the caller and its loops on the process-wide pool
  double delta = 0.0;  // stored and reported; no computation reads it
  Concurrency concurrency = Concurrency::Cpu;

  // Runs f where this handle's parallel work belongs and returns its result.
  template <class F>
  auto with_pool(F&& f) const -> std::invoke_result_t<F&> {
    if (!pool || on_worker_of(*pool)) return f();
    return run_in(pool.get(), f);
  }

  // On the calling thread, never on the pool: a single pair is too small to hand over.
  double ratio(Text a, Text b, uint64_t work_factor) const;
  std::vector<double> ratio_many(std::span<const PairView> pairs, uint64_t work_factor) const;
  // The exact clustering of cluster.hpp, with the same output and progress.
  std::vector<Cluster> cluster_canonicals(std::span<const CodePoints> strings, double threshold,
                                          Progress* progress = nullptr) const;
};

// threads > 0 builds a private pool of that many workers (none if the threads cannot be
// started); every requested mode runs on the CPU, so the active one is always Cpu.
Rationer make_rationer(Concurrency requested, uint64_t threads, double delta);

}  // namespace ratiokit
