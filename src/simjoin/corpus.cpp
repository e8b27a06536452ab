// Tested by simjoin_test.cpp.
#include <algorithm>
#include <cassert>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <limits>
#include <string_view>

#include "parallel/parallel.hpp"
#include "simjoin/simjoin.hpp"

namespace ratiokit {
namespace {

constexpr size_t NOT_SEEN = std::numeric_limits<size_t>::max();

// Token text -> first-seen id. Open addressing over string_views into the caller's documents, so
// no token is copied; each slot packs the high half of the hash with id + 1, so a probe compares
// strings only on a 32-bit hash match.
struct Vocab {
  std::vector<uint64_t> slots = std::vector<uint64_t>(1024, 0);  // 0: empty
  std::vector<std::string_view> keys;                             // by id
  std::vector<uint64_t> hashes;                                   // by id, for regrowth

  static uint64_t pack(uint64_t h, size_t id) { return (h & ~uint64_t{0xffffffff}) | (id + 1); }

  void place(uint64_t h, size_t id) {
    const size_t mask = slots.size() - 1;
    size_t pos = static_cast<size_t>(h ^ (h >> 32)) & mask;
    while (slots[pos] != 0) pos = (pos + 1) & mask;
    slots[pos] = pack(h, id);
  }

  void grow() {
    slots.assign(slots.size() * 2, 0);
    for (size_t id = 0; id < keys.size(); ++id) place(hashes[id], id);
  }

  size_t find(std::string_view token) const {
    const uint64_t h = std::hash<std::string_view>{}(token);
    const size_t mask = slots.size() - 1;
    const uint64_t tag = h & ~uint64_t{0xffffffff};
    for (size_t pos = static_cast<size_t>(h ^ (h >> 32)) & mask;; pos = (pos + 1) & mask) {
      const uint64_t slot = slots[pos];
      if (slot == 0) return NOT_SEEN;
      const size_t id = static_cast<size_t>(slot & 0xffffffff) - 1;
      if ((slot & ~uint64_t{0xffffffff}) == tag && keys[id] == token) return id;
    }
  }

  uint32_t intern(std::string_view token) {
    const uint64_t h = std::hash<std::string_view>{}(token);
    const size_t mask = slots.size() - 1;
    const uint64_t tag = h & ~uint64_t{0xffffffff};
    for (size_t pos = static_cast<size_t>(h ^ (h >> 32)) & mask;; pos = (pos + 1) & mask) {
      const uint64_t slot = slots[pos];
      if (slot == 0) break;
      const size_t id = static_cast<size_t>(slot & 0xffffffff) - 1;
      if ((slot & ~uint64_t{0xffffffff}) == tag && keys[id] == token) {
        return static_cast<uint32_t>(id);
      }
    }
    const size_t id = keys.size();
    // Ids are 32-bit and the slot stores id + 1 in 32 bits.
    assert(id < std::numeric_limits<uint32_t>::max() - 1);
    keys.push_back(token);
    hashes.push_back(h);
    if (keys.size() * 2 > slots.size()) {
      grow();
    } else {
      place(h, id);
    }
    return static_cast<uint32_t>(id);
  }
};

// Token occurrences with ids already dense in [0, n_ids).
struct FlatRows {
  std::vector<size_t> offsets;  // n_docs + 1
  std::vector<uint32_t> ids;
  std::vector<double> weights;
  size_t n_ids = 0;
};

// Gives every occurrence its id's idf as weight.
void weigh_by_idf(FlatRows& rows, std::span<const double> idf) {
  rows.n_ids = idf.size();
  rows.weights.resize(rows.ids.size());
  for (size_t k = 0; k < rows.ids.size(); ++k) rows.weights[k] = idf[rows.ids[k]];
}

// Euclidean length of the per-term sums, added in ascending id order so that the result does not
// depend on token order or on any hash seed. When the squares overflow or underflow (only
// reachable through extreme weights in corpus_from_rows) it rescales by the largest magnitude
// rather than turn a real vector into zeros, infinities or an empty vector.
double norm_of(const std::vector<uint32_t>& ids, const std::vector<double>& sums) {
  double sq = 0.0;
  for (uint32_t id : ids) sq += sums[id] * sums[id];
  if (sq >= DBL_MIN && sq <= DBL_MAX) return std::sqrt(sq);
  double big = 0.0;
  for (uint32_t id : ids) big = std::max(big, std::fabs(sums[id]));
  if (!(big > 0.0) || !std::isfinite(big)) return std::sqrt(sq);
  double scaled = 0.0;
  for (uint32_t id : ids) {
    const double r = sums[id] / big;
    scaled += r * r;
  }
  return big * std::sqrt(scaled);
}

UnitVectors unit_rows(const FlatRows& rows) {
  const size_t n_docs = rows.offsets.size() - 1;
  UnitVectors out;
  out.offsets.assign(n_docs + 1, 0);

  // Unit vectors, entries in ascending id order for now.
  std::vector<double> sums(rows.n_ids, 0.0);
  std::vector<size_t> seen_in(rows.n_ids, NOT_SEEN);
  std::vector<double>& max_w = out.max_weight;
  max_w.assign(rows.n_ids, -1.0);  // -1: id not yet in any non-empty vector
  std::vector<uint32_t> distinct;
  std::vector<uint32_t>& ids = out.ids;
  ids.reserve(rows.ids.size());
  out.weights.reserve(rows.ids.size());
  const CancelCheck check;
  for (size_t d = 0; d < n_docs; ++d) {
    check();
    distinct.clear();
    for (size_t k = rows.offsets[d]; k < rows.offsets[d + 1]; ++k) {
      const uint32_t id = rows.ids[k];
      if (seen_in[id] != d) {
        seen_in[id] = d;
        distinct.push_back(id);
        sums[id] = rows.weights[k];
      } else {
        sums[id] += rows.weights[k];
      }
    }
    std::sort(distinct.begin(), distinct.end());
    const double norm = norm_of(distinct, sums);
    if (norm > 0.0) {
      for (uint32_t id : distinct) {
        const double w = sums[id] / norm;
        ids.push_back(id);
        out.weights.push_back(w);
        double& m = max_w[id];
        if (m < 0.0) m = 0.0;
        if (w > m) m = w;
      }
    }
    out.offsets[d + 1] = ids.size();
  }
  return out;
}

}  // namespace

TermOrder term_order(std::span<const double> max_w) {
  // Term numbers rise with the largest weight a term can contribute, which the join's prefix
  // bounds rely on; ties keep id order. max_w is never NaN, so the order is strict and weak.
  std::vector<uint32_t> order;
  for (size_t id = 0; id < max_w.size(); ++id) {
    if (max_w[id] >= 0.0) order.push_back(static_cast<uint32_t>(id));
  }
  std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
    return max_w[a] < max_w[b] || (max_w[a] == max_w[b] && a < b);
  });
  TermOrder out;
  out.term_of.assign(max_w.size(), 0);
  out.max_weight.resize(order.size());
  for (size_t r = 0; r < order.size(); ++r) {
    out.term_of[order[r]] = static_cast<uint32_t>(r);
    out.max_weight[r] = max_w[order[r]];
  }
  return out;
}

