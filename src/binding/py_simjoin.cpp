// cosine_join(docs, threshold, concurrency="cpu", threads=0) and the CosineJoiner class, a heap
// type holding one built Corpus (simjoin/simjoin.hpp).
//
// A CosineJoiner holds no Python references, so it needs no GC support; its dealloc releases the
// type, as heap types must. The corpus is immutable after tp_new and the caller's reference keeps
// the object alive through a call, so joins read it without a lock or a copy, from any number of
// Python threads at once.
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "binding/convert.hpp"
#include "binding/entry_points.hpp"
#include "binding/progress.hpp"
#include "parallel/parallel.hpp"
#include "simjoin/simjoin.hpp"

namespace ratiokit::py {
namespace {

using TokenDocs = std::vector<std::vector<std::string>>;

// [(j, i, cos), ...]
PyObject* row_list(const std::vector<JoinRow>& rows) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(rows.size()));
  if (list == nullptr) return nullptr;
  for (size_t k = 0; k < rows.size(); ++k) {
    PyObject* row = PyTuple_New(3);
    if (row == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    // The tuple is in the list before its items are made, so one DECREF frees everything.
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(k), row);
    PyObject* items[3] = {PyLong_FromSize_t(rows[k].j), PyLong_FromSize_t(rows[k].i),
                          PyFloat_FromDouble(rows[k].cos)};
    for (Py_ssize_t f = 0; f < 3; ++f) PyTuple_SET_ITEM(row, f, items[f]);
    if (items[0] == nullptr || items[1] == nullptr || items[2] == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
  }
  return list;
}

// The arguments a join takes after its documents, converted in order and the mode validated, so
// that a bad mode is refused before anything is built.
struct JoinArgs {
  double threshold = 0.0;
  uint64_t threads = 0;
};

bool convert_join_args(PyObject* threshold, PyObject* concurrency, PyObject* threads,
                       InputRule rule, JoinArgs& out) {
  std::string mode = "cpu";
  if (!convert_arg(threshold, "threshold", to_f64, out.threshold) ||
      (concurrency != nullptr && !convert_arg(concurrency, "concurrency", to_utf8, mode)) ||
      (threads != nullptr && (rule == InputRule::Package
                                  ? !to_count(threads, "threads", out.threads)
                                  : !convert_arg(threads, "threads", to_u64, out.threads)))) {
    return false;
  }
  // No GPU backend in this build: every valid mode runs the exact CPU join.
  Concurrency unused;
  return parse_concurrency(mode, unused);
}

const char* const COSINE_JOIN_PARAMS[] = {"docs", "threshold", "concurrency", "threads",
                                          "progress"};
const Signature COSINE_JOIN_SIG{"cosine_join()", COSINE_JOIN_PARAMS, 4, 2};
const Signature PRIVATE_COSINE_JOIN_SIG{"_cosine_join()", COSINE_JOIN_PARAMS, 5, 2};

PyObject* cosine_join_entry(const Signature& sig, InputRule rule, PyObject* const* args,
                            Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[5] = {nullptr, nullptr, nullptr, nullptr, nullptr};
    if (!parse_fastcall(sig, args, nargs, kwnames, arg)) return nullptr;
    TokenDocs docs;
    JoinArgs join;
    if (!convert_arg(arg[0], "docs", rule == InputRule::Package ? to_token_column : to_token_lists,
                     docs) ||
        !convert_join_args(arg[1], arg[2], arg[3], rule, join)) {
      return nullptr;
    }
    PyObject* callable = nullptr;
    if (!to_progress(arg[4], callable)) return nullptr;
    ProgressReport report(callable);
    std::vector<JoinRow> rows;
    const bool ok = without_gil(
        [&] {
          rows = run_on_threads(join.threads, [&] {
            Progress* progress = report.record();
            progress_start(progress, "corpus", docs.size(), "%zu documents", docs.size());
            const Corpus corpus = corpus_from_token_docs(docs);
            progress_end(progress, "%zu terms", corpus.n_terms);
            TokenDocs().swap(docs);  // the corpus keeps no token text; free it before the join
            return cosine_join(corpus, join.threshold, progress);
          });
        },
        report.hook());
    return ok ? row_list(rows) : nullptr;
  });
}

PyObject* cosine_join_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return cosine_join_entry(COSINE_JOIN_SIG, InputRule::Module, args, nargs, kwnames);
}

PyObject* private_cosine_join_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return cosine_join_entry(PRIVATE_COSINE_JOIN_SIG, InputRule::Package, args, nargs, kwnames);
}

struct PyCosineJoiner {
  PyObject_HEAD
  Corpus corpus;
};

// The class, created by the first cosine_joiner_type() (defined below, after its spec).
extern HeapType TYPE;

// self's corpus, or nullptr with TypeError set when self is not a CosineJoiner.
const Corpus* corpus_of(PyObject* self) {
  PyCosineJoiner* object = TYPE.instance<PyCosineJoiner>(self);
  return object == nullptr ? nullptr : &object->corpus;
}

const char* const NEW_PARAMS[] = {"docs"};
const Signature NEW_SIG{"CosineJoiner()", NEW_PARAMS, 1, 1};

PyObject* joiner_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[1];
    if (!parse_tuple(NEW_SIG, args, kwargs, arg)) return nullptr;
    TokenDocs docs;
    if (!convert_arg(arg[0], "docs", to_token_lists, docs)) return nullptr;
    Corpus corpus;
    if (!without_gil([&] {
          corpus = corpus_from_token_docs(docs);
          TokenDocs().swap(docs);
        })) {
      return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&reinterpret_cast<PyCosineJoiner*>(self)->corpus) Corpus(std::move(corpus));
    return self;
  });
}

