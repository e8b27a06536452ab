// Order-preserving deduplication. Tested by tests/cpp/dedupe_test.cpp against the sequential
// rule, and end to end against difflib by tests/test_dedupe.py.
#include "dedupe/dedupe.hpp"

#include <algorithm>
#include <numeric>
#include <utility>

#include "cluster/cluster.hpp"
#include "parallel/parallel.hpp"
#include "ratio/ratio.hpp"

namespace ratiokit {
namespace {

constexpr uint32_t NONE = UINT32_MAX;

// The exact tests of one row against earlier rows k, ratio(strings[k], strings[row]). The row's
// LCS masks and automaton are built on its first test that needs them and serve all the others.
struct RowTest {
  RowTest(std::span<const CodePoints> rows, double t) : strings(rows), threshold(t) {}

  std::span<const CodePoints> strings;
  double threshold;
  size_t row = 0;
  bool masks_built = false, sam_built = false;
  LcsMasks masks;
  Sam sam;
  std::vector<uint64_t> lcs_row;

  void reset(size_t r) {
    row = r;
    masks_built = sam_built = false;
  }

  bool reached_by(size_t k) {
    const Text a = strings[k], b = strings[row];
    const uint64_t need = need_count(threshold, a.size() + b.size());
    if (need > 0 && std::min(a.size(), b.size()) < need) return false;
    // The LCS is symmetric, so the row can be the pattern for every k.
    if (need > 0 && a.size() * b.size() <= LCS_MAX_CELLS) {
      if (!masks_built) {
        masks.build(b);
        masks_built = true;
      }
      if (lcs_length(masks, a, lcs_row, need) < need) return false;
    }
    if (!sam_built) {
      build_sam_into(b, sam);
      sam_built = true;
    }
    return gestalt_ratio_reaches(a, b, sam, threshold).has_value();
  }
};

// Rows in order of length (ties by index), the order the histograms are stored in, so that
// the rows of one length lie side by side.
std::vector<uint32_t> length_order(std::span<const CodePoints> rows) {
  std::vector<uint32_t> order(rows.size());
  std::iota(order.begin(), order.end(), 0u);
  std::stable_sort(order.begin(), order.end(),
                   [&](uint32_t x, uint32_t y) { return rows[x].size() < rows[y].size(); });
  return order;
}

// The rows kept so far, by length: each length's rows by their place in the length order,
// which for rows of one length is their index order.
struct KeptIndex {
  std::vector<size_t> lengths;                   // the distinct lengths of all rows, ascending
  std::vector<uint32_t> rank;                    // per row: its length's place in `lengths`
  std::vector<std::pair<uint32_t, uint32_t>> window;  // per length: the lengths its bound admits
  std::vector<std::vector<uint32_t>> kept;       // per length: places in the length order
  size_t size = 0;

  KeptIndex(std::span<const CodePoints> rows, double threshold) {
    lengths.reserve(rows.size());
    for (const CodePoints& s : rows) lengths.push_back(s.size());
    std::sort(lengths.begin(), lengths.end());
    lengths.erase(std::unique(lengths.begin(), lengths.end()), lengths.end());
    rank.resize(rows.size());
    for (size_t r = 0; r < rows.size(); ++r) {
      rank[r] = static_cast<uint32_t>(
          std::lower_bound(lengths.begin(), lengths.end(), rows[r].size()) - lengths.begin());
    }
    // The length bound rises up to the row's own length and falls after it, so the lengths it
    // admits are one run of the ascending lengths.
    window.resize(lengths.size());
    for (size_t x = 0; x < lengths.size(); ++x) {
      const size_t lx = lengths[x];
      const auto lo = std::partition_point(lengths.begin(), lengths.end(), [&](size_t ly) {
        return ly < lx && threshold > real_quick_ratio(lx, ly);
      });
      const auto hi = std::partition_point(lo, lengths.end(), [&](size_t ly) {
        return ly <= lx || !(threshold > real_quick_ratio(lx, ly));
      });
      window[x] = {static_cast<uint32_t>(lo - lengths.begin()),
                   static_cast<uint32_t>(hi - lengths.begin())};
    }
    kept.resize(lengths.size());
  }

  void add(uint32_t r, uint32_t place) {
    kept[rank[r]].push_back(place);
    ++size;
  }
};

struct Deduper {
  std::span<const CodePoints> rows;
  double threshold;
  std::vector<CharCounts> counts;
  std::vector<uint32_t> order;  // rows by length
  std::vector<uint32_t> place;  // per row: its place in `order`
  DenseCounts table;            // by place
  KeptIndex index;

