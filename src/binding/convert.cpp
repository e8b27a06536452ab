#include "binding/convert.hpp"

#include <algorithm>
#include <new>

#include "binding/messages.hpp"

namespace ratiokit::py {
namespace {

PyObject* PANIC = nullptr;

const char* was_or_were(Py_ssize_t n) { return n == 1 ? "was" : "were"; }

// 'a', 'a' and 'b', 'a', 'b', and 'c': the interpreter's own way of listing missing names.
PyObject* quoted_names(const std::vector<const char*>& names) {
  std::string joined;
  for (size_t k = 0; k < names.size(); ++k) {
    if (k > 0) joined += names.size() == 2 ? " and " : (k + 1 == names.size() ? ", and " : ", ");
    joined += '\'';
    joined += names[k];
    joined += '\'';
  }
  return PyUnicode_FromStringAndSize(joined.data(), static_cast<Py_ssize_t>(joined.size()));
}

bool too_many_positional(const Signature& sig, Py_ssize_t given) {
  if (sig.required == sig.count) {
    PyErr_Format(PyExc_TypeError, msg::TOO_MANY_POSITIONAL, sig.display, sig.count, given,
                 was_or_were(given));
  } else {
    PyErr_Format(PyExc_TypeError, msg::TOO_MANY_POSITIONAL_RANGE, sig.display, sig.required,
                 sig.count, given, was_or_were(given));
  }
  return false;
}

// Places one keyword argument; false with TypeError set when it is unknown or repeated.
bool place_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** out) {
  for (Py_ssize_t k = 0; k < sig.count; ++k) {
    if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, sig.names[k]) == 0) {
      if (out[k] != nullptr) {
        PyErr_Format(PyExc_TypeError, msg::MULTIPLE_VALUES, sig.display, sig.names[k]);
        return false;
      }
      out[k] = value;
      return true;
    }
  }
  PyErr_Format(PyExc_TypeError, msg::UNEXPECTED_KEYWORD, sig.display, key);
  return false;
}

bool check_required(const Signature& sig, PyObject** out) {
  std::vector<const char*> missing;
  for (Py_ssize_t k = 0; k < sig.required; ++k) {
    if (out[k] == nullptr) missing.push_back(sig.names[k]);
  }
  if (missing.empty()) return true;
  PyObject* names = quoted_names(missing);
  if (names == nullptr) return false;
  PyErr_Format(PyExc_TypeError, msg::MISSING, sig.display, static_cast<Py_ssize_t>(missing.size()),
               missing.size() == 1 ? "argument" : "arguments", names);
  Py_DECREF(names);
  return false;
}

PyObject* COLLECTIONS_SEQUENCE = nullptr;

// list, tuple, or anything registered as a collections.abc.Sequence.
bool is_sequence(PyObject* obj) {
  if (PyList_Check(obj) || PyTuple_Check(obj)) return true;
  if (COLLECTIONS_SEQUENCE == nullptr) {
    PyObject* abc = PyImport_ImportModule("collections.abc");
    if (abc == nullptr) return false;
    COLLECTIONS_SEQUENCE = PyObject_GetAttrString(abc, "Sequence");
    Py_DECREF(abc);
    if (COLLECTIONS_SEQUENCE == nullptr) return false;
  }
  const int r = PyObject_IsInstance(obj, COLLECTIONS_SEQUENCE);
  if (r < 0) PyErr_Clear();
  return r > 0;
}

// Walks the items of a sequence argument in order, calling item(obj) on each until it returns
// false. Exact lists and tuples are read in place; anything else goes through iteration.
template <class F>
bool for_each_item(PyObject* seq, F&& item) {
  if (PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) {
    const bool list = PyList_CheckExact(seq);
    // Re-read the size every step: a list could only change if an item's conversion ran
    // Python code, and even then no index goes out of bounds.
    for (Py_ssize_t k = 0; k < (list ? PyList_GET_SIZE(seq) : PyTuple_GET_SIZE(seq)); ++k) {
      PyObject* obj = list ? PyList_GET_ITEM(seq, k) : PyTuple_GET_ITEM(seq, k);
      Py_INCREF(obj);
      const bool ok = item(obj);
      Py_DECREF(obj);
      if (!ok) return false;
    }
    return true;
  }
  PyObject* it = PyObject_GetIter(seq);
  if (it == nullptr) return false;
  while (PyObject* obj = PyIter_Next(it)) {
    const bool ok = item(obj);
    Py_DECREF(obj);
    if (!ok) {
      Py_DECREF(it);
      return false;
    }
  }
  Py_DECREF(it);
  return !PyErr_Occurred();
}