const char* const JOIN_PARAMS[] = {"threshold", "concurrency", "threads"};
const Signature JOIN_SIG{"CosineJoiner.join()", JOIN_PARAMS, 3, 1};

PyObject* joiner_join(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    const Corpus* corpus = corpus_of(self);
    if (corpus == nullptr) return nullptr;
    PyObject* arg[3];
    if (!parse_fastcall(JOIN_SIG, args, nargs, kwnames, arg)) return nullptr;
    JoinArgs join;
    if (!convert_join_args(arg[0], arg[1], arg[2], InputRule::Module, join)) return nullptr;
    std::vector<JoinRow> rows;
    const bool ok = without_gil([&] {
      rows = run_on_threads(join.threads, [&] { return cosine_join(*corpus, join.threshold); });
    });
    return ok ? row_list(rows) : nullptr;
  });
}

Py_ssize_t joiner_len(PyObject* self) {
  const Corpus* corpus = corpus_of(self);
  if (corpus == nullptr) return -1;
  if (corpus->n_docs > static_cast<size_t>(PY_SSIZE_T_MAX)) {
    PyErr_SetString(PyExc_OverflowError, msg::LENGTH_OVERFLOW);
    return -1;
  }
  return static_cast<Py_ssize_t>(corpus->n_docs);
}

PyObject* get_has_gpu(PyObject* self, void*) {
  if (corpus_of(self) == nullptr) return nullptr;
  Py_RETURN_FALSE;
}

template <class F>
PyCFunction as_cfunction(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef METHODS[] = {
    {"join", as_cfunction(joiner_join), METH_FASTCALL | METH_KEYWORDS,
     "join($self, threshold, concurrency=\"cpu\", threads=0)\n--\n\n"
     "Joins at threshold under the given mode (\"cpu\", \"gpu\" or \"gpu+cpu\"), reusing the\n"
     "handle's resources. Returns every pair whose cosine is at or above threshold as\n"
     "(j, i, cos) with j < i. The GIL is released for the compute. threads=0 uses all cores;\n"
     "threads=N caps the call to N threads."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef GETSET[] = {
    {"has_gpu", get_has_gpu, nullptr,
     "Whether a GPU backend was acquired (always False on builds without one). When False,\n"
     "every join runs on the CPU whatever its concurrency argument.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char JOINER_DOC[] =
    "CosineJoiner(docs)\n--\n\n"
    "A stateful similarity-join handle. It builds the TF-IDF corpus of docs (and, where a GPU\n"
    "backend exists, acquires the device and uploads the corpus) once, then answers repeated\n"
    "join(threshold, concurrency=...) calls reusing them, while the free cosine_join rebuilds\n"
    "everything per call. len() is the number of documents, empty ones included.";

PyType_Slot SLOTS[] = {
    {Py_tp_doc, const_cast<char*>(JOINER_DOC)},
    {Py_tp_new, reinterpret_cast<void*>(joiner_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<PyCosineJoiner>)},
    {Py_tp_methods, METHODS},
    {Py_tp_getset, GETSET},
    {Py_sq_length, reinterpret_cast<void*>(joiner_len)},
    {Py_mp_length, reinterpret_cast<void*>(joiner_len)},
    {0, nullptr},
};

PyType_Spec SPEC = {
    "ratiokit.CosineJoiner",
    static_cast<int>(sizeof(PyCosineJoiner)),
    0,
    HEAP_TYPE_FLAGS | Py_TPFLAGS_BASETYPE,
    SLOTS,
};

HeapType TYPE{&SPEC};

}  // namespace

PyMethodDef COSINE_JOIN_DEF = {
    "cosine_join", as_cfunction(cosine_join_fn), METH_FASTCALL | METH_KEYWORDS,
    "cosine_join(docs, threshold, concurrency=\"cpu\", threads=0)\n--\n\n"
    "Exact all-pairs weighted-cosine similarity join over token documents. Each doc is a list\n"
    "of string tokens (for example a function's canonical lines); the docs are turned into\n"
    "TF-IDF sparse vectors, and every pair whose cosine is at or above threshold is returned\n"
    "as (j, i, cos) with j < i.\n\n"
    "concurrency: \"cpu\" is exact double precision everywhere; \"gpu+cpu\" is a\n"
    "GPU-accelerated hybrid, byte-identical to \"cpu\"; \"gpu\" computes the dot products in\n"
    "single precision and differs from exact only on pairs within about 1e-6 of the\n"
    "threshold. Without a GPU backend the GPU modes quietly fall back to the CPU.\n\n"
    "The GIL is released for the whole build and join. threads=0 uses all cores; threads=N\n"
    "caps the call to N threads. CosineJoiner serves repeated joins on one corpus."};

PyMethodDef PRIVATE_COSINE_JOIN_DEF = {
    "_cosine_join", as_cfunction(private_cosine_join_fn), METH_FASTCALL | METH_KEYWORDS,
    "_cosine_join(docs, threshold, concurrency=\"cpu\", threads=0, progress=None)\n--\n\n"
    "cosine_join under the package's input rule (documents from any iterable of token\n"
    "iterables), with a progress callable (see _cluster_canonicals)."};

PyObject* cosine_joiner_type() { return TYPE.get(); }

}  // namespace ratiokit::py
