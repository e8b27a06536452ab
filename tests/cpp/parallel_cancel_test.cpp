// Cancellation of parallel loops through a CancelScope.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <numeric>
#include <thread>
#include <vector>

#include "parallel/parallel.hpp"

namespace ratiokit {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// A poll that counts its calls, remembers where they ran, and cancels from the `cancel_at`-th on.
struct Poller {
  explicit Poller(int cancel_at) : cancel_at(cancel_at) {}
  static bool poll(void* self) {
    auto& p = *static_cast<Poller*>(self);
    if (std::this_thread::get_id() != p.owner) p.off_thread = true;
    return ++p.calls >= p.cancel_at;
  }
  const int cancel_at;  // 0 never cancels
  std::thread::id owner = std::this_thread::get_id();
  std::atomic<int> calls{0};
  std::atomic<bool> off_thread{false};
};

constexpr int NEVER = 1 << 30;

void busy_for(std::chrono::microseconds d) {
  const auto end = Clock::now() + d;
  while (Clock::now() < end) {
  }
}

double seconds_since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

TEST(PoolCancel, ALongLoopStopsSoonAfterThePollAsksAndThePoolStaysUsable) {
  auto pool = make_pool(3);
  ASSERT_NE(pool, nullptr);
  for (Pool* where : {static_cast<Pool*>(nullptr), pool.get()}) {
    SCOPED_TRACE(where ? "private pool" : "process-wide pool");
    Poller poller(2);
    std::atomic<size_t> ran{0};
    const size_t n = 200000;  // 20 s of items at 100 us each on one thread
    const auto start = Clock::now();
    {
      CancelScope scope(&Poller::poll, &poller);
      EXPECT_THROW(run_in(where,
                          [&] {
                            parallel_for(n, [&](size_t) {
                              busy_for(std::chrono::microseconds(100));
                              ++ran;
                            });
                          }),
                   Cancelled);
      EXPECT_TRUE(scope.cancelled());
    }
    // Two polls about POLL_INTERVAL apart, then at most one item per thread.
    EXPECT_LT(seconds_since(start), 2.0);
    EXPECT_EQ(poller.calls.load(), 2);
    EXPECT_FALSE(poller.off_thread) << "the poll ran on a thread other than the scope's";
    EXPECT_LT(ran.load(), n / 4);

    // Nothing of the cancelled call lingers: no scope now, so nothing is cancelled.
    auto out = run_in(where, [] { return parallel_map<size_t>(5000, [](size_t i) { return i; }); });
    EXPECT_EQ(std::accumulate(out.begin(), out.end(), size_t{0}), 5000u * 4999u / 2);
  }
}

TEST(PoolCancel, CancellationReachesNestedLoopsOnWorkers) {
  auto pool = make_pool(2);
  ASSERT_NE(pool, nullptr);
  Poller poller(1);
  std::atomic<size_t> inner{0};
  CancelScope scope(&Poller::poll, &poller);
  const auto start = Clock::now();
  EXPECT_THROW(run_in(pool.get(),
                      [&] {
                        parallel_for(
                            64,
                            [&](size_t) {
                              parallel_for(
                                  1000,
                                  [&](size_t) {
                                    busy_for(std::chrono::microseconds(200));
                                    ++inner;
                                  },
                                  1);
                            },
                            1);
                      }),
               Cancelled);
  EXPECT_LT(seconds_since(start), 2.0);
  EXPECT_LT(inner.load(), 64u * 1000u / 4);
  EXPECT_EQ(poller.calls.load(), 1);
}

TEST(PoolCancel, SerialStretchesStopAtTheirOwnCancellationPoints) {
  // Loops too small to go parallel and engine code between loops still poll on the scope's
  // thread and stop there.
  Poller poller(1);
  CancelScope scope(&Poller::poll, &poller);
  size_t steps = 0;
  EXPECT_THROW(
      {
        for (;;) {
          busy_for(std::chrono::microseconds(50));
          ++steps;
          cancellation_point();
        }
      },
      Cancelled);
  EXPECT_EQ(poller.calls.load(), 1);
  EXPECT_THROW(parallel_for(MIN_PARALLEL_ITEMS - 1, [](size_t) {}), Cancelled);
  EXPECT_THROW(parallel_for_chunks(10, 100, [](size_t, size_t) {}), Cancelled);
  EXPECT_GT(steps, 0u);
}

TEST(PoolCancel, ChecksThatTurnExpensiveStillPollSoon) {
  // A million cheap checks stretch the clock-read stride as far as it goes; items of 5 ms after
  // them must still reach a poll within a fraction of a second.
  std::atomic<bool> armed{false};
  CancelScope scope([](void* armed) { return static_cast<std::atomic<bool>*>(armed)->load(); },
                    &armed);
  for (int k = 0; k < 1000000; ++k) cancellation_point();
  armed = true;
  const auto slow_from = Clock::now();
  bool cancelled = false;
  try {
    for (int k = 0; k < 400; ++k) {
      std::this_thread::sleep_for(milliseconds(5));
      cancellation_point();
    }
  } catch (const Cancelled&) {
    cancelled = true;
  }
  EXPECT_TRUE(cancelled);
  EXPECT_LT(seconds_since(slow_from), 0.6);
}

TEST(PoolCancel, UncancelledWorkIsUntouchedAndShortWorkNeverPolls) {
  auto pool = make_pool(2);
  ASSERT_NE(pool, nullptr);
  for (Pool* where : {static_cast<Pool*>(nullptr), pool.get()}) {
    Poller poller(NEVER);
    CancelScope scope(&Poller::poll, &poller);
    auto quick = run_in(where, [] { return parallel_map<size_t>(1000, [](size_t i) { return i * 3; }); });
    EXPECT_EQ(std::accumulate(quick.begin(), quick.end(), size_t{0}), 3u * 1000u * 999u / 2);
    EXPECT_EQ(poller.calls.load(), 0);

    // Several poll intervals of work: polled, never cancelled, every item once.
    std::vector<std::atomic<int>> visits(3000);
    run_in(where, [&] {
      parallel_for(visits.size(), [&](size_t i) {
        busy_for(std::chrono::microseconds(100));
        visits[i].fetch_add(1);
      });
    });
    for (size_t i = 0; i < visits.size(); ++i) ASSERT_EQ(visits[i].load(), 1) << i;
    EXPECT_GE(poller.calls.load(), 1);
    EXPECT_FALSE(poller.off_thread);
    EXPECT_FALSE(scope.cancelled());
  }
}

TEST(PoolCancel, TheWaitingCallerPollsWhileOneLongItemRuns) {
  // The caller has nothing to do but wait for a worker: it must still poll, and once cancelled
  // it waits for the running item instead of leaving it behind.
  auto pool = make_pool(1);
  ASSERT_NE(pool, nullptr);
  Poller poller(3);
  std::atomic<bool> finished{false};
  CancelScope scope(&Poller::poll, &poller);
  EXPECT_THROW(run_in(pool.get(),
                      [&] {
                        std::this_thread::sleep_for(POLL_INTERVAL * 5);
                        finished = true;
                      }),
               Cancelled);
  EXPECT_TRUE(finished.load());
  EXPECT_GE(poller.calls.load(), 3);
  EXPECT_FALSE(poller.off_thread);
}

TEST(PoolCancel, BackgroundLoopsCarryTheStartersFlag) {
  // Loops started under a scope stop once it is cancelled, whether the starter is waiting for
  // them (and polls meanwhile) or had set the flag itself and drops them.
  auto pool = make_pool(2);
  ASSERT_NE(pool, nullptr);
  Poller poller(2);
  std::atomic<size_t> ran{0};
  auto slow = [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
      cancellation_point();
      busy_for(std::chrono::microseconds(100));
      ++ran;
    }
  };
  const auto start = Clock::now();
  {
    CancelScope scope(&Poller::poll, &poller);
    BackgroundLoop loop(pool.get(), 200000, slow);  // 10 s of items on two workers
    EXPECT_THROW(loop.wait(), Cancelled);
  }
  EXPECT_LT(seconds_since(start), 1.0);
  EXPECT_LT(ran.load(), 200000u);
  {
    Poller never(NEVER);
    CancelScope scope(&Poller::poll, &never);
    const auto dropped_at = Clock::now();
    {
      BackgroundLoop loop(nullptr, 200000, slow);
      std::this_thread::sleep_for(milliseconds(10));
      scope.flag.store(true);
    }
    EXPECT_LT(seconds_since(dropped_at), 0.5);
  }
  std::atomic<int> sum{0};
  auto add = [&](size_t begin, size_t end) { sum += static_cast<int>(end - begin); };
  BackgroundLoop after(pool.get(), 1000, add);
  after.wait();
  EXPECT_EQ(sum.load(), 1000);
}

