// The private entry points behind the package's search and join functions:
// _ratio_autojunk(a, b), _extract(query, choices, limit, cutoff, autojunk, keep_ties, threads),
// _ratio_join(left, right, threshold, threads, progress=None) and _ratio_join_columns (the same
// arguments). The package validates and normalises their arguments; these take lists of str and
// plain numbers.
#include "binding/convert.hpp"
#include "binding/entry_points.hpp"
#include "binding/environment.hpp"
#include "binding/progress.hpp"
#include "parallel/parallel.hpp"
#include "ratio/ratio.hpp"
#include "cluster/cluster.hpp"
#include "search/search.hpp"

#include <cstring>
#include <iterator>
#include <memory>

namespace ratiokit::py {
namespace {

bool to_bool(PyObject* obj, bool& out) {
  const int truth = PyObject_IsTrue(obj);
  if (truth < 0) return false;
  out = truth != 0;
  return true;
}

// Many short texts in one buffer: a query meets every choice once, so one allocation for all
// of them instead of one each is most of the conversion's cost.
struct FlatTexts {
  std::unique_ptr<uint32_t[]> units;  // not zeroed first: every unit is written
  std::vector<Text> texts;
};

template <class T>
bool widen(const T* data, size_t n, uint32_t* out) {
  bool surrogate = false;
  for (size_t k = 0; k < n; ++k) {
    const uint32_t c = data[k];
    if constexpr (sizeof(T) > 1) surrogate |= (c - 0xD800u) < 0x800u;
    out[k] = c;
  }
  return !surrogate;
}

// A list of str (the package passes nothing else) into one buffer.
bool to_flat_texts(PyObject* obj, FlatTexts& out) {
  if (!PyList_Check(obj)) {
    type_mismatch(obj, "list");
    return false;
  }
  const Py_ssize_t n = PyList_GET_SIZE(obj);
  size_t total = 0;
  for (Py_ssize_t k = 0; k < n; ++k) {
    PyObject* item = PyList_GET_ITEM(obj, k);
    if (!PyUnicode_Check(item)) {
      type_mismatch(item, "str");
      return false;
    }
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(item) < 0) return false;
#endif
    const auto len = static_cast<size_t>(PyUnicode_GET_LENGTH(item));
    if (len > MAX_TEXT_LEN) {
      PyErr_SetString(PyExc_ValueError, "a text is longer than the supported maximum");
      return false;
    }
    total += len;
  }
  out.units.reset(new uint32_t[total]);
  out.texts.resize(static_cast<size_t>(n));
  size_t at = 0;
  for (Py_ssize_t k = 0; k < n; ++k) {
    PyObject* item = PyList_GET_ITEM(obj, k);
    const auto len = static_cast<size_t>(PyUnicode_GET_LENGTH(item));
    const void* data = PyUnicode_DATA(item);
    uint32_t* dest = out.units.get() + at;
    bool ok;
    switch (PyUnicode_KIND(item)) {
      case PyUnicode_1BYTE_KIND:
        ok = widen(static_cast<const Py_UCS1*>(data), len, dest);
        break;
      case PyUnicode_2BYTE_KIND:
        ok = widen(static_cast<const Py_UCS2*>(data), len, dest);
        break;
      default:
        ok = widen(static_cast<const Py_UCS4*>(data), len, dest);
        break;
    }
    if (!ok) {
      // A lone surrogate cannot be encoded: the interpreter raises its own UnicodeEncodeError.
      PyObject* encoded = PyUnicode_AsUTF8String(item);
      if (encoded == nullptr) return false;
      Py_DECREF(encoded);
    }
    out.texts[static_cast<size_t>(k)] = Text(dest, len);
    at += len;
  }
  return true;
}

const char* const AUTOJUNK_PARAMS[] = {"a", "b"};
const Signature AUTOJUNK_SIG{"_ratio_autojunk()", AUTOJUNK_PARAMS, 2, 2};

PyObject* ratio_autojunk(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[2];
    if (!parse_fastcall(AUTOJUNK_SIG, args, nargs, kwnames, arg)) return nullptr;
    Borrow<CodePoints> a(PAIR_A), b(PAIR_B);
    if (!to_text_pair(arg, *a, *b)) return nullptr;
    const uint64_t work_factor = work_factor_setting();
    double value = 0.0;
    if (!without_gil([&] { value = ratio_autojunk_chars(*a, *b, work_factor); })) return nullptr;
    return PyFloat_FromDouble(value);
  });
}

