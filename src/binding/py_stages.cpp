// Private entry points for engines that spread one computation over several processes: each is
// one call into the engine code behind the module's public functions. Arrays cross as native-
// endian bytes (an array.array, a NumPy array or bytes going in; bytes coming out), which NumPy
// reads without a copy; ratiokit.stages gives them names, shapes and dtypes.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "binding/convert.hpp"
#include "binding/entry_points.hpp"
#include "cluster/cluster.hpp"
#include "cluster/lsh.hpp"
#include "parallel/parallel.hpp"
#include "search/search.hpp"
#include "simjoin/simjoin.hpp"

namespace ratiokit::py {
namespace {

using TokenDocs = std::vector<std::vector<std::string>>;

// A C-contiguous buffer read as values of T: its items must be T-sized, or single bytes.
template <class T>
bool to_array(PyObject* obj, std::vector<T>& out) {
  Py_buffer view;
  if (PyObject_GetBuffer(obj, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) return false;
  const bool fits = (view.itemsize == static_cast<Py_ssize_t>(sizeof(T)) || view.itemsize == 1) &&
                    view.len % static_cast<Py_ssize_t>(sizeof(T)) == 0;
  if (fits) {
    out.resize(static_cast<size_t>(view.len) / sizeof(T));
    if (!out.empty()) std::memcpy(out.data(), view.buf, static_cast<size_t>(view.len));
  }
  PyBuffer_Release(&view);
  if (!fits) {
    PyErr_Format(PyExc_TypeError, "expected a buffer of %zu-byte items", sizeof(T));
    return false;
  }
  return true;
}

// A C-contiguous buffer read in place, for arrays too large to copy: held until destroyed.
// Items must be T-sized, or single bytes with a length and address that fit T.
template <class T>
struct Borrowed {
  Py_buffer view{};
  std::span<const T> items;
  Borrowed() = default;
  Borrowed(const Borrowed&) = delete;
  Borrowed& operator=(const Borrowed&) = delete;
  ~Borrowed() {
    if (view.obj != nullptr) PyBuffer_Release(&view);
  }
};

template <class T>
bool borrow_array(PyObject* obj, Borrowed<T>& out) {
  if (PyObject_GetBuffer(obj, &out.view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) return false;
  const Py_buffer& v = out.view;
  const bool fits = (v.itemsize == static_cast<Py_ssize_t>(sizeof(T)) || v.itemsize == 1) &&
                    v.len % static_cast<Py_ssize_t>(sizeof(T)) == 0 &&
                    reinterpret_cast<uintptr_t>(v.buf) % alignof(T) == 0;
  if (!fits) {
    PyErr_Format(PyExc_TypeError, "expected an aligned buffer of %zu-byte items", sizeof(T));
    return false;
  }
  out.items = {static_cast<const T*>(v.buf), static_cast<size_t>(v.len) / sizeof(T)};
  return true;
}

template <class T>
PyObject* to_bytes(const std::vector<T>& values) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                   static_cast<Py_ssize_t>(values.size() * sizeof(T)));
}

// Runs f on `threads` threads (0: the process pool) with the GIL released.
template <class F>
bool compute(uint64_t threads, F&& f) {
  return without_gil([&] { run_on_threads(threads, f); });
}

// Whether offsets never fall, and (with `from_zero`) run from 0 to `end`.
bool rising(const std::vector<uint64_t>& offsets, bool from_zero = false, uint64_t end = 0) {
  if (offsets.empty() || (from_zero && (offsets.front() != 0 || offsets.back() != end))) {
    return false;
  }
  return std::is_sorted(offsets.begin(), offsets.end());
}

// Bucket lists: offsets must rise from 0 to the member count, members index the strings.
bool check_groups(const std::vector<uint32_t>& members, const std::vector<uint64_t>& offsets,
                  size_t n) {
  bool ok = rising(offsets, true, members.size());
  for (size_t k = 0; ok && k < members.size(); ++k) ok = members[k] < n;
  if (!ok) PyErr_SetString(PyExc_ValueError, "malformed member lists");
  return ok;
}

PyObject* tuple_of(std::initializer_list<PyObject*> items) {
  for (PyObject* item : items) {
    if (item == nullptr) {
      for (PyObject* other : items) Py_XDECREF(other);
      return nullptr;
    }
  }
  PyObject* out = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
  Py_ssize_t k = 0;
  for (PyObject* item : items) {
    if (out == nullptr) {
      Py_DECREF(item);
    } else {
      PyTuple_SET_ITEM(out, k++, item);
    }
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// MinHash/LSH.

const char* const BAND_KEYS_PARAMS[] = {"strings", "num_perm", "band_rows", "threads"};
const Signature BAND_KEYS_SIG{"_stage_band_keys()", BAND_KEYS_PARAMS, 4, 3};

PyObject* band_keys_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[4] = {};
    if (!parse_fastcall(BAND_KEYS_SIG, args, nargs, kw, arg)) return nullptr;
    std::vector<CodePoints> strings;
    uint64_t num_perm = 0, band_rows = 0, threads = 0;
    if (!convert_arg(arg[0], "strings", to_text_list, "strings", strings) ||
        !convert_arg(arg[1], "num_perm", to_u64, num_perm) ||
        !convert_arg(arg[2], "band_rows", to_u64, band_rows) ||
        (arg[3] != nullptr && !convert_arg(arg[3], "threads", to_u64, threads))) {
      return nullptr;
    }
    std::vector<uint64_t> keys;
    if (!compute(threads, [&] { keys = lsh_band_keys(strings, num_perm, band_rows); })) {
      return nullptr;
    }
    return to_bytes(keys);
  });
}

const char* const LSH_BUCKETS_PARAMS[] = {"strings", "threshold", "members", "offsets",
                                          "threads"};
const Signature LSH_BUCKETS_SIG{"_stage_lsh_buckets()", LSH_BUCKETS_PARAMS, 5, 4};

PyObject* lsh_buckets_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[5] = {};
    if (!parse_fastcall(LSH_BUCKETS_SIG, args, nargs, kw, arg)) return nullptr;
    std::vector<CodePoints> strings;
    double threshold = 0.0;
    std::vector<uint32_t> members;
    std::vector<uint64_t> offsets;
    uint64_t threads = 0;
    if (!convert_arg(arg[0], "strings", to_bounded_text_list, "strings", MAX_CLUSTER_STRINGS,
                     strings) ||
        !convert_arg(arg[1], "threshold", to_f64, threshold) ||
        !convert_arg(arg[2], "members", to_array<uint32_t>, members) ||
        !convert_arg(arg[3], "offsets", to_array<uint64_t>, offsets) ||
        (arg[4] != nullptr && !convert_arg(arg[4], "threads", to_u64, threads)) ||
        !check_groups(members, offsets, strings.size())) {
      return nullptr;
    }
    const std::vector<size_t> bounds(offsets.begin(), offsets.end());
    std::vector<Cluster> clusters;
    if (!compute(threads, [&] {
          clusters = cluster_lsh_buckets(strings, threshold, members, bounds);
        })) {
      return nullptr;
    }
    return cluster_list(clusters);
  });
}

