// The two upper bounds and the candidate pairs they admit. Tested by
// tests/cpp/cluster_test.cpp and, end to end, by tests/test_cluster.py.
#include <algorithm>
#include <array>
#include <bit>
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
//
// Most pairs within the length bound fail the count bound, and reading 256 bytes of histogram
// (or merging two count lists) for each of them makes the walk memory-bound. So every string of
// at most DENSE_MAX_LEN characters also gets a coarse histogram of COARSE_WIDTH buckets, one
// cache line, each bucket the total count of a group of characters. The minimum of two sums is at
// least the sum of the minima, so the coarse S is an upper bound on the fine one and a pair it
// rejects fails the fine bound too. ASCII characters are grouped so that the buckets hold about
// equal shares of the input's ASCII characters, which keeps the coarse bound close to the fine
// one (on source code it passes about one pair in forty); other characters are spread by a hash.
constexpr size_t COARSE_WIDTH = 32;

inline size_t coarse_bucket(uint32_t c, const std::array<uint8_t, DENSE_WIDTH>& group) {
  return c < DENSE_WIDTH ? group[c] : (c * 2654435761u) >> 27;  // top 5 bits: 0..31
}
static_assert(COARSE_WIDTH == 32, "coarse_bucket hashes to 5 bits");

// Group of each ASCII character: by descending total count, each into the lightest bucket.
std::array<uint8_t, DENSE_WIDTH> balanced_groups(std::span<const uint32_t> order,
                                                 std::span<const CharCounts> counts) {
  std::array<uint64_t, DENSE_WIDTH> total{};
  for (const uint32_t i : order) {
    for (const auto& [c, k] : counts[i]) {
      if (c >= DENSE_WIDTH) break;  // ascending characters
      total[c] += k;
    }
  }
  std::array<uint8_t, DENSE_WIDTH> chars{};
  std::iota(chars.begin(), chars.end(), uint8_t{0});
  std::stable_sort(chars.begin(), chars.end(),
                   [&](uint8_t x, uint8_t y) { return total[x] > total[y]; });
  std::array<uint64_t, COARSE_WIDTH> load{};
  std::array<uint8_t, DENSE_WIDTH> group{};
  for (const uint8_t c : chars) {
    const auto lightest =
        static_cast<uint8_t>(std::min_element(load.begin(), load.end()) - load.begin());
    group[c] = lightest;
    load[lightest] += total[c];
  }
  return group;
}

// S of two histogram rows of WIDTH columns. Rows with a histogram count at most DENSE_MAX_LEN
// characters, so S fits 16 bits, and summing in 16-bit lanes halves the work of the widening
// sum.
template <size_t WIDTH>
inline uint32_t common_rows(const int16_t* a, const int16_t* b) {
  static_assert(DENSE_MAX_LEN <= UINT16_MAX);
  uint16_t s = 0;
  for (size_t c = 0; c < WIDTH; ++c) s = static_cast<uint16_t>(s + std::min(a[c], b[c]));
  return s;
}

// S of two rows of a histogram table of WIDTH columns (walk positions p and q). On the coarse
// table it is an upper bound on the fine table's S.
template <size_t WIDTH>
inline uint32_t common_of(const int16_t* table, size_t p, size_t q) {
  return common_rows<WIDTH>(table + p * WIDTH, table + q * WIDTH);
}

inline uint32_t coarse_common(const int16_t* coarse, size_t p, size_t q) {
  return common_of<COARSE_WIDTH>(coarse, p, q);
}

inline uint32_t dense_common(const int16_t* table, size_t p, size_t q) {
  return common_of<DENSE_WIDTH>(table, p, q);
}

}  // namespace

DenseCounts::DenseCounts(std::span<const uint32_t> order, std::span<const CodePoints> strings,
                         std::span<const CharCounts> counts)
    : table(new int16_t[order.size() * DENSE_WIDTH]),
      coarse(new int16_t[order.size() * COARSE_WIDTH]),
      dense(order.size(), 0), has_coarse(order.size(), 0) {
  parallel_for(order.size(), [&](size_t p) {
    int16_t* row = table.get() + p * DENSE_WIDTH;
    std::fill_n(row, DENSE_WIDTH, int16_t{0});
    std::fill_n(coarse.get() + p * COARSE_WIDTH, COARSE_WIDTH, int16_t{0});
    const uint32_t i = order[p];
    if (strings[i].size() > DENSE_MAX_LEN) return;
    has_coarse[p] = 1;
    if (!counts[i].empty() && counts[i].back().first >= DENSE_WIDTH) return;
    for (const auto& [c, k] : counts[i]) row[c] = static_cast<int16_t>(k);
    dense[p] = 1;
  });
  const std::array<uint8_t, DENSE_WIDTH> group = balanced_groups(order, counts);
  parallel_for(order.size(), [&](size_t p) {
    if (!has_coarse[p]) return;
    int16_t* out = coarse.get() + p * COARSE_WIDTH;
    // At most DENSE_MAX_LEN characters in all, so no bucket overflows.
    for (const auto& [c, k] : counts[order[p]]) {
      int16_t& cell = out[coarse_bucket(c, group)];
      cell = static_cast<int16_t>(cell + static_cast<int16_t>(k));
    }
  });
}

