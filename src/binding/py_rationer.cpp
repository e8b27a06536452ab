// The Rationer class: a heap type wrapping the Rationer core (rationer/rationer.hpp).
//
// An instance holds no Python references, so it needs no GC support; its dealloc releases the
// type, as heap types must. The core is immutable after tp_new, so methods read it without a
// lock; each call copies it (one reference count on the pool) before releasing the GIL, so the
// pool outlives the call whatever happens to the Python object meanwhile.
#include <new>
#include <string>
#include <utility>

#include "binding/batch.hpp"
#include "binding/convert.hpp"
#include "binding/entry_points.hpp"
#include "binding/environment.hpp"
#include "binding/progress.hpp"
#include "rationer/rationer.hpp"

namespace ratiokit::py {
namespace {

struct PyRationer {
  PyObject_HEAD
  Rationer core;
};

// The class, created by the first rationer_type() (defined below, after its spec).
extern HeapType TYPE;

// self's core, or nullptr with TypeError set when self is not a Rationer.
const Rationer* core_of(PyObject* self) {
  PyRationer* object = TYPE.instance<PyRationer>(self);
  return object == nullptr ? nullptr : &object->core;
}

const char* const NEW_PARAMS[] = {"concurrency", "threads", "delta"};
const Signature NEW_SIG{"Rationer()", NEW_PARAMS, 3, 0};

PyObject* rationer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[3];
    if (!parse_tuple(NEW_SIG, args, kwargs, arg)) return nullptr;
    std::string mode = "gpu+cpu";
    uint64_t threads = 0;
    double delta = 0.0;
    if ((arg[0] != nullptr && !convert_arg(arg[0], "concurrency", to_utf8, mode)) ||
        (arg[1] != nullptr && !convert_arg(arg[1], "threads", to_u64, threads)) ||
        (arg[2] != nullptr && !convert_arg(arg[2], "delta", to_f64, delta))) {
      return nullptr;
    }
    Concurrency requested;
    if (!parse_concurrency(mode, requested)) return nullptr;
    Rationer core;
    // Starting thousands of workers takes a while; other Python threads need not wait for it.
    if (!without_gil([&] { core = make_rationer(requested, threads, delta); })) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;  // `core` goes, and its pool with it
    new (&reinterpret_cast<PyRationer*>(self)->core) Rationer(std::move(core));
    return self;
  });
}

const char* const RATIO_PARAMS[] = {"a", "b"};
const Signature RATIO_SIG{"Rationer.ratio()", RATIO_PARAMS, 2, 2};

PyObject* rationer_ratio(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    const Rationer* core = core_of(self);
    if (core == nullptr) return nullptr;
    return pair_ratio(RATIO_SIG, args, nargs, kwnames, core);
  });
}

const char* const RATIO_MANY_PARAMS[] = {"pairs"};
const Signature RATIO_MANY_SIG{"Rationer.ratio_many()", RATIO_MANY_PARAMS, 1, 1};

const Signature PAIRS_RATIO_MANY_SIG{"Rationer._ratio_many_pairs()", RATIO_MANY_PARAMS, 1, 1};

// ratio_many, and the private _ratio_many_pairs behind the package's method, which takes pairs
// by the package's rule (any iterable of two-item pairs of str or of sequences of items).
PyObject* rationer_batch_entry(const Signature& sig, PairShape shape, PyObject* self,
                               PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    const Rationer* core = core_of(self);
    if (core == nullptr) return nullptr;
    PyObject* arg[1];
    if (!parse_fastcall(sig, args, nargs, kwnames, arg)) return nullptr;
    // A copy keeps the pool alive whatever happens to the object meanwhile.
    const Rationer handle = *core;
    return ratio_batch(arg[0], 0, &handle, nullptr, shape);
  });
}

PyObject* rationer_ratio_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return rationer_batch_entry(RATIO_MANY_SIG, PairShape::tuples, self, args, nargs, kwnames);
}

PyObject* rationer_ratio_many_pairs(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  return rationer_batch_entry(PAIRS_RATIO_MANY_SIG, PairShape::any_pairs, self, args, nargs,
                              kwnames);
}

const char* const CLUSTER_PARAMS[] = {"canonicals", "threshold", "progress"};
const Signature CLUSTER_SIG{"Rationer.cluster_canonicals()", CLUSTER_PARAMS, 2, 2};
const Signature PROGRESS_CLUSTER_SIG{"Rationer._cluster_canonicals_progress()", CLUSTER_PARAMS, 3,
                                     2};

// Both cluster_canonicals methods; the private one, behind the package's method, takes the
// package's input rule and a progress callable as well.
PyObject* rationer_cluster_entry(const Signature& sig, InputRule rule, PyObject* self,
                                 PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    const Rationer* core = core_of(self);
    if (core == nullptr) return nullptr;
    PyObject* arg[3] = {nullptr, nullptr, nullptr};
    if (!parse_fastcall(sig, args, nargs, kwnames, arg)) return nullptr;
    std::vector<CodePoints> canonicals;
    double threshold = 0.0;
    if (!convert_arg(arg[0], "canonicals",
                     rule == InputRule::Package ? to_text_column : to_bounded_text_list,
                     "canonicals", MAX_CLUSTER_STRINGS, canonicals)) {
      return nullptr;
    }
    if (!convert_arg(arg[1], "threshold", to_f64, threshold)) return nullptr;
    PyObject* callable = nullptr;
    if (!to_progress(arg[2], callable)) return nullptr;
    const Rationer handle = *core;
    ProgressReport report(callable);  // without a callable: RATIOKIT_PROGRESS lines only
    std::vector<Cluster> clusters;
    if (!without_gil(
            [&] { clusters = handle.cluster_canonicals(canonicals, threshold, report.record()); },
            report.hook())) {
      return nullptr;
    }
    return cluster_list(clusters);
  });
}

