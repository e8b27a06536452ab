// ratio(a, b) and ratio_many(pairs, threads=0).
#include "binding/convert.hpp"
#include "binding/environment.hpp"
#include "binding/entry_points.hpp"
#include "parallel/parallel.hpp"
#include "ratio/ratio.hpp"

namespace ratiokit::py {
namespace {

const char* const RATIO_PARAMS[] = {"a", "b"};
const Signature RATIO_SIG{"ratio()", RATIO_PARAMS, 2, 2};

PyObject* ratio(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[2];
    if (!parse_fastcall(RATIO_SIG, args, nargs, kwnames, arg)) return nullptr;
    CodePoints a, b;
    if (!to_text_pair(arg, a, b)) return nullptr;
    const uint64_t work_factor = work_factor_setting();
    double value = 0.0;
    if (!without_gil([&] { value = ratio_chars(a, b, work_factor); })) return nullptr;
    return PyFloat_FromDouble(value);
  });
}

const char* const RATIO_MANY_PARAMS[] = {"pairs", "threads"};
const Signature RATIO_MANY_SIG{"ratio_many()", RATIO_MANY_PARAMS, 2, 1};

PyObject* ratio_many(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[2];
    if (!parse_fastcall(RATIO_MANY_SIG, args, nargs, kwnames, arg)) return nullptr;
    std::vector<std::pair<CodePoints, CodePoints>> pairs;
    uint64_t threads = 0;
    if (!convert_arg(arg[0], "pairs", to_pair_list, "pairs", pairs) ||
        (arg[1] != nullptr && !convert_arg(arg[1], "threads", to_u64, threads))) {
      return nullptr;
    }
    const uint64_t work_factor = work_factor_setting();
    std::vector<double> values;
    const bool ok = without_gil([&] {
      values = run_on_threads(threads, [&] {
        return parallel_map<double>(pairs.size(), [&](size_t k) {
          return ratio_chars(pairs[k].first, pairs[k].second, work_factor);
        });
      });
    });
    return ok ? float_list(values) : nullptr;
  });
}

}  // namespace

PyMethodDef RATIO_DEF = {
    "ratio", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ratio)),
    METH_FASTCALL | METH_KEYWORDS,
    "ratio(a, b)\n--\n\n"
    "Fast exact difflib.SequenceMatcher(None, a, b, autojunk=False).ratio().\n\n"
    "The GIL is released for the compute after both inputs are copied into owned strings, so\n"
    "calls from many Python threads scale across cores instead of serialising on the GIL.\n"
    "Backs the scalar form of the package's public ratio; the package routes a batch to\n"
    "ratio_many."};

PyMethodDef RATIO_MANY_DEF = {
    "ratio_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ratio_many)),
    METH_FASTCALL | METH_KEYWORDS,
    "ratio_many(pairs, threads=0)\n--\n\n"
    "One exact ratio per (a, b) pair, computed across cores inside the module with the GIL\n"
    "released. Backs the list form of the package's public ratio. threads=0 uses all cores;\n"
    "threads=N caps the call to N threads."};

}  // namespace ratiokit::py
