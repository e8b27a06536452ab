// Argument parsing for the module's callables: positional and keyword arguments placed by name,
// with the interpreter's own messages for missing, repeated and unexpected ones, and the rule
// that names the argument in a failed conversion's TypeError.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace ratiokit::py {

// A callable's parameters: all positional-or-keyword, the first `required` without default.
struct Signature {
  const char* display;  // "ratio()" or "Rationer.ratio()"
  const char* const* names;
  Py_ssize_t count;
  Py_ssize_t required;
};

// Fills out[0..count) with borrowed references, nullptr for omitted optional parameters.
bool parse_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out);
bool parse_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// Applies the wrapping rule to a failed conversion of argument `name`; always returns false.
// An exception of exactly `type` (TypeError unless given) becomes the same type with the message
// "argument '<name>': <message>"; every other exception passes unchanged.
bool wrap_arg_error(const char* name, PyObject* type = PyExc_TypeError);

// Converts argument `name` with `convert(obj, out...)` and applies the wrapping rule.
template <class F, class... Out>
bool convert_arg(PyObject* obj, const char* name, F&& convert, Out&... out) {
  return convert(obj, out...) || wrap_arg_error(name);
}

}  // namespace ratiokit::py
