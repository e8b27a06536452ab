#include "parallel/parallel.hpp"

#include <gtest/gtest.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <new>
#include <numeric>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace ratiokit {
namespace {

int thread_count() {
  // ThreadSanitizer starts a helper thread of its own with the first thread the process
  // creates; make sure it is already there before anything counts.
  static const bool helper_started = [] {
    std::thread([] {}).join();
    return true;
  }();
  (void)helper_started;
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  }
  return -1;
}

// The thread count once it has stopped changing: workers of pools dropped earlier in this
// process may still be on their way out.
int steady_thread_count() {
  int last = thread_count();
  for (int i = 0; i < 250; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const int now = thread_count();
    if (now == last) return now;
    last = now;
  }
  return last;
}

// Detached workers leave on their own schedule; give them a few seconds.
bool threads_settle_to(int expected) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (thread_count() > expected) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

uint64_t mix(uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  return x;
}

// ---------------------------------------------------------------------------------------------
// The process-wide pool: sized from RAYON_NUM_THREADS / RAYON_RS_NUM_CPUS as the binding reads
// them, when first used, and not before. Each case runs in a fresh process so that the pool has
// not been built yet.

struct EnvCase {
  const char* num_threads;
  const char* rs_num_cpus;
  int expected;  // -1: the CPUs available to the process
};

void check_global_pool(const EnvCase& c) {
  set_shared_pool_size(shared_pool_size_from(c.num_threads, c.rs_num_cpus));
  int expected = c.expected;
  if (expected < 0) {
    cpu_set_t set;
    sched_getaffinity(0, sizeof set, &set);
    expected = CPU_COUNT(&set);
  }
  const int before = thread_count();
  std::atomic<int> sum{0};
  parallel_for(31, [&](size_t i) { sum += static_cast<int>(i); });
  if (thread_count() != before) {
    std::fprintf(stderr, "a serial loop started threads\n");
    std::exit(1);
  }
  if (static_cast<int>(ambient_threads()) != expected) {
    std::fprintf(stderr, "ambient_threads %zu, want %d\n", ambient_threads(), expected);
    std::exit(1);
  }
  parallel_for(1000, [&](size_t i) { sum += static_cast<int>(i); });
  set_shared_pool_size(7);  // too late: the pool is built
  parallel_for(1000, [&](size_t i) { sum += static_cast<int>(i); });
  sum -= 499500;
  const int started = thread_count() - before;
  if (started != expected || sum != 465 + 499500) {
    std::fprintf(stderr, "started %d workers, want %d; sum %d\n", started, expected, sum.load());
    std::exit(1);
  }
  std::exit(0);
}

TEST(PoolGlobal, SizedFromEnvironmentOnFirstParallelLoop) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const EnvCase cases[] = {
      {"3", nullptr, 3},
      {"3", "5", 3},
      {"0", "2", 2},
      {"x", "2", 2},
      {"2x", nullptr, -1},
      {nullptr, "-4", -1},
      {"", nullptr, -1},
  };
  for (const EnvCase& c : cases) {
    SCOPED_TRACE(std::string("RAYON_NUM_THREADS=") + (c.num_threads ? c.num_threads : "<unset>") +
                 " RAYON_RS_NUM_CPUS=" + (c.rs_num_cpus ? c.rs_num_cpus : "<unset>"));
    EXPECT_EXIT(check_global_pool(c), testing::ExitedWithCode(0), "");
  }
}

// ---------------------------------------------------------------------------------------------
// Loops: every index exactly once, results independent of the thread count.

TEST(PoolLoops, EveryIndexOnceAndSameResultForAnyThreadCount) {
  const size_t sizes[] = {0, 1, 2, 31, 32, 33, 100, 1000, 4099};
  for (size_t n : sizes) {
    std::vector<uint64_t> serial(n);
    for (size_t i = 0; i < n; ++i) serial[i] = mix(i);
    for (uint64_t threads : {0, 1, 2, 4}) {
      for (size_t min_parallel : {size_t{1}, MIN_PARALLEL_ITEMS}) {
        SCOPED_TRACE("n=" + std::to_string(n) + " threads=" + std::to_string(threads) +
                     " min_parallel=" + std::to_string(min_parallel));
        std::vector<std::atomic<int>> visits(n);
        auto out = run_on_threads(threads, [&] {
          return parallel_map<uint64_t>(
              n,
              [&](size_t i) {
                visits[i].fetch_add(1);
                return mix(i);
              },
              min_parallel);
        });
        EXPECT_EQ(out, serial);
        for (size_t i = 0; i < n; ++i) ASSERT_EQ(visits[i].load(), 1) << "index " << i;
      }
    }
  }
}