const char* const BAND_BUCKETS_PARAMS[] = {"keys", "bands", "threads"};
const Signature BAND_BUCKETS_SIG{"_stage_band_buckets()", BAND_BUCKETS_PARAMS, 3, 2};

PyObject* band_buckets_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[3] = {};
    if (!parse_fastcall(BAND_BUCKETS_SIG, args, nargs, kw, arg)) return nullptr;
    Borrowed<uint64_t> held;  // the keys of many bands of many strings: not copied
    uint64_t bands = 0, threads = 0;
    if (!convert_arg(arg[0], "keys", borrow_array<uint64_t>, held) ||
        !convert_arg(arg[1], "bands", to_u64, bands) ||
        (arg[2] != nullptr && !convert_arg(arg[2], "threads", to_u64, threads))) {
      return nullptr;
    }
    const std::span<const uint64_t> keys = held.items;
    if (bands == 0 || keys.size() % bands != 0 || keys.size() / bands > MAX_CLUSTER_STRINGS) {
      PyErr_SetString(PyExc_ValueError, "keys must hold whole rows of bands keys");
      return nullptr;
    }
    std::vector<uint64_t> members, offsets{0};
    if (!compute(threads, [&] {
          const BucketedCandidates found =
              lsh_bucketed_candidates(keys, keys.size() / bands, bands, LSH_LISTED_BUCKET);
          members.reserve(found.pairs.size() * 2 + found.members.size());
          for (const uint64_t pair : found.pairs) {
            members.push_back(pair_lo(pair));
            members.push_back(pair_hi(pair));
            offsets.push_back(members.size());
          }
          for (size_t k = 0; k + 1 < found.offsets.size(); ++k) {
            for (size_t x = found.offsets[k]; x < found.offsets[k + 1]; ++x) {
              members.push_back(found.members[x]);
            }
            offsets.push_back(members.size());
          }
        })) {
      return nullptr;
    }
    return tuple_of({to_bytes(members), to_bytes(offsets)});
  });
}

const char* const BUCKET_COMPONENTS_PARAMS[] = {"members", "offsets"};
const Signature BUCKET_COMPONENTS_SIG{"_stage_bucket_components()", BUCKET_COMPONENTS_PARAMS, 2,
                                      2};

PyObject* bucket_components_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[2] = {};
    if (!parse_fastcall(BUCKET_COMPONENTS_SIG, args, nargs, kw, arg)) return nullptr;
    std::vector<uint64_t> members, offsets;
    if (!convert_arg(arg[0], "members", to_array<uint64_t>, members) ||
        !convert_arg(arg[1], "offsets", to_array<uint64_t>, offsets)) {
      return nullptr;
    }
    if (!rising(offsets, true, members.size())) {
      PyErr_SetString(PyExc_ValueError, "malformed member lists");
      return nullptr;
    }
    const std::vector<size_t> bounds(offsets.begin(), offsets.end());
    std::vector<uint64_t> labels;
    if (!compute(0, [&] { labels = bucket_components(members, bounds); })) return nullptr;
    return to_bytes(labels);
  });
}

// ---------------------------------------------------------------------------------------------
// Exact clustering.