bool DenseCounts::coarse_rejects(size_t p, size_t q, size_t total, double threshold) const {
  return has_coarse[p] && has_coarse[q] && total > 0 &&
         threshold > common_ratio(coarse_common(coarse.get(), p, q), total);
}

void DenseCounts::coarse_survivors(size_t p, std::span<const uint32_t> qs, size_t total,
                                   double threshold, std::vector<uint32_t>& out) const {
  if (!has_coarse[p] || total == 0) {
    out.insert(out.end(), qs.begin(), qs.end());
    return;
  }
  // common_ratio rises with the count, so with one total the test is a count to reach: the
  // same smallest count whose ratio reaches the threshold that the threshold tests use.
  const uint64_t need = need_count(threshold, total);
  // A copy of p's row, which the compiler cannot keep in registers while `out` may alias it.
  std::array<int16_t, COARSE_WIDTH> row;
  std::copy_n(coarse.get() + p * COARSE_WIDTH, COARSE_WIDTH, row.begin());
  for (const uint32_t q : qs) {
    const int16_t* other = coarse.get() + q * COARSE_WIDTH;
    if (!has_coarse[q] || common_rows<COARSE_WIDTH>(row.data(), other) >= need) out.push_back(q);
  }
}

double DenseCounts::bound(size_t p, size_t q, const CharCounts& cp, const CharCounts& cq,
                          size_t total) const {
  return dense[p] && dense[q] && total > 0 ? common_ratio(dense_common(table.get(), p, q), total)
                                           : quick_ratio_counts(cp, cq, total);
}

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

namespace {
// Root of x without writing: the forest is shared read-only while rows run in parallel.
uint32_t uf_root(const uint32_t* parent, uint32_t x) {
  while (parent[x] != x) x = parent[x];
  return x;
}

}  // namespace

// The length-sorted walk behind both candidate_pairs and CandidateStream.
struct CandidateWalk {
  std::span<const CodePoints> strings;
  std::span<const CharCounts> counts;
  double threshold;
  size_t split;  // 0, or the first index of the second side: only pairs across it are walked
  std::vector<uint32_t> order;
  std::vector<size_t> lengths;
  DenseCounts dense;

  static std::vector<uint32_t> length_order(std::span<const CodePoints> strings,
                                            std::span<const uint32_t> members) {
    std::vector<uint32_t> order(members.begin(), members.end());
    if (members.empty()) {
      order.resize(strings.size());
      std::iota(order.begin(), order.end(), 0u);
    }
    std::stable_sort(order.begin(), order.end(), [&](uint32_t x, uint32_t y) {
      return strings[x].size() < strings[y].size();
    });
    return order;
  }

  CandidateWalk(std::span<const CodePoints> strings, std::span<const CharCounts> counts,
                double threshold, size_t split, std::vector<uint32_t> sorted)
      : strings(strings), counts(counts), threshold(threshold), split(split),
        order(std::move(sorted)),
        lengths(lengths_of(strings, order)), dense(order, strings, counts) {}

  static std::vector<size_t> lengths_of(std::span<const CodePoints> strings,
                                        std::span<const uint32_t> order) {
    std::vector<size_t> out(order.size());
    for (size_t p = 0; p < order.size(); ++p) out[p] = strings[order[p]].size();
    return out;
  }

  // One past the last walk position whose length bound with row p reaches the threshold. The
  // length bound only falls along the walk (later strings are at least as long), so the row
  // ends where it first drops below.
  size_t row_end(size_t p) const {
    const size_t lx = lengths[p];
    const auto stop = std::partition_point(lengths.begin() + p + 1, lengths.end(), [&](size_t ly) {
      return !(threshold > real_quick_ratio(lx, ly));
    });
    return static_cast<size_t>(stop - lengths.begin());
  }