// Checks the outer shape of a list argument and returns its length hint (0 when unknown).
bool sequence_of_items(PyObject* obj, Py_ssize_t& hint, Py_ssize_t* declared = nullptr) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, msg::STR_TO_VEC);
    return false;
  }
  if (!is_sequence(obj)) {
    if (PyErr_Occurred()) return false;
    type_mismatch(obj, "Sequence");
    return false;
  }
  hint = PyObject_Size(obj);
  if (hint < 0) {
    PyErr_Clear();
    hint = 0;
  }
  if (declared != nullptr) *declared = hint;
  // Only an exact list or tuple is known to hold what its length says; any other sequence may
  // claim billions of items and yield three, so its claim sizes nothing beyond a modest start.
  constexpr Py_ssize_t MAX_UNCHECKED_HINT = 4096;
  if (!PyList_CheckExact(obj) && !PyTuple_CheckExact(obj)) {
    hint = std::min(hint, MAX_UNCHECKED_HINT);
  }
  return true;
}

template <class T>
bool copy_units(const T* data, Py_ssize_t n, CodePoints& out, bool check_surrogates) {
  out.resize(static_cast<size_t>(n));
  bool surrogate = false;
  for (Py_ssize_t k = 0; k < n; ++k) {
    const uint32_t c = data[k];
    if (check_surrogates) surrogate |= (c - 0xD800u) < 0x800u;
    out[k] = c;
  }
  return !surrogate;
}

}  // namespace

void type_mismatch(PyObject* obj, const char* expected) {
  if (obj == Py_None) {
    PyErr_Format(PyExc_TypeError, msg::NONE_MISMATCH, expected);
    return;
  }
  PyObject* name = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__");
  if (name == nullptr) return;
  PyErr_Format(PyExc_TypeError, msg::TYPE_MISMATCH, name, expected);
  Py_DECREF(name);
}

bool parse_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out) {
  if (nargs > sig.count) return too_many_positional(sig, nargs);
  for (Py_ssize_t k = 0; k < sig.count; ++k) out[k] = k < nargs ? args[k] : nullptr;
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (!place_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
    }
  }
  return check_required(sig, out);
}

bool parse_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (nargs > sig.count) return too_many_positional(sig, nargs);
  for (Py_ssize_t k = 0; k < sig.count; ++k) out[k] = k < nargs ? PyTuple_GET_ITEM(args, k) : nullptr;
  if (kwargs != nullptr) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!place_keyword(sig, key, value, out)) return false;
    }
  }
  return check_required(sig, out);
}

bool wrap_arg_error(const char* name) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, traceback);
    return false;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  PyObject* cause = value != nullptr ? PyException_GetCause(value) : nullptr;
  PyObject* text = value != nullptr ? PyObject_Str(value) : nullptr;
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
  if (text == nullptr) {
    Py_XDECREF(cause);
    return false;
  }
  PyObject* wrapped = PyUnicode_FromFormat(msg::ARGUMENT, name, text);
  Py_DECREF(text);
  if (wrapped == nullptr) {
    Py_XDECREF(cause);
    return false;
  }
  PyObject* error = PyObject_CallOneArg(PyExc_TypeError, wrapped);
  Py_DECREF(wrapped);
  if (error == nullptr) {
    Py_XDECREF(cause);
    return false;
  }
  if (cause != nullptr) PyException_SetCause(error, cause);  // steals cause
  PyErr_SetObject(PyExc_TypeError, error);
  Py_DECREF(error);
  return false;
}

bool to_code_points(PyObject* obj, const char* name, CodePoints& out) {
  if (!PyUnicode_Check(obj)) {
    type_mismatch(obj, "str");
    return false;
  }
#if PY_VERSION_HEX < 0x030C0000
  if (PyUnicode_READY(obj) < 0) return false;
#endif
  const Py_ssize_t n = PyUnicode_GET_LENGTH(obj);
  if (static_cast<size_t>(n) > MAX_TEXT_LEN) {
    PyErr_Format(PyExc_ValueError, msg::TOO_LONG, name, n, static_cast<Py_ssize_t>(MAX_TEXT_LEN));
    return false;
  }
  const void* data = PyUnicode_DATA(obj);
  bool ok;
  switch (PyUnicode_KIND(obj)) {
    case PyUnicode_1BYTE_KIND:
      ok = copy_units(static_cast<const Py_UCS1*>(data), n, out, false);
      break;
    case PyUnicode_2BYTE_KIND:
      ok = copy_units(static_cast<const Py_UCS2*>(data), n, out, true);
      break;
    default:
      ok = copy_units(static_cast<const Py_UCS4*>(data), n, out, true);
      break;
  }
  if (ok) return true;
  // A lone surrogate cannot be encoded: let the interpreter raise its own UnicodeEncodeError.
  PyObject* encoded = PyUnicode_AsUTF8String(obj);
  if (encoded == nullptr) return false;
  Py_DECREF(encoded);
  return true;
}

