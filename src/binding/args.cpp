#include "binding/args.hpp"

#include <string>
#include <vector>

#include "binding/messages.hpp"

namespace ratiokit::py {
namespace {

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

}  // namespace

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

bool wrap_arg_error(const char* name, PyObject* wrapped_type) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != wrapped_type) {
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
  PyObject* error = PyObject_CallOneArg(wrapped_type, wrapped);
  Py_DECREF(wrapped);
  if (error == nullptr) {
    Py_XDECREF(cause);
    return false;
  }
  if (cause != nullptr) PyException_SetCause(error, cause);  // steals cause
  PyErr_SetObject(wrapped_type, error);
  Py_DECREF(error);
  return false;
}

}  // namespace ratiokit::py
