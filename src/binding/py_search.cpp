// The private entry points behind the package's search and join functions:
// _ratio_autojunk(a, b), _extract(query, choices, limit, cutoff, autojunk, keep_ties, threads),
// _extract_many(queries, choices, ...), the _Choices class, _ratio_join(left, right, threshold,
// threads, progress=None) and _ratio_join_columns (the same arguments). The package validates
// and normalises their arguments; these take lists of str, _Choices and plain numbers.
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
#include <new>

namespace ratiokit::py {
namespace {

template <class T>
bool has_surrogate(const T* data, size_t n) {
  bool surrogate = false;
  for (size_t k = 0; k < n; ++k) surrogate |= (static_cast<uint32_t>(data[k]) - 0xD800u) < 0x800u;
  return surrogate;
}

bool to_bool(PyObject* obj, bool& out) {
  const int truth = PyObject_IsTrue(obj);
  if (truth < 0) return false;
  out = truth != 0;
  return true;
}

// The texts of a tuple of str where they lie, in their own widths. The tuple's references keep
// them alive and unchanged while the GIL is released.
bool packed_texts(PyObject* tuple, std::vector<PackedText>& out) {
  const Py_ssize_t n = PyTuple_GET_SIZE(tuple);
  out.resize(static_cast<size_t>(n));
  for (Py_ssize_t k = 0; k < n; ++k) {
    PyObject* item = PyTuple_GET_ITEM(tuple, k);
    if (!PyUnicode_Check(item)) return item_not_str(item, k);
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(item) < 0) return false;
#endif
    const auto len = static_cast<size_t>(PyUnicode_GET_LENGTH(item));
    if (len > MAX_TEXT_LEN) {
      PyErr_SetString(PyExc_ValueError, msg::CHOICE_TOO_LONG);
      return false;
    }
    const void* data = PyUnicode_DATA(item);
    bool surrogate = false;
    uint8_t width = 1;
    switch (PyUnicode_KIND(item)) {
      case PyUnicode_1BYTE_KIND:
        break;
      case PyUnicode_2BYTE_KIND:
        width = 2;
        surrogate = has_surrogate(static_cast<const Py_UCS2*>(data), len);
        break;
      default:
        width = 4;
        surrogate = has_surrogate(static_cast<const Py_UCS4*>(data), len);
        break;
    }
    if (surrogate) {
      // A lone surrogate cannot be encoded: the interpreter raises its own UnicodeEncodeError.
      PyObject* encoded = PyUnicode_AsUTF8String(item);
      if (encoded == nullptr) return false;
      Py_DECREF(encoded);
    }
    out[static_cast<size_t>(k)] = PackedText{data, len, width};
  }
  return true;
}

// A prepared list of choices: the strings (a tuple the object owns) and what every query
// needs of them. Immutable after tp_new, so calls read it from any number of threads at once.
// It holds only a tuple of str, which cannot lead back to it, so it needs no GC support.
struct PyChoices {
  PyObject_HEAD
  PyObject* strings;
  ChoiceSet set;

  ~PyChoices() { Py_XDECREF(strings); }
};

extern HeapType CHOICES_TYPE;

bool is_choices(PyObject* obj) {
  return CHOICES_TYPE.type != nullptr &&
         PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(CHOICES_TYPE.type));
}

// The snapshot a call works on: the choices' own tuple, or a tuple of the items of a list or
// tuple taken now, so that what the call returns lines up with what it read.
struct Snapshot {
  PyObject* strings = nullptr;  // owned
  ChoiceSet local;
  const ChoiceSet* set = nullptr;

  Snapshot() = default;
  Snapshot(const Snapshot&) = delete;
  Snapshot& operator=(const Snapshot&) = delete;
  ~Snapshot() { Py_XDECREF(strings); }
};