TEST(PoolLoops, SmallLoopsStayOnTheCallingThread) {
  for (uint64_t threads : {0, 4}) {
    run_on_threads(threads, [&] {
      const auto caller = std::this_thread::get_id();
      std::atomic<bool> elsewhere{false};
      parallel_for(MIN_PARALLEL_ITEMS - 1,
                   [&](size_t) { elsewhere = elsewhere || std::this_thread::get_id() != caller; });
      EXPECT_FALSE(elsewhere) << "threads=" << threads;
    });
  }
  // A one-worker pool runs its loops on that worker alone.
  run_on_threads(1, [&] {
    const auto worker = std::this_thread::get_id();
    std::atomic<bool> elsewhere{false};
    parallel_for(
        10000, [&](size_t) { elsewhere = elsewhere || std::this_thread::get_id() != worker; }, 1);
    EXPECT_FALSE(elsewhere);
  });
}

TEST(PoolLoops, ManySmallLoopsInARow) {
  for (uint64_t threads : {0, 2}) {
    run_on_threads(threads, [&] {
      for (int round = 0; round < 3000; ++round) {
        const size_t n = 1000 + static_cast<size_t>(round % 7);
        std::atomic<uint64_t> sum{0};
        parallel_for_chunks(n, 1, [&](size_t begin, size_t end) {
          uint64_t local = 0;
          for (size_t i = begin; i < end; ++i) local += i;
          sum += local;
        });
        ASSERT_EQ(sum.load(), n * (n - 1) / 2) << "round " << round;
      }
    });
  }
}

TEST(PoolLoops, NestedLoopsInsideAPrivatePoolFinish) {
  auto pool = make_pool(3);
  ASSERT_NE(pool, nullptr);
  std::atomic<uint64_t> sum{0};
  std::atomic<bool> off_pool{false};
  run_in(pool.get(), [&] {
    parallel_for(
        40,
        [&](size_t i) {
          parallel_for(
              64,
              [&](size_t j) {
                parallel_for(
                    16,
                    [&](size_t k) {
                      if (!on_worker_of(*pool)) off_pool = true;
                      sum += i * 10000 + j * 100 + k;
                    },
                    1);
              },
              1);
        },
        1);
  });
  uint64_t expected = 0;
  for (uint64_t i = 0; i < 40; ++i)
    for (uint64_t j = 0; j < 64; ++j)
      for (uint64_t k = 0; k < 16; ++k) expected += i * 10000 + j * 100 + k;
  EXPECT_EQ(sum.load(), expected);
  EXPECT_FALSE(off_pool) << "a nested loop left the pool it was started on";
}

TEST(PoolLoops, ConcurrentCallersShareTheProcessWidePool) {
  std::vector<std::thread> callers;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&, t] {
      for (int round = 0; round < 200; ++round) {
        const size_t n = 200 + static_cast<size_t>(t * 37 + round);
        auto out = parallel_map<uint64_t>(n, [&](size_t i) { return mix(i + t); }, 1);
        for (size_t i = 0; i < n; ++i) {
          if (out[i] != mix(i + t)) ++failures;
        }
      }
    });
  }
  for (auto& c : callers) c.join();
  EXPECT_EQ(failures.load(), 0);
}

// ---------------------------------------------------------------------------------------------
// Failures in a chunk come back to the caller, and the pool keeps working.

TEST(PoolErrors, FirstExceptionReachesTheCallerAndThePoolStaysUsable) {
  auto pool = make_pool(3);
  ASSERT_NE(pool, nullptr);
  for (Pool* where : {static_cast<Pool*>(nullptr), pool.get()}) {
    SCOPED_TRACE(where ? "private pool" : "process-wide pool");
    run_in(where, [&] {
      try {
        parallel_for(1000, [&](size_t i) {
          if (i == 777) throw std::runtime_error("item 777");
        });
        ADD_FAILURE() << "no exception";
      } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "item 777");
      }
      EXPECT_THROW(parallel_for(1000, [](size_t i) {
                     if (i == 999) throw std::bad_alloc();
                   }),
                   std::bad_alloc);
      auto out = parallel_map<uint64_t>(1000, [](size_t i) { return i * i; });
      for (size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], i * i);
    });
  }
}

TEST(PoolErrors, RemainingChunksAreSkippedAfterAFailure) {
  // Each thread sees its own failure before claiming its next chunk, so no more chunks run than
  // there are threads taking part (the workers plus the starter).
  auto pool = make_pool(3);
  ASSERT_NE(pool, nullptr);
  std::atomic<int> ran{0};
  EXPECT_THROW(run_in(pool.get(),
                      [&] {
                        parallel_for_chunks(4096, 1, [&](size_t, size_t) {
                          ++ran;
                          throw std::logic_error("chunk");
                        });
                      }),
               std::logic_error);
  EXPECT_GE(ran.load(), 1);
  EXPECT_LE(ran.load(), 3);
}

