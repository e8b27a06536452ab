// MinHash/LSH clustering. Tested by tests/cpp/lsh_test.cpp and, end to end against an
// independent Python derivation, by tests/test_lsh.py.
#include "cluster/lsh.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
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

std::vector<uint64_t> lsh_candidates(std::span<const uint64_t> keys, size_t n, size_t bands) {
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
  }
  return candidates;
}

namespace {

using Clock = std::chrono::steady_clock;

// One whole line per write, so that lines from concurrent calls do not interleave mid-line.
void progress_line(const char* what, size_t count, Clock::time_point start) {
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  char line[128];
  const int len = std::snprintf(line, sizeof line, "    [ratiokit] lsh: %zu %s in %.2fs\n", count,
                                what, seconds);
  if (len > 0) std::fwrite(line, 1, static_cast<size_t>(len), stderr);
}

}  // namespace

std::vector<Cluster> cluster_canonicals_lsh(std::span<const CodePoints> strings,
                                            double threshold, size_t num_perm, size_t band_rows) {
  const bool progress = std::getenv("RATIOKIT_PROGRESS") != nullptr;
  const Clock::time_point start = Clock::now();
  const size_t n = strings.size();
  const size_t bands = band_count(num_perm, band_rows);
  // Below two strings or without a band nothing can pair up, so the signatures are skipped
  // (a huge num_perm must not cost anything then).
  const bool pairable = n >= 2 && bands > 0;

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
  if (progress) progress_line("signatures", n, start);

  std::vector<uint64_t> candidates =
      pairable ? lsh_candidates(keys, n, bands) : std::vector<uint64_t>();
  std::vector<uint64_t>().swap(keys);
  if (progress) progress_line("candidate pairs", candidates.size(), start);

  if (candidates.empty()) {
    if (progress) progress_line("verified pairs", 0, start);
    return {};
  }
  // Built up front since every verification needs one, but only for strings in some candidate:
  // edges, and so cluster members, come from candidates alone, and the rest would only cost
  // memory (the automata are the largest structure here).
  std::vector<char> in_candidate(n, 0);
  for (const uint64_t pair : candidates) {
    in_candidate[pair_lo(pair)] = 1;
    in_candidate[pair_hi(pair)] = 1;
  }
  std::vector<Sam> automata = parallel_map<Sam>(
      n, [&](size_t i) { return in_candidate[i] ? build_sam(strings[i]) : Sam{}; });
  // A negative ratio marks a rejected candidate.
  const std::vector<double> ratios = parallel_map<double>(candidates.size(), [&](size_t p) {
    const uint32_t lo = pair_lo(candidates[p]);
    const uint32_t hi = pair_hi(candidates[p]);
    return gestalt_edge(strings[lo], strings[hi], automata[hi], threshold).value_or(-1.0);
  });
  std::vector<Edge> edges;
  for (size_t p = 0; p < candidates.size(); ++p) {
    if (ratios[p] >= 0.0) {
      edges.push_back({pair_lo(candidates[p]), pair_hi(candidates[p]), ratios[p]});
    }
  }
  std::vector<uint64_t>().swap(candidates);
  if (progress) progress_line("verified pairs", edges.size(), start);

  LazySams lazy = LazySams::built(std::move(automata));
  return assemble(n, edges, strings, lazy);
}

}  // namespace ratiokit