Corpus corpus_of(UnitVectors vectors, const TermOrder& order) {
  Corpus corpus;
  const size_t n_docs = vectors.offsets.size() - 1;
  corpus.n_docs = n_docs;
  corpus.offsets = std::move(vectors.offsets);
  corpus.weights = std::move(vectors.weights);
  corpus.max_weight = order.max_weight;
  corpus.n_terms = order.max_weight.size();
  const std::vector<uint32_t>& ids = vectors.ids;
  corpus.terms.resize(ids.size());
  for (size_t k = 0; k < ids.size(); ++k) corpus.terms[k] = order.term_of[ids[k]];
  parallel_for_chunks(n_docs, 256, [&](size_t begin, size_t end) {
    std::vector<std::pair<uint32_t, double>> entries;
    for (size_t d = begin; d < end; ++d) {
      const size_t lo = corpus.offsets[d];
      const size_t hi = corpus.offsets[d + 1];
      entries.clear();
      for (size_t k = lo; k < hi; ++k) entries.emplace_back(corpus.terms[k], corpus.weights[k]);
      std::sort(entries.begin(), entries.end(),
                [](const auto& a, const auto& b) { return a.first < b.first; });
      for (size_t k = lo; k < hi; ++k) {
        corpus.terms[k] = entries[k - lo].first;
        corpus.weights[k] = entries[k - lo].second;
      }
    }
  });
  return corpus;
}

namespace {

Corpus corpus_from_flat_rows(const FlatRows& rows) {
  UnitVectors vectors = unit_rows(rows);
  const TermOrder order = term_order(vectors.max_weight);
  return corpus_of(std::move(vectors), order);
}

// Interns the tokens of n_docs documents in first-seen order: their ids, one per occurrence,
// into rows, and the number of documents holding each id into df. for_each_token(d, f) calls
// f(std::string_view) on each token of document d in order.
template <class ForEachToken>
void intern_tokens(size_t n_docs, size_t n_tokens, const ForEachToken& for_each_token,
                   Vocab& vocab, FlatRows& rows, std::vector<uint64_t>& df) {
  rows.offsets.assign(n_docs + 1, 0);
  rows.ids.reserve(n_tokens);
  std::vector<size_t> last_doc;
  const CancelCheck check;
  for (size_t d = 0; d < n_docs; ++d) {
    check();
    for_each_token(d, [&](std::string_view token) {
      const uint32_t id = vocab.intern(token);
      if (id == df.size()) {
        df.push_back(0);
        last_doc.push_back(NOT_SEEN);
      }
      if (last_doc[id] != d) {
        last_doc[id] = d;
        ++df[id];
      }
      rows.ids.push_back(id);
    });
    rows.offsets[d + 1] = rows.ids.size();
  }
  rows.n_ids = df.size();
}

void intern_tokens(const std::vector<std::vector<std::string>>& docs, Vocab& vocab,
                   FlatRows& rows, std::vector<uint64_t>& df) {
  size_t n_tokens = 0;
  for (const auto& doc : docs) n_tokens += doc.size();
  intern_tokens(
      docs.size(), n_tokens,
      [&](size_t d, const auto& f) {
        for (const std::string& token : docs[d]) f(token);
      },
      vocab, rows, df);
}

DocFrequencies frequencies_of(Vocab& vocab, FlatRows& rows, std::vector<uint64_t>& counts) {
  DocFrequencies out;
  out.counts = std::move(counts);
  out.tokens = std::move(vocab.keys);
  out.offsets = std::move(rows.offsets);
  out.ids = std::move(rows.ids);
  return out;
}

}  // namespace