TEST(PoolErrors, ExceptionsCrossNestedLoopsAndRunIn) {
  auto pool = make_pool(2);
  ASSERT_NE(pool, nullptr);
  EXPECT_THROW(run_in(pool.get(),
                      [&] {
                        parallel_for(
                            50,
                            [&](size_t i) {
                              parallel_for(
                                  50,
                                  [&](size_t j) {
                                    if (i == 31 && j == 17) throw std::out_of_range("deep");
                                  },
                                  1);
                            },
                            1);
                      }),
               std::out_of_range);
  EXPECT_EQ(run_in(pool.get(), [] { return 42; }), 42);
}

// ---------------------------------------------------------------------------------------------
// Background loops: the workers compute while the starter does something else.

TEST(PoolBackground, WorkersRunEveryIndexOnceWhileTheStarterGoesOn) {
  auto pool = make_pool(2);
  auto single = make_pool(1);
  ASSERT_NE(pool, nullptr);
  ASSERT_NE(single, nullptr);
  const auto caller = std::this_thread::get_id();
  for (Pool* where : {static_cast<Pool*>(nullptr), pool.get(), single.get()}) {
    SCOPED_TRACE(where == nullptr ? "process-wide pool" : where == pool.get() ? "pool of 2" : "pool of 1");
    std::vector<std::atomic<int>> seen(3000);
    std::atomic<size_t> done{0};
    std::atomic<bool> on_caller{false};
    auto body = [&](size_t begin, size_t end) {
      if (std::this_thread::get_id() == caller) on_caller = true;
      for (size_t i = begin; i < end; ++i) ++seen[i];
      done += end - begin;
    };
    // Two loops in flight at once, as a reader that has the next step queued before it waits
    // for the current one; the workers finish both before the starter asks.
    auto second_body = [&](size_t begin, size_t end) { body(begin + 1000, end + 1000); };
    BackgroundLoop first(where, 1000, body);
    BackgroundLoop second(where, 2000, second_body);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (done.load() < 3000 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(done.load(), 3000u);
    first.wait();
    second.wait();
    second.wait();  // a second wait has nothing left to do
    for (size_t i = 0; i < seen.size(); ++i) ASSERT_EQ(seen[i].load(), 1) << i;
    EXPECT_FALSE(on_caller.load());
    BackgroundLoop empty(where, 0, body);
    empty.wait();
  }
}

TEST(PoolBackground, WaitRethrowsAndADroppedLoopSkipsWhatNobodyClaimed) {
  auto pool = make_pool(2);
  ASSERT_NE(pool, nullptr);
  auto failing = [](size_t begin, size_t end) {
    if (begin <= 500 && 500 < end) throw std::runtime_error("item 500");
  };
  BackgroundLoop loop(pool.get(), 1000, failing);
  EXPECT_THROW(loop.wait(), std::runtime_error);

  // Dropped unwaited: the chunks running at that moment finish before the destructor returns
  // (they read the starter's data), and most of the rest never start.
  std::atomic<int> running{0};
  std::atomic<int> started{0};
  std::atomic<bool> overlap{false};
  auto slow = [&](size_t, size_t) {
    ++started;
    ++running;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    --running;
  };
  {
    BackgroundLoop dropped(pool.get(), 4096, slow);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (running.load() != 0) overlap = true;
  EXPECT_FALSE(overlap.load());
  EXPECT_LT(started.load(), 16);  // 16 chunks of 256 items: sleeping 5 ms sees a few of them
  std::atomic<int> sum{0};
  auto add = [&](size_t begin, size_t end) { sum += static_cast<int>(end - begin); };
  BackgroundLoop after(pool.get(), 1000, add);
  after.wait();
  EXPECT_EQ(sum.load(), 1000);
}

// ---------------------------------------------------------------------------------------------
// run_in and private pools.

TEST(PoolRunIn, RunsOnAWorkerOfThatPool) {
  auto pool = make_pool(3);
  ASSERT_NE(pool, nullptr);
  EXPECT_EQ(pool_size(*pool), 3u);
  EXPECT_FALSE(on_worker_of(*pool));
  const auto caller = std::this_thread::get_id();
  std::thread::id worker;
  size_t inner_threads = 0;
  run_in(pool.get(), [&] {
    worker = std::this_thread::get_id();
    EXPECT_TRUE(on_worker_of(*pool));
    inner_threads = ambient_threads();
    // Already on the pool: runs right here rather than queueing behind itself.
    run_in(pool.get(), [&] { EXPECT_EQ(std::this_thread::get_id(), worker); });
  });
  EXPECT_NE(worker, caller);
  EXPECT_EQ(inner_threads, 3u);
  run_in(nullptr, [&] { EXPECT_EQ(std::this_thread::get_id(), caller); });
}

TEST(PoolRunIn, SeveralThreadsShareOnePrivatePool) {
  auto pool = make_pool(2);
  ASSERT_NE(pool, nullptr);
  std::atomic<int> failures{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&, t] {
      for (int round = 0; round < 50; ++round) {
        uint64_t got = run_in(pool.get(), [&] {
          if (!on_worker_of(*pool)) ++failures;
          auto v = parallel_map<uint64_t>(300, [&](size_t i) { return i + t; });
          return std::accumulate(v.begin(), v.end(), uint64_t{0});
        });
        if (got != 300u * 299u / 2 + 300u * t) ++failures;
      }
    });
  }
  for (auto& c : callers) c.join();
  EXPECT_EQ(failures.load(), 0);
}

