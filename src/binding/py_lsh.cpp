// cluster_canonicals_lsh(canonicals, threshold, num_perm, band_rows, threads=0), and the private
// _cluster_canonicals_lsh(..., threads=0, progress=None) behind the package's wrapper.
#include "binding/convert.hpp"
#include "binding/entry_points.hpp"
#include "binding/progress.hpp"
#include "cluster/lsh.hpp"
#include "parallel/parallel.hpp"

namespace ratiokit::py {
namespace {

// Takes the converted inputs, runs the clustering with the GIL released and frees them there.
bool cluster_canonicals_lsh(std::vector<CodePoints>&& canonicals, double threshold,
                            uint64_t num_perm, uint64_t band_rows, uint64_t threads,
                            ProgressReport& report, std::vector<Cluster>& clusters) {
  std::vector<CodePoints> owned = std::move(canonicals);
  return without_gil(
      [&] {
        clusters = run_on_threads(threads, [&] {
          return ratiokit::cluster_canonicals_lsh(owned, threshold, num_perm, band_rows,
                                                  report.record());
        });
        std::vector<CodePoints>().swap(owned);
      },
      report.hook());
}

const char* const LSH_PARAMS[] = {"canonicals", "threshold", "num_perm",
                                  "band_rows",  "threads",   "progress"};
const Signature LSH_SIG{"cluster_canonicals_lsh()", LSH_PARAMS, 5, 4};
const Signature PRIVATE_LSH_SIG{"_cluster_canonicals_lsh()", LSH_PARAMS, 6, 4};

PyObject* lsh_entry(const Signature& sig, InputRule rule, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[6] = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    if (!parse_fastcall(sig, args, nargs, kwnames, arg)) return nullptr;
    std::vector<CodePoints> canonicals;
    double threshold = 0.0;
    uint64_t num_perm = 0;
    uint64_t band_rows = 0;
    uint64_t threads = 0;
    const bool package = rule == InputRule::Package;
    const auto count = [&](PyObject* obj, const char* name, uint64_t& out) {
      return package ? to_count(obj, name, out) : convert_arg(obj, name, to_u64, out);
    };
    if (!convert_arg(arg[0], "canonicals", package ? to_text_column : to_bounded_text_list,
                     "canonicals", MAX_CLUSTER_STRINGS, canonicals) ||
        !convert_arg(arg[1], "threshold", to_f64, threshold) ||
        !count(arg[2], "num_perm", num_perm) || !count(arg[3], "band_rows", band_rows) ||
        (arg[4] != nullptr && !count(arg[4], "threads", threads))) {
      return nullptr;
    }
    PyObject* callable = nullptr;
    if (!to_progress(arg[5], callable)) return nullptr;
    ProgressReport report(callable);
    std::vector<Cluster> clusters;
    if (!cluster_canonicals_lsh(std::move(canonicals), threshold, num_perm, band_rows, threads,
                                report, clusters)) {
      return nullptr;
    }
    return cluster_list(clusters);
  });
}

PyObject* cluster_canonicals_lsh_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
  return lsh_entry(LSH_SIG, InputRule::Module, args, nargs, kwnames);
}

PyObject* private_lsh_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return lsh_entry(PRIVATE_LSH_SIG, InputRule::Package, args, nargs, kwnames);
}

}  // namespace

PyMethodDef CLUSTER_CANONICALS_LSH_DEF = {
    "cluster_canonicals_lsh",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(cluster_canonicals_lsh_entry)),
    METH_FASTCALL | METH_KEYWORDS,
    "cluster_canonicals_lsh(canonicals, threshold, num_perm, band_rows, threads=0)\n--\n\n"
    "Scalable LSH variant of cluster_canonicals: MinHash signatures of num_perm values over\n"
    "9-byte shingles, bands of band_rows values, candidate pairs from shared buckets, each\n"
    "verified exactly at threshold. Returns a list of (member indices, minimum pairwise ratio);\n"
    "pairs that never share a bucket are never linked.\n\n"
    "The GIL is released during the compute. threads=0 uses all cores; threads=N caps the call\n"
    "to N threads."};

PyMethodDef PRIVATE_CLUSTER_CANONICALS_LSH_DEF = {
    "_cluster_canonicals_lsh",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(private_lsh_entry)),
    METH_FASTCALL | METH_KEYWORDS,
    "_cluster_canonicals_lsh(canonicals, threshold, num_perm, band_rows, threads=0, "
    "progress=None)\n--\n\n"
    "cluster_canonicals_lsh under the package's input rule, with a progress callable (see\n"
    "_cluster_canonicals)."};

}  // namespace ratiokit::py
