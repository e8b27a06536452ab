// MinHash/LSH single-linkage clustering: the scalable variant of cluster_canonicals_chars.
//
// Instead of bounding every pair, each string gets a MinHash signature over the 64-bit FNV-1a
// hashes of its 9-byte UTF-8 shingles (one hash of all bytes below 10 bytes); strings whose
// signatures agree on a whole band of `band_rows` values share a bucket, and every two members
// of a bucket become a candidate pair. Clusters are the connected components of the candidates
// whose ratio reaches the threshold (in an orientation that occurs), handed to assemble, so
// every reported minimum is exact over all member pairs; clusters may only be split where the
// exact variant would join them (pairs that never share a bucket are never linked). Buckets of
// at most LSH_LISTED_BUCKET members are listed pair by pair and every pair is verified with
// gestalt_ratio_at_least (the automaton of the higher index, exact threshold test). A larger
// bucket is verified as the exact variant verifies its candidates (cluster.hpp): the
// length-sorted walk over its members with the length and count bounds, leaving out pairs that
// the edges found so far already connect, then the LCS bound and the threshold test. A pair left
// out is already in one component, so it changes no cluster, and the pairs a bound rejects
// cannot link.
//
// Everything is deterministic: hash functions come from a fixed xorshift64 sequence, bucket
// order never reaches the result (clusters depend only on the components), and results do not
// depend on the number of threads. Signatures, automata and verification run on the ambient
// pool (parallel.hpp); bucketing runs on the calling thread, one band at a time. Cost: signatures
// O(bytes * num_perm), listed candidates at most n * bands * (LSH_LISTED_BUCKET - 1) / 2 pairs
// (far fewer in practice: one bucket shared in several bands lists its pairs once), a large
// bucket what the exact variant costs on its members; automata are built on first use and kept
// for assemble while they fit the budget of LazySams. At most 2^32 - 1 strings (pairs pack two
// 32-bit indices).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "cluster/cluster.hpp"

