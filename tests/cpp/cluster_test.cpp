#include "cluster/cluster.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <map>
#include <numeric>
#include <set>
#include <thread>

#include "parallel/parallel.hpp"
#include "reference.hpp"

namespace ratiokit {
namespace {

using reference::random_text;
using reference::text;

std::vector<CodePoints> texts(std::initializer_list<const char*> items) {
  std::vector<CodePoints> out;
  for (const char* s : items) out.push_back(text(s));
  return out;
}

std::vector<CharCounts> counts_of(const std::vector<CodePoints>& strings) {
  std::vector<CharCounts> out;
  for (const CodePoints& s : strings) out.push_back(char_counts(s));
  return out;
}

// Near-duplicate families over small alphabets, some ASCII and some not, with duplicates and
// empty strings mixed in.
std::vector<CodePoints> families(std::mt19937_64& rng, size_t count, size_t max_len) {
  std::vector<CodePoints> out;
  while (out.size() < count) {
    const CodePoints base = random_text(rng, max_len, 3 + rng() % 3, rng() % 4 ? 'a' : 0xE0);
    const size_t members = 1 + rng() % 5;
    for (size_t k = 0; k < members && out.size() < count; ++k) {
      CodePoints s = base;
      for (size_t e = rng() % 4; e > 0; --e) {
        const size_t pos = s.empty() ? 0 : rng() % (s.size() + 1);
        if (rng() % 2 == 0 || s.empty()) {
          s.insert(s.begin() + pos, (rng() % 8 ? 'a' : 0x3B1) + rng() % 4);
        } else {
          s.erase(s.begin() + std::min(pos, s.size() - 1));
        }
      }
      out.push_back(s);
    }
    if (rng() % 8 == 0) out.push_back({});
  }
  std::shuffle(out.begin(), out.end(), rng);
  return out;
}

TEST(ClusterBounds, LengthAndCountBounds) {
  EXPECT_EQ(real_quick_ratio(0, 0), 1.0);
  EXPECT_EQ(real_quick_ratio(0, 5), 0.0);
  EXPECT_EQ(real_quick_ratio(2, 8), 0.4);
  EXPECT_EQ(real_quick_ratio(3, 3), 1.0);
  const auto c = counts_of(texts({"ab", "ac", "abc", "cba", "", "zzz"}));
  EXPECT_EQ(quick_ratio_counts(c[0], c[1], 4), 0.5);
  EXPECT_EQ(quick_ratio_counts(c[2], c[3], 6), 1.0);
  EXPECT_EQ(quick_ratio_counts(c[4], c[4], 0), 1.0);
  EXPECT_EQ(quick_ratio_counts(c[4], c[5], 3), 0.0);
  EXPECT_EQ(quick_ratio_counts(c[0], c[5], 5), 0.0);
}

TEST(ClusterCandidates, EdgeCasesOfTheBounds) {
  const auto s = texts({"", ""});
  EXPECT_EQ(candidate_pairs(s, counts_of(s), 1.0).size(), 1u);
  const auto one_empty = texts({"abc", ""});
  EXPECT_EQ(candidate_pairs(one_empty, counts_of(one_empty), 0.0).size(), 1u);
  EXPECT_TRUE(candidate_pairs(one_empty, counts_of(one_empty), 1e-9).empty());
  // A bound equal to the threshold keeps the pair.
  const auto ab_ac = texts({"ab", "ac"});
  EXPECT_EQ(candidate_pairs(ab_ac, counts_of(ab_ac), 0.5).size(), 1u);
  EXPECT_TRUE(candidate_pairs(ab_ac, counts_of(ab_ac), std::nextafter(0.5, 1.0)).empty());
  const auto anagrams = texts({"cba", "abc"});
  const auto p = candidate_pairs(anagrams, counts_of(anagrams), 1.0);
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p[0].a, 0u);
  EXPECT_EQ(p[0].b, 1u);
  const auto spread = texts({"aaaaaaaa", "aa", "aaaaaaaaaaaaaaaaaaaaaaaa"});
  EXPECT_TRUE(candidate_pairs(spread, counts_of(spread), 0.8).empty());
  // Counts on both sides of 32767, where a 16-bit histogram lane would overflow.
  for (size_t len : {32767u, 32768u, 40000u}) {
    std::vector<CodePoints> s{CodePoints(len, 'a'), CodePoints(len - 7, 'a')};
    s[1].push_back('b');
    const auto c = counts_of(s);
    const double bound = quick_ratio_counts(c[0], c[1], 2 * len - 6);
    EXPECT_EQ(bound, 2.0 * (len - 7) / (2 * len - 6));
    EXPECT_EQ(candidate_pairs(s, c, bound).size(), 1u) << len;
    EXPECT_TRUE(candidate_pairs(s, c, std::nextafter(bound, 1.0)).empty()) << len;
  }
}

// Exactly the pairs whose two bounds reach the threshold, whatever the pool.
TEST(ClusterCandidates, MatchAllPairsAndDoNotDependOnThreads) {
  std::mt19937_64 rng(29);
  const auto s = families(rng, 90, 30);
  const auto c = counts_of(s);
  for (double t : {0.0, 0.6, 0.85, 1.0}) {
    std::set<std::pair<uint32_t, uint32_t>> want;
    for (uint32_t i = 0; i < s.size(); ++i) {
      for (uint32_t j = i + 1; j < s.size(); ++j) {
        const size_t total = s[i].size() + s[j].size();
        if (t <= real_quick_ratio(s[i].size(), s[j].size()) &&
            t <= quick_ratio_counts(c[i], c[j], total)) {
          want.insert({i, j});
        }
      }
    }
    const auto one = run_on_threads(1, [&] { return candidate_pairs(s, c, t); });
    const auto four = run_on_threads(4, [&] { return candidate_pairs(s, c, t); });
    std::set<std::pair<uint32_t, uint32_t>> got;
    for (const auto& p : one) got.insert({p.a, p.b});
    EXPECT_EQ(got.size(), one.size());
    EXPECT_EQ(got, want);
    ASSERT_EQ(four.size(), one.size());
    for (size_t k = 0; k < one.size(); ++k) {
      EXPECT_EQ(four[k].a, one[k].a);
      EXPECT_EQ(four[k].b, one[k].b);
    }
  }
}

// Over all 128 ASCII characters with skewed frequencies (and hashed non-ASCII ones) the walk's
// coarse histograms merge characters into shared buckets, so the coarse bound often passes pairs
// the fine one rejects; it must never reject a pair the fine one keeps. Checked on the whole list
// and on the streamed rows (with their keys).
TEST(ClusterCandidates, CoarseBucketsNeverDropAPair) {
  std::mt19937_64 rng(47);
  std::vector<CodePoints> s;
  while (s.size() < 150) {
    // Each family draws from its own skewed slice of the alphabet, so buckets mix characters
    // that matter to some pairs and not to others.
    const uint32_t lo = rng() % 100, span = 8 + rng() % 60;
    CodePoints base(20 + rng() % 180);
    for (auto& c : base) {
      const uint32_t r = static_cast<uint32_t>(rng() % (span * span));
      c = std::min<uint32_t>(127, lo + static_cast<uint32_t>(std::sqrt(static_cast<double>(r))));
    }
    // Some families are not pure ASCII: no fine histogram, hashed coarse buckets.
    if (rng() % 3 == 0) {
      for (auto& c : base) c = c >= 100 ? 0x3B1 + (c - 100) * 37 : c;
    }
    for (size_t k = 1 + rng() % 4; k > 0; --k) {
      CodePoints t = base;
      for (size_t e = rng() % 12; e > 0; --e) t[rng() % t.size()] = static_cast<uint32_t>(rng() % 128);
      s.push_back(t);
    }
  }
  s.push_back({});
  std::shuffle(s.begin(), s.end(), rng);
  const auto c = counts_of(s);
  for (double t : {0.3, 0.6, 0.8, 0.95}) {
    std::map<std::pair<uint32_t, uint32_t>, double> want;
    for (uint32_t i = 0; i < s.size(); ++i) {
      for (uint32_t j = i + 1; j < s.size(); ++j) {
        const double b = quick_ratio_counts(c[i], c[j], s[i].size() + s[j].size());
        if (t <= real_quick_ratio(s[i].size(), s[j].size()) && t <= b) want[{i, j}] = b;
      }
    }
    ASSERT_FALSE(want.empty()) << t;
    std::set<std::pair<uint32_t, uint32_t>> listed;
    for (const auto& p : candidate_pairs(s, c, t)) listed.insert({p.a, p.b});
    EXPECT_EQ(listed.size(), want.size()) << t;
    for (const auto& [pair, bound] : want) EXPECT_TRUE(listed.count(pair)) << t;

    CandidateStream stream(s, c, t);
    std::vector<uint32_t> forest(s.size());
    std::iota(forest.begin(), forest.end(), 0u);
    std::map<std::pair<uint32_t, uint32_t>, double> streamed;
    std::vector<KeyedPair> block;
    while (!stream.finished()) {
      stream.next_block(forest, 50, block);
      for (const KeyedPair& k : block) streamed[{k.a, k.b}] = std::bit_cast<double>(~k.key);
    }
    EXPECT_EQ(streamed, want) << t;
  }
}

TEST(ClusterLazySams, BuildsOnceAndShares) {
  std::mt19937_64 rng(31);
  std::vector<CodePoints> s;
  for (int k = 0; k < 8; ++k) s.push_back(random_text(rng, 200, 4));
  LazySams lazy(s);
  std::vector<const Sam*> seen(16 * s.size());
  std::vector<std::thread> threads;
  for (size_t t = 0; t < 16; ++t) {
    threads.emplace_back([&, t] {
      for (size_t i = 0; i < s.size(); ++i) seen[t * s.size() + i] = &lazy.get(i);
    });
  }
  for (auto& th : threads) th.join();
  for (size_t i = 0; i < s.size(); ++i) {
    for (size_t t = 0; t < 16; ++t) ASSERT_EQ(seen[t * s.size() + i], seen[i]);
    EXPECT_EQ(lazy.get(i).end_positions, build_sam(s[i]).end_positions);
  }
  std::vector<Sam> automata;
  for (const auto& t : s) automata.push_back(build_sam(t));
  LazySams ready = LazySams::built(std::move(automata));
  ASSERT_EQ(ready.size(), s.size());
  for (size_t i = 0; i < s.size(); ++i) EXPECT_EQ(ready.get(i).edges, build_sam(s[i]).edges);
}

// A dropped automaton is built again; `run` runs every item once with the automata it reads,
// and within a budget keeps no more built than the budget plus the automata of one item.
TEST(ClusterLazySams, DropsRebuildAndRunKeepsTheBudget) {
  std::mt19937_64 rng(43);
  std::vector<CodePoints> s;
  size_t longest = 0, total = 0;
  for (int k = 0; k < 30; ++k) {
    s.push_back(random_text(rng, 300, 3));
    longest = std::max(longest, s.back().size());
    total += s.back().size();
  }
  {
    LazySams lazy(s);
    (void)lazy.get(4);
    EXPECT_EQ(lazy.resident(), s[4].size());
    lazy.drop(4);
    lazy.drop(4);
    EXPECT_EQ(lazy.resident(), 0u);
    EXPECT_EQ(lazy.get(4).end_positions, build_sam(s[4]).end_positions);
    EXPECT_EQ(lazy.peak_resident(), s[4].size());
  }
  // Every pair, some reading both automata (as both orientations do).
  std::vector<std::pair<uint32_t, uint32_t>> items;
  for (uint32_t j = 0; j < s.size(); ++j) {
    for (uint32_t i = 0; i < j; ++i) {
      items.emplace_back(j, (i + j) % 5 == 0 ? i : LazySams::NO_OWNER);
    }
  }
  std::shuffle(items.begin(), items.end(), rng);
  for (const size_t budget : {size_t{0}, longest, 4 * longest, total, SIZE_MAX}) {
    LazySams lazy(s, budget);
    std::vector<std::atomic<int>> runs(items.size());
    std::atomic<size_t> wrong{0};
    run_on_threads(3, [&] {
      // Two calls: the second starts with automata the first left built.
      for (int round = 0; round < 2; ++round) {
        lazy.run(
            items.size(), [&](size_t k) { return items[k]; },
            [&](size_t k) {
              ++runs[k];
              const auto [b, a] = items[k];
              if (lazy.get(b).end_positions.size() != build_sam(s[b]).end_positions.size()) ++wrong;
              if (a != LazySams::NO_OWNER && lazy.get(a).prefix_state.size() != s[a].size()) {
                ++wrong;
              }
            });
      }
    });
    EXPECT_EQ(wrong.load(), 0u);
    for (const auto& r : runs) ASSERT_EQ(r.load(), 2);
    if (budget >= total) {
      EXPECT_EQ(lazy.peak_resident(), total);  // every string is read: all built once
    } else {
      EXPECT_LE(lazy.peak_resident(), budget + 2 * longest) << budget;
    }
  }
}

std::vector<std::set<size_t>> components(size_t n, const std::vector<Edge>& edges) {
  std::vector<size_t> parent(n);
  std::iota(parent.begin(), parent.end(), size_t{0});
  for (const Edge& e : edges) parent[uf_find(parent, e.a)] = uf_find(parent, e.b);
  std::vector<std::set<size_t>> by_root(n);
  for (size_t i = 0; i < n; ++i) by_root[uf_find(parent, i)].insert(i);
  std::vector<std::set<size_t>> out;
  for (auto& c : by_root) {
    if (c.size() > 1) out.push_back(c);
  }
  std::sort(out.begin(), out.end());
  return out;
}

TEST(ClusterSpanningEdges, SinglePairsAndTheSequentialPath) {
  const auto s = texts({"", "", "abcd", "wxyz"});
  const auto c = counts_of(s);
  LazySams lazy(s);
  std::vector<CandidatePair> none;
  EXPECT_TRUE(spanning_edges(none, s, c, lazy, 0.5).empty());
  std::vector<CandidatePair> empties{{0, 1}};
  const auto e = spanning_edges(empties, s, c, lazy, 0.9);
  ASSERT_EQ(e.size(), 1u);
  EXPECT_EQ(e[0].ratio, 1.0);
  std::vector<CandidatePair> failing{{2, 3}};
  EXPECT_TRUE(spanning_edges(failing, s, c, lazy, 0.1).empty());

  const auto three = texts({"abcdefgh", "abcdefgx", "abcdefxh"});
  LazySams lazy3(three);
  std::vector<CandidatePair> all{{0, 1}, {0, 2}, {1, 2}};
  const auto edges = spanning_edges(all, three, counts_of(three), lazy3, 0.7);
  EXPECT_EQ(edges.size(), 2u);
  for (const Edge& edge : edges) EXPECT_FALSE(edge.ratio.has_value());
  EXPECT_EQ(components(3, edges).size(), 1u);
}

// The batched path connects exactly what the sequential one does, even when a batch closes
// cycles.
TEST(ClusterSpanningEdges, BatchesConnectLikeTheSequentialPath) {
  std::vector<CodePoints> s;
  for (int k = 0; k < 9; ++k) {
    CodePoints t = text("the quick brown fox jumps");
    t[k * 2] = 'A' + k;
    s.push_back(t);
  }
  std::vector<CandidatePair> pairs;
  for (uint32_t i = 0; i < s.size(); ++i) {
    for (uint32_t j = i + 1; j < s.size(); ++j) pairs.push_back({i, j});
  }
  pairs.resize(40 > pairs.size() ? pairs.size() : 40);
  ASSERT_GE(pairs.size(), 32u);
  const auto c = counts_of(s);
  LazySams lazy(s);
  auto batched = pairs;
  const auto edges = spanning_edges(batched, s, c, lazy, 0.9);
  EXPECT_GT(edges.size(), s.size() - 1);  // cycles closed within the first batch are kept
  std::vector<Edge> sequential;
  for (size_t k = 0; k < pairs.size(); k += 20) {
    std::vector<CandidatePair> part(pairs.begin() + k, pairs.begin() + std::min(k + 20, pairs.size()));
    for (const Edge& e : spanning_edges(part, s, c, lazy, 0.9)) sequential.push_back(e);
  }
  EXPECT_EQ(components(s.size(), edges), components(s.size(), sequential));
  EXPECT_EQ(components(s.size(), edges).size(), 1u);
}

TEST(ClusterAssemble, EdgeCases) {
  const auto s = texts({"abcdef", "abcdef", "abcxyz", "abqxyz", "zzzzzz", "mnop", "hello", "mnoq",
                        "world", "hellp"});
  LazySams lazy(s);
  EXPECT_TRUE(assemble(0, {}, {}, lazy).empty());
  EXPECT_TRUE(assemble(s.size(), {}, s, lazy).empty());

  const std::vector<Edge> twins{{0, 1, std::nullopt}};
  const auto t = assemble(s.size(), twins, s, lazy);
  ASSERT_EQ(t.size(), 1u);
  EXPECT_EQ(t[0].first, (std::vector<size_t>{0, 1}));
  EXPECT_EQ(t[0].second, 1.0);

  // A chain: the minimum includes the pair that no edge links.
  const std::vector<Edge> chain{{2, 3, std::nullopt}, {1, 2, std::nullopt}};
  const auto ch = assemble(s.size(), chain, s, lazy);
  ASSERT_EQ(ch.size(), 1u);
  EXPECT_EQ(ch[0].first, (std::vector<size_t>{1, 2, 3}));
  EXPECT_EQ(ch[0].second, reference::ratio(s[1], s[3]));
  EXPECT_LT(ch[0].second, reference::ratio(s[1], s[2]));

  // A known ratio is trusted as is: no pair is evaluated for a cluster of two.
  const std::vector<Edge> known{{5, 7, 0.125}};
  EXPECT_EQ(assemble(s.size(), known, s, lazy)[0].second, 0.125);

  // Ordered by smallest member, members ascending whatever the edge order; repeated edges and
  // edges closing cycles change nothing.
  const std::vector<Edge> two{{7, 9, std::nullopt}, {6, 9, 0.8}, {6, 9, 0.8}, {5, 7, std::nullopt},
                              {5, 9, std::nullopt}};
  const auto tw = assemble(s.size(), two, s, lazy);
  ASSERT_EQ(tw.size(), 1u);
  EXPECT_EQ(tw[0].first, (std::vector<size_t>{5, 6, 7, 9}));
  const std::vector<Edge> split{{5, 9, std::nullopt}, {2, 7, std::nullopt}};
  const auto sp = assemble(s.size(), split, s, lazy);
  ASSERT_EQ(sp.size(), 2u);
  EXPECT_EQ(sp[0].first, (std::vector<size_t>{2, 7}));
  EXPECT_EQ(sp[1].first, (std::vector<size_t>{5, 9}));
  EXPECT_EQ(sp[1].second, reference::ratio(s[5], s[9]));
}

// Large enough for every parallel phase (batched tests, prebuilt automata, head and rest
// evaluations); under ThreadSanitizer this is the race check of the whole pipeline.
TEST(ClusterDriver, SameResultOnOneAndFourThreads) {
  std::mt19937_64 rng(37);
  const auto s = families(rng, 160, 40);
  for (double t : {0.5, 0.8}) {
    const auto one = run_on_threads(1, [&] { return cluster_canonicals_chars(s, t); });
    const auto four = run_on_threads(4, [&] { return cluster_canonicals_chars(s, t); });
    EXPECT_FALSE(one.empty());
    EXPECT_EQ(one, four);
  }
}

// Tiny budgets force every block boundary: candidates streamed a few rows at a time (with pairs
// the forest already connects left out), and the minimum phase listing member pairs a few at a
// time, resuming mid-cluster and mid-row. The clusters must not change.
TEST(ClusterDriver, BlocksOfAnySizeGiveTheSameClusters) {
  std::mt19937_64 rng(41);
  const auto s = families(rng, 140, 30);
  for (double t : {0.0, 0.5, 0.8}) {
    const auto whole = cluster_distinct(s, t, {}, nullptr, UINT64_MAX);
    ASSERT_FALSE(whole.empty());
    for (uint64_t budget : {1, 7, 64, 1000}) {
      EXPECT_EQ(cluster_distinct(s, t, {}, nullptr, budget), whole) << t << " " << budget;
      EXPECT_EQ(run_on_threads(3, [&] { return cluster_distinct(s, t, {}, nullptr, budget); }),
                whole);
    }
  }
}

// Near-identical texts long enough that their automata outgrow a small resident budget, plus
// copies (both orientations) and the short families.
std::vector<CodePoints> long_family(std::mt19937_64& rng) {
  std::vector<CodePoints> s = families(rng, 60, 30);
  const CodePoints base = random_text(rng, 600, 5);
  for (int k = 0; k < 40; ++k) {
    CodePoints t = base;
    for (int e = 0; e < 1 + k % 7; ++e) t[rng() % t.size()] = 'a' + rng() % 7;
    if (k % 3 == 0) t.resize(t.size() - rng() % 60);
    s.push_back(t);
  }
  std::shuffle(s.begin(), s.end(), rng);
  s.push_back(s[7]);
  s.push_back(s[3]);
  s.insert(s.begin(), s[10]);
  return s;
}

// Small resident budgets drop and rebuild automata in every phase (edges batched and streamed,
// large LSH buckets, the minimum): clusters and minima must not change, and the automata built
// at once stay within the budget plus one pair's, far below what keeping them all would hold.
TEST(ClusterDriver, ResidentBudgetsGiveTheSameClustersWithinTheBudget) {
  std::mt19937_64 rng(47);
  const auto s = long_family(rng);
  size_t longest = 0;
  for (const auto& t : s) longest = std::max(longest, t.size());
  const size_t small = 3 * longest;
  for (double t : {0.0, 0.6, 0.9}) {
    reset_lazy_sams_peak();
    const auto whole = cluster_canonicals_chars(s, t, nullptr, SIZE_MAX);
    ASSERT_FALSE(whole.empty());
    if (t < 0.9) {
      EXPECT_GT(lazy_sams_peak(), small + 2 * longest);  // kept: the bound would fail
    }
    for (size_t resident : {size_t{1}, small}) {
      reset_lazy_sams_peak();
      EXPECT_EQ(
          run_on_threads(3, [&] { return cluster_canonicals_chars(s, t, nullptr, resident); }),
          whole)
          << t << " " << resident;
      EXPECT_LE(lazy_sams_peak(), std::max(resident, 2 * longest) + 2 * longest);
      std::vector<CodePoints> distinct(s.begin() + 1, s.end() - 2);
      EXPECT_EQ(cluster_distinct(distinct, t, {}, nullptr, 64, resident),
                cluster_distinct(distinct, t, {}, nullptr, 64, SIZE_MAX));
    }
  }
}

TEST(ClusterDistinct, PositionsAndExpansion) {
  const auto s = texts({"b", "a", "b", "", "c", "a", "b"});
  const DistinctStrings d = distinct_strings(s);
  ASSERT_EQ(d.values, texts({"b", "a", "", "c"}));
  EXPECT_EQ(d.first, (std::vector<size_t>{0, 1, 3, 4}));
  EXPECT_EQ(d.last, (std::vector<size_t>{6, 5, 3, 4}));
  EXPECT_EQ(d.positions, (std::vector<size_t>{0, 2, 6, 1, 5, 3, 4}));
  EXPECT_EQ(d.offsets, (std::vector<size_t>{0, 3, 5, 6, 7}));
  // A cluster of values "a" and "c" takes all their copies; "b", alone, keeps its copies
  // together only where copies link.
  const std::vector<Cluster> clusters = {{{1, 3}, 0.25}};
  EXPECT_EQ(expand_clusters(d, clusters, [](size_t) { return true; }),
            (std::vector<Cluster>{{{0, 2, 6}, 1.0}, {{1, 4, 5}, 0.25}}));
  EXPECT_EQ(expand_clusters(d, clusters, [](size_t) { return false; }),
            (std::vector<Cluster>{{{1, 4, 5}, 0.25}}));
  const Orientation o{d.first, d.last};
  EXPECT_TRUE(o.both_ways(0, 1));   // an "a" (1) stands before the last "b" (6)
  EXPECT_TRUE(o.both_ways(1, 3));   // the "c" (4) stands before the last "a" (5)
  EXPECT_FALSE(o.both_ways(2, 3));  // the only "" (3) stands before the only "c" (4)
}

}  // namespace
}  // namespace ratiokit