const char* const CLUSTER_EDGES_PARAMS[] = {"strings", "threshold", "shard", "shards", "threads"};
const Signature CLUSTER_EDGES_SIG{"_stage_cluster_edges()", CLUSTER_EDGES_PARAMS, 5, 4};

PyObject* cluster_edges_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[5] = {};
    if (!parse_fastcall(CLUSTER_EDGES_SIG, args, nargs, kw, arg)) return nullptr;
    std::vector<CodePoints> strings;
    double threshold = 0.0;
    uint64_t shard = 0, shards = 0, threads = 0;
    if (!convert_arg(arg[0], "strings", to_bounded_text_list, "strings", MAX_CLUSTER_STRINGS,
                     strings) ||
        !convert_arg(arg[1], "threshold", to_f64, threshold) ||
        !convert_arg(arg[2], "shard", to_u64, shard) ||
        !convert_arg(arg[3], "shards", to_u64, shards) ||
        (arg[4] != nullptr && !convert_arg(arg[4], "threads", to_u64, threads))) {
      return nullptr;
    }
    std::vector<uint64_t> flat;
    if (!compute(threads, [&] {
          const auto edges = cluster_shard_edges(strings, threshold, shard, shards);
          flat.reserve(edges.size() * 2);
          for (const auto& [a, b] : edges) {
            flat.push_back(a);
            flat.push_back(b);
          }
        })) {
      return nullptr;
    }
    return to_bytes(flat);
  });
}

const char* const CLUSTER_MINIMA_PARAMS[] = {"groups", "threads"};
const Signature CLUSTER_MINIMA_SIG{"_stage_cluster_minima()", CLUSTER_MINIMA_PARAMS, 2, 1};

PyObject* cluster_minima_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[2] = {};
    if (!parse_fastcall(CLUSTER_MINIMA_SIG, args, nargs, kw, arg)) return nullptr;
    uint64_t threads = 0;
    if (arg[1] != nullptr && !convert_arg(arg[1], "threads", to_u64, threads)) return nullptr;
    PyObject* seq = PySequence_Fast(arg[0], "argument 'groups': expected a sequence of lists");
    if (seq == nullptr) return nullptr;
    std::vector<std::vector<CodePoints>> groups(static_cast<size_t>(PySequence_Fast_GET_SIZE(seq)));
    for (size_t g = 0; g < groups.size(); ++g) {
      PyObject* item = PySequence_Fast_GET_ITEM(seq, static_cast<Py_ssize_t>(g));
      if (!convert_arg(item, "groups", to_text_list, "groups", groups[g])) {
        Py_DECREF(seq);
        return nullptr;
      }
    }
    Py_DECREF(seq);
    std::vector<double> minima(groups.size());
    if (!compute(threads, [&] {
          for (size_t g = 0; g < groups.size(); ++g) minima[g] = cluster_minimum(groups[g]);
        })) {
      return nullptr;
    }
    return float_list(minima);
  });
}

// ---------------------------------------------------------------------------------------------
// Ratio join.

const char* const JOIN_SHARD_PARAMS[] = {"left", "right", "threshold", "shard", "shards",
                                         "threads"};
const Signature JOIN_SHARD_SIG{"_stage_join_shard()", JOIN_SHARD_PARAMS, 6, 5};

PyObject* join_shard_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[6] = {};
    if (!parse_fastcall(JOIN_SHARD_SIG, args, nargs, kw, arg)) return nullptr;
    std::vector<CodePoints> strings, right;
    const bool self = arg[1] == Py_None;
    double threshold = 0.0;
    uint64_t shard = 0, shards = 0, threads = 0;
    if (!convert_arg(arg[0], "left", to_text_column, "left", MAX_CLUSTER_STRINGS, strings)) {
      return nullptr;
    }
    const size_t split = self ? 0 : strings.size();
    const size_t right_max = MAX_CLUSTER_STRINGS - split;  // indices of both lists are 32-bit
    if ((!self && !convert_arg(arg[1], "right", to_text_column, "right", right_max, right)) ||
        !convert_arg(arg[2], "threshold", to_f64, threshold) ||
        !convert_arg(arg[3], "shard", to_u64, shard) ||
        !convert_arg(arg[4], "shards", to_u64, shards) ||
        (arg[5] != nullptr && !convert_arg(arg[5], "threads", to_u64, threads))) {
      return nullptr;
    }
    // An empty left would read as the self-join of right.
    const bool empty = !self && (strings.empty() || right.empty());
    strings.insert(strings.end(), std::make_move_iterator(right.begin()),
                   std::make_move_iterator(right.end()));
    std::vector<RatioPair> rows;
    if (!empty && !compute(threads, [&] {
          rows = join_shard_chars(strings, split, threshold, shard, shards);
        })) {
      return nullptr;
    }
    std::vector<uint64_t> i(rows.size()), j(rows.size());
    std::vector<double> ratio(rows.size());
    for (size_t k = 0; k < rows.size(); ++k) {
      i[k] = rows[k].i;
      j[k] = rows[k].j;
      ratio[k] = rows[k].ratio;
    }
    return tuple_of({to_bytes(i), to_bytes(j), to_bytes(ratio)});
  });
}

