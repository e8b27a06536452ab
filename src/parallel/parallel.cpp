// Tested by parallel_test.cpp.
//
// One queue per pool, guarded by one mutex, feeds its workers. A loop is a heap-allocated
// `Loop` holding an atomic chunk cursor; starting a loop queues up to one entry per helpful
// worker, each entry a shared reference to the loop, and then the starting thread claims chunks
// itself. A worker that pops an entry claims chunks until the cursor runs out, so an entry for a
// loop that is already exhausted costs one atomic increment and nothing else: this is what lets
// a worker start a nested loop and drive it to completion without waiting for anybody. The
// starter, once the cursor is exhausted, waits only for chunks that other threads have claimed
// and not yet finished. `run_in_pool` is the same machinery with a single chunk that the caller
// does not claim.
//
// Private pools start one worker at once and the rest as loops need them, up to their size.
// Workers are detached: dropping a private pool only raises its stop flag, because the last
// handle may be dropped on one of the pool's own workers, which cannot join itself. The workers
// keep the pool's shared state alive, drain what is queued, and exit.
//
// Cancellation rides on the same structure. A loop records the cancellation flag of the thread
// that starts it, and a worker adopts that flag while it runs the loop's chunks, so nested loops
// and cancellation points anywhere below see the flag of the call they work for. The thread that
// owns a CancelScope polls between its own chunks and items, and in place of an untimed sleep
// while it waits for a loop; the other threads only read the flag.
#include "parallel/parallel.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

namespace ratiokit {
namespace {

// The flag of the cancellable computation this thread works for, or null.
thread_local const std::atomic<bool>* CANCEL_FLAG = nullptr;
// The scope installed on this thread, if any; it polls only for the computation it owns.
thread_local CancelScope* SCOPE = nullptr;

struct Loop {
  Loop(size_t n, size_t chunk, size_t chunks, const FunctionRef<void(size_t, size_t)>& body)
      : n(n), chunk(chunk), chunks(chunks), body(body), cancel(CANCEL_FLAG) {}

  const size_t n;
  const size_t chunk;
  const size_t chunks;
  // Points into the starter's frame; only called for a claimed chunk, and the starter does not
  // return before every claimed chunk has finished.
  const FunctionRef<void(size_t, size_t)> body;
  // The starter's cancellation flag; lives as long as the starter's scope, so it too is only
  // read for a claimed chunk.
  const std::atomic<bool>* const cancel;

  std::atomic<size_t> cursor{0};
  std::atomic<size_t> done{0};
  std::atomic<bool> failed{false};
  std::exception_ptr error;  // written once, by whoever set `failed`; read after `done` is full

  std::mutex mutex;
  std::condition_variable finished_cv;
  bool finished = false;
};

using LoopRef = std::shared_ptr<Loop>;

struct PoolState : std::enable_shared_from_this<PoolState> {
  size_t size = 0;  // fixed before the pool is published