const char* const EXTRACT_PARAMS[] = {"query",     "choices",   "limit", "cutoff",
                                      "autojunk", "keep_ties", "threads"};
const Signature EXTRACT_SIG{"_extract()", EXTRACT_PARAMS, 7, 7};

// [(index, score), ...]
PyObject* scored_list(const std::vector<Scored>& rows) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(rows.size()));
  if (list == nullptr) return nullptr;
  for (size_t k = 0; k < rows.size(); ++k) {
    PyObject* row = Py_BuildValue("(nd)", static_cast<Py_ssize_t>(rows[k].index), rows[k].score);
    if (row == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(k), row);
  }
  return list;
}

PyObject* extract(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[7];
    if (!parse_fastcall(EXTRACT_SIG, args, nargs, kwnames, arg)) return nullptr;
    CodePoints query;
    FlatTexts choices;
    uint64_t limit = 0, threads = 0;
    double cutoff = 0.0;
    bool autojunk = false, keep_ties = false;
    if (!convert_arg(arg[0], "query", to_code_points, "query", query) ||
        !convert_arg(arg[1], "choices", to_flat_texts, choices) ||
        !convert_arg(arg[2], "limit", to_u64, limit) ||
        !convert_arg(arg[3], "cutoff", to_f64, cutoff) ||
        !convert_arg(arg[4], "autojunk", to_bool, autojunk) ||
        !convert_arg(arg[5], "keep_ties", to_bool, keep_ties) ||
        !convert_arg(arg[6], "threads", to_u64, threads)) {
      return nullptr;
    }
    std::vector<Scored> rows;
    const bool ok = without_gil([&] {
      rows = run_on_threads(threads, [&] {
        return extract_chars(query, choices.texts, static_cast<size_t>(limit), cutoff, autojunk,
                             keep_ties);
      });
      choices = FlatTexts();
    });
    return ok ? scored_list(rows) : nullptr;
  });
}

const char* const JOIN_PARAMS[] = {"left", "right", "threshold", "threads", "progress"};
const Signature JOIN_SIG{"_ratio_join()", JOIN_PARAMS, 5, 4};
const Signature JOIN_COLUMNS_SIG{"_ratio_join_columns()", JOIN_PARAMS, 5, 4};

// The rows of a join. Both lists are read into one array, left then right, which the engine
// walks in place.
bool join_rows(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               std::vector<RatioPair>& rows) {
  PyObject* arg[5];
  if (!parse_fastcall(sig, args, nargs, kwnames, arg)) return false;
  std::vector<CodePoints> strings, right;
  const bool self = arg[1] == Py_None;
  double threshold = 0.0;
  uint64_t threads = 0;
  if (!convert_arg(arg[0], "left", to_bounded_text_list, "left", MAX_CLUSTER_STRINGS, strings)) {
    return false;
  }
  const size_t split = self ? 0 : strings.size();
  const size_t right_max = MAX_CLUSTER_STRINGS - split;  // indices of both lists are 32-bit
  if ((!self && !convert_arg(arg[1], "right", to_bounded_text_list, "right", right_max, right)) ||
      !convert_arg(arg[2], "threshold", to_f64, threshold) ||
      !convert_arg(arg[3], "threads", to_u64, threads)) {
    return false;
  }
  strings.insert(strings.end(), std::make_move_iterator(right.begin()),
                 std::make_move_iterator(right.end()));
  std::vector<CodePoints>().swap(right);
  PyObject* callable = nullptr;
  if (!to_progress(arg[4], callable)) return false;
  ProgressReport report(callable);
  return without_gil(
      [&] {
        const std::span<const CodePoints> all(strings);
        rows = run_on_threads(threads, [&] {
          return self ? self_join_chars(all, threshold, report.record())
                      : ratio_join_chars(all.first(split), all.subspan(split), threshold,
                                         report.record());
        });
        std::vector<CodePoints>().swap(strings);
      },
      report.hook());
}