// ---------------------------------------------------------------------------------------------
// TF-IDF cosine join.

const char* const DOC_FREQ_PARAMS[] = {"docs"};
const Signature DOC_FREQ_SIG{"_stage_doc_frequencies()", DOC_FREQ_PARAMS, 1, 1};

// Document frequencies as (tokens, uint64 counts bytes, n_docs, uint64 offsets and uint32 ids
// bytes of every document's token ids).
PyObject* frequencies_result(const DocFrequencies& found, size_t n_docs) {
  PyObject* tokens = PyList_New(static_cast<Py_ssize_t>(found.tokens.size()));
  if (tokens == nullptr) return nullptr;
  for (size_t k = 0; k < found.tokens.size(); ++k) {
    PyObject* token = PyUnicode_DecodeUTF8(found.tokens[k].data(),
                                           static_cast<Py_ssize_t>(found.tokens[k].size()),
                                           "surrogatepass");
    if (token == nullptr) {
      Py_DECREF(tokens);
      return nullptr;
    }
    PyList_SET_ITEM(tokens, static_cast<Py_ssize_t>(k), token);
  }
  const std::vector<uint64_t> offsets(found.offsets.begin(), found.offsets.end());
  return tuple_of({tokens, to_bytes(found.counts), PyLong_FromSize_t(n_docs), to_bytes(offsets),
                   to_bytes(found.ids)});
}

PyObject* doc_frequencies_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[1] = {};
    if (!parse_fastcall(DOC_FREQ_SIG, args, nargs, kw, arg)) return nullptr;
    TokenDocs docs;
    if (!convert_arg(arg[0], "docs", to_token_lists, docs)) return nullptr;
    DocFrequencies found;
    if (!compute(0, [&] { found = doc_frequencies(docs); })) return nullptr;
    return frequencies_result(found, docs.size());
  });
}

const char* const FLAT_FREQ_PARAMS[] = {"doc_offsets", "token_offsets", "data"};
const Signature FLAT_FREQ_SIG{"_stage_doc_frequencies_flat()", FLAT_FREQ_PARAMS, 3, 3};

PyObject* doc_frequencies_flat_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[3] = {};
    if (!parse_fastcall(FLAT_FREQ_SIG, args, nargs, kw, arg)) return nullptr;
    std::vector<uint64_t> doc_offsets, token_offsets;
    if (!convert_arg(arg[0], "doc_offsets", to_array<uint64_t>, doc_offsets) ||
        !convert_arg(arg[1], "token_offsets", to_array<uint64_t>, token_offsets)) {
      return nullptr;
    }
    Borrowed<char> data;
    if (!convert_arg(arg[2], "data", borrow_array<char>, data)) return nullptr;
    const size_t size = data.items.size();
    if (!rising(doc_offsets) || !rising(token_offsets) ||
        doc_offsets.back() >= token_offsets.size() || token_offsets.back() > size) {
      PyErr_SetString(PyExc_ValueError, "malformed flat documents");
      return nullptr;
    }
    const FlatDocs docs{doc_offsets, token_offsets, std::string_view(data.items.data(), size)};
    DocFrequencies found;
    const bool done = compute(0, [&] { found = doc_frequencies(docs); });
    // The tokens are views into the buffer, which is held until they are decoded.
    return done ? frequencies_result(found, doc_offsets.size() - 1) : nullptr;
  });
}

const char* const IDF_PARAMS[] = {"counts", "n_docs"};
const Signature IDF_SIG{"_stage_idf()", IDF_PARAMS, 2, 2};

PyObject* idf_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[2] = {};
    if (!parse_fastcall(IDF_SIG, args, nargs, kw, arg)) return nullptr;
    std::vector<uint64_t> counts;
    uint64_t n_docs = 0;
    if (!convert_arg(arg[0], "counts", to_array<uint64_t>, counts) ||
        !convert_arg(arg[1], "n_docs", to_u64, n_docs)) {
      return nullptr;
    }
    return to_bytes(idf_weights(counts, n_docs));
  });
}

// The arguments shared by the vector stages: documents, the vocabulary and its idf.
bool convert_vectors_args(PyObject* const* arg, TokenDocs& docs, std::vector<std::string>& vocab,
                          std::vector<double>& idf) {
  if (!convert_arg(arg[0], "docs", to_token_lists, docs)) return false;
  std::vector<std::vector<std::string>> wrapped;
  PyObject* one = PyTuple_Pack(1, arg[1]);
  if (one == nullptr) return false;
  const bool ok = convert_arg(one, "vocabulary", to_token_lists, wrapped);
  Py_DECREF(one);
  if (!ok || !convert_arg(arg[2], "idf", to_array<double>, idf)) return false;
  vocab = std::move(wrapped[0]);
  if (vocab.size() != idf.size()) {
    PyErr_SetString(PyExc_ValueError, "vocabulary and idf differ in length");
    return false;
  }
  return true;
}

