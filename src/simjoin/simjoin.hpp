// TF-IDF corpus and exact all-pairs cosine join over token documents.
//
// corpus_from_token_docs turns N token documents into unit-length TF-IDF vectors (idf = ln(N/df))
// in one compressed layout; term numbers rise with the largest weight a term takes in any
// document. cosine_join(corpus, t) returns every pair (j, i, cos) with j < i, cos >= t and at
// least one stored term in common, ascending in i. It follows the All-Pairs scheme (Bayardo,
// Ma, Srikant, WWW 2007): only the tail of each vector enters the inverted index, the prefix
// that alone cannot reach t stays out, and a candidate is merged only when a Cauchy-Schwarz
// bound on that prefix says it can reach t (the merge over the prefix alone settles most). Every
// reported cos is the dot product summed in ascending term order, the same bits whatever t.
//
// Cost: the corpus build is linear in the number of tokens plus a sort per document; the join
// is O(nnz) to index, plus for each query the postings it walks and one merge per surviving
// candidate; worst case (t <= 0, one shared term) it is quadratic, like its output.
//
// Threads: a Corpus is immutable and may be read by any number of threads. cosine_join builds
// its index on the calling thread and runs the queries on the ambient pool of
// parallel/parallel.hpp in pieces of at least 256 documents, each with its own scratch; the
// result never depends on the number of threads. Nothing here keeps state between calls. Under
// a CancelScope the build and the join stop at the next document or query.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "parallel/progress.hpp"

namespace ratiokit {

struct Corpus {
  std::vector<size_t> offsets{0};  // n_docs + 1; document d owns entries offsets[d] .. offsets[d+1]
  std::vector<uint32_t> terms;     // strictly ascending within a document
  std::vector<double> weights;     // unit-normalised TF-IDF weight of each entry
  std::vector<double> max_weight;  // per term number, largest weight in any document; ascending
  size_t n_docs = 0;
  size_t n_terms = 0;
};

// Tokens are compared as exact bytes. A document whose tokens all occur in every document (or
// that has none) gets an empty vector. Never fails.
Corpus corpus_from_token_docs(const std::vector<std::vector<std::string>>& docs);

// One (term id, weight) pair per token occurrence, one list per document. Occurrences of an id
// within a document are summed, each vector is scaled to unit length, and ids become term
// numbers ordered by (largest weight, id). The join's bounds hold for non-negative weights,
// which is all corpus_from_token_docs produces.
Corpus corpus_from_rows(const std::vector<std::vector<std::pair<uint32_t, double>>>& rows);

struct JoinRow {
  size_t j;
  size_t i;
  double cos;
  uint32_t touch = 0;  // the entry of i's vector whose postings met j first
};

// Every pair of documents sharing a term whose cosine reaches t (no tolerance), as j < i,
// ordered by i and, within one i, by first touch while walking i's terms. Never fails.
// Publishes phase "join" (documents whose queries are done, a piece at a time) to `progress`.
std::vector<JoinRow> cosine_join(const Corpus& corpus, double t, Progress* progress = nullptr);

// The pieces of the corpus build and of the join, for a join spread over several calls that
// share a vocabulary (ids in first-seen order over all documents), its idf and the term
// numbers; each equals what corpus_from_token_docs and cosine_join compute on all documents.

// Distinct tokens of `docs` in order of first occurrence, how many documents hold each, and
// every document as the ids (positions in `tokens`) of its token occurrences, so that its
// vectors can be made later without reading the tokens again.
struct DocFrequencies {
  std::vector<std::string_view> tokens;  // views into docs
  std::vector<uint64_t> counts;
  std::vector<size_t> offsets{0};  // document d owns ids[offsets[d] .. offsets[d + 1]]
  std::vector<uint32_t> ids;
};
DocFrequencies doc_frequencies(const std::vector<std::vector<std::string>>& docs);

// Token documents packed flat, as an Arrow list<string> array lays them out: document d holds
// tokens doc_offsets[d] .. doc_offsets[d + 1], token k being the bytes
// data[token_offsets[k] .. token_offsets[k + 1]]. The offsets must not decrease and must stay
// within token_offsets and data; doc_offsets is never empty.
struct FlatDocs {
  std::span<const uint64_t> doc_offsets;
  std::span<const uint64_t> token_offsets;
  std::string_view data;
};
// The tokens are views into docs.data.
DocFrequencies doc_frequencies(const FlatDocs& docs);

// idf of every id: ln(n_docs / max(df, 1)).
std::vector<double> idf_weights(std::span<const uint64_t> df, uint64_t n_docs);

// Token text -> id over a fixed vocabulary (ids are positions in it). Borrows the tokens.
class TokenIds {
 public:
  explicit TokenIds(std::span<const std::string> vocabulary);
  TokenIds(TokenIds&&) noexcept;
  ~TokenIds();
  // The id of `token`, or SIZE_MAX when the vocabulary lacks it.
  size_t find(std::string_view token) const;
  size_t size() const;

 private:
  struct Table;
  std::unique_ptr<Table> table_;
};

// Unit vectors of documents, entries ascending by id, and the largest weight each id takes
// (-1.0 for an id in no non-empty vector). Token ids must be below idf.size().
struct UnitVectors {
  std::vector<size_t> offsets{0};
  std::vector<uint32_t> ids;
  std::vector<double> weights;
  std::vector<double> max_weight;  // by id
};
// Throws std::out_of_range when a token is missing from `ids`.
UnitVectors unit_vectors(const std::vector<std::vector<std::string>>& docs, const TokenIds& ids,
                         std::span<const double> idf);

// The same for documents given as token ids (below idf.size()): document d owns
// ids[offsets[d] .. offsets[d + 1]].
UnitVectors unit_vectors_of_ids(std::vector<size_t> offsets, std::vector<uint32_t> ids,
                                std::span<const double> idf);

// Term numbers by (largest weight, id) for the ids whose largest weight is not negative.
struct TermOrder {
  std::vector<uint32_t> term_of;   // by id; unspecified for ids without a term
  std::vector<double> max_weight;  // by term number, ascending
};
TermOrder term_order(std::span<const double> max_weight_by_id);

// Unit vectors as a corpus of term numbers, entries of each document re-sorted by term; n_terms
// and max_weight come from `terms`.
Corpus corpus_of(UnitVectors vectors, const TermOrder& terms);

// The rows of cosine_join(corpus, t) with i >= query_begin and j < index_end: queries only from
// query_begin on, against an index of the documents before index_end. With corpus = A followed
// by B and index_end = query_begin = |A|, the rows of A against B; with 0 and |A| for a
// corpus A, all of A's rows. Every row carries its touch.
std::vector<JoinRow> cosine_join_range(const Corpus& corpus, double t, size_t index_end,
                                       size_t query_begin, Progress* progress = nullptr);

// Shard `shard` of `shards` of cosine_join(corpus, t): the queries of one run of the documents,
// the runs cut where their work is about equal. The shards' rows, concatenated in shard order,
// are cosine_join's rows in its order.
std::vector<JoinRow> cosine_join_shard(const Corpus& corpus, double t, size_t shard,
                                       size_t shards, Progress* progress = nullptr);

}  // namespace ratiokit