PyObject* rationer_cluster_canonicals(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
  return rationer_cluster_entry(CLUSTER_SIG, InputRule::Module, self, args, nargs, kwnames);
}

PyObject* rationer_cluster_canonicals_progress(PyObject* self, PyObject* const* args,
                                               Py_ssize_t nargs, PyObject* kwnames) {
  return rationer_cluster_entry(PROGRESS_CLUSTER_SIG, InputRule::Package, self, args, nargs,
                                kwnames);
}

PyObject* get_delta(PyObject* self, void*) {
  const Rationer* core = core_of(self);
  return core == nullptr ? nullptr : PyFloat_FromDouble(core->delta);
}

PyObject* get_concurrency(PyObject* self, void*) {
  const Rationer* core = core_of(self);
  return core == nullptr ? nullptr : PyUnicode_FromString(concurrency_name(core->concurrency));
}

template <class F>
PyCFunction as_cfunction(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef METHODS[] = {
    {"ratio", as_cfunction(rationer_ratio), METH_FASTCALL | METH_KEYWORDS,
     "ratio($self, a, b)\n--\n\n"
     "Single-pair exact ratio, always on the CPU."},
    {"ratio_many", as_cfunction(rationer_ratio_many), METH_FASTCALL | METH_KEYWORDS,
     "ratio_many($self, pairs)\n--\n\n"
     "Batched exact ratio over (a, b) pairs on the CPU with the GIL released. A batch that\n"
     "starts with long texts or repeated pairs is read whole, so that pairs sharing a text\n"
     "share its suffix automaton; any other is read a part at a time, as ratio_many does."},
    {"_ratio_many_pairs", as_cfunction(rationer_ratio_many_pairs), METH_FASTCALL | METH_KEYWORDS,
     "_ratio_many_pairs($self, pairs)\n--\n\n"
     "ratio_many taking pairs by the package's rule: any iterable of two-item pairs, each two\n"
     "str or two sequences of hashable items."},
    {"cluster_canonicals", as_cfunction(rationer_cluster_canonicals),
     METH_FASTCALL | METH_KEYWORDS,
     "cluster_canonicals($self, canonicals, threshold)\n--\n\n"
     "Exact single-linkage clustering at threshold, with the same output as the free\n"
     "cluster_canonicals."},
    {"_cluster_canonicals_progress", as_cfunction(rationer_cluster_canonicals_progress),
     METH_FASTCALL | METH_KEYWORDS,
     "_cluster_canonicals_progress($self, canonicals, threshold, progress=None)\n--\n\n"
     "cluster_canonicals with a progress callable, called as progress(phase, done, total) on\n"
     "the calling thread with the GIL held, at most about ten times a second; an exception it\n"
     "raises cancels the call and propagates."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef GETSET[] = {
    {"delta", get_delta, nullptr, "Active approximate-RO `delta` (0.0 = exact).", nullptr},
    {"concurrency", get_concurrency, nullptr,
     "Active backend after construction-time fallback: \"cpu\", \"gpu\" or \"gpu+cpu\". A\n"
     "handle requested as \"gpu\" on a build or host without a GPU backend reports \"cpu\".",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char RATIONER_DOC[] =
    "Rationer(concurrency=\"gpu+cpu\", threads=0, delta=0.0)\n--\n\n"
    "A handle that owns long-lived backend resources once and reuses them across calls,\n"
    "where the free functions rebuild per-call state each time. threads=N gives it a private\n"
    "pool of N workers for its lifetime; threads=0 uses the shared pool.\n\n"
    "concurrency is one of \"cpu\", \"gpu\", \"gpu+cpu\". A GPU is engaged only where it was\n"
    "measured to win, namely cluster_canonicals on a single large group, while ratio and\n"
    "ratio_many stay on the CPU. Without a GPU backend every call quietly runs on the CPU with\n"
    "identical output.";

PyType_Slot SLOTS[] = {
    {Py_tp_doc, const_cast<char*>(RATIONER_DOC)},
    {Py_tp_new, reinterpret_cast<void*>(rationer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<PyRationer>)},
    {Py_tp_methods, METHODS},
    {Py_tp_getset, GETSET},
    {0, nullptr},
};

// A base type: the package's Rationer adds keyword arguments in Python.
PyType_Spec SPEC = {
    "ratiokit.Rationer",
    static_cast<int>(sizeof(PyRationer)),
    0,
    HEAP_TYPE_FLAGS | Py_TPFLAGS_BASETYPE,
    SLOTS,
};

HeapType TYPE{&SPEC};

}  // namespace

PyObject* rationer_type() { return TYPE.get(); }

}  // namespace ratiokit::py