// Unit vectors over the vocabulary; false with ValueError when a token is missing from it.
bool vectors_of(const TokenDocs& docs, const std::vector<std::string>& vocab,
                const std::vector<double>& idf, UnitVectors& out) {
  bool missing = false;
  if (!compute(0, [&] {
        const TokenIds ids(vocab);
        for (const auto& doc : docs) {
          for (const std::string& token : doc) missing = missing || ids.find(token) >= idf.size();
        }
        if (!missing) out = unit_vectors(docs, ids, idf);
      })) {
    return false;
  }
  if (missing) PyErr_SetString(PyExc_ValueError, "a token is missing from the vocabulary");
  return !missing;
}

// Unit vectors as bytes of (uint64 offsets, uint32 ids, float64 weights) and the largest
// weight of every id they hold (uint32 ids, float64 weights).
PyObject* unit_vectors_result(const UnitVectors& vectors) {
  std::vector<uint32_t> ids;
  std::vector<double> weights;
  for (size_t id = 0; id < vectors.max_weight.size(); ++id) {
    if (vectors.max_weight[id] >= 0.0) {
      ids.push_back(static_cast<uint32_t>(id));
      weights.push_back(vectors.max_weight[id]);
    }
  }
  const std::vector<uint64_t> offsets(vectors.offsets.begin(), vectors.offsets.end());
  return tuple_of({to_bytes(offsets), to_bytes(vectors.ids), to_bytes(vectors.weights),
                   to_bytes(ids), to_bytes(weights)});
}

const char* const UNIT_VECTORS_PARAMS[] = {"docs", "vocabulary", "idf"};
const Signature UNIT_VECTORS_SIG{"_stage_unit_vectors()", UNIT_VECTORS_PARAMS, 3, 3};

PyObject* unit_vectors_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[3] = {};
    if (!parse_fastcall(UNIT_VECTORS_SIG, args, nargs, kw, arg)) return nullptr;
    TokenDocs docs;
    std::vector<std::string> vocab;
    std::vector<double> idf;
    UnitVectors vectors;
    if (!convert_vectors_args(arg, docs, vocab, idf) || !vectors_of(docs, vocab, idf, vectors)) {
      return nullptr;
    }
    return unit_vectors_result(vectors);
  });
}

const char* const VECTORS_OF_IDS_PARAMS[] = {"offsets", "ids", "tokens", "vocabulary", "idf"};
const Signature VECTORS_OF_IDS_SIG{"_stage_unit_vectors_of_ids()", VECTORS_OF_IDS_PARAMS, 5, 5};

PyObject* unit_vectors_of_ids_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[5] = {};
    if (!parse_fastcall(VECTORS_OF_IDS_SIG, args, nargs, kw, arg)) return nullptr;
    std::vector<uint64_t> offsets;
    std::vector<uint32_t> ids;
    TokenDocs tokens;  // {the piece's own tokens}, {the vocabulary}
    std::vector<double> idf;
    if (!convert_arg(arg[0], "offsets", to_array<uint64_t>, offsets) ||
        !convert_arg(arg[1], "ids", to_array<uint32_t>, ids) ||
        !convert_arg(arg[4], "idf", to_array<double>, idf)) {
      return nullptr;
    }
    PyObject* both = PyTuple_Pack(2, arg[2], arg[3]);
    if (both == nullptr) return nullptr;
    const bool ok = convert_arg(both, "tokens", to_token_lists, tokens);
    Py_DECREF(both);
    if (!ok) return nullptr;
    const std::vector<std::string>& local = tokens[0];
    const std::vector<std::string>& vocab = tokens[1];
    if (vocab.size() != idf.size()) {
      PyErr_SetString(PyExc_ValueError, "vocabulary and idf differ in length");
      return nullptr;
    }
    bool rows_ok = rising(offsets, true, ids.size());
    for (size_t k = 0; rows_ok && k < ids.size(); ++k) rows_ok = ids[k] < local.size();
    if (!rows_ok) {
      PyErr_SetString(PyExc_ValueError, "malformed token rows");
      return nullptr;
    }
    bool missing = false;
    UnitVectors vectors;
    if (!compute(0, [&] {
          // The piece's ids become the vocabulary's: one lookup per distinct token.
          const TokenIds global(vocab);
          std::vector<uint32_t> to_global(local.size());
          for (size_t k = 0; k < local.size() && !missing; ++k) {
            const size_t id = global.find(local[k]);
            missing = id >= idf.size();
            to_global[k] = static_cast<uint32_t>(id);
          }
          if (missing) return;
          for (uint32_t& id : ids) id = to_global[id];
          vectors = unit_vectors_of_ids(std::vector<size_t>(offsets.begin(), offsets.end()),
                                        std::move(ids), idf);
        })) {
      return nullptr;
    }
    if (missing) {
      PyErr_SetString(PyExc_ValueError, "a token is missing from the vocabulary");
      return nullptr;
    }
    return unit_vectors_result(vectors);
  });
}

const char* const TERM_ORDER_PARAMS[] = {"n_ids", "parts"};
const Signature TERM_ORDER_SIG{"_stage_term_order()", TERM_ORDER_PARAMS, 2, 2};