namespace ratiokit {

inline constexpr uint64_t FNV_OFFSET_BASIS = 0xcbf29ce484222325ull;
inline constexpr uint64_t FNV_PRIME = 0x100000001b3ull;
inline constexpr uint64_t LSH_SEED = 0x9e3779b97f4a7c15ull;
// Strings of at least this many bytes are shingled; shorter ones hash whole.
inline constexpr size_t SHINGLE_MIN_BYTES = 10;
inline constexpr size_t SHINGLE_BYTES = 9;

// 64-bit FNV-1a over bytes (xor, then multiply, wrapping).
uint64_t fnv1a_bytes(std::span<const uint8_t> bytes);
// The same basis and prime applied to whole 64-bit words.
uint64_t fnv1a_u64s(std::span<const uint64_t> values);

// One MinHash function h -> a * h + b (wrapping); a is always odd.
struct HashFunction {
  uint64_t a, b;
};

// The first num_perm functions of the xorshift64 (13, 7, 17) sequence from LSH_SEED:
// a = next | 1, b = next.
std::vector<HashFunction> hash_functions(size_t num_perm);

// UTF-8 of code points; surrogates (which Python strings may hold) take their 3-byte form.
std::string utf8_bytes(Text text);

// Distinct shingle hashes, ascending: fnv1a_bytes of every 9-byte window, or of all bytes for
// inputs shorter than 10 bytes (the empty input gives the offset basis).
std::vector<uint64_t> shingle_hashes(std::span<const uint8_t> bytes);

// Value i = min over shingles h of a_i * h + b_i (wrapping, unsigned). `shingles` is non-empty.
void minhash_into(std::span<const uint64_t> shingles, std::span<const HashFunction> functions,
                  std::span<uint64_t> out);
std::vector<uint64_t> minhash(std::span<const uint64_t> shingles,
                              std::span<const HashFunction> functions);

// num_perm / band_rows whole bands; 0 when band_rows is 0. Trailing values fill no band.
size_t band_count(size_t num_perm, size_t band_rows);

// Band keys of every string: n rows of band_count(num_perm, band_rows) keys, row j for string j,
// each fnv1a_u64s of one band of its MinHash signature over shingle_hashes of utf8_bytes. Runs on
// the ambient pool. Empty when n or the band count is 0; sizes no allocation can meet throw
// std::bad_alloc.
std::vector<uint64_t> lsh_band_keys(std::span<const CodePoints> strings, size_t num_perm,
                                    size_t band_rows);

// A candidate pair packed as lo << 32 | hi, lo < hi.
inline uint64_t pack_pair(uint32_t lo, uint32_t hi) { return (uint64_t{lo} << 32) | hi; }
inline uint32_t pair_lo(uint64_t p) { return static_cast<uint32_t>(p >> 32); }
inline uint32_t pair_hi(uint64_t p) { return static_cast<uint32_t>(p); }

// Every pair of strings sharing a bucket in some band, sorted and distinct. `keys` holds n rows
// of `bands` band keys (fnv1a_u64s of the band's signature values), row j for string j.
std::vector<uint64_t> lsh_candidates(std::span<const uint64_t> keys, size_t n, size_t bands,
                                     Progress* progress = nullptr);

// Buckets of more than this many members are not listed pair by pair: a bucket of m members
// holds m (m - 1) / 2 pairs, while linking them takes at most m - 1 edges.
inline constexpr size_t LSH_LISTED_BUCKET = 16;

// The candidates split by bucket size: pairs of buckets of at most `max_listed` members as
// lsh_candidates lists them, and the larger buckets as member lists (ascending within each,
// every distinct member set once, in order of first appearance).
struct BucketedCandidates {
  std::vector<uint64_t> pairs;
  std::vector<uint32_t> members;  // the large buckets, one after another
  std::vector<size_t> offsets;    // large bucket k is members[offsets[k] .. offsets[k + 1])
};
BucketedCandidates lsh_bucketed_candidates(std::span<const uint64_t> keys, size_t n,
                                           size_t bands, size_t max_listed,
                                           Progress* progress = nullptr);

// The whole LSH clustering, in assemble's format. Exact duplicates are hashed and verified
// once (see cluster.hpp for orientation). With progress lines on, writes one line after
// signatures, candidates and verification, counting pairs of the caller's strings (a large
// bucket counts all pairs of its members as candidates, and only the edges its walk found as
// verified), besides the phase lines ("signatures", "buckets", "verify" counting listed pairs
// and large buckets, then assemble's "minimum"). Automata are kept within `resident_budget`
// code points (LazySams).
std::vector<Cluster> cluster_canonicals_lsh(std::span<const CodePoints> strings,
                                            double threshold, size_t num_perm, size_t band_rows,
                                            Progress* progress = nullptr,
                                            size_t resident_budget = default_resident_budget());

// The clusters of given buckets, verified as cluster_canonicals_lsh verifies its own: every two
// members of bucket k (members[offsets[k] .. offsets[k + 1]), indices into strings) are a
// candidate pair, and equal strings are clustered once: every copy of a string joins its
// clusters, and copies link to each other (as there) when a bucket holds two. Given the buckets
// that cluster_canonicals_lsh finds on a list, restricted to whole components of its candidate
// graph (indices renumbered in the list's order), the result is its clusters of those strings.
// A member out of range throws std::out_of_range.
std::vector<Cluster> cluster_lsh_buckets(std::span<const CodePoints> strings, double threshold,
                                         std::span<const uint32_t> members,
                                         std::span<const size_t> offsets);

// The connected components of buckets that share a member (bucket k is
// members[offsets[k] .. offsets[k + 1]), members any 64-bit ids): per bucket, the smallest
// member of its component. Empty buckets get UINT64_MAX.
std::vector<uint64_t> bucket_components(std::span<const uint64_t> members,
                                        std::span<const size_t> offsets);

}  // namespace ratiokit