bool to_text_pair(PyObject* const* arg, CodePoints& a, CodePoints& b) {
  return convert_arg(arg[0], "a", to_code_points, "a", a) &&
         convert_arg(arg[1], "b", to_code_points, "b", b);
}

bool to_utf8(PyObject* obj, std::string& out) {
  if (!PyUnicode_Check(obj)) {
    type_mismatch(obj, "str");
    return false;
  }
  Py_ssize_t size;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) return false;
  out.assign(data, static_cast<size_t>(size));
  return true;
}

bool to_f64(PyObject* obj, double& out) {
  out = PyFloat_AsDouble(obj);
  return !(out == -1.0 && PyErr_Occurred());
}

bool to_u64(PyObject* obj, uint64_t& out) {
  PyObject* index = PyNumber_Index(obj);
  if (index == nullptr) return false;
  out = PyLong_AsUnsignedLongLong(index);
  Py_DECREF(index);
  return !(out == static_cast<uint64_t>(-1) && PyErr_Occurred());
}

bool to_bounded_text_list(PyObject* obj, const char* name, const size_t& max_items,
                          std::vector<CodePoints>& out) {
  Py_ssize_t hint, declared;
  if (!sequence_of_items(obj, hint, &declared)) return false;
  const auto too_many = [&](Py_ssize_t count) {
    PyErr_Format(PyExc_ValueError, msg::TOO_MANY_ITEMS, name, count, max_items);
    return false;
  };
  if (static_cast<size_t>(declared) > max_items) return too_many(declared);
  out.clear();
  out.reserve(static_cast<size_t>(hint));
  return for_each_item(obj, [&](PyObject* item) {
    if (out.size() == max_items) return too_many(static_cast<Py_ssize_t>(out.size()) + 1);
    out.emplace_back();
    return to_code_points(item, name, out.back());
  });
}

bool to_text_list(PyObject* obj, const char* name, std::vector<CodePoints>& out) {
  return to_bounded_text_list(obj, name, SIZE_MAX, out);
}

bool to_pair_list(PyObject* obj, const char* name,
                  std::vector<std::pair<CodePoints, CodePoints>>& out) {
  Py_ssize_t hint;
  if (!sequence_of_items(obj, hint)) return false;
  out.clear();
  out.reserve(static_cast<size_t>(hint));
  return for_each_item(obj, [&](PyObject* item) {
    if (!PyTuple_Check(item)) {
      type_mismatch(item, "tuple");
      return false;
    }
    if (PyTuple_GET_SIZE(item) != 2) {
      PyErr_Format(PyExc_ValueError, msg::TUPLE_LENGTH, Py_ssize_t{2}, PyTuple_GET_SIZE(item));
      return false;
    }
    out.emplace_back();
    return to_code_points(PyTuple_GET_ITEM(item, 0), name, out.back().first) &&
           to_code_points(PyTuple_GET_ITEM(item, 1), name, out.back().second);
  });
}

bool to_token_lists(PyObject* obj, std::vector<std::vector<std::string>>& out) {
  Py_ssize_t hint;
  if (!sequence_of_items(obj, hint)) return false;
  out.clear();
  out.reserve(static_cast<size_t>(hint));
  return for_each_item(obj, [&](PyObject* doc) {
    Py_ssize_t doc_hint;
    if (!sequence_of_items(doc, doc_hint)) return false;
    out.emplace_back();
    std::vector<std::string>& tokens = out.back();
    tokens.reserve(static_cast<size_t>(doc_hint));
    return for_each_item(doc, [&](PyObject* token) {
      tokens.emplace_back();
      return to_utf8(token, tokens.back());
    });
  });
}

bool parse_concurrency(const std::string& text, Concurrency& out) {
  const std::string lowered = lower_ascii(text);
  if (const auto mode = concurrency_from(lowered)) {
    out = *mode;
    return true;
  }
  const std::string literal = quoted_literal(lowered);
  PyErr_Format(PyExc_ValueError, msg::UNKNOWN_CONCURRENCY, literal.c_str());
  return false;
}