Corpus corpus_from_token_docs(const std::vector<std::vector<std::string>>& docs) {
  FlatRows rows;
  Vocab vocab;
  std::vector<uint64_t> df;
  intern_tokens(docs, vocab, rows, df);
  weigh_by_idf(rows, idf_weights(df, docs.size()));
  return corpus_from_flat_rows(rows);
}

DocFrequencies doc_frequencies(const std::vector<std::vector<std::string>>& docs) {
  FlatRows rows;
  Vocab vocab;
  std::vector<uint64_t> counts;
  intern_tokens(docs, vocab, rows, counts);
  return frequencies_of(vocab, rows, counts);
}

DocFrequencies doc_frequencies(const FlatDocs& docs) {
  FlatRows rows;
  Vocab vocab;
  std::vector<uint64_t> counts;
  const size_t n_docs = docs.doc_offsets.size() - 1;
  intern_tokens(
      n_docs, docs.doc_offsets[n_docs] - docs.doc_offsets[0],
      [&](size_t d, const auto& f) {
        for (uint64_t k = docs.doc_offsets[d]; k < docs.doc_offsets[d + 1]; ++k) {
          const uint64_t at = docs.token_offsets[k];
          f(docs.data.substr(at, docs.token_offsets[k + 1] - at));
        }
      },
      vocab, rows, counts);
  return frequencies_of(vocab, rows, counts);
}

std::vector<double> idf_weights(std::span<const uint64_t> df, uint64_t n_docs) {
  std::vector<double> idf(df.size());
  for (size_t id = 0; id < df.size(); ++id) {
    const double df_id = static_cast<double>(std::max<uint64_t>(df[id], 1));
    idf[id] = std::log(static_cast<double>(n_docs) / df_id);
  }
  return idf;
}

struct TokenIds::Table {
  Vocab vocab;
};

TokenIds::TokenIds(std::span<const std::string> vocabulary) : table_(std::make_unique<Table>()) {
  for (const std::string& token : vocabulary) table_->vocab.intern(token);
}
TokenIds::TokenIds(TokenIds&&) noexcept = default;
TokenIds::~TokenIds() = default;

size_t TokenIds::find(std::string_view token) const { return table_->vocab.find(token); }
size_t TokenIds::size() const { return table_->vocab.keys.size(); }

UnitVectors unit_vectors(const std::vector<std::vector<std::string>>& docs, const TokenIds& ids,
                         std::span<const double> idf) {
  std::vector<size_t> offsets(docs.size() + 1, 0);
  std::vector<uint32_t> token_ids;
  for (size_t d = 0; d < docs.size(); ++d) {
    for (const std::string& token : docs[d]) {
      const size_t id = ids.find(token);
      if (id >= idf.size()) throw std::out_of_range("token missing from the vocabulary");
      token_ids.push_back(static_cast<uint32_t>(id));
    }
    offsets[d + 1] = token_ids.size();
  }
  return unit_vectors_of_ids(std::move(offsets), std::move(token_ids), idf);
}

UnitVectors unit_vectors_of_ids(std::vector<size_t> offsets, std::vector<uint32_t> ids,
                                std::span<const double> idf) {
  FlatRows rows;
  rows.offsets = std::move(offsets);
  rows.ids = std::move(ids);
  weigh_by_idf(rows, idf);
  return unit_rows(rows);
}

Corpus corpus_from_rows(const std::vector<std::vector<std::pair<uint32_t, double>>>& rows) {
  // Ids may be sparse; renumbering them by rank keeps their order, which breaks ties between
  // equal maxima, while every table below stays dense.
  std::vector<uint32_t> distinct;
  for (const auto& row : rows) {
    for (const auto& [id, w] : row) distinct.push_back(id);
  }
  std::sort(distinct.begin(), distinct.end());
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());

  FlatRows flat;
  flat.offsets.reserve(rows.size() + 1);
  flat.offsets.push_back(0);
  for (const auto& row : rows) {
    for (const auto& [id, w] : row) {
      const auto at = std::lower_bound(distinct.begin(), distinct.end(), id);
      flat.ids.push_back(static_cast<uint32_t>(at - distinct.begin()));
      flat.weights.push_back(w);
    }
    flat.offsets.push_back(flat.ids.size());
  }
  flat.n_ids = distinct.size();
  return corpus_from_flat_rows(flat);
}

}  // namespace ratiokit
