// cluster_canonicals(canonicals, threshold, threads=0), and the private
// _cluster_canonicals(canonicals, threshold, threads=0, progress=None) behind the package's
// wrapper of the same public name; and _cluster_resident_budget, for tests of the memory bound.
#include "binding/convert.hpp"
#include "binding/entry_points.hpp"
#include "binding/progress.hpp"
#include "cluster/cluster.hpp"
#include "parallel/parallel.hpp"

namespace ratiokit::py {
namespace {

const char* const CLUSTER_PARAMS[] = {"canonicals", "threshold", "threads", "progress"};
const Signature CLUSTER_SIG{"cluster_canonicals()", CLUSTER_PARAMS, 3, 2};
const Signature PRIVATE_CLUSTER_SIG{"_cluster_canonicals()", CLUSTER_PARAMS, 4, 2};

PyObject* cluster_entry(const Signature& sig, InputRule rule, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    StringsCall call;
    if (!read_strings_call(sig, rule, args, nargs, kwnames, call)) return nullptr;
    std::vector<CodePoints>& canonicals = call.strings;
    const double threshold = call.threshold;
    const uint64_t threads = call.threads;
    ProgressReport report(call.progress);
    std::vector<Cluster> clusters;
    const bool ok = without_gil(
        [&] {
          clusters = run_on_threads(threads, [&] {
            return cluster_canonicals_chars(canonicals, threshold, report.record());
          });
          std::vector<CodePoints>().swap(canonicals);
        },
        report.hook());
    return ok ? cluster_list(clusters) : nullptr;
  });
}

PyObject* cluster_canonicals(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return cluster_entry(CLUSTER_SIG, InputRule::Module, args, nargs, kwnames);
}

PyObject* private_cluster_canonicals(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  return cluster_entry(PRIVATE_CLUSTER_SIG, InputRule::Package, args, nargs, kwnames);
}

PyObject* cluster_resident_budget(PyObject*, PyObject* arg) {
  const size_t budget = PyLong_AsSize_t(arg);
  if (budget == static_cast<size_t>(-1) && PyErr_Occurred()) return nullptr;
  return PyLong_FromSize_t(set_default_resident_budget(budget));
}

}  // namespace

PyMethodDef CLUSTER_RESIDENT_BUDGET_DEF = {
    "_cluster_resident_budget", cluster_resident_budget, METH_O,
    "_cluster_resident_budget(code_points)\n--\n\n"
    "Sets how many code points of text the automata of one clustering call may cover at once\n"
    "(memory and time only, never a result) and returns the previous value. For tests."};

PyMethodDef CLUSTER_CANONICALS_DEF = {
    "cluster_canonicals",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(cluster_canonicals)),
    METH_FASTCALL | METH_KEYWORDS,
    "cluster_canonicals(canonicals, threshold, threads=0)\n--\n\n"
    "Exact single-linkage clustering of canonicals at a ratio threshold. Returns a list of\n"
    "(member indices, minimum pairwise ratio), one per cluster of two or more members.\n\n"
    "The all-pairs join fans out across cores inside the module, so no Python threads are\n"
    "needed, and the GIL is released during the compute. threads=0 uses all cores; threads=N\n"
    "caps the call to N threads."};

PyMethodDef PRIVATE_CLUSTER_CANONICALS_DEF = {
    "_cluster_canonicals",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(private_cluster_canonicals)),
    METH_FASTCALL | METH_KEYWORDS,
    "_cluster_canonicals(canonicals, threshold, threads=0, progress=None)\n--\n\n"
    "cluster_canonicals under the package's input rule (any iterable of str), with a progress\n"
    "callable, called as progress(phase, done, total) on the calling thread with the GIL held,\n"
    "at most about ten times a second; an exception it raises cancels the call and propagates."};

}  // namespace ratiokit::py