PyObject* term_order_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[2] = {};
    if (!parse_fastcall(TERM_ORDER_SIG, args, nargs, kw, arg)) return nullptr;
    uint64_t n_ids = 0;
    if (!convert_arg(arg[0], "n_ids", to_u64, n_ids)) return nullptr;
    PyObject* seq = PySequence_Fast(arg[1], "argument 'parts': expected a sequence of pairs");
    if (seq == nullptr) return nullptr;
    std::vector<double> best(n_ids, -1.0);
    for (Py_ssize_t p = 0; p < PySequence_Fast_GET_SIZE(seq); ++p) {
      PyObject* part = PySequence_Fast_GET_ITEM(seq, p);
      std::vector<uint32_t> ids;
      std::vector<double> weights;
      if (!PyTuple_Check(part) || PyTuple_GET_SIZE(part) != 2) {
        Py_DECREF(seq);
        PyErr_SetString(PyExc_TypeError, "argument 'parts': expected (ids, weights) pairs");
        return nullptr;
      }
      if (!convert_arg(PyTuple_GET_ITEM(part, 0), "parts", to_array<uint32_t>, ids) ||
          !convert_arg(PyTuple_GET_ITEM(part, 1), "parts", to_array<double>, weights)) {
        Py_DECREF(seq);
        return nullptr;
      }
      if (ids.size() != weights.size()) {
        Py_DECREF(seq);
        PyErr_SetString(PyExc_ValueError, "ids and weights differ in length");
        return nullptr;
      }
      for (size_t k = 0; k < ids.size(); ++k) {
        if (ids[k] >= n_ids || !(weights[k] >= 0.0)) {
          Py_DECREF(seq);
          PyErr_SetString(PyExc_ValueError, "an id out of range or a weight below 0");
          return nullptr;
        }
        best[ids[k]] = std::max(best[ids[k]], weights[k]);
      }
    }
    Py_DECREF(seq);
    const TermOrder order = term_order(best);
    return tuple_of({to_bytes(order.term_of), to_bytes(order.max_weight)});
  });
}

// Rows of entries: offsets rising from 0 to the entry count, ids and values one per entry.
template <class Id, class Value>
bool check_rows(const std::vector<uint64_t>& offsets, const std::vector<Id>& ids,
                const std::vector<Value>& values) {
  const bool ok = rising(offsets, true, ids.size()) && ids.size() == values.size();
  if (!ok) PyErr_SetString(PyExc_ValueError, "malformed vectors");
  return ok;
}

const char* const TERM_VECTORS_PARAMS[] = {"offsets", "ids", "weights", "term_of"};
const Signature TERM_VECTORS_SIG{"_stage_term_vectors()", TERM_VECTORS_PARAMS, 4, 4};

PyObject* term_vectors_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[4] = {};
    if (!parse_fastcall(TERM_VECTORS_SIG, args, nargs, kw, arg)) return nullptr;
    std::vector<uint64_t> offsets;
    UnitVectors vectors;
    TermOrder order;
    if (!convert_arg(arg[0], "offsets", to_array<uint64_t>, offsets) ||
        !convert_arg(arg[1], "ids", to_array<uint32_t>, vectors.ids) ||
        !convert_arg(arg[2], "weights", to_array<double>, vectors.weights) ||
        !convert_arg(arg[3], "term_of", to_array<uint32_t>, order.term_of) ||
        !check_rows(offsets, vectors.ids, vectors.weights)) {
      return nullptr;
    }
    for (const uint32_t id : vectors.ids) {
      if (id >= order.term_of.size()) {
        PyErr_SetString(PyExc_ValueError, "an id without a term number");
        return nullptr;
      }
    }
    vectors.offsets.assign(offsets.begin(), offsets.end());
    Corpus corpus;
    if (!compute(0, [&] { corpus = corpus_of(std::move(vectors), order); })) return nullptr;
    const std::vector<uint64_t> out(corpus.offsets.begin(), corpus.offsets.end());
    return tuple_of({to_bytes(out), to_bytes(corpus.terms), to_bytes(corpus.weights)});
  });
}

// A corpus piece (offsets, terms, weights) appended to `corpus`.
bool append_piece(PyObject* piece, Corpus& corpus) {
  if (!PyTuple_Check(piece) || PyTuple_GET_SIZE(piece) != 3) {
    PyErr_SetString(PyExc_TypeError, "expected an (offsets, terms, weights) piece");
    return false;
  }
  std::vector<uint64_t> offsets;
  std::vector<uint32_t> terms;
  std::vector<double> weights;
  if (!to_array(PyTuple_GET_ITEM(piece, 0), offsets) ||
      !to_array(PyTuple_GET_ITEM(piece, 1), terms) ||
      !to_array(PyTuple_GET_ITEM(piece, 2), weights)) {
    return false;
  }
  bool ok = rising(offsets, true, terms.size()) && terms.size() == weights.size();
  for (size_t k = 1; ok && k < offsets.size(); ++k) {
    for (uint64_t e = offsets[k - 1] + 1; ok && e < offsets[k]; ++e) ok = terms[e - 1] < terms[e];
  }
  for (size_t k = 0; ok && k < terms.size(); ++k) ok = terms[k] < corpus.n_terms;
  if (!ok) {
    PyErr_SetString(PyExc_ValueError, "malformed term vectors");
    return false;
  }
  const size_t base = corpus.terms.size();
  for (size_t k = 1; k < offsets.size(); ++k) corpus.offsets.push_back(base + offsets[k]);
  corpus.terms.insert(corpus.terms.end(), terms.begin(), terms.end());
  corpus.weights.insert(corpus.weights.end(), weights.begin(), weights.end());
  corpus.n_docs += offsets.size() - 1;
  return true;
}

