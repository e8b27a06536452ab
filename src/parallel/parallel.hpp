// Worker pools and the parallel loops every engine uses.
//
// A `Pool` is a set of worker threads fed from one queue. There is one process-wide pool,
// created on first parallel use and sized by set_shared_pool_size, else by the CPUs available to
// the process; callers may also build private pools of N threads. Workers
// start as loops need them, and a pool never runs more than a few per available CPU whatever
// its size (see ambient_workers), since more could not work at once. Pools survive fork(): the
// child's first use of a pool gives it fresh state and fresh workers.
//
// Loops run on "the ambient pool": the pool whose worker is running the loop, or the
// process-wide pool when the loop is started from any other thread. The thread that starts a
// loop claims chunks itself instead of sleeping, so nested loops never deadlock, and a loop of
// fewer than `min_parallel` items never leaves the calling thread. Results land in per-index
// slots, so nothing depends on scheduling. The first exception thrown by a chunk is carried
// back to the caller and the remaining chunks are skipped; the pool stays usable.
//
// A computation can be made cancellable with a `CancelScope` (see below): its loops then stop
// at the next chunk or item once the scope's poll asks them to, by throwing `Cancelled`.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

namespace ratiokit {

struct Pool;
using PoolHandle = std::shared_ptr<Pool>;

// Largest private pool; larger requests are capped.
inline constexpr uint64_t MAX_POOL_THREADS = 65535;

// Sets the size of the process-wide pool, 0 for one worker per available CPU; capped like
// private pools. The caller reads its configuration (engines never look at the environment) and
// sets it before the pool's first use; later calls change nothing.
void set_shared_pool_size(uint64_t threads);
// The size given by RAYON_NUM_THREADS, else RAYON_RS_NUM_CPUS, as the caller read them (null when
// unset): the first that holds a positive decimal count, capped like private pools; 0 when
// neither does.
uint64_t shared_pool_size_from(const char* num_threads, const char* rs_num_cpus);

// A private pool of min(threads, MAX_POOL_THREADS) workers, or nullptr when the threads cannot
// be started. Dropping the last handle tells the workers to exit without waiting for them.
PoolHandle make_pool(uint64_t threads);

// Number of workers a pool was asked for.
size_t pool_size(const Pool& pool);

// True when the calling thread is one of `pool`'s workers.
bool on_worker_of(const Pool& pool);

// Number of workers asked for by the pool that loops started on this thread would use.
size_t ambient_threads();

// The most workers that pool runs at once: ambient_threads() capped at a small multiple of the
// CPUs available. Split work into pieces by this, not by ambient_threads().
size_t ambient_workers();

// A non-owning reference to a callable, so that the loop machinery stays out of line.
template <class Sig>
class FunctionRef;
template <class R, class... Args>
class FunctionRef<R(Args...)> {
 public:
  template <class F>
  FunctionRef(F&& f)  // NOLINT: implicit by design, like std::function_ref
      : object_(const_cast<void*>(static_cast<const void*>(&f))),
        call_([](void* o, Args... args) -> R {
          return (*static_cast<std::remove_reference_t<F>*>(o))(std::forward<Args>(args)...);
        }) {}
  R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

 private:
  void* object_;
  R (*call_)(void*, Args...);
};

// ---------------------------------------------------------------------------------------------
// Cancellation.
//
// A computation is cancellable while a `CancelScope` lives on the thread that runs it (the
// binding puts one around the calls it makes on the interpreter's main thread). Loops started
// under the scope carry its flag to whichever workers run their chunks, and every thread checks
// the flag at cancellation points: before each chunk, before each item of parallel_for and
// parallel_map, after waiting for a loop, and wherever an engine calls cancellation_point() in
// a long serial stretch. A set flag makes the check throw `Cancelled`, which unwinds like any
// other failure of a chunk: the remaining chunks are skipped, every claimed chunk finishes
// before its loop returns, and the pool stays usable. Only the scope's poll sets the flag, so a
// computation without a scope, or whose poll never says so, is never cancelled.
//
// The poll runs on the scope's own thread only, at most every POLL_INTERVAL: from cancellation
// points on that thread (the clock is read every `stride` checks, 16 at first and then 1 to 64,
// adapting so that reads land about a millisecond apart) and while that thread waits for
// workers. A computation shorter than POLL_INTERVAL never polls; outside a scope a check costs
// one predictable branch.

// Thrown at a cancellation point once the computation has been cancelled. Deliberately not a
// std::exception, so that handlers for those cannot swallow it.
struct Cancelled {};

inline constexpr std::chrono::milliseconds POLL_INTERVAL{50};

struct CancelScope {
  // Called on the scope's thread; returning true cancels the computation.
  using Poll = bool (*)(void* context);

  // Installs the scope on the calling thread until destruction (scopes nest).
  CancelScope(Poll poll, void* context) noexcept;
  ~CancelScope();
  CancelScope(const CancelScope&) = delete;
  CancelScope& operator=(const CancelScope&) = delete;

  bool cancelled() const noexcept { return flag.load(std::memory_order_relaxed); }

  // The rest belongs to the loop machinery.
  using Clock = std::chrono::steady_clock;
  // Counts checks down to the next clock read, then polls if it is due; throws Cancelled when
  // the flag is (or becomes) set.
  void tick();
  // Polls now (unless already cancelled) and returns whether the computation is cancelled.
  bool poll_now();
  // When the next poll is due; the first call starts the clock.
  Clock::time_point poll_due();

