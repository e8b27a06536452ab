// Tested by simjoin_test.cpp.
#include <algorithm>
#include <cassert>
#include <cmath>
#include <limits>

#include "parallel/parallel.hpp"
#include "simjoin/simjoin.hpp"

namespace ratiokit {
namespace {

constexpr uint32_t NO_TERM = std::numeric_limits<uint32_t>::max();
// Smallest piece of the query range that a worker takes; smaller joins stay on one thread.
constexpr size_t MIN_PIECE = 256;
// Queries this long pay for the cheap whole-norm test before the binary search.
constexpr size_t FULL_NORM_TEST_MIN_ENTRIES = 24;
// Widens the candidate filters only, so rounding in a bound never drops a pair; the final test
// compares with t itself.
constexpr double BOUND_SLACK = 1e-9;

// One helper for every dot-product step, so the accumulator and the merge round identically even
// where a compiler would fuse multiply and add.
inline double add_product(double sum, double a, double b) { return sum + a * b; }

// What a query needs to know about an earlier document's unindexed prefix; one record, so a
// candidate costs one cache miss.
struct PrefixInfo {
  double norm = 0.0;              // length of the prefix
  uint32_t first_term = NO_TERM;  // first indexed term
  uint32_t split = 0;             // number of entries in the prefix
};

// Inverted index over the tail of each vector, built for one threshold.
struct Index {
  std::vector<size_t> start;  // n_terms + 1; postings of term t are start[t] .. start[t+1]
  std::vector<uint32_t> doc;  // ascending within each term
  std::vector<double> weight;
  std::vector<PrefixInfo> prefix;  // per document
};

// Only documents before index_end enter the index (their prefixes are recorded all the same).
Index build_index(const Corpus& c, double t, size_t index_end) {
  // Postings keep 32-bit document numbers, and prefixes 32-bit lengths.
  assert(c.n_docs <= NO_TERM && c.terms.size() <= NO_TERM);
  Index ix;
  ix.prefix.assign(c.n_docs, PrefixInfo{});
  ix.start.assign(c.n_terms + 1, 0);
  std::vector<size_t> split(c.n_docs);
  const CancelCheck check;
  for (size_t d = 0; d < c.n_docs; ++d) {
    check();
    const size_t lo = c.offsets[d];
    const size_t hi = c.offsets[d + 1];
    // Entries before the split cannot reach t with any partner, even at every term's maximum.
    size_t p = hi;
    double bound = 0.0;
    for (size_t k = lo; k < hi; ++k) {
      bound += c.weights[k] * c.max_weight[c.terms[k]];
      if (bound >= t) {
        p = k;
        break;
      }
    }
    double sq = 0.0;
    for (size_t k = lo; k < p; ++k) sq += c.weights[k] * c.weights[k];
    ix.prefix[d].norm = std::sqrt(sq);
    if (p < hi) ix.prefix[d].first_term = c.terms[p];
    ix.prefix[d].split = static_cast<uint32_t>(p - lo);
    split[d] = d < index_end ? p : hi;
    for (size_t k = split[d]; k < hi; ++k) ++ix.start[c.terms[k] + 1];
  }
  for (size_t term = 0; term < c.n_terms; ++term) ix.start[term + 1] += ix.start[term];
  ix.doc.resize(ix.start[c.n_terms]);
  ix.weight.resize(ix.start[c.n_terms]);
  std::vector<size_t> fill(ix.start.begin(), ix.start.end() - 1);
  for (size_t d = 0; d < c.n_docs; ++d) {
    for (size_t k = split[d]; k < c.offsets[d + 1]; ++k) {
      const size_t at = fill[c.terms[k]]++;
      ix.doc[at] = static_cast<uint32_t>(d);
      ix.weight[at] = c.weights[k];
    }
  }
  return ix;
}

// Adds to `sum` the products over the terms common to entries [p, pe) and [q, qe), in ascending
// term order. Branch-free: where the terms differ it adds +0.0, which leaves a non-negative sum
// unchanged bit for bit.
double add_common(const Corpus& c, size_t p, size_t pe, size_t q, size_t qe, double sum) {
  const uint32_t* terms = c.terms.data();
  const double* weights = c.weights.data();
  while (p < pe && q < qe) {
    const uint32_t a = terms[p];
    const uint32_t b = terms[q];
    sum = add_product(sum, a == b ? weights[p] : 0.0, weights[q]);
    p += a <= b;
    q += b <= a;
  }
  return sum;
}

// Number of entries of the sorted run [x, x + n) below key.
size_t count_below(const uint32_t* x, size_t n, uint32_t key) {
  if (n == 0) return 0;
  const uint32_t* base = x;
  while (n > 1) {
    const size_t half = n / 2;
    base = base[half] < key ? base + half : base;
    n -= half;
  }
  return static_cast<size_t>(base - x) + (*base < key);
}

// Working storage of one piece of the query range. acc is -1.0 (untouched) for every document
// between queries; each query resets exactly the entries it touched.
struct Scratch {
  std::vector<double> acc;
  std::vector<uint32_t> touched;
  std::vector<double> prefix_norms;
  std::vector<uint32_t> touched_before;  // per entry of the query: touches before its postings
};

std::vector<JoinRow> join_piece(const Corpus& c, const Index& ix, double t, size_t begin,
                                size_t end) {
  std::vector<JoinRow> out;
  Scratch s;
  // Queries only look back, so documents from `end` on are never touched here, and a query
  // touches each earlier document at most once.
  s.acc.assign(end, -1.0);
  s.touched.resize(end);
  double* acc = s.acc.data();
  uint32_t* touched = s.touched.data();
  // A piece can run for seconds; a query is the unit at which it may be cancelled.
  const CancelCheck check;
  for (size_t i = begin; i < end; ++i) {
    check();
    const size_t lo = c.offsets[i];
    const size_t hi = c.offsets[i + 1];
    size_t n_touched = 0;
    s.touched_before.resize(hi - lo + 1);
    for (size_t k = lo; k < hi; ++k) {
      s.touched_before[k - lo] = static_cast<uint32_t>(n_touched);
      const double wk = c.weights[k];
      const uint32_t term = c.terms[k];
      const uint32_t* doc = ix.doc.data() + ix.start[term];
      const uint32_t* doc_end = ix.doc.data() + ix.start[term + 1];
      const double* w = ix.weight.data() + ix.start[term];
      for (; doc < doc_end && *doc < i; ++doc, ++w) {
        const uint32_t y = *doc;
        const double a = acc[y];
        touched[n_touched] = y;
        n_touched += a < 0.0;
        acc[y] = add_product(std::max(a, 0.0), *w, wk);
      }
    }
    if (n_touched == 0) continue;

    const size_t len = hi - lo;
    s.prefix_norms.resize(len + 1);
    s.prefix_norms[0] = 0.0;
    double sq = 0.0;
    for (size_t k = 0; k < len; ++k) {
      sq += c.weights[lo + k] * c.weights[lo + k];
      s.prefix_norms[k + 1] = std::sqrt(sq);
    }
    const double full = s.prefix_norms[len];
    const uint32_t* x_terms = c.terms.data() + lo;
    s.touched_before[len] = static_cast<uint32_t>(n_touched);
    uint32_t touch = 0;  // the entry whose postings met touched[n] first

    for (size_t n = 0; n < n_touched; ++n) {
      while (s.touched_before[touch + 1] <= n) ++touch;
      const uint32_t y = touched[n];
      const double a = acc[y];
      acc[y] = -1.0;
      const PrefixInfo& py = ix.prefix[y];
      // a covers y's indexed tail; y's prefix adds at most py.norm times the length of x's part
      // below y's first indexed term (Cauchy-Schwarz).
      if (len >= FULL_NORM_TEST_MIN_ENTRIES && t - BOUND_SLACK > a + py.norm * full) continue;
      const size_t below = count_below(x_terms, len, py.first_term);
      if (a + py.norm * s.prefix_norms[below] < t - BOUND_SLACK) continue;
      // The exact cosine is the ascending-order sum over common terms: first those in y's prefix
      // (all below its first indexed term), then those in its indexed tail, which are what a
      // accumulated. The prefix part alone settles most candidates; and when it is zero, a
      // already is the full sum bit for bit.
      const size_t y_lo = c.offsets[y];
      const size_t y_split = y_lo + py.split;
      const double head = add_common(c, lo, lo + below, y_lo, y_split, 0.0);
      if (a + head < t - BOUND_SLACK) continue;
      const double dot =
          head == 0.0 ? a : add_common(c, lo + below, hi, y_split, c.offsets[y + 1], head);
      if (dot >= t) out.push_back(JoinRow{y, i, dot, touch});
    }
  }
  return out;
}

// Where run p of `pieces` runs of n queries ends, the runs of about equal work: a query walks
// postings of earlier documents only, so its cost grows about linearly with its number, and
// run p ends near n * sqrt(p / pieces). Rises with p, from 0 to n.
size_t query_cut(size_t n, size_t p, size_t pieces) {
  if (p >= pieces) return n;
  const double share = std::sqrt(static_cast<double>(p) / static_cast<double>(pieces));
  return static_cast<size_t>(static_cast<double>(n) * share);
}

// All the cuts, no run but the first shorter than min_piece (when n allows).
std::vector<size_t> query_cuts(size_t n, size_t pieces, size_t min_piece) {
  assert(pieces >= 1);
  std::vector<size_t> bounds(pieces + 1, n);
  bounds[0] = 0;
  for (size_t p = pieces - 1; p >= 1; --p) {
    bounds[p] = std::min(query_cut(n, p, pieces),
                         bounds[p + 1] >= min_piece ? bounds[p + 1] - min_piece : 0);
  }
  return bounds;
}

// The rows of queries [query_begin, query_end) against the documents before index_end, the
// queries spread over the ambient pool.
std::vector<JoinRow> join_queries(const Corpus& corpus, double t, size_t index_end,
                                  size_t query_begin, size_t query_end, Progress* progress) {
  query_end = std::min(query_end, corpus.n_docs);
  query_begin = std::min(query_begin, query_end);
  // A query looks back only, so later documents never need to be indexed.
  index_end = std::min(index_end, query_end);
  if (corpus.n_docs < 2 || index_end == 0 || query_begin == query_end) return {};
  const size_t n = query_end - query_begin;
  progress_start(progress, "join", n, "%zu documents", n);
  const Index ix = build_index(corpus, t, index_end);

  // A few pieces per thread absorb what the cuts leave uneven, and none is smaller than
  // MIN_PIECE.
  const size_t threads = std::max<size_t>(ambient_workers(), 1);
  const size_t n_pieces = std::max<size_t>(1, std::min(4 * threads, n / (2 * MIN_PIECE)));
  const std::vector<size_t> bounds = query_cuts(n, n_pieces, MIN_PIECE);
  std::vector<std::vector<JoinRow>> parts = parallel_map<std::vector<JoinRow>>(
      n_pieces,
      [&](size_t p) {
        std::vector<JoinRow> rows = join_piece(corpus, ix, t, query_begin + bounds[p],
                                               query_begin + bounds[p + 1]);
        progress_advance(progress, bounds[p + 1] - bounds[p]);
        return rows;
      },
      2);

  if (parts.size() == 1) {
    progress_end(progress, "%zu pairs", parts[0].size());
    return std::move(parts[0]);
  }
  size_t total = 0;
  for (const auto& part : parts) total += part.size();
  std::vector<JoinRow> rows;
  rows.reserve(total);
  for (const auto& part : parts) rows.insert(rows.end(), part.begin(), part.end());
  progress_end(progress, "%zu pairs", rows.size());
  return rows;
}

}  // namespace

std::vector<JoinRow> cosine_join(const Corpus& corpus, double t, Progress* progress) {
  return join_queries(corpus, t, corpus.n_docs, 0, corpus.n_docs, progress);
}

std::vector<JoinRow> cosine_join_range(const Corpus& corpus, double t, size_t index_end,
                                       size_t query_begin, Progress* progress) {
  return join_queries(corpus, t, index_end, query_begin, corpus.n_docs, progress);
}

std::vector<JoinRow> cosine_join_shard(const Corpus& corpus, double t, size_t shard,
                                       size_t shards, Progress* progress) {
  if (shard >= shards) return {};
  const size_t n = corpus.n_docs;
  return join_queries(corpus, t, n, query_cut(n, shard, shards), query_cut(n, shard + 1, shards),
                      progress);
}

}  // namespace ratiokit
