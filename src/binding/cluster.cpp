// cluster_canonicals(canonicals, threshold, threads=0).
#include "binding/convert.hpp"
#include "binding/entry_points.hpp"
#include "cluster/cluster.hpp"
#include "parallel/parallel.hpp"

namespace ratiokit::py {
namespace {

// Candidate and work lists index strings with 32 bits; more strings would wrap silently.
constexpr const char* TOO_MANY_STRINGS =
    "argument '%s': %zd strings are more than the supported maximum of %zu";

bool refuse_count(const char* name, Py_ssize_t count) {
  PyErr_Format(PyExc_ValueError, TOO_MANY_STRINGS, name, count, MAX_CLUSTER_STRINGS);
  return false;
}

// A list of texts that clustering can index. The declared length is checked before any item is
// copied, so an oversized input fails at once rather than after copying it.
bool to_cluster_strings(PyObject* obj, const char* name, std::vector<CodePoints>& out) {
  if (!PyUnicode_Check(obj)) {
    const Py_ssize_t declared = PyObject_Size(obj);
    if (declared < 0) {
      PyErr_Clear();
    } else if (static_cast<size_t>(declared) > MAX_CLUSTER_STRINGS) {
      return refuse_count(name, declared);
    }
  }
  if (!convert_arg(obj, name, to_text_list, name, out)) return false;
  if (out.size() > MAX_CLUSTER_STRINGS) {
    return refuse_count(name, static_cast<Py_ssize_t>(out.size()));
  }
  return true;
}

const char* const CLUSTER_PARAMS[] = {"canonicals", "threshold", "threads"};
const Signature CLUSTER_SIG{"cluster_canonicals()", CLUSTER_PARAMS, 3, 2};

PyObject* cluster_canonicals(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[3];
    if (!parse_fastcall(CLUSTER_SIG, args, nargs, kwnames, arg)) return nullptr;
    std::vector<CodePoints> canonicals;
    double threshold = 0.0;
    uint64_t threads = 0;
    if (!to_cluster_strings(arg[0], "canonicals", canonicals) ||
        !convert_arg(arg[1], "threshold", to_f64, threshold) ||
        (arg[2] != nullptr && !convert_arg(arg[2], "threads", to_u64, threads))) {
      return nullptr;
    }
    std::vector<Cluster> clusters;
    const bool ok = without_gil([&] {
      clusters = run_on_threads(threads, [&] {
        return cluster_canonicals_chars(canonicals, threshold);
      });
      std::vector<CodePoints>().swap(canonicals);
    });
    return ok ? cluster_list(clusters) : nullptr;
  });
}

}  // namespace

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

}  // namespace ratiokit::py