PyObject* raise_from(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const Cancelled&) {
    // Cancellation comes from a signal handler's exception, normally restored by ReleasedGil;
    // this only covers a Cancelled that reached the binding some other way.
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
  } catch (const std::exception& e) {
    const char* what = e.what();
    PyErr_SetString(panic_exception_type(), what != nullptr && *what ? what : msg::PANIC_DEFAULT);
  } catch (...) {
    PyErr_SetString(panic_exception_type(), msg::PANIC_DEFAULT);
  }
  return nullptr;
}

#if PY_VERSION_HEX >= 0x030D0000
// Moved out of the public headers in 3.13, but still exported (the interpreter's own
// _multiprocessing extension uses it).
extern "C" PyAPI_FUNC(int) _PyOS_IsMainThread(void);
#endif

ReleasedGil::ReleasedGil(PollHook hook) noexcept : hook_(hook) {
  // Signal handlers run only on the main thread; elsewhere a poll could never see one.
  if (_PyOS_IsMainThread() || hook_.call != nullptr) scope_.emplace(&ReleasedGil::poll, this);
  tstate_ = PyEval_SaveThread();
}

bool ReleasedGil::poll(void* self) noexcept {
  ReleasedGil& gil = *static_cast<ReleasedGil*>(self);
  PyEval_RestoreThread(gil.tstate_);
  bool raised = _PyOS_IsMainThread() && PyErr_CheckSignals() < 0;
  if (!raised && gil.hook_.call != nullptr) raised = !gil.hook_.call(gil.hook_.context);
  // Keep the exception aside rather than set while the computation unwinds without the GIL.
#if PY_VERSION_HEX >= 0x030C0000
  if (raised) gil.raised_[1] = PyErr_GetRaisedException();
#else
  if (raised) PyErr_Fetch(&gil.raised_[0], &gil.raised_[1], &gil.raised_[2]);
#endif
  gil.tstate_ = PyEval_SaveThread();
  return raised;
}

bool ReleasedGil::finish(std::exception_ptr error) noexcept {
  scope_.reset();
  PyEval_RestoreThread(tstate_);
  if (raised_[0] != nullptr || raised_[1] != nullptr) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(raised_[1]);
#else
    PyErr_Restore(raised_[0], raised_[1], raised_[2]);
#endif
    return false;
  }
  if (error) {
    raise_from(error);
    return false;
  }
  return true;
}

PyObject* float_list(const std::vector<double>& values) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(values.size()));
  if (list == nullptr) return nullptr;
  for (size_t k = 0; k < values.size(); ++k) {
    PyObject* f = PyFloat_FromDouble(values[k]);
    if (f == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(k), f);
  }
  return list;
}

PyObject* cluster_list(const std::vector<std::pair<std::vector<size_t>, double>>& clusters) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(clusters.size()));
  if (list == nullptr) return nullptr;
  for (size_t c = 0; c < clusters.size(); ++c) {
    const auto& [members, score] = clusters[c];
    PyObject* ids = PyList_New(static_cast<Py_ssize_t>(members.size()));
    PyObject* value = PyFloat_FromDouble(score);
    PyObject* pair = PyTuple_New(2);
    if (ids == nullptr || value == nullptr || pair == nullptr) {
      Py_XDECREF(ids);
      Py_XDECREF(value);
      Py_XDECREF(pair);
      Py_DECREF(list);
      return nullptr;
    }
    PyTuple_SET_ITEM(pair, 0, ids);
    PyTuple_SET_ITEM(pair, 1, value);
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(c), pair);
    for (size_t k = 0; k < members.size(); ++k) {
      PyObject* id = PyLong_FromSize_t(members[k]);
      if (id == nullptr) {
        Py_DECREF(list);
        return nullptr;
      }
      PyList_SET_ITEM(ids, static_cast<Py_ssize_t>(k), id);
    }
  }
  return list;
}

PyObject* HeapType::get() {
  if (type == nullptr) {
    type = PyType_FromSpec(spec);
    if (type == nullptr) return nullptr;
  }
  Py_INCREF(type);
  return type;
}

PyObject* panic_exception_type() { return PANIC; }

int init_panic_exception() {
  if (PANIC != nullptr) return 0;
  PANIC = PyErr_NewExceptionWithDoc("ratiokit.PanicException", msg::PANIC_DOC,
                                    PyExc_BaseException, nullptr);
  return PANIC == nullptr ? -1 : 0;
}

}  // namespace ratiokit::py