  std::mutex mutex;
  std::condition_variable work_cv;
  std::deque<LoopRef> queue;
  bool stop = false;
  // Private pools start their workers on demand, up to `size`: a pool asked for 65,535 threads
  // that runs a loop of ten chunks starts ten, not 65,535. Guarded by `mutex`.
  size_t started = 0;
  size_t idle = 0;
};

// The pool whose worker is running on this thread; null on every other thread.
thread_local PoolState* CURRENT = nullptr;

// Claims chunks until the cursor runs out. Every claimed chunk counts as done whether it ran or
// was skipped, so the starter's wait needs no other bookkeeping.
void run_chunks(Loop& loop) {
  // Work for the starter's computation while running its chunks; the starter itself already
  // does, and a worker goes back to working for nobody afterwards.
  const std::atomic<bool>* const adopted = std::exchange(CANCEL_FLAG, loop.cancel);
  const CancelCheck check;
  for (;;) {
    const size_t c = loop.cursor.fetch_add(1, std::memory_order_relaxed);
    if (c >= loop.chunks) break;
    // Between chunks: the one place where a loop decides whether to go on. A cancellation
    // counts as the loop's failure, so it skips the remaining chunks the same way.
    if (!loop.failed.load(std::memory_order_relaxed)) {
      const size_t begin = c * loop.chunk;
      try {
        check();
        loop.body(begin, std::min(loop.n, begin + loop.chunk));
      } catch (...) {
        if (!loop.failed.exchange(true, std::memory_order_relaxed)) {
          loop.error = std::current_exception();
        }
      }
    }
    if (loop.done.fetch_add(1, std::memory_order_acq_rel) + 1 == loop.chunks) {
      std::lock_guard<std::mutex> lock(loop.mutex);
      loop.finished = true;
      loop.finished_cv.notify_all();
    }
  }
  CANCEL_FLAG = adopted;
}

// The starter's wait for chunks claimed by other threads. The thread that owns the loop's
// cancellable computation polls while it waits. Once cancelled, it claims whatever chunks are
// left (they are skipped at once, and a job still queued behind other work need not wait for a
// worker) and then waits for the claimed ones, which read its frame and must finish first.
void wait_finished(Loop& loop) {
  std::unique_lock<std::mutex> lock(loop.mutex);
  const auto finished = [&] { return loop.finished; };
  CancelScope* const scope = SCOPE;
  if (scope == nullptr || loop.cancel != &scope->flag) {
    loop.finished_cv.wait(lock, finished);
    return;
  }
  while (!loop.finished) {
    if (scope->cancelled()) {
      lock.unlock();
      run_chunks(loop);
      lock.lock();
      loop.finished_cv.wait(lock, finished);
      return;
    }
    if (loop.finished_cv.wait_until(lock, scope->poll_due(), finished)) return;
    lock.unlock();
    scope->poll_now();
    lock.lock();
  }
}

// Everything a starter does after queueing its loop: help if it may, wait for the chunks still
// running elsewhere, and surface the first failure.
void finish(Loop& loop, bool claim) {
  if (claim) run_chunks(loop);
  if (loop.done.load(std::memory_order_acquire) != loop.chunks) wait_finished(loop);
  // Take the exception out of the loop: a worker may hold the loop's last reference, and the
  // exception object should die on the thread that handles it, not under a worker's feet.
  if (loop.error) std::rethrow_exception(std::exchange(loop.error, nullptr));
  // A loop whose chunks all ran before the flag was seen still must not let the computation go
  // on to its next step.
  if (loop.cancel != nullptr && loop.cancel->load(std::memory_order_relaxed)) throw_cancelled();
}

void worker_main(std::shared_ptr<PoolState> pool);

// Starts up to `count` more workers of a private pool; a refused thread only means fewer
// helpers, since loop starters run every chunk they can themselves.
void grow(PoolState& pool, size_t count) {
  std::shared_ptr<PoolState> self = pool.shared_from_this();
  size_t failed = 0;
  for (size_t k = 0; k < count; ++k) {
    try {
      std::thread(worker_main, self).detach();
    } catch (const std::system_error&) {
      failed = count - k;
      break;
    } catch (const std::bad_alloc&) {
      failed = count - k;
      break;
    }
  }
  if (failed > 0) {
    std::lock_guard<std::mutex> lock(pool.mutex);
    pool.started -= failed;
  }
}

// Queues `copies` entries for `loop` and returns how many made it; the starter copes with fewer
// helpers than it asked for, so running out of memory here is not an error.
size_t post(PoolState& pool, const LoopRef& loop, size_t copies) {
  size_t posted = 0;
  size_t spawn = 0;
  {
    std::lock_guard<std::mutex> lock(pool.mutex);
    try {
      for (; posted < copies; ++posted) pool.queue.push_back(loop);
    } catch (const std::bad_alloc&) {
    }
    const size_t waiting = pool.queue.size();
    if (waiting > pool.idle && pool.started < pool.size) {
      spawn = std::min(waiting - pool.idle, pool.size - pool.started);
      pool.started += spawn;
    }
  }
  if (spawn > 0) grow(pool, spawn);
  if (posted == 1) {
    pool.work_cv.notify_one();
  } else if (posted > 1) {
    pool.work_cv.notify_all();
  }
  return posted;
}

void worker_main(std::shared_ptr<PoolState> pool) {
  CURRENT = pool.get();
  std::unique_lock<std::mutex> lock(pool->mutex);
  for (;;) {
    ++pool->idle;
    pool->work_cv.wait(lock, [&] { return pool->stop || !pool->queue.empty(); });
    --pool->idle;
    // A stopped pool still drains its queue, so a blocked `run_in_pool` caller is never lost.
    if (pool->queue.empty()) return;
    LoopRef loop = std::move(pool->queue.front());
    pool->queue.pop_front();
    lock.unlock();
    run_chunks(*loop);
    loop.reset();
    lock.lock();
  }
}

void stop_workers(PoolState& pool) {
  {
    std::lock_guard<std::mutex> lock(pool.mutex);
    pool.stop = true;
  }
  pool.work_cv.notify_all();
}

// Starts up to `count` workers and returns them; fewer means the system refused a thread.
std::vector<std::thread> start_workers(const std::shared_ptr<PoolState>& pool, size_t count) {
  std::vector<std::thread> threads;
  try {
    threads.reserve(count);
    for (size_t i = 0; i < count; ++i) threads.emplace_back(worker_main, pool);
  } catch (const std::system_error&) {
  } catch (const std::bad_alloc&) {
  }
  return threads;
}

// A positive decimal count, capped like private pools; 0 when unset or malformed.
size_t env_count(const char* name) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return 0;
  size_t value = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return 0;
    value = std::min<size_t>(value * 10 + static_cast<size_t>(*p - '0'), MAX_POOL_THREADS);
  }
  return value;
}