namespace ratiokit {
namespace {

size_t lcs_table(const CodePoints& a, const CodePoints& b) {
  std::vector<size_t> row(b.size() + 1, 0), next(b.size() + 1, 0);
  for (size_t i = 0; i < a.size(); ++i) {
    for (size_t j = 0; j < b.size(); ++j) {
      next[j + 1] = a[i] == b[j] ? row[j] + 1 : std::max(row[j + 1], next[j]);
    }
    std::swap(row, next);
  }
  return row[b.size()];
}

// Lengths on both sides of every 64-bit word boundary, ASCII and not, so that carries cross
// words and the last partial word is counted right.
TEST(ClusterLcs, MatchesTheQuadraticTableAndBoundsTheRatio) {
  std::mt19937_64 rng(43);
  for (int round = 0; round < 300; ++round) {
    const size_t la = rng() % 200, lb = rng() % 200;
    const uint32_t base = round % 3 == 0 ? 0x4E00 : 'a';
    const uint32_t alphabet = 2 + rng() % 6;
    CodePoints a(la), b(lb);
    for (auto& c : a) c = base + rng() % alphabet;
    for (auto& c : b) c = base + rng() % alphabet;
    const size_t lcs = lcs_length(a, b);
    ASSERT_EQ(lcs, lcs_table(a, b)) << la << " " << lb;
    EXPECT_EQ(lcs, lcs_length(b, a));
    if (la > 0 && lb > 0) {
      const double r = gestalt_ratio_chars(a, b);
      EXPECT_LE(r, ratio_from_m(lcs, la + lb));
      EXPECT_FALSE(lcs_rules_out(a, b, r));  // the true ratio is never ruled out
    }
  }
  for (size_t n : {63, 64, 65, 127, 128, 129}) {
    const CodePoints a(n, 'x');
    EXPECT_EQ(lcs_length(a, CodePoints(n + 3, 'x')), n);
    EXPECT_EQ(lcs_length(a, CodePoints(n, 'y')), 0u);
  }
}

// With a target the scan may stop early, but always on the right side of the target: targets
// around the true LCS, on texts long enough for both early exits (reached, out of reach).
TEST(ClusterLcs, TargetsAreSettledOnTheRightSide) {
  std::mt19937_64 rng(53);
  LcsMasks masks;
  std::vector<uint64_t> row;
  for (int round = 0; round < 200; ++round) {
    const uint32_t alphabet = 2 + rng() % 20;
    const uint32_t base = round % 4 == 0 ? 0x4E00 : 'a';
    CodePoints a = random_text(rng, 1 + rng() % 300, alphabet, base);
    CodePoints b = random_text(rng, 1 + rng() % 600, alphabet, base);
    if (round % 2 == 0) b.insert(b.begin() + rng() % (b.size() + 1), a.begin(), a.end());
    masks.build(a);
    const size_t lcs = lcs_table(a, b);
    ASSERT_EQ(lcs_length(masks, b, row), lcs);
    const size_t lo = lcs > 40 ? lcs - 40 : 1;
    for (size_t target = lo; target <= lcs + 40; ++target) {
      const size_t got = lcs_length(masks, b, row, target);
      ASSERT_EQ(got >= target, lcs >= target) << round << " " << target << " " << lcs;
    }
  }
}

// Texts stored one or two bytes a code point give the LCS of their widened copies, on patterns
// of one, two and more words, with and without a target.
TEST(ClusterLcs, NarrowTextsMatchWideOnes) {
  std::mt19937_64 rng(54);
  LcsMasks masks;
  std::vector<uint64_t> row;
  for (int round = 0; round < 150; ++round) {
    const uint32_t base = round % 3 == 0 ? 0xE0 : 'a';  // Latin-1 letters past ASCII too
    CodePoints a = random_text(rng, 1 + rng() % 200, 2 + rng() % 20, base);
    CodePoints b = random_text(rng, 1 + rng() % 300, 2 + rng() % 20, base);
    masks.build(a);
    const std::vector<uint8_t> narrow(b.begin(), b.end());
    const std::vector<uint16_t> half(b.begin(), b.end());
    const size_t lcs = lcs_table(a, b);
    ASSERT_EQ(lcs_length(masks, std::span<const uint8_t>(narrow), row), lcs);
    ASSERT_EQ(lcs_length(masks, std::span<const uint16_t>(half), row), lcs);
    for (size_t target : {lcs, lcs + 1, lcs > 5 ? lcs - 5 : size_t{1}}) {
      EXPECT_EQ(lcs_length(masks, std::span<const uint8_t>(narrow), row, target) >= target,
                lcs >= target);
    }
  }
}

// Shards of the candidate walk, each with its own forest: the union of their edges has the
// components of the whole clustering, copies included, for any number of shards.
TEST(ClusterShards, EdgesOfAllShardsGiveTheClusters) {
  std::mt19937_64 rng(43);
  auto s = families(rng, 150, 30);
  for (size_t k = 0; k < 20; ++k) s.push_back(s[rng() % s.size()]);  // copies, out of order
  for (double t : {0.5, 0.8, 1.0, 1.5}) {
    std::vector<std::vector<size_t>> want;
    for (const Cluster& c : cluster_canonicals_chars(s, t)) want.push_back(c.first);
    for (size_t shards : {1, 2, 7, 400}) {
      std::vector<size_t> parent(s.size());
      std::iota(parent.begin(), parent.end(), size_t{0});
      for (size_t shard = 0; shard < shards; ++shard) {
        for (const auto& [a, b] : cluster_shard_edges(s, t, shard, shards)) {
          ASSERT_LT(a, b);
          parent[uf_find(parent, a)] = uf_find(parent, b);
        }
      }
      std::map<size_t, std::vector<size_t>> groups;
      for (size_t i = 0; i < s.size(); ++i) groups[uf_find(parent, i)].push_back(i);
      std::vector<std::vector<size_t>> got;
      for (auto& [root, members] : groups) {
        if (members.size() > 1) got.push_back(members);
      }
      std::sort(got.begin(), got.end());
      EXPECT_EQ(got, want) << t << " " << shards;
    }
  }
}

TEST(ClusterShards, MinimumOfGivenMembers) {
  std::mt19937_64 rng(47);
  const auto s = families(rng, 60, 20);
  for (const Cluster& c : cluster_canonicals_chars(s, 0.6)) {
    std::vector<CodePoints> members;
    for (size_t m : c.first) members.push_back(s[m]);
    EXPECT_EQ(std::bit_cast<uint64_t>(cluster_minimum(members)),
              std::bit_cast<uint64_t>(c.second));
  }
  EXPECT_EQ(cluster_minimum(texts({"abc"})), 1.0);
  EXPECT_EQ(cluster_minimum(texts({"", ""})), 1.0);
  EXPECT_EQ(cluster_minimum(texts({"ab", "ab", "cd"})), 0.0);
}

}  // namespace
}  // namespace ratiokit
