// The two upper bounds and the candidate pairs they admit. Tested by
// tests/cpp/cluster_test.cpp and, end to end, by tests/test_cluster.py.
#include <algorithm>
#include <numeric>

#include "cluster/cluster.hpp"
#include "parallel/parallel.hpp"

namespace ratiokit {
namespace {

// 2 S / total, the one expression every count bound is computed with.
inline double common_ratio(uint32_t common, size_t total) {
  return 2.0 * static_cast<double>(common) / static_cast<double>(total);
}

// Pure-ASCII strings of at most this length get a dense 128-entry histogram; their counts fit a
// signed 16-bit lane, whose minimum even baseline SSE2 has.
constexpr size_t DENSE_MAX_LEN = 32767;
constexpr size_t DENSE_WIDTH = 128;

// The candidate walk meets each string in thousands of pairs, so a histogram that turns the
// intersection into 128 independent minimum-and-add steps (which vectorise) instead of a branchy
// merge pays for itself many times. Rows are stored in walk order so that a row streams through
// memory. Strings without one fall back to the merge; the sum S, and so the bound, is the same
// either way.
struct DenseCounts {
  std::vector<int16_t> table;  // DENSE_WIDTH entries per walk position, zero when not dense
  std::vector<uint8_t> dense;

  DenseCounts(std::span<const uint32_t> order, std::span<const CodePoints> strings,
              std::span<const CharCounts> counts)
      : table(order.size() * DENSE_WIDTH, 0), dense(order.size(), 0) {
    parallel_for(order.size(), [&](size_t p) {
      const uint32_t i = order[p];
      if (strings[i].size() > DENSE_MAX_LEN) return;
      if (!counts[i].empty() && counts[i].back().first >= DENSE_WIDTH) return;
      int16_t* row = table.data() + p * DENSE_WIDTH;
      for (const auto& [c, k] : counts[i]) row[c] = static_cast<int16_t>(k);
      dense[p] = 1;
    });
  }
};

// out[q - begin] = S of walk positions p and q, for q in [begin, end).
void dense_commons(const int16_t* table, size_t p, size_t begin, size_t end, uint32_t* out) {
  const int16_t* a = table + p * DENSE_WIDTH;
  for (size_t q = begin; q < end; ++q) {
    const int16_t* b = table + q * DENSE_WIDTH;
    int32_t s = 0;
    for (size_t c = 0; c < DENSE_WIDTH; ++c) s += std::min(a[c], b[c]);
    out[q - begin] = static_cast<uint32_t>(s);
  }
}

thread_local std::vector<uint32_t> ROW_COMMONS;

}  // namespace

double real_quick_ratio(size_t la, size_t lb) {
  const size_t total = la + lb;
  if (total == 0) return 1.0;
  return 2.0 * static_cast<double>(std::min(la, lb)) / static_cast<double>(total);
}

double quick_ratio_counts(const CharCounts& ca, const CharCounts& cb, size_t total) {
  if (total == 0) return 1.0;
  if (ca.empty() || cb.empty()) return 0.0;
  uint32_t common = 0;
  size_t i = 0, k = 0;
  while (i < ca.size() && k < cb.size()) {
    const uint32_t x = ca[i].first, y = cb[k].first;
    if (x == y) {
      common += std::min(ca[i].second, cb[k].second);
      ++i;
      ++k;
    } else if (x < y) {
      ++i;
    } else {
      ++k;
    }
  }
  return common_ratio(common, total);
}

std::vector<CandidatePair> candidate_pairs(std::span<const CodePoints> strings,
                                           std::span<const CharCounts> counts, double threshold) {
  const size_t n = strings.size();
  std::vector<uint32_t> order(n);
  std::iota(order.begin(), order.end(), 0u);
  std::stable_sort(order.begin(), order.end(), [&](uint32_t x, uint32_t y) {
    return strings[x].size() < strings[y].size();
  });

  std::vector<size_t> lengths(n);
  for (size_t p = 0; p < n; ++p) lengths[p] = strings[order[p]].size();
  const DenseCounts dense(order, strings, counts);

  auto row = [&](size_t p, std::vector<CandidatePair>& out) {
    const uint32_t x = order[p];
    const size_t lx = lengths[p];
    // The length bound only falls along the walk (later strings are at least as long), so the
    // row ends where it first drops below the threshold.
    const auto stop = std::partition_point(lengths.begin() + p + 1, lengths.end(), [&](size_t ly) {
      return !(threshold > real_quick_ratio(lx, ly));
    });
    const size_t begin = p + 1, end = static_cast<size_t>(stop - lengths.begin());
    std::vector<uint32_t>& commons = ROW_COMMONS;
    if (dense.dense[p] && begin < end) {
      commons.resize(end - begin);
      dense_commons(dense.table.data(), p, begin, end, commons.data());
    }
    for (size_t q = begin; q < end; ++q) {
      const uint32_t y = order[q];
      const size_t total = lx + lengths[q];
      const double bound = dense.dense[p] && dense.dense[q]
                               ? (total == 0 ? 1.0 : common_ratio(commons[q - begin], total))
                               : quick_ratio_counts(counts[x], counts[y], total);
      if (threshold > bound) continue;
      out.push_back({std::min(x, y), std::max(x, y)});
    }
  };

  std::vector<CandidatePair> pairs;
  if (n < MIN_PARALLEL_ITEMS) {
    for (size_t p = 0; p < n; ++p) row(p, pairs);
    return pairs;
  }
  std::vector<std::vector<CandidatePair>> rows(n);
  parallel_for(n, [&](size_t p) { row(p, rows[p]); });
  size_t total = 0;
  for (const auto& r : rows) total += r.size();
  pairs.reserve(total);
  for (auto& r : rows) {
    pairs.insert(pairs.end(), r.begin(), r.end());
    std::vector<CandidatePair>().swap(r);
  }
  return pairs;
}

}  // namespace ratiokit
