// ratio(a, b) and ratio_many(pairs, threads=0).
#include "binding/convert.hpp"
#include "binding/environment.hpp"
#include "binding/entry_points.hpp"
#include "parallel/parallel.hpp"
#include "ratio/ratio.hpp"
#include "rationer/rationer.hpp"

namespace ratiokit::py {
namespace {

const char* const RATIO_PARAMS[] = {"a", "b"};
const Signature RATIO_SIG{"ratio()", RATIO_PARAMS, 2, 2};

PyObject* ratio(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[2];
    if (!parse_fastcall(RATIO_SIG, args, nargs, kwnames, arg)) return nullptr;
    Borrow<CodePoints> a(PAIR_A), b(PAIR_B);
    if (!to_text_pair(arg, *a, *b)) return nullptr;
    const uint64_t work_factor = work_factor_setting();
    double value = 0.0;
    if (!without_gil([&] { value = ratio_chars(*a, *b, work_factor); })) return nullptr;
    return PyFloat_FromDouble(value);
  });
}

const char* const RATIO_MANY_PARAMS[] = {"pairs", "threads"};
const Signature RATIO_MANY_SIG{"ratio_many()", RATIO_MANY_PARAMS, 2, 1};

PyObject* ratio_many(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[2];
    if (!parse_fastcall(RATIO_MANY_SIG, args, nargs, kwnames, arg)) return nullptr;
    FlatPairs flat;
    uint64_t threads = 0;
    if (!convert_arg(arg[0], "pairs", to_flat_pairs, "pairs", flat) ||
        (arg[1] != nullptr && !convert_arg(arg[1], "threads", to_u64, threads))) {
      return nullptr;
    }
    const uint64_t work_factor = work_factor_setting();
    std::vector<double> values;
    const bool ok = without_gil([&] {
      values = run_on_threads(threads, [&] { return ratio_many_plain(flat.pairs, work_factor); });
    });
    return ok ? float_list(values) : nullptr;
  });
}

const char* const RATIO_BY_PARAMS[] = {"a", "b", "search"};
const Signature RATIO_BY_SIG{"_ratio_by()", RATIO_BY_PARAMS, 3, 3};

PyObject* ratio_by_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[3];
    if (!parse_fastcall(RATIO_BY_SIG, args, nargs, kwnames, arg)) return nullptr;
    CodePoints a, b;
    std::string name;
    if (!to_text_pair(arg, a, b) || !convert_arg(arg[2], "search", to_utf8, name)) return nullptr;
    Search search;
    if (name == "bits") {
      search = Search::bits;
    } else if (name == "b2j") {
      search = Search::b2j;
    } else if (name == "automaton") {
      search = Search::automaton;
    } else {
      PyErr_Format(PyExc_ValueError, "unknown search %R (expected 'bits', 'b2j' or 'automaton')",
                   arg[2]);
      return nullptr;
    }
    if (!search_applies(search, a, b)) {
      PyErr_Format(PyExc_ValueError, "the %s search does not apply to this pair", name.c_str());
      return nullptr;
    }
    double value = 0.0;
    if (!without_gil([&] { value = ratio_by(a, b, search); })) return nullptr;
    return PyFloat_FromDouble(value);
  });
}

}  // namespace

PyMethodDef RATIO_BY_DEF = {
    "_ratio_by", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ratio_by_entry)),
    METH_FASTCALL | METH_KEYWORDS,
    "_ratio_by(a, b, search)\n--\n\n"
    "The exact ratio by one longest-match search ('bits', 'b2j' or 'automaton'), for tests that\n"
    "hold every search against difflib. ValueError where the search does not apply: 'bits'\n"
    "needs one text of at most 256 code points, 'b2j' two ASCII texts."};

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