bool to_snapshot(PyObject* obj, Snapshot& out) {
  if (is_choices(obj)) {
    auto* choices = reinterpret_cast<PyChoices*>(obj);
    Py_INCREF(choices->strings);
    out.strings = choices->strings;
    out.set = &choices->set;
    return true;
  }
  if (!PyList_Check(obj) && !PyTuple_Check(obj)) {
    type_mismatch(obj, "list");
    return false;
  }
  out.strings = PySequence_Tuple(obj);
  if (out.strings == nullptr) return false;
  std::vector<PackedText> texts;
  if (!packed_texts(out.strings, texts)) return false;
  out.local = choice_set(std::move(texts), false);
  out.set = &out.local;
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

// The arguments after the choices that _extract and _extract_many share.
struct ExtractArgs {
  uint64_t limit = 0, threads = 0;
  double cutoff = 0.0;
  bool autojunk = false, keep_ties = false;
};

bool convert_extract_args(PyObject* const* arg, ExtractArgs& out) {
  return to_count(arg[0], "limit", out.limit) &&
         convert_arg(arg[1], "cutoff", to_f64, out.cutoff) &&
         convert_arg(arg[2], "autojunk", to_bool, out.autojunk) &&
         convert_arg(arg[3], "keep_ties", to_bool, out.keep_ties) &&
         to_count(arg[4], "threads", out.threads);
}

PyObject* extract(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[7];
    if (!parse_fastcall(EXTRACT_SIG, args, nargs, kwnames, arg)) return nullptr;
    CodePoints query;
    Snapshot choices;
    ExtractArgs ex;
    if (!convert_arg(arg[0], "query", to_code_points, "query", query) ||
        !convert_arg(arg[1], "choices", to_snapshot, choices) ||
        !convert_extract_args(arg + 2, ex)) {
      return nullptr;
    }
    std::vector<Scored> rows;
    const bool ok = without_gil([&] {
      rows = run_on_threads(ex.threads, [&] {
        return extract_prepared(query, *choices.set, static_cast<size_t>(ex.limit), ex.cutoff,
                                ex.autojunk, ex.keep_ties);
      });
    });
    return ok ? scored_list(rows) : nullptr;
  });
}

const char* const EXTRACT_MANY_PARAMS[] = {"queries",  "choices",   "limit",   "cutoff",
                                           "autojunk", "keep_ties", "threads", "progress"};
const Signature EXTRACT_MANY_SIG{"_extract_many()", EXTRACT_MANY_PARAMS, 8, 7};

PyObject* extract_many_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[8] = {};
    if (!parse_fastcall(EXTRACT_MANY_SIG, args, nargs, kwnames, arg)) return nullptr;
    std::vector<CodePoints> queries;
    Snapshot choices;
    ExtractArgs ex;
    if (!convert_arg(arg[0], "queries", to_text_column, "queries", NO_ITEM_LIMIT, queries) ||
        !convert_arg(arg[1], "choices", to_snapshot, choices) ||
        !convert_extract_args(arg + 2, ex)) {
      return nullptr;
    }
    PyObject* callable = nullptr;
    if (!to_progress(arg[7], callable)) return nullptr;
    ProgressReport report(callable);
    std::vector<std::vector<Scored>> rows;
    const bool ok = without_gil(
        [&] {
          rows = run_on_threads(ex.threads, [&] {
            return extract_many(queries, *choices.set, static_cast<size_t>(ex.limit), ex.cutoff,
                                ex.autojunk, ex.keep_ties, report.record());
          });
        },
        report.hook());
    if (!ok) return nullptr;
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(rows.size()));
    if (list == nullptr) return nullptr;
    for (size_t k = 0; k < rows.size(); ++k) {
      PyObject* row = scored_list(rows[k]);
      if (row == nullptr) {
        Py_DECREF(list);
        return nullptr;
      }
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(k), row);
    }
    return list;
  });
}