PyObject* ratio_join(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::vector<RatioPair> rows;
    if (!join_rows(JOIN_SIG, args, nargs, kwnames, rows)) return nullptr;
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(rows.size()));
    if (list == nullptr) return nullptr;
    for (size_t k = 0; k < rows.size(); ++k) {
      PyObject* row = Py_BuildValue("(nnd)", static_cast<Py_ssize_t>(rows[k].i),
                                    static_cast<Py_ssize_t>(rows[k].j), rows[k].ratio);
      if (row == nullptr) {
        Py_DECREF(list);
        return nullptr;
      }
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(k), row);
    }
    return list;
  });
}

// A bytearray of one column: the field of every row as T, in native byte order.
template <class T, class Field>
PyObject* column(const std::vector<RatioPair>& rows, Field field) {
  PyObject* out =
      PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(rows.size() * sizeof(T)));
  if (out == nullptr) return nullptr;
  char* data = PyByteArray_AS_STRING(out);
  for (size_t k = 0; k < rows.size(); ++k) {
    const T value = static_cast<T>(field(rows[k]));
    std::memcpy(data + k * sizeof(T), &value, sizeof(T));
  }
  return out;
}

// (left, right, ratio): three bytearrays of int64, int64 and float64, one entry per row, which
// NumPy reads without a copy (numpy.frombuffer).
PyObject* ratio_join_columns(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::vector<RatioPair> rows;
    if (!join_rows(JOIN_COLUMNS_SIG, args, nargs, kwnames, rows)) return nullptr;
    PyObject* i = column<int64_t>(rows, [](const RatioPair& r) { return r.i; });
    PyObject* j = i == nullptr ? nullptr : column<int64_t>(rows, [](const RatioPair& r) { return r.j; });
    PyObject* ratio =
        j == nullptr ? nullptr : column<double>(rows, [](const RatioPair& r) { return r.ratio; });
    if (ratio == nullptr) {
      Py_XDECREF(i);
      Py_XDECREF(j);
      return nullptr;
    }
    return Py_BuildValue("(NNN)", i, j, ratio);
  });
}

}  // namespace

PyMethodDef RATIO_AUTOJUNK_DEF = {
    "_ratio_autojunk", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ratio_autojunk)),
    METH_FASTCALL | METH_KEYWORDS,
    "_ratio_autojunk(a, b)\n--\n\n"
    "difflib.SequenceMatcher(None, a, b).ratio(), with difflib's automatic junk rule. Backs\n"
    "ratiokit.ratio(a, b, autojunk=True)."};

PyMethodDef EXTRACT_DEF = {
    "_extract", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(extract)),
    METH_FASTCALL | METH_KEYWORDS,
    "_extract(query, choices, limit, cutoff, autojunk, keep_ties, threads)\n--\n\n"
    "(index, ratio(choice, query)) of the best choices reaching cutoff, best first, ties by\n"
    "lower index. Backs ratiokit.extract and ratiokit.get_close_matches."};

PyMethodDef RATIO_JOIN_DEF = {
    "_ratio_join", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ratio_join)),
    METH_FASTCALL | METH_KEYWORDS,
    "_ratio_join(left, right, threshold, threads, progress=None)\n--\n\n"
    "Sorted (i, j, ratio) of every pair reaching threshold; right=None joins left with itself\n"
    "(i < j). Backs ratiokit.ratio_join."};

PyMethodDef RATIO_JOIN_COLUMNS_DEF = {
    "_ratio_join_columns",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ratio_join_columns)),
    METH_FASTCALL | METH_KEYWORDS,
    "_ratio_join_columns(left, right, threshold, threads, progress=None)\n--\n\n"
    "The rows of _ratio_join as three columns (left, right, ratio): bytearrays of int64, int64\n"
    "and float64 in native byte order. Backs ratiokit.ratio_join(..., as_frame=True)."};

}  // namespace ratiokit::py