TEST(PoolCancel, AJobQueuedBehindOtherWorkIsDroppedWithoutWaiting) {
  // The pool's only worker is busy with another caller's job for a second; a cancelled job
  // queued behind it returns at once and never runs.
  auto pool = make_pool(1);
  ASSERT_NE(pool, nullptr);
  std::atomic<bool> busy{false};
  std::thread other([&] {
    run_in(pool.get(), [&] {
      busy = true;
      std::this_thread::sleep_for(milliseconds(1000));
    });
  });
  while (!busy) std::this_thread::yield();
  Poller poller(1);
  bool ran = false;
  const auto start = Clock::now();
  {
    CancelScope scope(&Poller::poll, &poller);
    EXPECT_THROW(run_in(pool.get(), [&] { ran = true; }), Cancelled);
  }
  EXPECT_LT(seconds_since(start), 0.5);
  other.join();
  EXPECT_FALSE(ran);
  EXPECT_EQ(run_in(pool.get(), [] { return 7; }), 7);
}

TEST(PoolCancel, ScopesNestAndOtherThreadsAreUnaffected) {
  Poller outer(1);
  CancelScope outer_scope(&Poller::poll, &outer);
  {
    Poller inner(NEVER);
    CancelScope inner_scope(&Poller::poll, &inner);
    EXPECT_NO_THROW(parallel_for(400, [](size_t) { std::this_thread::sleep_for(milliseconds(1)); }));
    EXPECT_GE(inner.calls.load(), 1);
  }
  EXPECT_EQ(outer.calls.load(), 0);
  // Another caller sharing the process-wide pool meanwhile is never cancelled.
  std::atomic<bool> other_failed{false};
  std::thread other([&] {
    try {
      for (int round = 0; round < 10; ++round) {
        parallel_for(2000, [](size_t) { busy_for(std::chrono::microseconds(20)); });
      }
    } catch (...) {
      other_failed = true;
    }
  });
  EXPECT_THROW(parallel_for(100000, [](size_t) { busy_for(std::chrono::microseconds(50)); }),
               Cancelled);
  other.join();
  EXPECT_FALSE(other_failed.load());
}

}  // namespace
}  // namespace ratiokit
