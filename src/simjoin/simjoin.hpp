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
#include <string>
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
};

// Every pair of documents sharing a term whose cosine reaches t (no tolerance), as j < i,
// ordered by i and, within one i, by first touch while walking i's terms. Never fails.
// Publishes phase "join" (documents whose queries are done, a piece at a time) to `progress`.
std::vector<JoinRow> cosine_join(const Corpus& corpus, double t, Progress* progress = nullptr);

}  // namespace ratiokit