  Deduper(std::span<const CodePoints> strings, double t)
      : rows(strings), threshold(t),
        counts(parallel_map<CharCounts>(strings.size(),
                                        [&](size_t i) { return char_counts(strings[i]); })),
        order(length_order(strings)), place(places_of(order)), table(order, strings, counts),
        index(strings, t) {}

  static std::vector<uint32_t> places_of(std::span<const uint32_t> order) {
    std::vector<uint32_t> out(order.size());
    for (size_t p = 0; p < order.size(); ++p) out[order[p]] = static_cast<uint32_t>(p);
    return out;
  }

  // The rows of a run of places of one length whose index lies in [from, to): places of one
  // length ascend with the index.
  std::span<const uint32_t> within(std::span<const uint32_t> run, uint32_t from,
                                   uint32_t to) const {
    const auto lo = std::partition_point(run.begin(), run.end(),
                                         [&](uint32_t p) { return order[p] < from; });
    const auto hi = std::partition_point(lo, run.end(), [&](uint32_t p) { return order[p] < to; });
    return {lo, hi};
  }

  // The first row of `places` (the coarse survivors for row r) that reaches it, or NONE: the
  // fine count bound over all of them, then the exact tests in index order up to the first hit.
  uint32_t settle(uint32_t r, std::vector<uint32_t>& places, RowTest& test) const {
    const uint32_t pr = place[r];
    const size_t lr = rows[r].size();
    size_t open = 0;
    for (const uint32_t pq : places) {
      const uint32_t q = order[pq];
      const size_t total = rows[q].size() + lr;
      if (!(threshold > table.bound(pq, pr, counts[q], counts[r], total))) places[open++] = q;
    }
    if (open == 0) return NONE;
    places.resize(open);
    std::sort(places.begin(), places.end());
    test.reset(r);
    for (const uint32_t q : places) {
      if (test.reached_by(q)) return q;
    }
    return NONE;
  }

  // The first row, by index in [from, to), of `by_length` (places, per length, ascending) that
  // reaches row r, or NONE. Only the lengths r's length bound admits are read.
  uint32_t first_hit(uint32_t r, const std::vector<std::vector<uint32_t>>& by_length,
                     uint32_t from, uint32_t to, RowTest& test,
                     std::vector<uint32_t>& scratch) const {
    scratch.clear();
    const uint32_t pr = place[r];
    const size_t lr = rows[r].size();
    const auto [lo, hi] = index.window[index.rank[r]];
    for (uint32_t x = lo; x < hi; ++x) {
      table.coarse_survivors(pr, within(by_length[x], from, to), index.lengths[x] + lr,
                             threshold, scratch);
    }
    return settle(r, scratch, test);
  }

  // hit[k] = the first kept row reaching row `first` + k, for k in [lo, hi). The same as
  // first_hit on the kept rows for each, with the loops the other way round: lengths outside,
  // rows inside, so that the histograms of each length's kept rows are read from memory once
  // for all these rows rather than once per row.
  void first_kept_hits(uint32_t first, size_t lo, size_t hi, std::span<uint32_t> hit,
                       RowTest& test, std::vector<std::vector<uint32_t>>& found) const {
    const CancelCheck check;
    if (found.size() < hi - lo) found.resize(hi - lo);
    uint32_t x_lo = UINT32_MAX, x_hi = 0;
    for (size_t k = lo; k < hi; ++k) {
      found[k - lo].clear();
      const auto [a, b] = index.window[index.rank[first + k]];
      x_lo = std::min(x_lo, a);
      x_hi = std::max(x_hi, b);
    }
    for (uint32_t x = x_lo; x < x_hi; ++x) {
      const std::vector<uint32_t>& run = index.kept[x];
      if (run.empty()) continue;
      check();
      for (size_t k = lo; k < hi; ++k) {
        const auto r = static_cast<uint32_t>(first + k);
        const auto [a, b] = index.window[index.rank[r]];
        if (x < a || x >= b) continue;
        table.coarse_survivors(place[r], run, index.lengths[x] + rows[r].size(), threshold,
                               found[k - lo]);
      }
    }
    for (size_t k = lo; k < hi; ++k) {
      check();
      hit[k] = settle(static_cast<uint32_t>(first + k), found[k - lo], test);
    }
  }

