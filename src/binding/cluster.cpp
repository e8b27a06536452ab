// cluster_canonicals(canonicals, threshold, threads=0).
#include "binding/convert.hpp"
#include "binding/entry_points.hpp"
#include "cluster/cluster.hpp"
#include "parallel/parallel.hpp"

namespace ratiokit::py {
namespace {

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
    if (!convert_arg(arg[0], "canonicals", to_bounded_text_list, "canonicals",
                     MAX_CLUSTER_STRINGS, canonicals) ||
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