  static constexpr uint32_t FIRST_STRIDE = 16;
  static constexpr uint32_t MAX_STRIDE = 64;
  std::atomic<bool> flag{false};
  uint32_t countdown = FIRST_STRIDE;  // checks to the next clock read
  uint32_t stride = FIRST_STRIDE;
  const Poll poll;
  void* const context;
  Clock::time_point last_tick{};
  Clock::time_point next_poll{};
  const std::atomic<bool>* const outer_flag;
  CancelScope* const outer_scope;
};

[[noreturn]] void throw_cancelled();

// The calling thread's cancellation state, read once, for checks inside a tight loop.
class CancelCheck {
 public:
  CancelCheck() noexcept;
  void operator()() const {
    if (flag_ == nullptr) return;
    if (flag_->load(std::memory_order_relaxed)) throw_cancelled();
    if (scope_ != nullptr && --scope_->countdown == 0) scope_->tick();
  }

 private:
  const std::atomic<bool>* flag_;  // the flag of the computation this thread is working for
  CancelScope* scope_;             // set only on the scope's own thread
};

// Throws Cancelled if the computation this thread works for has been cancelled.
inline void cancellation_point() { CancelCheck()(); }

// Calls body(begin, end) over disjoint chunks covering [0, n) on the ambient pool and returns
// when all have run. Runs on the calling thread when n < min_parallel or the pool has one worker.
// Each chunk starts with a cancellation point; a body with long chunks may add its own.
void parallel_for_chunks(size_t n, size_t min_parallel, FunctionRef<void(size_t, size_t)> body);

// Runs `job` on a worker of `pool` and blocks until it is done (on the calling thread when
// pool is null or the caller already is one of its workers). Exceptions are rethrown here.
void run_in_pool(Pool* pool, FunctionRef<void()> job);

struct Loop;

// A loop over [0, n) handed to a pool's workers while the starting thread goes on with other
// work (the binding reads the next part of its input meanwhile, so that reading and computing
// overlap). The starter runs no chunk itself unless the pool has no worker to run them: waiting,
// it sleeps rather than compete with the workers. wait() returns when every chunk has run and
// rethrows the first failure, as parallel_for_chunks does; a loop dropped without wait() skips
// the chunks nobody has claimed yet and blocks until the claimed ones finish, since they read
// the starter's data. `body` must outlive the loop. The loop carries the starter's cancellation
// flag like any other. pool null: the process-wide pool.
class BackgroundLoop {
 public:
  BackgroundLoop(Pool* pool, size_t n, FunctionRef<void(size_t, size_t)> body);
  ~BackgroundLoop();
  BackgroundLoop(const BackgroundLoop&) = delete;
  BackgroundLoop& operator=(const BackgroundLoop&) = delete;

  void wait();

 private:
  std::shared_ptr<Loop> loop_;
  bool claim_ = false;  // no worker will run the chunks: wait() does
};

// Default number of items below which loops stay on the calling thread.
inline constexpr size_t MIN_PARALLEL_ITEMS = 32;

template <class F>
void parallel_for(size_t n, F&& f, size_t min_parallel = MIN_PARALLEL_ITEMS) {
  parallel_for_chunks(n, min_parallel, [&](size_t begin, size_t end) {
    const CancelCheck check;
    for (size_t i = begin; i < end; ++i) {
      check();
      f(i);
    }
  });
}

// out[i] = f(i) for i in [0, n).
template <class T, class F>
std::vector<T> parallel_map(size_t n, F&& f, size_t min_parallel = MIN_PARALLEL_ITEMS) {
  std::vector<T> out(n);
  parallel_for(n, [&](size_t i) { out[i] = f(i); }, min_parallel);
  return out;
}

// Appends per-piece results to `out` in piece order, freeing each piece as it goes, so that the
// concatenation never holds two full copies.
template <class T>
void append_pieces(std::vector<std::vector<T>>& pieces, std::vector<T>& out) {
  size_t total = out.size();
  for (const auto& piece : pieces) total += piece.size();
  out.reserve(total);
  for (auto& piece : pieces) {
    out.insert(out.end(), piece.begin(), piece.end());
    std::vector<T>().swap(piece);
  }
}

// Runs f on `pool` (see run_in_pool) and returns its result.
template <class F>
auto run_in(Pool* pool, F&& f) -> std::invoke_result_t<F&> {
  using R = std::invoke_result_t<F&>;
  if constexpr (std::is_void_v<R>) {
    run_in_pool(pool, [&] { f(); });
  } else {
    std::optional<R> result;
    run_in_pool(pool, [&] { result.emplace(f()); });
    return std::move(*result);
  }
}

// threads == 0: f runs on the calling thread and its loops use the process-wide pool.
// Otherwise f runs on a private pool of `threads` workers built for this call, falling back
// silently to the process-wide pool when the threads cannot be started.
template <class F>
auto run_on_threads(uint64_t threads, F&& f) -> std::invoke_result_t<F&> {
  if (threads == 0) return f();
  PoolHandle pool = make_pool(threads);
  return run_in(pool.get(), f);
}

}  // namespace ratiokit
