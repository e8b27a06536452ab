// MinHash/LSH clustering. Tested by tests/cpp/lsh_test.cpp and, end to end against an
// independent Python derivation, by tests/test_lsh.py.
#include "cluster/lsh.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <new>
#include <numeric>
#include <stdexcept>
#include <unordered_map>
#include <utility>

#include "gestalt/scratch.hpp"
#include "parallel/parallel.hpp"

namespace ratiokit {

namespace {

// FNV-1a with each value taken whole as one step (a byte, or a 64-bit word).
template <class T>
uint64_t fnv1a(std::span<const T> values) {
  uint64_t h = FNV_OFFSET_BASIS;
  for (const T v : values) {
    h ^= v;
    h *= FNV_PRIME;
  }
  return h;
}

}  // namespace

uint64_t fnv1a_bytes(std::span<const uint8_t> bytes) { return fnv1a(bytes); }

uint64_t fnv1a_u64s(std::span<const uint64_t> values) { return fnv1a(values); }

std::vector<HashFunction> hash_functions(size_t num_perm) {
  std::vector<HashFunction> out;
  out.reserve(num_perm);
  uint64_t s = LSH_SEED;
  auto next = [&s] {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
  };
  for (size_t i = 0; i < num_perm; ++i) {
    const uint64_t a = next() | 1;
    out.push_back({a, next()});
  }
  return out;
}

std::string utf8_bytes(Text text) {
  std::string out;
  out.reserve(text.size());
  for (const uint32_t c : text) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::vector<uint64_t> shingle_hashes(std::span<const uint8_t> bytes) {
  if (bytes.size() < SHINGLE_MIN_BYTES) return {fnv1a_bytes(bytes)};
  std::vector<uint64_t> out(bytes.size() - SHINGLE_BYTES + 1);
  for (size_t i = 0; i < out.size(); ++i) out[i] = fnv1a_bytes(bytes.subspan(i, SHINGLE_BYTES));
  // The minimum over a set does not care about repeats, but code repeats itself a lot, and
  // dropping repeats saves num_perm multiplications each.
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

void minhash_into(std::span<const uint64_t> shingles, std::span<const HashFunction> functions,
                  std::span<uint64_t> out) {
  // Function-major over blocks of eight shingles: the eight products of one function are
  // independent, and out[i] is read and written once per block instead of once per shingle
  // (about 1.4 times as fast as shingle by shingle). Padding the last block with a repeat of its
  // first shingle leaves the minimum unchanged.
  constexpr size_t BLOCK = 8;
  const size_t count = functions.size();
  uint64_t* const dst = out.data();
  const HashFunction* const f = functions.data();
  std::fill(dst, dst + count, UINT64_MAX);
  // One block costs 8 * count multiplications, and count may be in the millions.
  const CancelCheck check;
  for (size_t s = 0; s < shingles.size(); s += BLOCK) {
    check();
    uint64_t h[BLOCK];
    for (size_t k = 0; k < BLOCK; ++k) {
      h[k] = s + k < shingles.size() ? shingles[s + k] : shingles[s];
    }
    for (size_t i = 0; i < count; ++i) {
      const uint64_t a = f[i].a, b = f[i].b;
      uint64_t m = dst[i];
      for (size_t k = 0; k < BLOCK; ++k) m = std::min(m, a * h[k] + b);
      dst[i] = m;
    }
  }
}

std::vector<uint64_t> minhash(std::span<const uint64_t> shingles,
                              std::span<const HashFunction> functions) {
  std::vector<uint64_t> out(functions.size());
  minhash_into(shingles, functions, out);
  return out;
}

size_t band_count(size_t num_perm, size_t band_rows) {
  return band_rows == 0 ? 0 : num_perm / band_rows;
}

BucketedCandidates lsh_bucketed_candidates(std::span<const uint64_t> keys, size_t n,
                                           size_t bands, size_t max_listed, Progress* progress) {
  BucketedCandidates out;
  std::vector<uint64_t>& candidates = out.pairs;
  std::vector<std::pair<uint64_t, uint32_t>> buckets;  // (key, string), one band at a time
  std::vector<uint64_t> band_pairs;
  // A large bucket met again in another band (near-duplicates agree on many bands) is kept
  // once: its first place in `members`, looked up by a hash of its member list.
  std::unordered_multimap<uint64_t, size_t> seen;  // hash -> bucket
  const CancelCheck check;
  out.offsets.push_back(0);
  for (size_t k = 0; k < bands; ++k) {
    // Sorting by key groups each bucket's members, ascending, without a node-based map.
    buckets.clear();
    for (size_t j = 0; j < n; ++j) buckets.emplace_back(keys[j * bands + k], uint32_t(j));
    std::sort(buckets.begin(), buckets.end());
    band_pairs.clear();
    for (size_t start = 0; start < n;) {
      size_t end = start + 1;
      while (end < n && buckets[end].first == buckets[start].first) ++end;
      if (end - start > max_listed) {
        check();
        const size_t at = out.members.size();
        uint64_t h = FNV_OFFSET_BASIS;
        for (size_t x = start; x < end; ++x) {
          out.members.push_back(buckets[x].second);
          h = (h ^ buckets[x].second) * FNV_PRIME;
        }
        const std::span<const uint32_t> bucket(out.members.data() + at, end - start);
        const auto [first, last] = seen.equal_range(h);
        bool again = false;
        for (auto it = first; it != last && !again; ++it) {
          const size_t b = it->second;
          again = std::equal(bucket.begin(), bucket.end(), out.members.begin() + out.offsets[b],
                             out.members.begin() + out.offsets[b + 1]);
        }
        if (again) {
          out.members.resize(at);
        } else {
          seen.emplace(h, out.offsets.size() - 1);
          out.offsets.push_back(out.members.size());
        }
        start = end;
        continue;
      }
      for (size_t x = start; x < end; ++x) {
        check();
        for (size_t y = x + 1; y < end; ++y) {
          band_pairs.push_back(pack_pair(buckets[x].second, buckets[y].second));
        }
      }
      start = end;
    }
    // Each string sits in one bucket per band, so a band's pairs are already distinct; merging
    // band by band keeps memory at the distinct pairs plus one band's.
    std::sort(band_pairs.begin(), band_pairs.end());
    const auto middle = static_cast<std::ptrdiff_t>(candidates.size());
    candidates.insert(candidates.end(), band_pairs.begin(), band_pairs.end());
    std::inplace_merge(candidates.begin(), candidates.begin() + middle, candidates.end());
    candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
    progress_advance(progress, 1);
  }
  return out;
}

std::vector<uint64_t> lsh_candidates(std::span<const uint64_t> keys, size_t n, size_t bands,
                                     Progress* progress) {
  return lsh_bucketed_candidates(keys, n, bands, SIZE_MAX, progress).pairs;
}

namespace {

// One string's signature while its band keys are taken: num_perm words, which the caller may
// set in the millions.
thread_local ScratchSlot<std::vector<uint64_t>> SIGNATURE_BUF;

}  // namespace

std::vector<uint64_t> lsh_band_keys(std::span<const CodePoints> strings, size_t num_perm,
                                    size_t band_rows) {
  const size_t n = strings.size();
  const size_t bands = band_count(num_perm, band_rows);
  if (n == 0 || bands == 0) return {};
  // num_perm and band_rows come straight from the caller: sizes no allocation can meet fail as
  // out of memory instead of wrapping n * bands into a short array.
  constexpr size_t max_words = std::vector<uint64_t>().max_size() / 2;
  if (num_perm > max_words || bands > max_words / n) throw std::bad_alloc();
  const std::vector<HashFunction> functions = hash_functions(num_perm);
  std::vector<uint64_t> keys(n * bands);
  parallel_for(n, [&](size_t j) {
    const std::string bytes = utf8_bytes(strings[j]);
    const std::vector<uint64_t> shingles =
        shingle_hashes({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
    Borrow<std::vector<uint64_t>> signature(SIGNATURE_BUF);
    signature->resize(num_perm);
    minhash_into(shingles, functions, *signature);
    for (size_t k = 0; k < bands; ++k) {
      keys[j * bands + k] =
          fnv1a_u64s(std::span<const uint64_t>(*signature).subspan(k * band_rows, band_rows));
    }
  });
  return keys;
}

namespace {

using Clock = std::chrono::steady_clock;

// String pairs i < j with i among `xs` and j among `ys` (both ascending), by one merge.
uint64_t ordered_pairs(std::span<const size_t> xs, std::span<const size_t> ys) {
  uint64_t count = 0;
  size_t k = 0;
  for (const size_t y : ys) {
    while (k < xs.size() && xs[k] < y) ++k;
    count += k;
  }
  return count;
}

// Where the copies of the clustered strings stand, for orientation and the progress lines.
struct CallersStrings {
  size_t count;                     // strings in the caller's list
  const DistinctStrings* distinct;  // null when every string stands once
};

// Verifies the candidates of `bucketed` over distinct strings and assembles the clusters.
// `distinct`, when present, says where the copies of each stand in the caller's list: it gives
// the orientation of pairs, and the progress lines count pairs of the caller's strings, as if
// every copy had been hashed and verified. `start` dates the lines. Automata are kept within
// `resident_budget` code points (LazySams).
std::vector<Cluster> verify_buckets(std::span<const CodePoints> strings, double threshold,
                                    bool banded, BucketedCandidates& bucketed,
                                    CallersStrings callers, Progress* progress,
                                    Clock::time_point start, size_t resident_budget) {
  const size_t n = strings.size();
  const DistinctStrings* distinct = callers.distinct;
  const Orientation orientation =
      distinct != nullptr ? Orientation{distinct->first, distinct->last} : Orientation{};
  auto seconds = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
  auto positions_of = [&](size_t v) {
    return std::span<const size_t>(distinct->positions)
        .subspan(distinct->offsets[v], distinct->offsets[v + 1] - distinct->offsets[v]);
  };
  // Pairs among the copies of one value: candidates whenever there is a band (identical
  // signatures), and verified when the copies link.
  uint64_t copy_pairs = 0;
  if (distinct != nullptr && banded && callers.count >= 2) {
    for (size_t v = 0; v < n; ++v) {
      const uint64_t m = positions_of(v).size();
      copy_pairs += m * (m - 1) / 2;
    }
  }
  std::vector<uint64_t>& candidates = bucketed.pairs;
  const size_t large = bucketed.offsets.empty() ? 0 : bucketed.offsets.size() - 1;
  auto large_bucket = [&](size_t k) {
    return std::span<const uint32_t>(bucketed.members)
        .subspan(bucketed.offsets[k], bucketed.offsets[k + 1] - bucketed.offsets[k]);
  };
  if (large == 0) {
    progress_end(progress, "%zu candidate pairs", candidates.size());
  } else {
    progress_end(progress, "%zu candidate pairs, %zu large buckets", candidates.size(), large);
  }
  if (progress_lines(progress)) {
    // A large bucket counts all pairs of its members, also those another bucket shares.
    uint64_t count = candidates.size();
    if (distinct != nullptr) {
      count = copy_pairs;
      for (const uint64_t pair : candidates) {
        count += positions_of(pair_lo(pair)).size() * positions_of(pair_hi(pair)).size();
      }
    }
    for (size_t k = 0; k < large; ++k) {
      uint64_t all = 0, same = 0;
      for (const uint32_t v : large_bucket(k)) {
        const uint64_t copies = distinct != nullptr ? positions_of(v).size() : 1;
        all += copies;
        same += copies * copies;
      }
      count += (all * all - same) / 2;
    }
    progress_write(progress, "lsh: %llu candidate pairs in %.2fs",
                   static_cast<unsigned long long>(count), seconds());
  }

  progress_start(progress, "verify", candidates.size() + large, "%zu candidate pairs",
                 candidates.size());
  LazySams lazy(strings, resident_budget);
  // Per candidate: which orientations of its pair reached the threshold, and the lower of
  // their ratios (kept in one double, as candidates can be many).
  struct Verdict {
    double ratio = 0.0;
    bool forward = false, backward = false;
  };
  std::vector<Verdict> verdicts(candidates.size());
  // Only the automata of strings in some candidate are built (edges, and so cluster members,
  // come from candidates alone), within the budget.
  lazy.run(
      candidates.size(),
      [&](size_t p) {
        const uint32_t lo = pair_lo(candidates[p]), hi = pair_hi(candidates[p]);
        return std::pair<uint32_t, uint32_t>(
            hi, orientation.both_ways(lo, hi) ? lo : LazySams::NO_OWNER);
      },
      [&](size_t p) {
        const uint32_t lo = pair_lo(candidates[p]);
        const uint32_t hi = pair_hi(candidates[p]);
        Verdict& v = verdicts[p];
        if (!lcs_rules_out(strings[lo], strings[hi], threshold)) {
          const std::optional<double> forward =
              gestalt_ratio_at_least(strings[lo], strings[hi], lazy.get(hi), threshold);
          const std::optional<double> backward =
              orientation.both_ways(lo, hi)
                  ? gestalt_ratio_at_least(strings[hi], strings[lo], lazy.get(lo), threshold)
                  : std::nullopt;
          v.forward = forward.has_value();
          v.backward = backward.has_value();
          v.ratio = std::min(forward.value_or(1.0), backward.value_or(1.0));
        }
        progress_advance(progress, 1);
      });
  std::vector<Edge> edges;
  uint64_t verified = 0;
  for (size_t p = 0; p < candidates.size(); ++p) {
    const uint32_t lo = pair_lo(candidates[p]), hi = pair_hi(candidates[p]);
    const Verdict& v = verdicts[p];
    if (!v.forward && !v.backward) continue;
    std::optional<double> ratio;
    // Where only one orientation of two reached the threshold, the other is lower and unknown.
    if (!orientation.both_ways(lo, hi) || (v.forward && v.backward)) ratio = v.ratio;
    edges.push_back({lo, hi, ratio});
    if (progress_lines(progress)) {
      if (distinct == nullptr) {
        ++verified;
      } else {
        const auto xs = positions_of(lo), ys = positions_of(hi);
        const uint64_t forward = ordered_pairs(xs, ys);
        const uint64_t all = static_cast<uint64_t>(xs.size()) * ys.size();
        if (v.forward) verified += forward;
        if (v.backward) verified += all - forward;
      }
    }
  }
  std::vector<uint64_t>().swap(candidates);
  std::vector<Verdict>().swap(verdicts);
  if (large > 0) {
    // Each large bucket is walked as the exact variant walks all strings, with one forest over
    // every edge so far: a pair it already connects is left out.
    std::vector<uint32_t> forest(n);
    std::iota(forest.begin(), forest.end(), 0u);
    for (const Edge& e : edges) {
      const uint32_t ra = uf_find(forest, static_cast<uint32_t>(e.a));
      const uint32_t rb = uf_find(forest, static_cast<uint32_t>(e.b));
      if (ra != rb) forest[ra] = rb;
    }
    std::vector<char> member(n, 0);
    for (const uint32_t v : bucketed.members) member[v] = 1;
    std::vector<CharCounts> counts(n);
    parallel_for(n, [&](size_t v) {
      if (member[v]) counts[v] = char_counts(strings[v]);
    });
    for (size_t k = 0; k < large; ++k) {
      CandidateStream stream(strings, counts, threshold, 0, large_bucket(k));
      const std::vector<Edge> found = streamed_edges(stream, strings, lazy, threshold,
                                                     orientation, STREAM_BUDGET, nullptr, &forest);
      for (const Edge& e : found) {
        edges.push_back(e);
        if (progress_lines(progress)) {
          verified += distinct == nullptr
                          ? 1
                          : positions_of(e.a).size() * static_cast<uint64_t>(positions_of(e.b).size());
        }
      }
      progress_advance(progress, 1);
    }
  }
  if (distinct != nullptr && copy_pairs > 0 && progress_lines(progress)) {
    for (size_t v = 0; v < n; ++v) {
      if (strings[v].empty() || !(threshold > 1.0)) {
        const uint64_t m = positions_of(v).size();
        verified += m * (m - 1) / 2;
      }
    }
  }
  progress_end(progress, "%zu edges", edges.size());
  progress_write(progress, "lsh: %llu verified pairs in %.2fs",
                 static_cast<unsigned long long>(verified), seconds());
  if (edges.empty()) return {};

  return assemble(n, edges, strings, lazy, orientation, progress);
}

// The LSH clustering of distinct strings (see verify_buckets for `callers`).
std::vector<Cluster> lsh_distinct(std::span<const CodePoints> strings, double threshold,
                                  size_t num_perm, size_t band_rows, CallersStrings callers,
                                  Progress* progress, size_t resident_budget) {
  const Clock::time_point start = Clock::now();
  const size_t n = strings.size();
  const size_t bands = band_count(num_perm, band_rows);
  // Below two strings or without a band nothing can pair up, so the signatures are skipped
  // (a huge num_perm must not cost anything then).
  const bool pairable = n >= 2 && bands > 0;
  progress_start(progress, "signatures", n, "%zu strings, %zu distinct", callers.count, n);
  // Only the band keys are kept: n * bands words instead of n * num_perm.
  std::vector<uint64_t> keys;
  if (pairable) keys = lsh_band_keys(strings, num_perm, band_rows);
  progress_end(progress, "%zu signatures", pairable ? n : 0);
  progress_write(progress, "lsh: %zu signatures in %.2fs", callers.count,
                 std::chrono::duration<double>(Clock::now() - start).count());

  progress_start(progress, "buckets", pairable ? bands : 0, "%zu bands", pairable ? bands : 0);
  BucketedCandidates bucketed;
  if (pairable) bucketed = lsh_bucketed_candidates(keys, n, bands, LSH_LISTED_BUCKET, progress);
  std::vector<uint64_t>().swap(keys);
  return verify_buckets(strings, threshold, bands > 0, bucketed, callers, progress, start,
                        resident_budget);
}

}  // namespace

std::vector<Cluster> cluster_canonicals_lsh(std::span<const CodePoints> strings,
                                            double threshold, size_t num_perm, size_t band_rows,
                                            Progress* progress, size_t resident_budget) {
  const size_t n = strings.size();
  const DistinctStrings distinct = distinct_strings(strings);
  if (distinct.first.size() == n) {
    return lsh_distinct(strings, threshold, num_perm, band_rows, {n, nullptr}, progress,
                        resident_budget);
  }
  std::vector<Cluster> clusters = lsh_distinct(distinct.values, threshold, num_perm, band_rows,
                                               {n, &distinct}, progress, resident_budget);
  // Copies share every bucket when there is a band, and the threshold test takes them when 1.0
  // reaches the threshold, or always when they are empty.
  const bool banded = band_count(num_perm, band_rows) > 0;
  return expand_clusters(distinct, std::move(clusters), [&](size_t v) {
    return banded && (distinct.values[v].empty() || !(threshold > 1.0));
  });
}

std::vector<Cluster> cluster_lsh_buckets(std::span<const CodePoints> strings, double threshold,
                                         std::span<const uint32_t> members,
                                         std::span<const size_t> offsets) {
  const size_t n = strings.size();
  const DistinctStrings distinct = distinct_strings(strings);
  const bool collapsed = distinct.first.size() != n;
  std::vector<uint32_t> value_of;
  if (collapsed) {
    value_of.resize(n);
    for (size_t v = 0; v + 1 < distinct.offsets.size(); ++v) {
      for (size_t k = distinct.offsets[v]; k < distinct.offsets[v + 1]; ++k) {
        value_of[distinct.positions[k]] = static_cast<uint32_t>(v);
      }
    }
  }
  // The buckets over distinct values, split by size as lsh_bucketed_candidates splits them.
  BucketedCandidates bucketed;
  bucketed.offsets.push_back(0);
  std::vector<uint32_t> bucket;
  // Values two of whose copies share a bucket: only their copies link to each other.
  std::vector<char> copies_bucketed(collapsed ? distinct.first.size() : 0, 0);
  for (size_t b = 0; b + 1 < offsets.size(); ++b) {
    bucket.assign(members.begin() + static_cast<std::ptrdiff_t>(offsets[b]),
                  members.begin() + static_cast<std::ptrdiff_t>(offsets[b + 1]));
    for (uint32_t& m : bucket) {
      if (m >= n) throw std::out_of_range("bucket member out of range");
      if (collapsed) m = value_of[m];
    }
    std::sort(bucket.begin(), bucket.end());
    for (size_t x = 1; x < bucket.size(); ++x) {
      if (bucket[x] == bucket[x - 1]) copies_bucketed[bucket[x]] = 1;
    }
    bucket.erase(std::unique(bucket.begin(), bucket.end()), bucket.end());
    if (bucket.size() > LSH_LISTED_BUCKET) {
      bucketed.members.insert(bucketed.members.end(), bucket.begin(), bucket.end());
      bucketed.offsets.push_back(bucketed.members.size());
      continue;
    }
    for (size_t x = 0; x < bucket.size(); ++x) {
      for (size_t y = x + 1; y < bucket.size(); ++y) {
        bucketed.pairs.push_back(pack_pair(bucket[x], bucket[y]));
      }
    }
  }
  std::sort(bucketed.pairs.begin(), bucketed.pairs.end());
  bucketed.pairs.erase(std::unique(bucketed.pairs.begin(), bucketed.pairs.end()),
                       bucketed.pairs.end());
  if (!collapsed) {
    return verify_buckets(strings, threshold, true, bucketed, {n, nullptr}, nullptr, Clock::now(),
                          default_resident_budget());
  }
  std::vector<Cluster> clusters =
      verify_buckets(distinct.values, threshold, true, bucketed, {n, &distinct}, nullptr,
                     Clock::now(), default_resident_budget());
  // Copies that share a bucket link as in cluster_canonicals_lsh, where they share every one.
  return expand_clusters(distinct, std::move(clusters), [&](size_t v) {
    return copies_bucketed[v] && (distinct.values[v].empty() || !(threshold > 1.0));
  });
}

std::vector<uint64_t> bucket_components(std::span<const uint64_t> members,
                                        std::span<const size_t> offsets) {
  // Members are compacted to ranks, so the forest is as large as the distinct members.
  std::vector<uint64_t> ids(members.begin(), members.end());
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  auto rank = [&](uint64_t m) {
    return static_cast<size_t>(std::lower_bound(ids.begin(), ids.end(), m) - ids.begin());
  };
  std::vector<size_t> parent(ids.size());
  std::iota(parent.begin(), parent.end(), size_t{0});
  const size_t buckets = offsets.empty() ? 0 : offsets.size() - 1;
  const CancelCheck check;
  for (size_t b = 0; b < buckets; ++b) {
    check();
    if (offsets[b] == offsets[b + 1]) continue;
    size_t root = uf_find(parent, rank(members[offsets[b]]));
    for (size_t k = offsets[b] + 1; k < offsets[b + 1]; ++k) {
      const size_t other = uf_find(parent, rank(members[k]));
      // The smaller rank stays root, so a root is its component's smallest member.
      if (other < root) {
        parent[root] = other;
        root = other;
      } else if (other > root) {
        parent[other] = root;
      }
    }
  }
  std::vector<uint64_t> out(buckets, UINT64_MAX);
  for (size_t b = 0; b < buckets; ++b) {
    if (offsets[b] != offsets[b + 1]) out[b] = ids[uf_find(parent, rank(members[offsets[b]]))];
  }
  return out;
}

}  // namespace ratiokit