size_t available_cpus() {
  // cpu_set_t covers 1024 CPUs; larger machines need a bigger mask, which the kernel reports
  // by failing with EINVAL.
  for (size_t cpus = CPU_SETSIZE; cpus <= (size_t{1} << 20); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) break;
    const size_t bytes = CPU_ALLOC_SIZE(cpus);
    const int rc = sched_getaffinity(0, bytes, set);
    const size_t count = rc == 0 ? static_cast<size_t>(CPU_COUNT_S(bytes, set)) : 0;
    CPU_FREE(set);
    if (rc == 0 && count > 0) return count;
    if (rc != 0 && errno != EINVAL) break;
  }
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<size_t>(online) : 1;
}

size_t configured_threads() {
  static const size_t threads = [] {
    if (size_t n = env_count("RAYON_NUM_THREADS")) return n;
    if (size_t n = env_count("RAYON_RS_NUM_CPUS")) return n;
    return std::min<size_t>(available_cpus(), MAX_POOL_THREADS);
  }();
  return threads;
}

std::atomic<PoolState*> GLOBAL_STARTED{nullptr};

// The process-wide pool. It is never torn down: its state is reached through a pointer that is
// never deleted, so no exit-time destructor runs under workers that may still be busy. If the
// system refuses some of its threads it keeps those it got (with none, loops run on callers).
PoolState& global_pool() {
  static const std::shared_ptr<PoolState>* const pool = [] {
    auto state = std::make_shared<PoolState>();
    std::vector<std::thread> threads = start_workers(state, configured_threads());
    state->size = threads.size();
    state->started = threads.size();
    for (std::thread& t : threads) t.detach();
    GLOBAL_STARTED.store(state.get(), std::memory_order_release);
    return new std::shared_ptr<PoolState>(std::move(state));
  }();
  return **pool;
}

}  // namespace

CancelScope::CancelScope(Poll poll, void* context) noexcept
    : poll(poll), context(context), outer_flag(CANCEL_FLAG), outer_scope(SCOPE) {
  CANCEL_FLAG = &flag;
  SCOPE = this;
}

CancelScope::~CancelScope() {
  CANCEL_FLAG = outer_flag;
  SCOPE = outer_scope;
}

CancelScope::Clock::time_point CancelScope::poll_due() {
  if (next_poll == Clock::time_point{}) next_poll = Clock::now() + POLL_INTERVAL;
  return next_poll;
}

bool CancelScope::poll_now() {
  if (cancelled()) return true;
  // A poll may take a while (it can run arbitrary code of the embedding program); the interval
  // counts from its end.
  const bool cancel = poll(context);
  next_poll = Clock::now() + POLL_INTERVAL;
  if (cancel) flag.store(true, std::memory_order_relaxed);
  return cancel;
}