TEST(PoolLifetime, WorkersStartOnDemandUpToTheSizeAndEndWithThePool) {
  const int before = steady_thread_count();
  auto pool = make_pool(5);
  ASSERT_NE(pool, nullptr);
  EXPECT_EQ(pool_size(*pool), 5u);
  EXPECT_EQ(thread_count(), before + 1);
  run_in(pool.get(), [] { parallel_for(100000, [](size_t) {}); });
  EXPECT_LE(thread_count(), before + 5);
  pool.reset();
  EXPECT_TRUE(threads_settle_to(before)) << thread_count() << " threads, want " << before;

  // A huge pool running a small loop starts only the workers the loop can use.
  auto huge = make_pool(MAX_POOL_THREADS);
  ASSERT_NE(huge, nullptr);
  run_in(huge.get(), [] { parallel_for(40, [](size_t) {}, 1); });
  EXPECT_LE(thread_count(), before + 41);
  huge.reset();
  EXPECT_TRUE(threads_settle_to(before)) << thread_count() << " threads, want " << before;
}

TEST(PoolLifetime, DroppedWhileInUseFromAnotherThread) {
  const int before = steady_thread_count();
  auto pool = make_pool(3);
  ASSERT_NE(pool, nullptr);
  std::atomic<bool> started{false};
  std::atomic<bool> dropped{false};
  uint64_t sum = 0;
  std::thread user([&, mine = pool] {
    sum = run_in(mine.get(), [&] {
      started = true;
      while (!dropped) std::this_thread::yield();
      auto v = parallel_map<uint64_t>(5000, [](size_t i) { return i; });
      return std::accumulate(v.begin(), v.end(), uint64_t{0});
    });
  });
  while (!started) std::this_thread::yield();
  pool.reset();
  dropped = true;
  user.join();
  EXPECT_EQ(sum, 5000u * 4999u / 2);
  EXPECT_TRUE(threads_settle_to(before)) << thread_count() << " threads, want " << before;
}

TEST(PoolLifetime, LastHandleDroppedOnItsOwnWorker) {
  const int before = steady_thread_count();
  auto pool = make_pool(2);
  ASSERT_NE(pool, nullptr);
  Pool* raw = pool.get();
  uint64_t sum = run_in(raw, [&] {
    pool.reset();  // no join here: this thread is one of the workers being told to stop
    auto v = parallel_map<uint64_t>(5000, [](size_t i) { return i; });
    return std::accumulate(v.begin(), v.end(), uint64_t{0});
  });
  EXPECT_EQ(sum, 5000u * 4999u / 2);
  EXPECT_TRUE(threads_settle_to(before)) << thread_count() << " threads, want " << before;
}

TEST(PoolLifetime, AThousandPrivatePoolsLeaveNoThreadsBehind) {
  const int before = steady_thread_count();
  for (int i = 0; i < 1000; ++i) {
    const uint64_t threads = 1 + i % 3;
    if (i % 4 == 0) {
      EXPECT_EQ(run_on_threads(threads, [] { return ambient_threads(); }), threads);
    } else {
      auto pool = make_pool(threads);
      ASSERT_NE(pool, nullptr);
    }
  }
  EXPECT_TRUE(threads_settle_to(before)) << thread_count() << " threads, want " << before;
}

TEST(PoolLifetime, HugeRequestsAreCapped) {
  EXPECT_EQ(make_pool(0), nullptr);
  parallel_for(1000, [](size_t) {}, 1);  // the shared pool's threads must not count as leaked
  const int before = steady_thread_count();
  // Capped at 65,535 workers, of which only those the loop can use ever start.
  size_t used = 0;
  auto v = run_on_threads(100000, [&] {
    used = ambient_threads();
    return parallel_map<uint64_t>(1000, [](size_t i) { return i; });
  });
  EXPECT_EQ(used, MAX_POOL_THREADS);
  EXPECT_EQ(std::accumulate(v.begin(), v.end(), uint64_t{0}), 499500u);
  EXPECT_TRUE(threads_settle_to(before)) << thread_count() << " threads, want " << before;
}

}  // namespace
}  // namespace ratiokit
