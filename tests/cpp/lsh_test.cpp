#include "cluster/lsh.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "parallel/parallel.hpp"
#include "reference.hpp"

namespace ratiokit {
namespace {

using reference::text;

std::span<const uint8_t> bytes_of(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

TEST(LshHash, Fnv1aKnownValues) {
  EXPECT_EQ(fnv1a_bytes({}), 0xcbf29ce484222325ull);
  EXPECT_EQ(fnv1a_bytes(bytes_of("a")), 0xaf63dc4c8601ec8cull);
  EXPECT_EQ(fnv1a_bytes(bytes_of("foobar")), 0x85944171f73967e8ull);
  EXPECT_EQ(fnv1a_u64s({}), 0xcbf29ce484222325ull);
  // Whole words, not their bytes: one word 'a' equals the one byte 'a'; two words differ from
  // the bytes of either.
  const uint64_t one[] = {0x61};
  EXPECT_EQ(fnv1a_u64s(one), fnv1a_bytes(bytes_of("a")));
  const uint64_t two[] = {1, 2};
  EXPECT_EQ(fnv1a_u64s(two), (((FNV_OFFSET_BASIS ^ 1) * FNV_PRIME) ^ 2) * FNV_PRIME);
}

TEST(LshHash, XorshiftSequence) {
  // The sequence by hand: s ^= s << 13, s ^= s >> 7, s ^= s << 17.
  uint64_t s = 0x9e3779b97f4a7c15ull;
  std::vector<uint64_t> steps;
  for (int i = 0; i < 6; ++i) {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    steps.push_back(s);
  }
  const std::vector<HashFunction> f = hash_functions(3);
  ASSERT_EQ(f.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(f[i].a, steps[2 * i] | 1);
    EXPECT_EQ(f[i].b, steps[2 * i + 1]);
    EXPECT_EQ(f[i].a & 1, 1u);
  }
  // A prefix of a longer run.
  EXPECT_EQ(hash_functions(40)[2].b, f[2].b);
  EXPECT_TRUE(hash_functions(0).empty());
}

TEST(LshShingles, WholeHashBelowTenBytes) {
  EXPECT_EQ(shingle_hashes({}), std::vector<uint64_t>{FNV_OFFSET_BASIS});
  const std::string nine = "abcdefghi";
  EXPECT_EQ(shingle_hashes(bytes_of(nine)), std::vector<uint64_t>{fnv1a_bytes(bytes_of(nine))});
}

TEST(LshShingles, WindowsFromTenBytes) {
  const std::string ten = "abcdefghij";
  std::vector<uint64_t> expected = {fnv1a_bytes(bytes_of("abcdefghi")),
                                    fnv1a_bytes(bytes_of("bcdefghij"))};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(shingle_hashes(bytes_of(ten)), expected);
  // Repeated windows count once: 12 bytes of one letter have 4 equal windows.
  const std::string same(12, 'x');
  EXPECT_EQ(shingle_hashes(bytes_of(same)),
            std::vector<uint64_t>{fnv1a_bytes(bytes_of(std::string(9, 'x')))});
}

TEST(LshShingles, Utf8Encoding) {
  const CodePoints cps = {0x41, 0xE9, 0x20AC, 0x1F600, 0xD800};
  EXPECT_EQ(utf8_bytes(cps), "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xED\xA0\x80");
}

TEST(LshMinhash, MinimumOfAffineImages) {
  const std::vector<HashFunction> f = {{3, 5}, {UINT64_MAX, 7}};
  const std::vector<uint64_t> shingles = {2, 10};
  // 3*2+5 = 11, 3*10+5 = 35; (2^64-1)*h+7 wraps to 7-h: 5 and 2^64-3.
  EXPECT_EQ(minhash(shingles, f), (std::vector<uint64_t>{11, 5}));
}

TEST(LshBands, TrailingValuesFillNoBand) {
  EXPECT_EQ(band_count(10, 3), 3u);
  EXPECT_EQ(band_count(128, 8), 16u);
  EXPECT_EQ(band_count(5, 8), 0u);
  EXPECT_EQ(band_count(128, 0), 0u);
  EXPECT_EQ(band_count(0, 4), 0u);
}

TEST(LshCandidates, PairsFromSharedBuckets) {
  // 4 strings, 2 bands: band 0 groups {0, 2, 3}, band 1 groups {1, 3} and repeats (2, 3).
  const std::vector<uint64_t> keys = {
      7, 1,  // string 0
      8, 5,  // string 1
      7, 9,  // string 2
      7, 5,  // string 3
  };
  EXPECT_EQ(lsh_candidates(keys, 4, 2),
            (std::vector<uint64_t>{pack_pair(0, 2), pack_pair(0, 3), pack_pair(1, 3),
                                   pack_pair(2, 3)}));
  EXPECT_TRUE(lsh_candidates(keys, 4, 0).empty());
}

TEST(LshCandidates, LargeBucketsAsMemberLists) {
  // 6 strings, 3 bands. Band 0: {0, 1, 2, 3} and {4, 5}; band 1: {0, 1, 2, 3} again and {4, 5};
  // band 2: {1, 3, 5} and {0, 2, 4}.
  const std::vector<uint64_t> keys = {
      1, 3, 5,  // string 0
      1, 3, 6,  // string 1
      1, 3, 5,  // string 2
      1, 3, 6,  // string 3
      2, 4, 5,  // string 4
      2, 4, 6,  // string 5
  };
  const BucketedCandidates got = lsh_bucketed_candidates(keys, 6, 3, 3);
  EXPECT_EQ(got.pairs, (std::vector<uint64_t>{pack_pair(0, 2), pack_pair(0, 4), pack_pair(1, 3),
                                              pack_pair(1, 5), pack_pair(2, 4), pack_pair(3, 5),
                                              pack_pair(4, 5)}));
  EXPECT_EQ(got.members, (std::vector<uint32_t>{0, 1, 2, 3}));
  EXPECT_EQ(got.offsets, (std::vector<size_t>{0, 4}));
  // Without a limit every bucket is listed, as lsh_candidates lists them.
  const BucketedCandidates all = lsh_bucketed_candidates(keys, 6, 3, SIZE_MAX);
  EXPECT_EQ(all.pairs, lsh_candidates(keys, 6, 3));
  EXPECT_TRUE(all.members.empty());
  EXPECT_EQ(all.offsets, (std::vector<size_t>{0}));
}

TEST(LshCluster, IdenticalAndShortStrings) {
  const std::string base = "def frobnicate(x): return x + 1";
  const std::vector<CodePoints> strings = {text(base.c_str()), text("abc"), text(base.c_str()),
                                           text("abd")};
  const std::vector<Cluster> clusters = cluster_canonicals_lsh(strings, 0.5, 16, 4);
  // "abc" and "abd" hash whole and differ, so they never meet although their ratio is 2/3.
  ASSERT_EQ(clusters.size(), 1u);
  EXPECT_EQ(clusters[0].first, (std::vector<size_t>{0, 2}));
  EXPECT_EQ(clusters[0].second, 1.0);
  EXPECT_TRUE(cluster_canonicals_lsh(strings, 0.5, 0, 4).empty());
  EXPECT_TRUE(cluster_canonicals_lsh(strings, 0.5, 16, 0).empty());
  EXPECT_TRUE(cluster_canonicals_lsh(strings, 0.5, 3, 4).empty());
}

TEST(LshCluster, SameOnAnyPool) {
  std::mt19937_64 rng(5);
  std::vector<CodePoints> strings;
  for (int f = 0; f < 12; ++f) {
    const CodePoints base = reference::random_text(rng, 60, 6);
    for (int v = 0; v < 5; ++v) {
      CodePoints s = base;
      if (!s.empty()) s[rng() % s.size()] = 'a' + rng() % 6;
      strings.push_back(s);
    }
  }
  const auto serial = cluster_canonicals_lsh(strings, 0.7, 32, 4);
  const auto pooled =
      run_on_threads(3, [&] { return cluster_canonicals_lsh(strings, 0.7, 32, 4); });
  EXPECT_EQ(serial, pooled);
  EXPECT_FALSE(serial.empty());
}

// Large buckets (near-identical texts), listed pairs and copies in both orientations: a small
// resident budget changes no cluster and keeps the automata built at once within it.
TEST(LshCluster, ResidentBudgetChangesNothing) {
  std::mt19937_64 rng(9);
  std::vector<CodePoints> strings;
  const CodePoints base = reference::random_text(rng, 500, 6);
  for (int v = 0; v < 30; ++v) {
    CodePoints s = base;
    s.resize(200 + rng() % 300);
    if (v % 2) s[rng() % s.size()] = 'a' + rng() % 6;
    strings.push_back(s);
  }
  for (int f = 0; f < 6; ++f) {
    const CodePoints other = reference::random_text(rng, 300, 6);
    for (int v = 0; v < 4; ++v) strings.push_back(other);
    strings.back().push_back('z');
  }
  std::shuffle(strings.begin(), strings.end(), rng);
  for (double t : {0.5, 0.8}) {
    const auto whole = cluster_canonicals_lsh(strings, t, 32, 2, nullptr, SIZE_MAX);
    ASSERT_FALSE(whole.empty());
    reset_lazy_sams_peak();
    const auto bounded = run_on_threads(
        3, [&] { return cluster_canonicals_lsh(strings, t, 32, 2, nullptr, 1500); });
    EXPECT_EQ(bounded, whole) << t;
    EXPECT_LE(lazy_sams_peak(), 1500u + 2 * 501);
  }
}

}  // namespace
}  // namespace ratiokit