// Join rows as bytes of (uint64 j, uint64 i - shift, float64 cos, uint32 touch).
PyObject* join_rows(const std::vector<JoinRow>& rows, size_t shift) {
  std::vector<uint64_t> j(rows.size()), i(rows.size());
  std::vector<double> cos(rows.size());
  std::vector<uint32_t> touch(rows.size());
  for (size_t k = 0; k < rows.size(); ++k) {
    j[k] = rows[k].j;
    i[k] = rows[k].i - shift;
    cos[k] = rows[k].cos;
    touch[k] = rows[k].touch;
  }
  return tuple_of({to_bytes(j), to_bytes(i), to_bytes(cos), to_bytes(touch)});
}

const char* const COSINE_BLOCK_PARAMS[] = {"indexed", "queries", "max_weight", "threshold",
                                           "threads"};
const Signature COSINE_BLOCK_SIG{"_stage_cosine_block()", COSINE_BLOCK_PARAMS, 5, 4};

PyObject* cosine_block_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[5] = {};
    if (!parse_fastcall(COSINE_BLOCK_SIG, args, nargs, kw, arg)) return nullptr;
    Corpus corpus;
    double threshold = 0.0;
    uint64_t threads = 0;
    if (!convert_arg(arg[2], "max_weight", to_array<double>, corpus.max_weight) ||
        !convert_arg(arg[3], "threshold", to_f64, threshold) ||
        (arg[4] != nullptr && !convert_arg(arg[4], "threads", to_u64, threads))) {
      return nullptr;
    }
    corpus.n_terms = corpus.max_weight.size();
    if (!append_piece(arg[0], corpus)) return nullptr;
    const size_t split = corpus.n_docs;
    const bool across = arg[1] != Py_None;
    if (across && !append_piece(arg[1], corpus)) return nullptr;
    std::vector<JoinRow> rows;
    if (!compute(threads, [&] {
          rows = cosine_join_range(corpus, threshold, split, across ? split : 0);
        })) {
      return nullptr;
    }
    return join_rows(rows, across ? split : 0);
  });
}

const char* const COSINE_SHARD_PARAMS[] = {"pieces", "max_weight", "threshold", "shard",
                                           "shards", "threads"};
const Signature COSINE_SHARD_SIG{"_stage_cosine_shard()", COSINE_SHARD_PARAMS, 6, 5};

PyObject* cosine_shard_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[6] = {};
    if (!parse_fastcall(COSINE_SHARD_SIG, args, nargs, kw, arg)) return nullptr;
    Corpus corpus;
    double threshold = 0.0;
    uint64_t shard = 0, shards = 0, threads = 0;
    if (!convert_arg(arg[1], "max_weight", to_array<double>, corpus.max_weight) ||
        !convert_arg(arg[2], "threshold", to_f64, threshold) ||
        !convert_arg(arg[3], "shard", to_u64, shard) ||
        !convert_arg(arg[4], "shards", to_u64, shards) ||
        (arg[5] != nullptr && !convert_arg(arg[5], "threads", to_u64, threads))) {
      return nullptr;
    }
    corpus.n_terms = corpus.max_weight.size();
    PyObject* seq = PySequence_Fast(arg[0], "argument 'pieces': expected a sequence of pieces");
    if (seq == nullptr) return nullptr;
    bool ok = true;
    for (Py_ssize_t p = 0; ok && p < PySequence_Fast_GET_SIZE(seq); ++p) {
      ok = append_piece(PySequence_Fast_GET_ITEM(seq, p), corpus);
    }
    Py_DECREF(seq);
    std::vector<JoinRow> rows;
    if (!ok || !compute(threads, [&] {
          rows = cosine_join_shard(corpus, threshold, shard, shards);
        })) {
      return nullptr;
    }
    return join_rows(rows, 0);
  });
}

template <auto F>
constexpr PyCFunction fastcall() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

}  // namespace

