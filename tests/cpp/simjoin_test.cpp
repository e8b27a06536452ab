#include "simjoin/simjoin.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <map>
#include <random>
#include <set>
#include <stdexcept>
#include <tuple>

#include "parallel/parallel.hpp"

namespace ratiokit {
namespace {

using Docs = std::vector<std::vector<std::string>>;
using Sparse = std::map<std::string, double>;

// TF-IDF the slow way: token counts times idf, scaled to unit length.
std::vector<Sparse> naive_tfidf(const Docs& docs) {
  std::map<std::string, double> df;
  for (const auto& doc : docs) {
    for (const auto& tok : std::set<std::string>(doc.begin(), doc.end())) df[tok] += 1;
  }
  std::vector<Sparse> out;
  for (const auto& doc : docs) {
    Sparse v;
    double sq = 0;
    for (const auto& tok : doc) v[tok] += 1;
    for (auto& [tok, w] : v) {
      w *= std::log(docs.size() / df[tok]);
      sq += w * w;
    }
    for (auto& [tok, w] : v) w /= std::sqrt(sq);
    out.push_back(sq > 0 ? v : Sparse{});
  }
  return out;
}

// Ascending-term merge over the stored vectors; also says whether any term is shared.
double stored_dot(const Corpus& c, size_t x, size_t y, bool* shared) {
  double sum = 0;
  *shared = false;
  for (size_t p = c.offsets[x], q = c.offsets[y]; p < c.offsets[x + 1] && q < c.offsets[y + 1];) {
    if (c.terms[p] < c.terms[q]) {
      ++p;
    } else if (c.terms[q] < c.terms[p]) {
      ++q;
    } else {
      sum += c.weights[p++] * c.weights[q++];
      *shared = true;
    }
  }
  return sum;
}

// What a pair should give: its ascending-order dot product over the stored vectors, whether they
// share a stored term, and its naive TF-IDF cosine.
struct Truth {
  double exact, ref;
  bool shared;
};

std::vector<std::vector<Truth>> pair_truth(const Docs& docs, const Corpus& c) {
  const std::vector<Sparse> naive = naive_tfidf(docs);
  std::vector<std::vector<Truth>> truth(docs.size());
  for (size_t i = 0; i < docs.size(); ++i) {
    for (size_t j = 0; j < i; ++j) {
      Truth p{0, 0, false};
      p.exact = stored_dot(c, i, j, &p.shared);
      for (const auto& [tok, w] : naive[i]) p.ref += naive[j].count(tok) ? w * naive[j].at(tok) : 0;
      truth[i].push_back(p);
    }
  }
  return truth;
}

// The join must report exactly the pairs that share a stored term and whose ascending-order dot
// product reaches t, with that dot product bit for bit; and agree with naive TF-IDF to 1e-9.
void check_join(const Corpus& c, const std::vector<std::vector<Truth>>& truth, double t) {
  SCOPED_TRACE("t = " + std::to_string(t));
  const std::vector<JoinRow> rows = cosine_join(c, t);
  std::map<std::pair<size_t, size_t>, double> got;
  for (size_t k = 0; k < rows.size(); ++k) {
    ASSERT_LT(rows[k].j, rows[k].i);
    ASSERT_TRUE(k == 0 || rows[k - 1].i <= rows[k].i);
    ASSERT_TRUE(got.emplace(std::pair(rows[k].j, rows[k].i), rows[k].cos).second) << "duplicate";
  }
  for (size_t i = 0; i < truth.size(); ++i) {
    for (size_t j = 0; j < i; ++j) {
      const Truth& p = truth[i][j];
      const auto it = got.find({j, i});
      ASSERT_EQ(it != got.end(), p.shared && p.exact >= t) << j << "," << i << " cos " << p.exact;
      if (it != got.end()) {
        EXPECT_EQ(it->second, p.exact);
        EXPECT_NEAR(it->second, p.ref, 1e-9);
      } else if (p.shared && std::fabs(p.ref - t) > 1e-9) {
        EXPECT_LT(p.ref, t) << "missing " << j << "," << i;
      }
    }
  }
}

void check_corpus(const Docs& docs, const Corpus& c) {
  const std::vector<Sparse> naive = naive_tfidf(docs);
  ASSERT_TRUE(c.n_docs == docs.size() && c.offsets.size() == docs.size() + 1);
  ASSERT_TRUE(c.offsets[0] == 0 && c.offsets.back() == c.terms.size());
  ASSERT_TRUE(c.weights.size() == c.terms.size() && c.max_weight.size() == c.n_terms);
  std::vector<double> seen_max(c.n_terms, -1);
  for (size_t d = 0; d < c.n_docs; ++d) {
    ASSERT_LE(c.offsets[d], c.offsets[d + 1]);
    ASSERT_EQ(c.offsets[d + 1] - c.offsets[d], naive[d].size()) << "doc " << d;
    std::vector<double> mine, ref;
    for (const auto& [tok, w] : naive[d]) ref.push_back(w);
    double sq = 0;
    for (size_t k = c.offsets[d]; k < c.offsets[d + 1]; ++k) {
      ASSERT_LT(c.terms[k], c.n_terms);
      ASSERT_TRUE(k == c.offsets[d] || c.terms[k - 1] < c.terms[k]);
      sq += c.weights[k] * c.weights[k];
      seen_max[c.terms[k]] = std::max(seen_max[c.terms[k]], c.weights[k]);
      mine.push_back(c.weights[k]);
    }
    EXPECT_NEAR(mine.empty() ? 1.0 : sq, 1.0, 1e-12);
    std::sort(mine.begin(), mine.end());
    std::sort(ref.begin(), ref.end());
    for (size_t k = 0; k < mine.size(); ++k) EXPECT_NEAR(mine[k], ref[k], 1e-12);
  }
  EXPECT_EQ(seen_max, c.max_weight);
  EXPECT_TRUE(std::is_sorted(c.max_weight.begin(), c.max_weight.end()));
}

std::string word(size_t n) {
  std::string s = "w";
  return s += std::to_string(n);
}

// Skewed draws from a small vocabulary, with near-duplicates, empty documents and optionally a
// token that occurs everywhere (idf 0).
Docs random_docs(uint32_t seed, size_t n, size_t vocab, size_t max_len, bool everywhere) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(0, 1);
  Docs docs(n);
  for (size_t d = 0; d < n; ++d) {
    if (d > 0 && rng() % 4 == 0) {
      docs[d] = docs[rng() % d];
      for (auto& tok : docs[d]) tok = rng() % 8 ? tok : word(rng() % vocab);
    } else if (rng() % 10 != 0) {
      docs[d].resize(rng() % (max_len + 1));
      for (auto& tok : docs[d]) tok = word(size_t(vocab * u(rng) * u(rng)));
    }
    if (everywhere) docs[d].push_back("\xc3\xa9v");
  }
  return docs;
}

TEST(SimjoinCorpus, WorkedExamples) {
  const Corpus none = corpus_from_token_docs({});
  EXPECT_EQ(none.offsets, std::vector<size_t>{0});
  EXPECT_TRUE(none.terms.empty() && none.n_terms == 0 && none.n_docs == 0);
  EXPECT_TRUE(cosine_join(none, 0.0).empty());

  // Both vectors empty: idf = ln(2/2) = 0.
  const Corpus same = corpus_from_token_docs({{"x"}, {"x"}});
  EXPECT_EQ(same.offsets, (std::vector<size_t>{0, 0, 0}));
  EXPECT_EQ(same.n_terms, 0u);
  EXPECT_TRUE(cosine_join(same, -1.0).empty());

  // "a" counts three times; equal maxima ("q" before "p") keep first-seen order, not byte order.
  const Docs docs = {{"a", "a", "b", "a"}, {}, {"q"}, {"p"}};
  const Corpus c = corpus_from_token_docs(docs);
  check_corpus(docs, c);
  EXPECT_EQ(c.offsets, (std::vector<size_t>{0, 2, 2, 3, 4}));
  EXPECT_EQ(c.terms, (std::vector<uint32_t>{0, 1, 2, 3}));
  EXPECT_DOUBLE_EQ(c.weights[0], 1 / std::sqrt(10.0));
  EXPECT_DOUBLE_EQ(c.weights[1], 3 / std::sqrt(10.0));

  // A zero-idf token stays in a non-empty vector with weight 0.
  const Corpus z = corpus_from_token_docs({{"e", "a"}, {"e", "b"}, {"e"}});
  EXPECT_EQ(z.offsets, (std::vector<size_t>{0, 2, 4, 4}));
  EXPECT_EQ(z.weights[0], 0.0);
}

TEST(SimjoinCorpus, RandomDocumentsMatchNaiveTfidf) {
  for (uint32_t seed = 1; seed <= 6; ++seed) {
    SCOPED_TRACE(seed);
    const Docs docs = random_docs(seed, 120, 10 + 10 * seed, 40, seed % 2);
    check_corpus(docs, corpus_from_token_docs(docs));
  }
}

TEST(SimjoinCorpus, FromRows) {
  // Sparse ids; per-id sums; ties between equal maxima broken by id, not by first appearance.
  const Corpus c =
      corpus_from_rows({{{4000000000u, 1.0}}, {{9, 1.0}, {9, 2.0}, {5, 4.0}}, {{3, 2.0}}});
  EXPECT_EQ(c.terms, (std::vector<uint32_t>{3, 0, 1, 2}));
  EXPECT_DOUBLE_EQ(c.weights[1], 0.6);
  EXPECT_DOUBLE_EQ(c.max_weight[1], 0.8);

  // A term's maximum starts at 0, even when its only weight is negative.
  EXPECT_EQ(corpus_from_rows({{{1, -1.0}, {2, 1.0}}}).max_weight[0], 0.0);

  // Squares that overflow or underflow still give a unit vector.
  for (double w : {1e-200, 1e300}) {
    const Corpus e = corpus_from_rows({{{1, w}, {2, w}}});
    ASSERT_EQ(e.terms.size(), 2u) << w;
    EXPECT_DOUBLE_EQ(e.weights[0], 1 / std::sqrt(2.0)) << w;
  }

  // The token path is the rows path fed with first-seen ids and idf weights.
  const Docs docs = random_docs(7, 80, 30, 20, true);
  const Corpus from_docs = corpus_from_token_docs(docs);
  std::map<std::string, uint32_t> ids;
  std::vector<std::vector<std::pair<uint32_t, double>>> rows;
  std::map<uint32_t, double> df;
  for (const auto& doc : docs) {
    for (const auto& tok : doc) ids.emplace(tok, uint32_t(ids.size()));
    for (const auto& tok : std::set<std::string>(doc.begin(), doc.end())) df[ids[tok]] += 1;
  }
  for (const auto& doc : docs) {
    rows.emplace_back();
    for (const auto& tok : doc) {
      rows.back().emplace_back(ids[tok], std::log(docs.size() / df[ids[tok]]));
    }
  }
  const Corpus from_rows = corpus_from_rows(rows);
  EXPECT_EQ(from_rows.offsets, from_docs.offsets);
  EXPECT_EQ(from_rows.terms, from_docs.terms);
  EXPECT_EQ(from_rows.weights, from_docs.weights);
  EXPECT_EQ(from_rows.max_weight, from_docs.max_weight);
}

TEST(SimjoinJoin, WorkedExamples) {
  // Same tokens in another order, plus a third document so that their idf is not zero.
  const Corpus c = corpus_from_token_docs({{"a", "b", "b"}, {"b", "a", "b"}, {"c"}});
  const std::vector<JoinRow> rows = cosine_join(c, 0.9);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_TRUE(rows[0].j == 0 && rows[0].i == 1);
  EXPECT_NEAR(rows[0].cos, 1.0, 1e-15);
  // The final test uses t itself.
  EXPECT_EQ(cosine_join(c, rows[0].cos).size(), 1u);
  EXPECT_TRUE(cosine_join(c, std::nextafter(rows[0].cos, 2.0)).empty());
  EXPECT_TRUE(cosine_join(c, 1.5).empty());
  EXPECT_TRUE(cosine_join(c, std::nan("")).empty());

  // Pairs without a common term never show up, however low t is.
  EXPECT_TRUE(cosine_join(corpus_from_token_docs({{"a"}, {"b"}, {}, {"c"}}), -1.0).empty());
  // A shared zero-idf token makes a pair with cos 0.
  const auto zero = cosine_join(corpus_from_token_docs({{"e", "a"}, {"e", "b"}, {"e"}}), 0.0);
  ASSERT_EQ(zero.size(), 1u);
  EXPECT_TRUE(zero[0].j == 0 && zero[0].i == 1 && zero[0].cos == 0.0);
}

// Shapes: long queries (at least 24 entries, both bounds), short queries with many
// near-duplicates, and sizes on both sides of the 256-document pieces.
TEST(SimjoinJoin, RandomDocumentsMatchBruteForce) {
  struct Shape { size_t n, vocab, max_len; };
  const Shape shapes[] = {{300, 40, 60}, {257, 12, 6}, {256, 150, 30}, {1100, 60, 12}};
  uint32_t seed = 0;
  for (const Shape& s : shapes) {
    for (bool everywhere : {false, true}) {
      SCOPED_TRACE("seed " + std::to_string(++seed));
      const Docs docs = random_docs(seed, s.n, s.vocab, s.max_len, everywhere);
      const Corpus c = corpus_from_token_docs(docs);
      const auto truth = pair_truth(docs, c);
      for (double t : {0.0, 0.3, 0.5, 0.9, 1.0, 1.5, 0.7}) check_join(c, truth, t);
    }
  }
}

TEST(SimjoinJoin, SameRowsWhateverTheThreads) {
  const Corpus c = corpus_from_token_docs(random_docs(99, 1500, 80, 20, false));
  for (double t : {0.2, 0.8}) {
    const std::vector<JoinRow> serial = cosine_join(c, t);
    ASSERT_FALSE(serial.empty());
    for (uint64_t threads : {1, 3, 8}) {
      const std::vector<JoinRow> rows = run_on_threads(threads, [&] { return cosine_join(c, t); });
      ASSERT_EQ(rows.size(), serial.size());
      for (size_t k = 0; k < rows.size(); ++k) {
        const JoinRow &a = rows[k], &b = serial[k];
        ASSERT_TRUE(a.j == b.j && a.i == b.i && a.cos == b.cos) << threads << " threads, row " << k;
      }
    }
  }
}

// The join cut into an indexed block and a query block: the rows of each block pair are the
// whole join's rows of those documents, with the same bits and order, and each row's touch
// orders rows of several blocks as the whole join orders them.
TEST(SimjoinRange, BlocksGiveTheWholeJoinsRows) {
  const Corpus c = corpus_from_token_docs(random_docs(5, 400, 40, 25, false));
  for (double t : {0.0, 0.3, 0.8}) {
    const auto whole = cosine_join(c, t);
    ASSERT_FALSE(whole.empty());
    const size_t cut = 150;
    // Queries from 0 against the first block, kept where they are the first block's own rows.
    std::vector<JoinRow> got = cosine_join_range(c, t, cut, 0);
    for (const JoinRow& r : got) EXPECT_LT(r.j, cut);
    got.erase(std::remove_if(got.begin(), got.end(), [&](const JoinRow& r) { return r.i >= cut; }),
              got.end());
    const auto across = cosine_join_range(c, t, cut, cut);
    const auto second = cosine_join_range(c, t, c.n_docs, cut);
    for (const JoinRow& r : across) EXPECT_TRUE(r.j < cut && r.i >= cut);
    for (const JoinRow& r : second) {
      if (r.j >= cut) got.push_back(r);
    }
    got.insert(got.end(), across.begin(), across.end());
    std::sort(got.begin(), got.end(), [](const JoinRow& x, const JoinRow& y) {
      return std::tie(x.i, x.touch, x.j) < std::tie(y.i, y.touch, y.j);
    });
    ASSERT_EQ(got.size(), whole.size()) << t;
    for (size_t k = 0; k < got.size(); ++k) {
      EXPECT_EQ(got[k].j, whole[k].j);
      EXPECT_EQ(got[k].i, whole[k].i);
      EXPECT_EQ(std::bit_cast<uint64_t>(got[k].cos), std::bit_cast<uint64_t>(whole[k].cos));
    }
  }
}

// The corpus built from its pieces (frequencies, idf, unit vectors over a vocabulary, term
// order) is the corpus corpus_from_token_docs builds.
TEST(SimjoinPieces, CorpusFromPiecesIsTheCorpus) {
  const Docs docs = random_docs(11, 200, 30, 20, false);
  const Corpus want = corpus_from_token_docs(docs);
  const DocFrequencies df = doc_frequencies(docs);
  const std::vector<std::string> vocab(df.tokens.begin(), df.tokens.end());
  const std::vector<double> idf = idf_weights(df.counts, docs.size());
  UnitVectors unit = unit_vectors(docs, TokenIds(vocab), idf);
  const TermOrder order = term_order(unit.max_weight);
  const Corpus got = corpus_of(std::move(unit), order);
  EXPECT_EQ(got.offsets, want.offsets);
  EXPECT_EQ(got.terms, want.terms);
  EXPECT_EQ(got.weights, want.weights);
  EXPECT_EQ(got.max_weight, want.max_weight);
  EXPECT_EQ(TokenIds(vocab).find("no such token"), SIZE_MAX);
  EXPECT_THROW(unit_vectors({{"no such token"}}, TokenIds(vocab), idf), std::out_of_range);

  // The documents as token ids give the same vectors, and so does the flat layout.
  const UnitVectors by_ids = unit_vectors_of_ids(df.offsets, df.ids, idf);
  const Corpus from_ids = corpus_of(by_ids, term_order(by_ids.max_weight));
  EXPECT_EQ(from_ids.terms, want.terms);
  EXPECT_EQ(from_ids.weights, want.weights);
  std::vector<uint64_t> doc_offsets{0}, token_offsets{0};
  std::string data;
  for (const auto& doc : docs) {
    for (const std::string& token : doc) {
      data += token;
      token_offsets.push_back(data.size());
    }
    doc_offsets.push_back(token_offsets.size() - 1);
  }
  const DocFrequencies flat = doc_frequencies(FlatDocs{doc_offsets, token_offsets, data});
  EXPECT_EQ(flat.tokens, df.tokens);
  EXPECT_EQ(flat.counts, df.counts);
  EXPECT_EQ(flat.offsets, df.offsets);
  EXPECT_EQ(flat.ids, df.ids);
}

// Shards of the join, concatenated in shard order, are the whole join in its order, for any
// number of shards (more than documents included).
TEST(SimjoinPieces, ShardsConcatenatedAreTheJoin) {
  const Corpus c = corpus_from_token_docs(random_docs(12, 300, 30, 25, false));
  for (double t : {0.0, 0.3, 0.7}) {
    const std::vector<JoinRow> whole = cosine_join(c, t);
    for (size_t shards : {1, 2, 5, 1000}) {
      std::vector<JoinRow> got;
      for (size_t s = 0; s <= shards; ++s) {  // shard == shards is empty
        const auto part = cosine_join_shard(c, t, s, shards);
        got.insert(got.end(), part.begin(), part.end());
      }
      ASSERT_EQ(got.size(), whole.size()) << t << " " << shards;
      for (size_t k = 0; k < got.size(); ++k) {
        EXPECT_EQ(got[k].j, whole[k].j);
        EXPECT_EQ(got[k].i, whole[k].i);
        EXPECT_EQ(std::bit_cast<uint64_t>(got[k].cos), std::bit_cast<uint64_t>(whole[k].cos));
      }
    }
  }
}

}  // namespace
}  // namespace ratiokit
