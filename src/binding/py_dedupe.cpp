// The private _dedupe(strings, threshold, threads=0, progress=None) behind ratiokit.dedupe.
// The package validates the threshold.
#include "binding/convert.hpp"
#include "binding/entry_points.hpp"
#include "binding/progress.hpp"
#include "cluster/cluster.hpp"
#include "dedupe/dedupe.hpp"
#include "parallel/parallel.hpp"

namespace ratiokit::py {
namespace {

const char* const DEDUPE_PARAMS[] = {"strings", "threshold", "threads", "progress"};
const Signature DEDUPE_SIG{"_dedupe()", DEDUPE_PARAMS, 4, 2};

PyObject* dedupe(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    StringsCall call;
    if (!read_strings_call(DEDUPE_SIG, InputRule::Package, args, nargs, kwnames, call)) return nullptr;
    std::vector<CodePoints>& strings = call.strings;
    const double threshold = call.threshold;
    const uint64_t threads = call.threads;
    ProgressReport report(call.progress);
    std::vector<size_t> labels;
    const bool ok = without_gil(
        [&] {
          labels = run_on_threads(threads, [&] {
            return dedupe_chars(strings, threshold, report.record());
          });
          std::vector<CodePoints>().swap(strings);
        },
        report.hook());
    if (!ok) return nullptr;
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(labels.size()));
    if (list == nullptr) return nullptr;
    for (size_t k = 0; k < labels.size(); ++k) {
      PyObject* label = PyLong_FromSize_t(labels[k]);
      if (label == nullptr) {
        Py_DECREF(list);
        return nullptr;
      }
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(k), label);
    }
    return list;
  });
}

}  // namespace

PyMethodDef DEDUPE_DEF = {
    "_dedupe", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(dedupe)),
    METH_FASTCALL | METH_KEYWORDS,
    "_dedupe(strings, threshold, threads=0, progress=None)\n--\n\n"
    "One representative index per row: a row is kept (its own index) when no kept row before\n"
    "it reaches threshold with it, else the first kept row that does. Backs ratiokit.dedupe."};

}  // namespace ratiokit::py