PyMethodDef STAGE_DEFS[] = {
    {"_stage_band_keys", fastcall<band_keys_entry>(), METH_FASTCALL | METH_KEYWORDS,
     "_stage_band_keys(strings, num_perm, band_rows, threads=0)\n--\n\n"
     "The MinHash band keys of cluster_canonicals_lsh: bytes of len(strings) rows of\n"
     "num_perm // band_rows native uint64 keys."},
    {"_stage_lsh_buckets", fastcall<lsh_buckets_entry>(), METH_FASTCALL | METH_KEYWORDS,
     "_stage_lsh_buckets(strings, threshold, members, offsets, threads=0)\n--\n\n"
     "Verified clusters of buckets (uint32 members, uint64 offsets), as cluster_canonicals_lsh\n"
     "verifies its own."},
    {"_stage_band_buckets", fastcall<band_buckets_entry>(), METH_FASTCALL | METH_KEYWORDS,
     "_stage_band_buckets(keys, bands, threads=0)\n--\n\n"
     "The buckets of rows of band keys (native uint64, `bands` a row) as cluster_canonicals_lsh\n"
     "finds them: (uint64 members, uint64 offsets) bytes, each pair of a small bucket as a\n"
     "bucket of two, then every large bucket once."},
    {"_stage_bucket_components", fastcall<bucket_components_entry>(),
     METH_FASTCALL | METH_KEYWORDS,
     "_stage_bucket_components(members, offsets)\n--\n\n"
     "Per bucket (uint64 members, uint64 offsets), the smallest member of its connected\n"
     "component, as uint64 bytes."},
    {"_stage_cluster_edges", fastcall<cluster_edges_entry>(), METH_FASTCALL | METH_KEYWORDS,
     "_stage_cluster_edges(strings, threshold, shard, shards, threads=0)\n--\n\n"
     "One shard of the exact clustering's edges: bytes of native uint64 (a, b) pairs."},
    {"_stage_join_shard", fastcall<join_shard_entry>(), METH_FASTCALL | METH_KEYWORDS,
     "_stage_join_shard(left, right, threshold, shard, shards, threads=0)\n--\n\n"
     "One shard of ratio_join(left, right, threshold) (right None: the self-join): bytes of\n"
     "native (uint64 i, uint64 j, float64 ratio), ascending by (i, j)."},
    {"_stage_cluster_minima", fastcall<cluster_minima_entry>(), METH_FASTCALL | METH_KEYWORDS,
     "_stage_cluster_minima(groups, threads=0)\n--\n\n"
     "The exact minimum pairwise ratio of each list of strings."},
    {"_stage_doc_frequencies", fastcall<doc_frequencies_entry>(), METH_FASTCALL | METH_KEYWORDS,
     "_stage_doc_frequencies(docs)\n--\n\n"
     "(tokens in first-seen order, their document counts as uint64 bytes, document count,\n"
     "each document's token ids as uint64 offsets and uint32 ids bytes)."},
    {"_stage_doc_frequencies_flat", fastcall<doc_frequencies_flat_entry>(),
     METH_FASTCALL | METH_KEYWORDS,
     "_stage_doc_frequencies_flat(doc_offsets, token_offsets, data)\n--\n\n"
     "_stage_doc_frequencies of documents packed as an Arrow list<string> array lays them out\n"
     "(uint64 offsets, UTF-8 data)."},
    {"_stage_idf", fastcall<idf_entry>(), METH_FASTCALL | METH_KEYWORDS,
     "_stage_idf(counts, n_docs)\n--\n\nidf = ln(n_docs / max(df, 1)) as float64 bytes."},
    {"_stage_unit_vectors", fastcall<unit_vectors_entry>(), METH_FASTCALL | METH_KEYWORDS,
     "_stage_unit_vectors(docs, vocabulary, idf)\n--\n\n"
     "The documents' unit TF-IDF vectors by id as (uint64 offsets, uint32 ids, float64\n"
     "weights) bytes, then the ids they hold and the largest weight of each."},
    {"_stage_term_order", fastcall<term_order_entry>(), METH_FASTCALL | METH_KEYWORDS,
     "_stage_term_order(n_ids, parts)\n--\n\n"
     "(term number of each id as uint32 bytes, largest weight of each term as float64 bytes)."},
    {"_stage_term_vectors", fastcall<term_vectors_entry>(), METH_FASTCALL | METH_KEYWORDS,
     "_stage_term_vectors(offsets, ids, weights, term_of)\n--\n\n"
     "Unit vectors renumbered by term as (uint64 offsets, uint32 terms, float64 weights)."},
    {"_stage_cosine_block", fastcall<cosine_block_entry>(), METH_FASTCALL | METH_KEYWORDS,
     "_stage_cosine_block(indexed, queries, max_weight, threshold, threads=0)\n--\n\n"
     "cosine_join's rows of queries (None: indexed itself) against indexed, as bytes of\n"
     "(uint64 j, uint64 i, float64 cos, uint32 touch), each index within its piece."},
    {"_stage_unit_vectors_of_ids", fastcall<unit_vectors_of_ids_entry>(),
     METH_FASTCALL | METH_KEYWORDS,
     "_stage_unit_vectors_of_ids(offsets, ids, tokens, vocabulary, idf)\n--\n\n"
     "_stage_unit_vectors for documents given as ids (uint32, uint64 offsets) into the piece's\n"
     "own tokens, which are looked up in the vocabulary once each."},
    {"_stage_cosine_shard", fastcall<cosine_shard_entry>(), METH_FASTCALL | METH_KEYWORDS,
     "_stage_cosine_shard(pieces, max_weight, threshold, shard, shards, threads=0)\n--\n\n"
     "One shard of cosine_join's rows over the pieces (offsets, terms, weights) in order, as\n"
     "bytes of (uint64 j, uint64 i, float64 cos, uint32 touch); the shards' rows in shard\n"
     "order are the whole join's."},
};
const size_t STAGE_DEF_COUNT = sizeof(STAGE_DEFS) / sizeof(STAGE_DEFS[0]);

}  // namespace ratiokit::py