const char* const CHOICES_PARAMS[] = {"strings", "counted"};
const Signature CHOICES_SIG{"_Choices()", CHOICES_PARAMS, 2, 1};

PyObject* choices_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[2] = {nullptr, nullptr};
    if (!parse_tuple(CHOICES_SIG, args, kwargs, arg)) return nullptr;
    bool counted = true;
    if (arg[1] != nullptr && !convert_arg(arg[1], "counted", to_bool, counted)) return nullptr;
    if (!PyList_Check(arg[0]) && !PyTuple_Check(arg[0])) {
      type_mismatch(arg[0], "list");
      return nullptr;
    }
    PyObject* strings = PySequence_Tuple(arg[0]);
    if (strings == nullptr) return nullptr;
    std::vector<PackedText> texts;
    ChoiceSet set;
    if (!packed_texts(strings, texts) ||
        !without_gil([&] { set = choice_set(std::move(texts), counted); })) {
      Py_DECREF(strings);
      return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
      Py_DECREF(strings);
      return nullptr;
    }
    auto* object = reinterpret_cast<PyChoices*>(self);
    object->strings = strings;
    new (&object->set) ChoiceSet(std::move(set));
    return self;
  });
}

Py_ssize_t choices_len(PyObject* self) {
  PyChoices* object = CHOICES_TYPE.instance<PyChoices>(self);
  return object == nullptr ? -1 : PyTuple_GET_SIZE(object->strings);
}

PyObject* get_strings(PyObject* self, void*) {
  PyChoices* object = CHOICES_TYPE.instance<PyChoices>(self);
  if (object == nullptr) return nullptr;
  Py_INCREF(object->strings);
  return object->strings;
}

PyGetSetDef CHOICES_GETSET[] = {
    {"strings", get_strings, nullptr, "The strings, as a tuple.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char CHOICES_DOC[] =
    "_Choices(strings, counted=True)\n--\n\n"
    "A list or tuple of str prepared for repeated queries: the strings are held as they are\n"
    "and, with counted, their character counts are taken once. Backs ratiokit.Choices.";

PyType_Slot CHOICES_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>(CHOICES_DOC)},
    {Py_tp_new, reinterpret_cast<void*>(choices_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<PyChoices>)},
    {Py_tp_getset, CHOICES_GETSET},
    {Py_sq_length, reinterpret_cast<void*>(choices_len)},
    {Py_mp_length, reinterpret_cast<void*>(choices_len)},
    {0, nullptr},
};

PyType_Spec CHOICES_SPEC = {
    "ratiokit._Choices",
    static_cast<int>(sizeof(PyChoices)),
    0,
    HEAP_TYPE_FLAGS,
    CHOICES_SLOTS,
};

HeapType CHOICES_TYPE{&CHOICES_SPEC};

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
  if (!convert_arg(arg[0], "left", to_text_column, "left", MAX_CLUSTER_STRINGS, strings)) {
    return false;
  }
  const size_t split = self ? 0 : strings.size();
  const size_t right_max = MAX_CLUSTER_STRINGS - split;  // indices of both lists are 32-bit
  if ((!self && !convert_arg(arg[1], "right", to_text_column, "right", right_max, right)) ||
      !convert_arg(arg[2], "threshold", to_f64, threshold) || !to_count(arg[3], "threads", threads)) {
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
    "lower index. choices: a _Choices, or a list or tuple of str read once at the start.\n"
    "Backs ratiokit.extract and ratiokit.get_close_matches."};

PyMethodDef EXTRACT_MANY_DEF = {
    "_extract_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(extract_many_fn)),
    METH_FASTCALL | METH_KEYWORDS,
    "_extract_many(queries, choices, limit, cutoff, autojunk, keep_ties, threads, progress=None)"
    "\n--\n\n"
    "One _extract result per query, the queries spread over the threads. Backs\n"
    "ratiokit.extract_many."};

PyObject* choices_type() { return CHOICES_TYPE.get(); }

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
