// The package's input rule and value checks, for the package's own Python code: the same
// converters the private entry points use (see to_text_column and the ones after it), so that
// one rule holds wherever an argument is read.
#include <string>

#include "binding/convert.hpp"
#include "binding/entry_points.hpp"
#include "binding/messages.hpp"

namespace ratiokit::py {
namespace {

const char* const VALUE_PARAMS[] = {"value", "name"};
const Signature COLUMN_SIG{"_column()", VALUE_PARAMS, 2, 2};
const Signature DOCUMENTS_SIG{"_documents()", VALUE_PARAMS, 2, 2};
const Signature COUNT_SIG{"_count()", VALUE_PARAMS, 2, 2};
const Signature UNIT_SIG{"_unit()", VALUE_PARAMS, 2, 2};

// The value and the argument name it is checked under.
bool read_value(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject*& value, std::string& name) {
  PyObject* arg[2] = {nullptr, nullptr};
  return parse_fastcall(sig, args, nargs, kwnames, arg) &&
         convert_arg(arg[1], "name", to_utf8, name) && ((value = arg[0]), true);
}

PyObject* column(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* value;
    std::string name;
    if (!read_value(COLUMN_SIG, args, nargs, kwnames, value, name)) return nullptr;
    PyObject* list = column_list(value);
    if (list == nullptr) wrap_arg_error(name.c_str());
    return list;
  });
}

// [[token, ...], ...]: each document as a list of its tokens, in order.
PyObject* documents(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* value;
    std::string name;
    if (!read_value(DOCUMENTS_SIG, args, nargs, kwnames, value, name)) return nullptr;
    PyObject* docs = column_list(value, msg::NOT_DOCUMENTS);
    PyObject* out = docs == nullptr ? nullptr : PyList_New(PyList_GET_SIZE(docs));
    for (Py_ssize_t k = 0; out != nullptr && k < PyList_GET_SIZE(docs); ++k) {
      PyObject* source = document_source(PyList_GET_ITEM(docs, k), k);
      PyObject* tokens = source == nullptr ? nullptr : PySequence_List(source);
      Py_XDECREF(source);
      for (Py_ssize_t t = 0; tokens != nullptr && t < PyList_GET_SIZE(tokens); ++t) {
        PyObject* token = PyList_GET_ITEM(tokens, t);
        if (!PyUnicode_Check(token)) {
          token_not_str(token, k, t);
          Py_CLEAR(tokens);
        }
      }
      if (tokens == nullptr) Py_CLEAR(out);
      if (out != nullptr) PyList_SET_ITEM(out, k, tokens);
    }
    Py_XDECREF(docs);
    if (out == nullptr) wrap_arg_error(name.c_str());
    return out;
  });
}

PyObject* count(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* value;
    std::string name;
    uint64_t n = 0;
    if (!read_value(COUNT_SIG, args, nargs, kwnames, value, name) ||
        !to_count(value, name.c_str(), n)) {
      return nullptr;
    }
    return PyLong_FromUnsignedLongLong(n);
  });
}

PyObject* unit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* value;
    std::string name;
    double x = 0.0;
    if (!read_value(UNIT_SIG, args, nargs, kwnames, value, name) ||
        !to_unit(value, name.c_str(), x)) {
      return nullptr;
    }
    return PyFloat_FromDouble(x);
  });
}

template <class F>
PyCFunction as_cfunction(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace

PyMethodDef COLUMN_DEF = {
    "_column", as_cfunction(column), METH_FASTCALL | METH_KEYWORDS,
    "_column(value, name)\n--\n\n"
    "value as a list of its items under the package's rule for a column of strings (the list\n"
    "itself when it is one); TypeError naming `name` for a str, a DataFrame, a Mapping or a\n"
    "non-iterable. The items are not checked here."};

PyMethodDef DOCUMENTS_DEF = {
    "_documents", as_cfunction(documents), METH_FASTCALL | METH_KEYWORDS,
    "_documents(value, name)\n--\n\n"
    "value as a list of documents, each a list of its str tokens, under the package's rule for\n"
    "documents."};

PyMethodDef COUNT_DEF = {
    "_count", as_cfunction(count), METH_FASTCALL | METH_KEYWORDS,
    "_count(value, name)\n--\n\n"
    "value as a count: not an integer: TypeError; negative or 2**64 and above: OverflowError."};

PyMethodDef UNIT_DEF = {
    "_unit", as_cfunction(unit), METH_FASTCALL | METH_KEYWORDS,
    "_unit(value, name)\n--\n\n"
    "value as a threshold or cutoff: a real number in [0, 1] (TypeError for another type,\n"
    "ValueError for NaN or a value outside)."};

}  // namespace ratiokit::py