  // Calls row_hit(k, test, scratch) for every k in [0, n) on the ambient pool.
  template <class F>
  void for_rows(size_t n, F&& row_hit) const {
    parallel_for_chunks(n, MIN_PARALLEL_ITEMS, [&](size_t lo, size_t hi) {
      const CancelCheck check;
      RowTest test(rows, threshold);
      std::vector<uint32_t> scratch;
      for (size_t k = lo; k < hi; ++k) {
        check();
        row_hit(k, test, scratch);
      }
    });
  }

  // One representative per row (the row itself when kept).
  std::vector<uint32_t> run(size_t max_block, Progress* progress) {
    const size_t n = rows.size();
    std::vector<uint32_t> label(n);
    const size_t min_block = std::max<size_t>(1, max_block / 16);
    std::vector<uint32_t> open;
    // The open rows of the block, by length like the kept ones.
    std::vector<std::vector<uint32_t>> open_by_length(index.lengths.size());
    RowTest serial(rows, threshold);
    std::vector<uint32_t> serial_scratch;
    size_t begin = 0;
    while (begin < n) {
      const size_t end = std::min(n, begin + std::clamp(index.size, min_block, max_block));
      const auto first = static_cast<uint32_t>(begin);
      // Every row against the rows kept before the block.
      std::vector<uint32_t> hit(end - begin, NONE);
      parallel_for_chunks(end - begin, MIN_PARALLEL_ITEMS, [&](size_t lo, size_t hi) {
        RowTest test(rows, threshold);
        std::vector<std::vector<uint32_t>> found;
        first_kept_hits(first, lo, hi, hit, test, found);
      });
      // The rows with no hit there against the earlier such rows of the block: one of those is
      // kept unless it hit something itself.
      open.clear();
      for (size_t k = 0; k < hit.size(); ++k) {
        if (hit[k] != NONE) continue;
        const auto r = static_cast<uint32_t>(begin + k);
        open.push_back(r);
        open_by_length[index.rank[r]].push_back(place[r]);
      }
      std::vector<uint32_t> open_hit(open.size(), NONE);
      for_rows(open.size(), [&](size_t j, RowTest& test, std::vector<uint32_t>& scratch) {
        open_hit[j] = first_hit(open[j], open_by_length, first, open[j], test, scratch);
      });
      // Settle the block in order. A row whose first open hit was dropped looks further.
      size_t j = 0;
      for (size_t k = 0; k < hit.size(); ++k) {
        const auto r = static_cast<uint32_t>(begin + k);
        if (hit[k] != NONE) {
          label[r] = hit[k];
          continue;
        }
        uint32_t q = open_hit[j++];
        while (q != NONE && label[q] != q) {
          q = first_hit(r, open_by_length, q + 1, r, serial, serial_scratch);
        }
        if (q == NONE) {
          label[r] = r;
          index.add(r, place[r]);
        } else {
          label[r] = q;
        }
      }
      for (const uint32_t r : open) open_by_length[index.rank[r]].clear();
      begin = end;
      progress_set(progress, begin);
      progress_tick(progress, "dedupe: %zu/%zu rows, %zu kept", begin, n, index.size);
    }
    return label;
  }
};

}  // namespace

std::vector<size_t> dedupe_chars(std::span<const CodePoints> strings, double threshold,
                                 Progress* progress, size_t max_block) {
  const size_t n = strings.size();
  std::vector<size_t> labels(n);
  if (n == 0) return labels;
  // Every pair reaches a NaN or non-positive threshold, and none one above 1.0.
  if (!(threshold > 0.0)) return labels;
  std::iota(labels.begin(), labels.end(), size_t{0});
  if (threshold > 1.0) return labels;

  // Copies of a value reach each other (1.0) and every row that reaches one reaches all, so a
  // copy goes where the value's first occurrence goes, and the distinct values, in order of
  // first occurrence, meet the kept rows in the same order as the rows do.
  DistinctStrings distinct = distinct_strings(strings);
  const size_t d = distinct.first.size();
  const std::span<const CodePoints> values =
      d == n ? strings : std::span<const CodePoints>(distinct.values);
  progress_start(progress, "dedupe", d, "%zu strings, %zu distinct", n, d);
  const std::vector<uint32_t> label =
      Deduper(values, threshold).run(std::max<size_t>(1, max_block), progress);
  size_t kept = 0;
  for (size_t v = 0; v < d; ++v) {
    kept += label[v] == v;
    const size_t representative = distinct.first[label[v]];
    for (size_t k = distinct.offsets[v]; k < distinct.offsets[v + 1]; ++k) {
      labels[distinct.positions[k]] = representative;
    }
  }
  progress_end(progress, "%zu kept", kept);
  return labels;
}

}  // namespace ratiokit
