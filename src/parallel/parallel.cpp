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
// Pools start their workers as loops need them, never more than the loops can keep busy: up to
// the pool's size, and at most WORKERS_PER_CPU per CPU available, since a worker beyond that
// only adds start-up cost and contention (a request for 65,535 threads gets a handful).
// Workers are detached: dropping a private pool only raises its stop flag, because the last
// handle may be dropped on one of the pool's own workers, which cannot join itself. The workers
// keep the pool's shared state alive, drain what is queued, and exit.
//
// After fork() the child has only the thread that forked; every pool's workers, and whatever
// locks they held or queue entries they were about to take, stay behind in the parent. So no
// pool state crosses a fork: each state records the fork generation it was made in, a handler
// registered with pthread_atfork bumps the generation in the child, and a pool that finds its
// state from an older generation replaces it with a fresh one (same size, no workers yet) before
// using it. The stale state is never touched again, and never freed: its mutex may be held
// forever and its reference counts include the references of workers that do not exist here.
//
// Cancellation rides on the same structure. A loop records the cancellation flag of the thread
// that starts it, and a worker adopts that flag while it runs the loop's chunks, so nested loops
// and cancellation points anywhere below see the flag of the call they work for. The thread that
// owns a CancelScope polls between its own chunks and items, and in place of an untimed sleep
// while it waits for a loop; the other threads only read the flag.
#include "parallel/parallel.hpp"

#if !defined(_WIN32)
#include <pthread.h>
#include <unistd.h>
#endif
#if defined(__linux__)
#include <sched.h>
#endif

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

}  // namespace

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

namespace {

using LoopRef = std::shared_ptr<Loop>;

// A worker per CPU keeps the CPUs busy, and a few more cover workers that block while their
// loop's starter waits; beyond that threads only cost.
inline constexpr size_t WORKERS_PER_CPU = 4;

// Bumped in the child after every fork(); pool states made in an earlier generation belong to
// the parent.
std::atomic<uint64_t> FORK_GENERATION{0};

// Windows has no fork().
#if !defined(_WIN32)
void on_fork_child() { FORK_GENERATION.fetch_add(1, std::memory_order_relaxed); }

// Registered once, when the library is loaded, before any pool exists.
[[maybe_unused]] const int ATFORK_REGISTERED = pthread_atfork(nullptr, nullptr, &on_fork_child);
#endif

uint64_t fork_generation() { return FORK_GENERATION.load(std::memory_order_relaxed); }

size_t available_cpus();

size_t cpus() {
  static const size_t count = available_cpus();
  return count;
}

struct PoolState : std::enable_shared_from_this<PoolState> {
  PoolState(size_t size, size_t started)
      : size(size),
        limit(std::min(size, WORKERS_PER_CPU * cpus())),
        generation(fork_generation()),
        started(started) {}

  const size_t size;        // what was asked for; what ambient_threads() reports
  const size_t limit;       // the most workers this pool ever runs at once
  const uint64_t generation;

  bool stale() const { return generation != fork_generation(); }

