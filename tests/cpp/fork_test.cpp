// Pools across fork(), and how many workers a pool really starts. The fork cases are not named
// Pool* so that tools/tsan.sh leaves them out: ThreadSanitizer does not support starting
// threads in the child of a multi-threaded fork.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "parallel/parallel.hpp"

namespace ratiokit {
namespace {

int thread_count() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  }
  return -1;
}

uint64_t sum_on(Pool* pool, size_t n) {
  return run_in(pool, [n] {
    auto v = parallel_map<uint64_t>(n, [](size_t i) { return i; });
    return std::accumulate(v.begin(), v.end(), uint64_t{0});
  });
}

uint64_t expected_sum(size_t n) { return uint64_t{n} * (n - 1) / 2; }

// Forks; the child runs `child` under an alarm (a hang kills it) and exits 0 when it returns
// true. Returns the child's wait status description: "ok", or what went wrong.
template <class F>
std::string in_child(F&& child) {
  const pid_t pid = fork();
  if (pid < 0) return "fork failed";
  if (pid == 0) {
    alarm(10);
    _exit(child() ? 0 : 1);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return "waitpid failed";
  if (WIFSIGNALED(status)) {
    return WTERMSIG(status) == SIGALRM ? "child hung" : "child killed by a signal";
  }
  return WEXITSTATUS(status) == 0 ? "ok" : "child computed a wrong result";
}

TEST(ForkedPools, ChildGetsFreshPoolsAfterTheParentUsedThem) {
  auto pool = make_pool(3);
  ASSERT_NE(pool, nullptr);
  ASSERT_EQ(sum_on(pool.get(), 10000), expected_sum(10000));
  ASSERT_EQ(sum_on(nullptr, 10000), expected_sum(10000));  // the process-wide pool

  EXPECT_EQ(in_child([&] {
              // The parent's workers are gone; both pools must start their own.
              const int before = thread_count();
              const bool shared = sum_on(nullptr, 20000) == expected_sum(20000);
              const bool priv = sum_on(pool.get(), 20000) == expected_sum(20000);
              const bool started = thread_count() > before;
              const bool reported = pool_size(*pool) == 3;
              pool.reset();  // dropping the handle in the child touches nothing of the parent's
              // And again one generation down.
              auto again = make_pool(2);
              sum_on(again.get(), 1000);
              const std::string grandchild = in_child([&] {
                return sum_on(again.get(), 5000) == expected_sum(5000) &&
                       sum_on(nullptr, 5000) == expected_sum(5000);
              });
              return shared && priv && started && reported && grandchild == "ok";
            }),
            "ok");
  // The parent's pools are untouched by the child.
  EXPECT_EQ(sum_on(pool.get(), 10000), expected_sum(10000));
  EXPECT_EQ(sum_on(nullptr, 10000), expected_sum(10000));
}

TEST(ForkedPools, ForkWhileOtherThreadsKeepThePoolsBusy) {
  // Forking while workers hold the pools' locks and fill their queues: the child must not
  // inherit any of it.
#if defined(__SANITIZE_ADDRESS__)
  // GCC's AddressSanitizer takes no allocator locks around fork(): a child forked while
  // another thread allocates can hang in its first allocation, inside the sanitizer.
  GTEST_SKIP() << "fork() while other threads allocate deadlocks in GCC's ASan allocator";
#endif
  auto pool = make_pool(4);
  ASSERT_NE(pool, nullptr);
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  std::vector<std::thread> busy;
  for (int t = 0; t < 3; ++t) {
    busy.emplace_back([&, t] {
      while (!stop.load()) {
        if (sum_on(t == 0 ? nullptr : pool.get(), 3000) != expected_sum(3000)) ++wrong;
      }
    });
  }
  for (int round = 0; round < 20; ++round) {
    EXPECT_EQ(in_child([&] {
                return sum_on(pool.get(), 4000) == expected_sum(4000) &&
                       sum_on(nullptr, 4000) == expected_sum(4000);
              }),
              "ok")
        << "round " << round;
  }
  stop = true;
  for (auto& t : busy) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(PoolWorkers, AHugePoolStartsNoMoreWorkersThanTheCpusCanUse) {
  cpu_set_t set;
  ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
  const size_t cpus = static_cast<size_t>(CPU_COUNT(&set));
  const int before = thread_count();
  auto pool = make_pool(MAX_POOL_THREADS);
  ASSERT_NE(pool, nullptr);
  EXPECT_EQ(pool_size(*pool), MAX_POOL_THREADS);  // still reports what was asked for
  size_t workers = 0;
  std::atomic<int> peak{0};
  const uint64_t sum = run_in(pool.get(), [&] {
    workers = ambient_workers();
    EXPECT_EQ(ambient_threads(), MAX_POOL_THREADS);
    // Items that block a little, so that every worker the pool is willing to start gets
    // started while the loop runs.
    auto v = parallel_map<uint64_t>(200000, [&](size_t i) {
      if (i % 5000 == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        int now = thread_count();
        int seen = peak.load();
        while (now > seen && !peak.compare_exchange_weak(seen, now)) {
        }
      }
      return i;
    });
    return std::accumulate(v.begin(), v.end(), uint64_t{0});
  });
  EXPECT_EQ(sum, expected_sum(200000));
  EXPECT_GE(workers, std::min<size_t>(cpus, MAX_POOL_THREADS));
  EXPECT_LE(workers, 8 * cpus);
  EXPECT_LE(thread_count() - before, static_cast<int>(workers) + 1);
  EXPECT_LE(peak.load() - before, static_cast<int>(workers) + 1);

  // A small pool is not capped below its size.
  EXPECT_EQ(run_on_threads(2, [] { return ambient_workers(); }), 2u);
}

}  // namespace
}  // namespace ratiokit
