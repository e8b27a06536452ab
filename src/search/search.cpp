// extract and the ratio joins. Tested against brute force by tests/test_search.py and
// tests/cpp/search_test.cpp.
#include "search/search.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <atomic>
#include <mutex>
#include <numeric>
#include <optional>

#include "cluster/cluster.hpp"
#include "parallel/parallel.hpp"
#include "ratio/ratio.hpp"

namespace ratiokit {
namespace {

// Best first, then lower index.
bool ranks_before(const Scored& x, const Scored& y) {
  return x.score != y.score ? x.score > y.score : x.index < y.index;
}

// The query's histogram: dense for ASCII, a sorted list for the rest.
struct QueryCounts {
  std::array<uint32_t, 128> ascii{};
  CharCounts wide;
};

QueryCounts query_counts(Text query) {
  QueryCounts q;
  for (const auto& [c, k] : char_counts(query)) {
    if (c < 128) {
      q.ascii[c] = k;
    } else {
      q.wide.emplace_back(c, k);
    }
  }
  return q;
}

// Per-chunk working storage of the count bound.
struct CountScratch {
  std::array<uint32_t, 128> used{};
  std::vector<uint32_t> wide;
};

// The size of the multiset intersection of s and the query (the count behind quick_ratio), or
// some value below `need` once too many characters of s found no partner (need <= len s).
// Choices are met once per query, so walking s beats building its histogram first.
uint64_t common_count(const QueryCounts& q, Text s, uint64_t need, CountScratch& sc) {
  const uint32_t* text = s.data();
  const size_t n = s.size();
  const size_t spare = n - need;  // unmatched characters s can afford
  uint32_t* used = sc.used.data();
  const uint32_t* avail = q.ascii.data();
  size_t misses = 0, wide = 0, k = 0;
  for (; k < n && misses <= spare; ++k) {
    const uint32_t c = text[k];
    if (c < 128) {
      const uint32_t u = used[c];
      const uint32_t take = u < avail[c] ? 1u : 0u;
      used[c] = u + take;
      misses += 1 - take;
    } else {
      ++wide;
    }
  }
  for (size_t r = 0; r < k; ++r) {
    if (text[r] < 128) used[text[r]] = 0;
  }
  uint64_t common = k - misses - wide;
  if (misses > spare || wide == 0 || q.wide.empty()) return common;
  sc.wide.clear();
  for (size_t r = 0; r < n; ++r) {
    if (text[r] >= 128) sc.wide.push_back(text[r]);
  }
  std::sort(sc.wide.begin(), sc.wide.end());
  size_t w = 0, j = 0;
  while (w < sc.wide.size() && j < q.wide.size()) {
    const uint32_t c = sc.wide[w];
    if (c < q.wide[j].first) {
      ++w;
    } else if (c > q.wide[j].first) {
      ++j;
    } else {
      size_t run = 0;
      while (w < sc.wide.size() && sc.wide[w] == c) ++w, ++run;
      common += std::min<uint64_t>(run, q.wide[j].second);
      ++j;
    }
  }
  return common;
}

void raise_to(std::atomic<double>& floor, double value) {
  double seen = floor.load(std::memory_order_relaxed);
  while (seen < value && !floor.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
  }
}

// Keeps the `limit` best of `found` (and, with keep_ties, everything tied with the last of
// them) and returns the score of the limit-th best.
double keep_best(std::vector<Scored>& found, size_t limit, bool keep_ties) {
  std::nth_element(found.begin(), found.begin() + static_cast<ptrdiff_t>(limit - 1), found.end(),
                   ranks_before);
  const double last = found[limit - 1].score;
  if (keep_ties) {
    found.erase(std::partition(found.begin(), found.end(),
                               [&](const Scored& s) { return s.score >= last; }),
                found.end());
  } else {
    found.resize(limit);
  }
  return last;
}

// The exact ratio of a and b when it reaches the threshold; b's automaton is built by `sam_b`
// only when a test needs it.
template <class GetSam>
std::optional<double> exact_at_least(Text a, Text b, GetSam&& sam_b, double threshold) {
  const size_t total = a.size() + b.size();
  const uint64_t need = need_count(threshold, total);
  if (std::min(a.size(), b.size()) < need) return std::nullopt;
  return gestalt_edge(a, b, sam_b(), threshold);
}

}  // namespace

std::vector<Scored> extract_chars(Text query, std::span<const Text> choices, size_t limit,
                                  double cutoff, bool autojunk, bool keep_ties) {
  std::vector<Scored> kept;
  if (limit == 0 || choices.empty()) return kept;
  const bool bounded = limit < choices.size();
  const QueryCounts qc = query_counts(query);
  LcsMasks masks;  // only for choices short enough for the LCS bound to pay (see below)
  if (query.size() <= LCS_MAX_CELLS) masks.build(query);
  const Sam sam = build_sam(query);
  // Popular characters of a long query change the ratio itself; below that length the
  // autojunk ratio is the plain one.
  const bool junk = autojunk && query.size() >= AUTOJUNK_MIN_LEN;
  std::atomic<double> floor{cutoff};
  std::mutex mutex;
  parallel_for_chunks(choices.size(), MIN_PARALLEL_ITEMS, [&](size_t begin, size_t end) {
    const CancelCheck check;
    CountScratch scratch;
    std::vector<uint64_t> row;
    std::vector<Scored> found;
    size_t prune_at = 2 * limit + 64;
    double local = cutoff;
    double cached_for = -1.0;
    std::vector<uint64_t> need_by_length;
    for (size_t k = begin; k < end; ++k) {
      check();
      const Text s = choices[k];
      const double threshold = std::max(local, floor.load(std::memory_order_relaxed));
      if (threshold != cached_for) {
        cached_for = threshold;
        need_by_length.clear();
      }
      // The count needed depends on the threshold and the choice's length only.
      const size_t ls = s.size();
      if (ls >= need_by_length.size()) need_by_length.resize(ls + 1, UINT64_MAX);
      uint64_t& need_slot = need_by_length[ls];
      if (need_slot == UINT64_MAX) need_slot = need_count(threshold, ls + query.size());
      const uint64_t need = need_slot;
      if (std::min(s.size(), query.size()) < need) continue;
      // The LCS bound grows with la * lb, the test it could spare with la + lb.
      const bool lcs_pays = s.size() * query.size() <= LCS_MAX_CELLS;
      if (need > 0 && (common_count(qc, s, need, scratch) < need ||
                       (lcs_pays && lcs_length(masks, s, row, need) < need))) {
        continue;
      }
      std::optional<double> score;
      if (junk) {
        const double r = ratio_autojunk_chars(s, query);
        if (r >= threshold) score = r;
      } else {
        score = gestalt_edge(s, query, sam, threshold);
      }
      if (!score) continue;
      found.push_back({k, *score});
      if (bounded && found.size() >= prune_at) {
        local = std::max(local, keep_best(found, limit, keep_ties));
        raise_to(floor, local);
        prune_at = 2 * found.size() + 64;
      }
    }
    if (bounded && found.size() > limit) keep_best(found, limit, keep_ties);
    const std::lock_guard<std::mutex> lock(mutex);
    kept.insert(kept.end(), found.begin(), found.end());
  });
  std::sort(kept.begin(), kept.end(), ranks_before);
  if (kept.size() > limit) {
    size_t end = limit;
    if (keep_ties) {
      while (end < kept.size() && kept[end].score == kept[limit - 1].score) ++end;
    }
    kept.resize(end);
  }
  return kept;
}

std::vector<RatioPair> ratio_join_chars(std::span<const CodePoints> left,
                                      std::span<const CodePoints> right, double threshold,
                                      Progress* progress) {
  std::vector<RatioPair> out;
  if (left.empty() || right.empty()) return out;
  progress_start(progress, "join", left.size(), "%zu by %zu strings", left.size(), right.size());
  const size_t nr = right.size();
  const std::vector<CharCounts> counts =
      parallel_map<CharCounts>(nr, [&](size_t j) { return char_counts(right[j]); });
  const std::vector<CharCounts> left_counts =
      parallel_map<CharCounts>(left.size(), [&](size_t i) { return char_counts(left[i]); });
  std::vector<size_t> order(nr);
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t x, size_t y) { return right[x].size() < right[y].size(); });
  std::vector<size_t> lengths(nr);
  for (size_t q = 0; q < nr; ++q) lengths[q] = right[order[q]].size();
  LazySams lazy(right);

  std::vector<std::vector<RatioPair>> rows(left.size());
  parallel_for(left.size(), [&](size_t i) {
    const Text a = left[i];
    const size_t la = a.size();
    // The length bound rises up to la and falls after it, so the rights it admits are one run
    // of the length order.
    const auto lo = std::partition_point(lengths.begin(), lengths.end(), [&](size_t lb) {
      return lb < la && threshold > real_quick_ratio(la, lb);
    });
    const auto hi = std::partition_point(lo, lengths.end(), [&](size_t lb) {
      return lb <= la || !(threshold > real_quick_ratio(la, lb));
    });
    std::vector<RatioPair>& row = rows[i];
    for (auto q = lo; q < hi; ++q) {
      const size_t j = order[static_cast<size_t>(q - lengths.begin())];
      const size_t total = la + right[j].size();
      if (threshold > quick_ratio_counts(left_counts[i], counts[j], total)) continue;
      const std::optional<double> r =
          exact_at_least(a, right[j], [&]() -> const Sam& { return lazy.get(j); }, threshold);
      if (r) row.push_back({i, j, *r});
    }
    std::sort(row.begin(), row.end(), [](const RatioPair& x, const RatioPair& y) { return x.j < y.j; });
    progress_advance(progress, 1);
  });
  append_pieces(rows, out);
  progress_end(progress, "%zu pairs", out.size());
  return out;
}