// Reads the clock about every millisecond: the stride doubles while reads come much faster
// than that, and drops back to every check as soon as they come slower. The cap bounds the
// damage when cheap checks turn into expensive ones (a loop whose later items cost far more
// than its first, as in a join): the next read comes at most MAX_STRIDE checks later. A clock
// read costs about as much as the cheapest item of any loop here, so even at the cap it stays
// around a percent of such a loop, and far below that for real work. A loop of fewer than
// FIRST_STRIDE items never reads the clock at all.
void CancelScope::tick() {
  const Clock::time_point now = Clock::now();
  if (next_poll == Clock::time_point{}) next_poll = now + POLL_INTERVAL;
  if (last_tick != Clock::time_point{}) {
    if (now - last_tick < std::chrono::microseconds(250)) {
      stride = std::min(stride * 2, MAX_STRIDE);
    } else if (now - last_tick > std::chrono::milliseconds(2)) {
      stride = 1;
    }
  }
  last_tick = now;
  countdown = stride;
  if (now >= next_poll && poll_now()) throw_cancelled();
}

void throw_cancelled() { throw Cancelled(); }

CancelCheck::CancelCheck() noexcept : flag_(CANCEL_FLAG), scope_(nullptr) {
  CancelScope* const scope = SCOPE;
  if (scope != nullptr && flag_ == &scope->flag) scope_ = scope;
}

struct Pool {
  explicit Pool(std::shared_ptr<PoolState> state) : state(std::move(state)) {}
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;
  ~Pool() { stop_workers(*state); }

  const std::shared_ptr<PoolState> state;
};

PoolHandle make_pool(uint64_t threads) {
  const size_t count = static_cast<size_t>(std::min<uint64_t>(threads, MAX_POOL_THREADS));
  if (count == 0) return nullptr;
  auto state = std::make_shared<PoolState>();
  state->size = count;
  // One worker up front proves that threads can be started (else the caller falls back to the
  // process-wide pool); the rest start when loops need them.
  std::vector<std::thread> started = start_workers(state, 1);
  if (started.empty()) return nullptr;
  state->started = 1;
  for (std::thread& t : started) t.detach();
  try {
    return std::make_shared<Pool>(std::move(state));
  } catch (const std::bad_alloc&) {
    stop_workers(*state);
    return nullptr;
  }
}

size_t pool_size(const Pool& pool) { return pool.state->size; }

bool on_worker_of(const Pool& pool) { return CURRENT == pool.state.get(); }

size_t ambient_threads() {
  const PoolState* pool = CURRENT;
  if (pool == nullptr) pool = GLOBAL_STARTED.load(std::memory_order_acquire);
  const size_t size = pool != nullptr ? pool->size : configured_threads();
  return std::max<size_t>(size, 1);
}

void parallel_for_chunks(size_t n, size_t min_parallel, FunctionRef<void(size_t, size_t)> body) {
  if (n == 0) return;
  if (n < min_parallel) {
    cancellation_point();
    body(0, n);
    return;
  }
  const bool on_worker = CURRENT != nullptr;
  PoolState& pool = on_worker ? *CURRENT : global_pool();
  const size_t threads = pool.size;
  const size_t chunk = std::max<size_t>(1, n / (8 * std::max<size_t>(threads, 1)));
  const size_t chunks = n / chunk + (n % chunk != 0);
  if (threads <= 1 || chunks == 1) {
    cancellation_point();
    body(0, n);
    return;
  }
  // The starter works too, so a worker asks for one helper fewer than an outside caller.
  const size_t helpers = std::min(chunks - 1, on_worker ? threads - 1 : threads);
  auto loop = std::make_shared<Loop>(n, chunk, chunks, body);
  post(pool, loop, helpers);
  finish(*loop, /*claim=*/true);
}

void run_in_pool(Pool* pool, FunctionRef<void()> job) {
  if (pool == nullptr || on_worker_of(*pool)) {
    job();
    return;
  }
  // The job may drop the pool's last handle, and its workers may then exit and free the state
  // while post() is still notifying: keep the state alive until then.
  const std::shared_ptr<PoolState> state = pool->state;
  auto call = [&](size_t, size_t) { job(); };
  auto loop = std::make_shared<Loop>(1, 1, 1, call);
  if (post(*state, loop, 1) == 0) throw std::bad_alloc();
  finish(*loop, /*claim=*/false);
}

}  // namespace ratiokit