  // Row p's pairs whose count bound reaches the threshold, in walk order, as emit(x, y, bound).
  // With a forest, pairs it already connects are left out (their fine bound is never computed).
  template <class Emit>
  void row(size_t p, const uint32_t* parent, Emit&& emit) const {
    const uint32_t x = order[p];
    const size_t begin = p + 1, end = row_end(p);
    if (begin >= end) return;
    const uint32_t rx = parent != nullptr ? uf_root(parent, x) : 0;
    const bool first_side = x < split;
    for (size_t q = begin; q < end; ++q) {
      const uint32_t y = order[q];
      if (split != 0 && (y < split) == first_side) continue;
      const size_t total = lengths[p] + lengths[q];
      if (dense.coarse_rejects(p, q, total, threshold)) continue;
      if (parent != nullptr && uf_root(parent, y) == rx) continue;
      const double b = dense.bound(p, q, counts[x], counts[y], total);
      if (!(threshold > b)) emit(x, y, b);
    }
  }
};

std::vector<CandidatePair> candidate_pairs(std::span<const CodePoints> strings,
                                           std::span<const CharCounts> counts, double threshold,
                                           Progress* progress) {
  return CandidateStream(strings, counts, threshold).all_pairs(progress);
}

std::vector<CandidatePair> CandidateStream::all_pairs(Progress* progress) const {
  const CandidateWalk& walk = *walk_;
  const size_t n = row_pairs_.size();
  auto row = [&](size_t p, std::vector<CandidatePair>& out) {
    walk.row(p, nullptr, [&](uint32_t x, uint32_t y, double) {
      out.push_back({std::min(x, y), std::max(x, y)});
    });
    progress_advance(progress, 1);
  };

  std::vector<CandidatePair> pairs;
  if (n < MIN_PARALLEL_ITEMS) {
    for (size_t p = 0; p < n; ++p) row(p, pairs);
    return pairs;
  }
  std::vector<std::vector<CandidatePair>> rows(n);
  parallel_for(n, [&](size_t p) { row(p, rows[p]); });
  append_pieces(rows, pairs);
  return pairs;
}

CandidateStream::CandidateStream(std::span<const CodePoints> strings,
                                 std::span<const CharCounts> counts, double threshold,
                                 size_t split, std::span<const uint32_t> members)
    : walk_(std::make_shared<const CandidateWalk>(
          strings, counts, threshold, split, CandidateWalk::length_order(strings, members))) {
  const CandidateWalk& walk = *walk_;
  row_pairs_ = parallel_map<uint64_t>(walk.order.size(), [&](size_t p) {
    return static_cast<uint64_t>(walk.row_end(p) - p - 1);
  });
  for (const uint64_t k : row_pairs_) window_pairs_ += k;
  end_row_ = row_pairs_.size();
}

void CandidateStream::limit_to_shard(size_t shard, size_t shards) {
  const size_t n = row_pairs_.size();
  shards = std::max<size_t>(shards, 1);
  // A row with no pair still costs its walk: each counts one besides its pairs.
  const long double total = static_cast<long double>(window_pairs_) + static_cast<long double>(n);
  auto cut = [&](size_t s) {
    if (s == 0) return size_t{0};
    if (s >= shards) return n;
    const long double target =
        total * static_cast<long double>(s) / static_cast<long double>(shards);
    long double seen = 0;
    size_t p = 0;
    while (p < n && seen + static_cast<long double>(row_pairs_[p] + 1) <= target) {
      seen += static_cast<long double>(row_pairs_[p] + 1);
      ++p;
    }
    return p;
  };
  next_row_ = std::min(cut(shard), n);
  end_row_ = std::max(next_row_, cut(shard + 1));
}

std::span<const uint32_t> CandidateStream::walk_order() const { return walk_->order; }

uint64_t CandidateStream::next_block(const std::vector<uint32_t>& parent, uint64_t budget,
                                     std::vector<KeyedPair>& out) {
  const CandidateWalk& walk = *walk_;
  const size_t n = row_pairs_.size();
  out.clear();
  const size_t begin = next_row_;
  uint64_t walked = 0;
  size_t end = begin;
  const size_t last = std::min(n, end_row_);
  while (end < last && (end == begin || walked + row_pairs_[end] <= budget)) {
    walked += row_pairs_[end++];
  }
  next_row_ = end;
  std::vector<std::vector<KeyedPair>> rows(end - begin);
  parallel_for(end - begin, [&](size_t k) {
    walk.row(begin + k, parent.empty() ? nullptr : parent.data(), [&](uint32_t x, uint32_t y, double bound) {
      rows[k].push_back({~std::bit_cast<uint64_t>(bound), std::min(x, y), std::max(x, y)});
    });
  }, 1);
  append_pieces(rows, out);
  return walked;
}

}  // namespace ratiokit