std::vector<RatioPair> self_join_chars(std::span<const CodePoints> strings, double threshold,
                                     Progress* progress) {
  std::vector<RatioPair> out;
  const size_t n = strings.size();
  if (n < 2) return out;
  const std::vector<CharCounts> counts =
      parallel_map<CharCounts>(n, [&](size_t i) { return char_counts(strings[i]); });
  progress_start(progress, "candidates", n, "%zu strings", n);
  std::vector<CandidatePair> pairs = candidate_pairs(strings, counts, threshold, progress);
  progress_end(progress, "%zu pairs", pairs.size());
  // Tests sharing an automaton run together, and each automaton is built before any test waits
  // on it.
  std::sort(pairs.begin(), pairs.end(), [](const CandidatePair& x, const CandidatePair& y) {
    return x.b != y.b ? x.b < y.b : x.a < y.a;
  });
  LazySams lazy(strings);
  std::vector<uint32_t> owners;
  for (const CandidatePair& p : pairs) {
    if (owners.empty() || owners.back() != p.b) owners.push_back(p.b);
  }
  progress_start(progress, "join", pairs.size(), "%zu candidates", pairs.size());
  parallel_for(owners.size(), [&](size_t k) { (void)lazy.get(owners[k]); });
  std::vector<std::optional<double>> ratios =
      parallel_map<std::optional<double>>(pairs.size(), [&](size_t k) {
        const CandidatePair p = pairs[k];
        std::optional<double> r = gestalt_edge(strings[p.a], strings[p.b], lazy.get(p.b), threshold);
        progress_advance(progress, 1);
        return r;
      });
  for (size_t k = 0; k < pairs.size(); ++k) {
    if (ratios[k]) out.push_back({pairs[k].a, pairs[k].b, *ratios[k]});
  }
  std::sort(out.begin(), out.end(),
            [](const RatioPair& x, const RatioPair& y) { return x.i != y.i ? x.i < y.i : x.j < y.j; });
  progress_end(progress, "%zu pairs", out.size());
  return out;
}

}  // namespace ratiokit
