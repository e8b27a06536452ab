// MinHash/LSH clustering. Tested by tests/cpp/lsh_test.cpp and, end to end against an
// independent Python derivation, by tests/test_lsh.py.
#include "cluster/lsh.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <new>
#include <utility>

#include "parallel/parallel.hpp"

namespace ratiokit {

uint64_t fnv1a_bytes(std::span<const uint8_t> bytes) {
  uint64_t h = FNV_OFFSET_BASIS;
  for (const uint8_t byte : bytes) {
    h ^= byte;
    h *= FNV_PRIME;
  }
  return h;
}

uint64_t fnv1a_u64s(std::span<const uint64_t> values) {
  uint64_t h = FNV_OFFSET_BASIS;
  for (const uint64_t v : values) {
    h ^= v;
    h *= FNV_PRIME;
  }
  return h;
}

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

std::vector<uint64_t> lsh_candidates(std::span<const uint64_t> keys, size_t n, size_t bands,
                                     Progress* progress) {
  std::vector<uint64_t> candidates;
  std::vector<std::pair<uint64_t, uint32_t>> buckets;  // (key, string), one band at a time
  std::vector<uint64_t> band_pairs;
  const CancelCheck check;
  for (size_t k = 0; k < bands; ++k) {
    // Sorting by key groups each bucket's members, ascending, without a node-based map.
    buckets.clear();
    for (size_t j = 0; j < n; ++j) buckets.emplace_back(keys[j * bands + k], uint32_t(j));
    std::sort(buckets.begin(), buckets.end());
    band_pairs.clear();
    for (size_t start = 0; start < n;) {
      size_t end = start + 1;
      while (end < n && buckets[end].first == buckets[start].first) ++end;
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
  return candidates;
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

// The LSH clustering of distinct strings. `distinct`, when present, says where the copies of
// each stand in the caller's list: it gives the orientation of pairs, and the progress lines
// count pairs of the caller's strings, as if every copy had been hashed and verified.
std::vector<Cluster> lsh_distinct(std::span<const CodePoints> strings, double threshold,
                                  size_t num_perm, size_t band_rows, size_t callers_strings,
                                  const DistinctStrings* distinct, Progress* progress) {
  const Clock::time_point start = Clock::now();
  const size_t n = strings.size();
  const size_t bands = band_count(num_perm, band_rows);
  // Below two strings or without a band nothing can pair up, so the signatures are skipped
  // (a huge num_perm must not cost anything then).
  const bool pairable = n >= 2 && bands > 0;
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
  if (distinct != nullptr && bands > 0 && callers_strings >= 2) {
    for (size_t v = 0; v < n; ++v) {
      const uint64_t m = positions_of(v).size();
      copy_pairs += m * (m - 1) / 2;
    }
  }

  progress_start(progress, "signatures", n, "%zu strings, %zu distinct", callers_strings, n);
  // Only the band keys are kept: n * bands words instead of n * num_perm.
  std::vector<uint64_t> keys;
  if (pairable) {
    // num_perm and band_rows come straight from the caller: sizes no allocation can meet fail
    // as out of memory instead of wrapping n * bands into a short array.
    constexpr size_t max_words = std::vector<uint64_t>().max_size() / 2;
    if (num_perm > max_words || bands > max_words / n) throw std::bad_alloc();
    const std::vector<HashFunction> functions = hash_functions(num_perm);
    keys.resize(n * bands);
    parallel_for(n, [&](size_t j) {
      const std::string bytes = utf8_bytes(strings[j]);
      const std::vector<uint64_t> shingles = shingle_hashes(
          {reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
      thread_local std::vector<uint64_t> signature;
      signature.resize(num_perm);
      minhash_into(shingles, functions, signature);
      for (size_t k = 0; k < bands; ++k) {
        keys[j * bands + k] =
            fnv1a_u64s(std::span<const uint64_t>(signature).subspan(k * band_rows, band_rows));
      }
    });
  }
  progress_end(progress, "%zu signatures", pairable ? n : 0);
  progress_write(progress, "lsh: %zu signatures in %.2fs", callers_strings, seconds());

  progress_start(progress, "buckets", pairable ? bands : 0, "%zu bands", pairable ? bands : 0);
  std::vector<uint64_t> candidates =
      pairable ? lsh_candidates(keys, n, bands, progress) : std::vector<uint64_t>();
  std::vector<uint64_t>().swap(keys);
  progress_end(progress, "%zu candidate pairs", candidates.size());
  if (progress_lines(progress)) {
    uint64_t count = candidates.size();
    if (distinct != nullptr) {
      count = copy_pairs;
      for (const uint64_t pair : candidates) {
        count += positions_of(pair_lo(pair)).size() * positions_of(pair_hi(pair)).size();
      }
    }
    progress_write(progress, "lsh: %llu candidate pairs in %.2fs",
                   static_cast<unsigned long long>(count), seconds());
  }

  // Built up front since every verification needs one, but only for strings in some candidate:
  // edges, and so cluster members, come from candidates alone, and the rest would only cost
  // memory (the automata are the largest structure here).
  std::vector<char> in_candidate(n, 0);
  for (const uint64_t pair : candidates) {
    in_candidate[pair_lo(pair)] = 1;
    in_candidate[pair_hi(pair)] = 1;
  }
  progress_start(progress, "verify", candidates.size(), "%zu candidate pairs", candidates.size());
  std::vector<Sam> automata;
  if (!candidates.empty()) {
    automata = parallel_map<Sam>(
        n, [&](size_t i) { return in_candidate[i] ? build_sam(strings[i]) : Sam{}; });
  }
  // Per candidate: the ratio of its pair in each orientation that occurs, or REJECTED.
  constexpr double REJECTED = -1.0;
  struct Verdict {
    double forward = REJECTED, backward = REJECTED;
  };
  const std::vector<Verdict> verdicts = parallel_map<Verdict>(candidates.size(), [&](size_t p) {
    const uint32_t lo = pair_lo(candidates[p]);
    const uint32_t hi = pair_hi(candidates[p]);
    Verdict v;
    if (lcs_rules_out(strings[lo], strings[hi], threshold)) {
      progress_advance(progress, 1);
      return v;
    }
    v.forward = gestalt_edge(strings[lo], strings[hi], automata[hi], threshold).value_or(REJECTED);
    if (orientation.both_ways(lo, hi)) {
      v.backward =
          gestalt_edge(strings[hi], strings[lo], automata[lo], threshold).value_or(REJECTED);
    }
    progress_advance(progress, 1);
    return v;
  });
  std::vector<Edge> edges;
  uint64_t verified = 0;
  for (size_t p = 0; p < candidates.size(); ++p) {
    const uint32_t lo = pair_lo(candidates[p]), hi = pair_hi(candidates[p]);
    const Verdict& v = verdicts[p];
    if (v.forward < 0.0 && v.backward < 0.0) continue;
    std::optional<double> ratio;
    if (!orientation.both_ways(lo, hi)) {
      ratio = v.forward;
    } else if (v.forward >= 0.0 && v.backward >= 0.0) {
      ratio = std::min(v.forward, v.backward);
    }  // else one orientation is below the threshold, and lower: the minimum is not known
    edges.push_back({lo, hi, ratio});
    if (progress_lines(progress)) {
      if (distinct == nullptr) {
        ++verified;
      } else {
        const auto xs = positions_of(lo), ys = positions_of(hi);
        const uint64_t forward = ordered_pairs(xs, ys);
        const uint64_t all = static_cast<uint64_t>(xs.size()) * ys.size();
        if (v.forward >= 0.0) verified += forward;
        if (v.backward >= 0.0) verified += all - forward;
      }
    }
  }
  std::vector<uint64_t>().swap(candidates);
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

  LazySams lazy = LazySams::built(std::move(automata));
  return assemble(n, edges, strings, lazy, orientation, progress);
}

}  // namespace

std::vector<Cluster> cluster_canonicals_lsh(std::span<const CodePoints> strings,
                                            double threshold, size_t num_perm, size_t band_rows,
                                            Progress* progress) {
  const size_t n = strings.size();
  const DistinctStrings distinct = distinct_strings(strings);
  if (distinct.values.size() == n) {
    return lsh_distinct(strings, threshold, num_perm, band_rows, n, nullptr, progress);
  }
  std::vector<Cluster> clusters = lsh_distinct(distinct.values, threshold, num_perm, band_rows,
                                               n, &distinct, progress);
  // Copies share every bucket when there is a band, and gestalt_edge takes them when 1.0
  // reaches the threshold, or always when they are empty.
  const bool banded = band_count(num_perm, band_rows) > 0;
  return expand_clusters(distinct, std::move(clusters), [&](size_t v) {
    return banded && (distinct.values[v].empty() || !(threshold > 1.0));
  });
}

}  // namespace ratiokit