  std::mutex mutex;
  std::condition_variable work_cv;
  std::deque<LoopRef> queue;
  bool stop = false;
  // Workers start on demand, up to `limit`: a pool asked for 65,535 threads that runs a loop of
  // ten chunks starts ten, and a loop of a million chunks starts `limit`. Guarded by `mutex`.
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
    if (waiting > pool.idle && pool.started < pool.limit) {
      spawn = std::min(waiting - pool.idle, pool.limit - pool.started);
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

std::atomic<uint64_t> SHARED_POOL_SIZE{0};

// A positive decimal count, capped like private pools; 0 when unset or malformed.
uint64_t positive_count(const char* text) {
  if (text == nullptr || *text == '\0') return 0;
  uint64_t value = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return 0;
    value = std::min<uint64_t>(value * 10 + static_cast<uint64_t>(*p - '0'), MAX_POOL_THREADS);
  }
  return value;
}

size_t available_cpus() {
#if defined(__linux__)
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
#else
  const unsigned online = std::thread::hardware_concurrency();
  return online > 0 ? online : 1;
#endif
}

size_t configured_threads() {
  static const size_t threads = [] {
    const uint64_t set = SHARED_POOL_SIZE.load(std::memory_order_acquire);
    return static_cast<size_t>(std::min<uint64_t>(set > 0 ? set : available_cpus(), MAX_POOL_THREADS));
  }();
  return threads;
}

// The process-wide pool of this process (see fork_generation). It is never torn down: states are
// reached through holders that are never deleted, so no exit-time destructor runs under workers
// that may still be busy. Its workers start as loops need them; if the system refuses some, the
// loops' starters run the chunks themselves.
std::atomic<const std::shared_ptr<PoolState>*> GLOBAL{nullptr};

PoolState& global_pool() {
  const std::shared_ptr<PoolState>* holder = GLOBAL.load(std::memory_order_acquire);
  while (holder == nullptr || (*holder)->stale()) {
    const auto* fresh =
        new std::shared_ptr<PoolState>(std::make_shared<PoolState>(configured_threads(), 0));
    if (GLOBAL.compare_exchange_strong(holder, fresh, std::memory_order_acq_rel)) {
      holder = fresh;
      break;
    }
    delete fresh;  // another thread got there first; `holder` now holds its state
  }
  return **holder;
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

// A private pool's handle. Its state is swapped for a fresh one when the handle is first used in
// a forked child; holders are immutable once published and only the current one is freed, so a
// thread that read an older holder can still copy its state.
struct Pool {
  explicit Pool(std::shared_ptr<PoolState> state)
      : holder(new std::shared_ptr<PoolState>(std::move(state))) {}
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;
  ~Pool() {
    const std::shared_ptr<PoolState>* last = holder.load(std::memory_order_acquire);
    if (!(*last)->stale()) stop_workers(**last);
    delete last;
  }

  // The state to use in this process, made fresh if the current one came from before a fork.
  std::shared_ptr<PoolState> state() {
    const std::shared_ptr<PoolState>* current = holder.load(std::memory_order_acquire);
    while ((*current)->stale()) {
      // Stale holders are left alone (leaked): see the file comment.
      const auto* fresh =
          new std::shared_ptr<PoolState>(std::make_shared<PoolState>((*current)->size, 0));
      if (holder.compare_exchange_strong(current, fresh, std::memory_order_acq_rel)) {
        current = fresh;
        break;
      }
      delete fresh;
    }
    return *current;
  }

  PoolState* peek() const { return holder.load(std::memory_order_acquire)->get(); }

  std::atomic<const std::shared_ptr<PoolState>*> holder;
};

uint64_t shared_pool_size_from(const char* num_threads, const char* rs_num_cpus) {
  const uint64_t n = positive_count(num_threads);
  return n > 0 ? n : positive_count(rs_num_cpus);
}

void set_shared_pool_size(uint64_t threads) {
  SHARED_POOL_SIZE.store(threads, std::memory_order_release);
}

PoolHandle make_pool(uint64_t threads) {
  const size_t count = static_cast<size_t>(std::min<uint64_t>(threads, MAX_POOL_THREADS));
  if (count == 0) return nullptr;
  auto state = std::make_shared<PoolState>(count, 1);
  // One worker up front proves that threads can be started (else the caller falls back to the
  // process-wide pool); the rest start when loops need them.
  std::vector<std::thread> started = start_workers(state, 1);
  if (started.empty()) return nullptr;
  for (std::thread& t : started) t.detach();
  try {
    return std::make_shared<Pool>(std::move(state));
  } catch (const std::bad_alloc&) {
    stop_workers(*state);
    return nullptr;
  }
}

size_t pool_size(const Pool& pool) { return pool.peek()->size; }

bool on_worker_of(const Pool& pool) { return CURRENT != nullptr && CURRENT == pool.peek(); }

namespace {

// The pool loops started on this thread would use, if it exists yet.
const PoolState* ambient_pool() {
  if (CURRENT != nullptr) return CURRENT;
  const std::shared_ptr<PoolState>* global = GLOBAL.load(std::memory_order_acquire);
  return global != nullptr ? global->get() : nullptr;
}

}  // namespace

size_t ambient_threads() {
  const PoolState* pool = ambient_pool();
  const size_t size = pool != nullptr ? pool->size : configured_threads();
  return std::max<size_t>(size, 1);
}

size_t ambient_workers() {
  const PoolState* pool = ambient_pool();
  const size_t limit =
      pool != nullptr ? pool->limit : std::min(configured_threads(), WORKERS_PER_CPU * cpus());
  return std::max<size_t>(limit, 1);
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
  const size_t threads = pool.limit;
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

namespace {

// Whether a pool has no worker at all (a fresh state after fork whose first thread the system
// refused): a loop posted there would never run unless its starter runs it.
bool workerless(PoolState& state) {
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.started == 0;
}

}  // namespace

BackgroundLoop::BackgroundLoop(Pool* pool, size_t n, FunctionRef<void(size_t, size_t)> body) {
  if (n == 0) return;
  // Held until post() returns: see run_in_pool.
  const std::shared_ptr<PoolState> held = pool != nullptr ? pool->state() : nullptr;
  PoolState& state = held != nullptr ? *held : global_pool();
  const size_t threads = std::max<size_t>(state.limit, 1);
  const size_t chunk = std::max<size_t>(1, n / (8 * threads));
  const size_t chunks = n / chunk + (n % chunk != 0);
  loop_ = std::make_shared<Loop>(n, chunk, chunks, body);
  claim_ = post(state, loop_, std::min(chunks, threads)) == 0 || workerless(state);
}

void BackgroundLoop::wait() {
  if (!loop_) return;
  const LoopRef loop = std::move(loop_);
  finish(*loop, claim_);
}

BackgroundLoop::~BackgroundLoop() {
  if (!loop_) return;
  // Skip what nobody has claimed (claiming it here costs an increment per chunk), then wait for
  // the chunks that are running; their cancellation flag, if any, is what shortens them.
  loop_->failed.store(true, std::memory_order_relaxed);
  run_chunks(*loop_);
  std::unique_lock<std::mutex> lock(loop_->mutex);
  loop_->finished_cv.wait(lock, [&] { return loop_->finished; });
}

void run_in_pool(Pool* pool, FunctionRef<void()> job) {
  if (pool == nullptr || on_worker_of(*pool)) {
    job();
    return;
  }
  // The job may drop the pool's last handle, and its workers may then exit and free the state
  // while post() is still notifying: keep the state alive until then.
  const std::shared_ptr<PoolState> state = pool->state();
  auto call = [&](size_t, size_t) { job(); };
  auto loop = std::make_shared<Loop>(1, 1, 1, call);
  if (post(*state, loop, 1) == 0) throw std::bad_alloc();
  // A pool left without any worker would never run the job: run it here instead, as a pool
  // that cannot be built does.
  finish(*loop, /*claim=*/workerless(*state));
}

}  // namespace ratiokit
