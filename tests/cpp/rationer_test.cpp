#include "rationer/rationer.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <numeric>
#include <random>

#include "ratio/ratio.hpp"
#include "reference.hpp"

namespace ratiokit {
namespace {

using reference::random_text;
using reference::text;

// The batches read views; the tests keep their texts in owning pairs.
using TextPair = std::pair<CodePoints, CodePoints>;

// Pairs drawn from a small stock of texts, so that b's, a's and whole pairs repeat, with empty
// texts, non-ASCII code points and texts that are an a in one pair and a b in another.
std::vector<TextPair> repetitive_batch(uint64_t seed, size_t count, size_t stock_size,
                                       size_t max_len) {
  std::mt19937_64 rng(seed);
  std::vector<CodePoints> stock{{}, text("abcab"), {0xE9, 'a', 0x65E5, 0xE9}};
  while (stock.size() < stock_size) {
    const uint32_t base = rng() % 4 == 0 ? 0x3B1 : 'a';  // some Greek
    stock.push_back(random_text(rng, max_len, 1 + static_cast<uint32_t>(rng() % 4), base));
  }
  std::uniform_int_distribution<size_t> pick(0, stock.size() - 1);
  std::vector<TextPair> pairs(count);
  for (auto& [a, b] : pairs) {
    a = stock[pick(rng)];
    b = stock[pick(rng)];
  }
  return pairs;
}

std::vector<PairView> views_of(const std::vector<TextPair>& pairs) {
  std::vector<PairView> out;
  for (const auto& [a, b] : pairs) out.emplace_back(a, b);
  return out;
}

std::vector<double> per_pair(const std::vector<TextPair>& pairs) {
  std::vector<double> out;
  for (const auto& [a, b] : pairs) out.push_back(ratio_chars(a, b, DEFAULT_WORK_FACTOR));
  return out;
}

TEST(RatioManyCpu, EveryPairInInputOrderForAnyPool) {
  std::vector<TextPair> pairs = repetitive_batch(11, 2000, 40, 60);
  const auto extra = repetitive_batch(12, 600, 400, 40);  // most b's met by one a
  pairs.insert(pairs.end(), extra.begin(), extra.end());
  const auto want = per_pair(pairs);
  std::vector<size_t> perm(pairs.size());
  std::iota(perm.begin(), perm.end(), 0);
  std::shuffle(perm.begin(), perm.end(), std::mt19937_64(5));
  std::vector<TextPair> shuffled;
  for (size_t k : perm) shuffled.push_back(pairs[k]);
  for (uint64_t threads : {0, 1, 3, 4}) {
    PoolHandle pool = threads == 0 ? nullptr : make_pool(threads);
    EXPECT_EQ(run_in(pool.get(), [&] { return ratio_many_cpu(views_of(pairs), DEFAULT_WORK_FACTOR); }), want) << threads;
    const auto got = run_in(pool.get(), [&] { return ratio_many_cpu(views_of(shuffled), DEFAULT_WORK_FACTOR); });
    for (size_t k = 0; k < perm.size(); ++k) ASSERT_EQ(got[k], want[perm[k]]) << threads;
  }
}

TEST(RatioManyCpu, EdgeBatches) {
  EXPECT_TRUE(ratio_many_cpu({}, DEFAULT_WORK_FACTOR).empty());
  const CodePoints abc = text("abc"), empty;
  // The last two share their a but not their b, and so meet where one b's pairs end.
  const std::vector<TextPair> edges{{empty, empty}, {abc, empty}, {empty, abc},
                                    {abc, abc},     {abc, text("xbc")}, {abc, text("xyz")}};
  EXPECT_EQ(ratio_many_cpu(views_of(edges), DEFAULT_WORK_FACTOR), (std::vector<double>{1.0, 0.0, 0.0, 1.0, 2.0 / 3, 0.0}));
  // One pair many times: every slot gets the value, in a batch long enough to go parallel.
  const CodePoints a = text("the quick brown fox"), b = text("a quick brown dog");
  const std::vector<TextPair> same(1000, TextPair{a, b});
  EXPECT_EQ(ratio_many_cpu(views_of(same), DEFAULT_WORK_FACTOR),
            std::vector<double>(1000, ratio_chars(a, b, DEFAULT_WORK_FACTOR)));
}

TEST(RatioManyCpu, AutomataHeldInBlocksOfAnySize) {
  // Long and short b's, some longer than a whole block, so groups split across blocks in
  // every way; 0 holds one b at a time.
  std::mt19937_64 rng(17);
  std::vector<TextPair> pairs = repetitive_batch(17, 400, 30, 50);
  for (int k = 0; k < 40; ++k) {
    pairs.push_back({random_text(rng, 300, 3), random_text(rng, 300, 3)});
  }
  const auto want = per_pair(pairs);
  for (size_t block : {size_t{0}, size_t{1}, size_t{37}, size_t{200}, size_t{5000}}) {
    EXPECT_EQ(ratio_many_cpu(views_of(pairs), DEFAULT_WORK_FACTOR, block), want) << block;
  }
}

TEST(Rationer, Construction) {
  const Rationer plain = make_rationer(Concurrency::GpuCpu, 0, -0.5);
  EXPECT_EQ(plain.pool, nullptr);
  EXPECT_EQ(plain.concurrency, Concurrency::Cpu);
  EXPECT_EQ(plain.delta, 0.0);
  const Rationer pooled = make_rationer(Concurrency::Gpu, 4, 7.0);
  ASSERT_NE(pooled.pool, nullptr);
  EXPECT_EQ(pool_size(*pooled.pool), 4u);
  EXPECT_EQ(pooled.delta, 1.0);
  EXPECT_EQ(plain.ratio({}, {}, DEFAULT_WORK_FACTOR), 1.0);
  EXPECT_EQ(plain.ratio(text("ab"), {}, DEFAULT_WORK_FACTOR), 0.0);
  EXPECT_EQ(plain.ratio({}, text("ab"), DEFAULT_WORK_FACTOR), 0.0);
}

TEST(Rationer, BatchesRunOnTheHandlesOwnWorkers) {
  // The only worker is kept busy, so a batch routed to the pool cannot finish until it is
  // released; one that ran on the caller would finish at once.
  const Rationer r = make_rationer(Concurrency::Cpu, 1, 0.0);
  ASSERT_NE(r.pool, nullptr);
  std::promise<void> release;
  std::promise<void> holding;
  auto blocker = std::async(std::launch::async, [&] {
    run_in(r.pool.get(), [&] {
      holding.set_value();
      release.get_future().wait();
    });
  });
  holding.get_future().wait();
  const auto pairs = repetitive_batch(31, 200, 10, 30);
  const std::vector<CodePoints> strings{text("abcd"), text("abce"), text("zzzz")};
  auto batch = std::async(std::launch::async, [&] { return r.ratio_many(views_of(pairs), DEFAULT_WORK_FACTOR); });
  auto clusters =
      std::async(std::launch::async, [&] { return r.cluster_canonicals(strings, 0.7); });
  EXPECT_EQ(batch.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  EXPECT_EQ(clusters.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
  EXPECT_EQ(r.ratio(text("abcd"), text("bcde"), DEFAULT_WORK_FACTOR), 0.75);  // never on the pool
  release.set_value();
  blocker.get();
  EXPECT_EQ(batch.get(), per_pair(pairs));
  EXPECT_EQ(clusters.get(), cluster_canonicals_chars(strings, 0.7));

  // Loops of a call run on the handle's workers, and a call from one of them runs in place
  // rather than queueing behind itself.
  const Rationer four = make_rationer(Concurrency::Cpu, 4, 0.0);
  EXPECT_EQ(four.with_pool([] { return ambient_threads(); }), 4u);
  EXPECT_EQ(four.with_pool([&] { return four.ratio_many(views_of(pairs), DEFAULT_WORK_FACTOR); }), per_pair(pairs));
}

}  // namespace
}  // namespace ratiokit
