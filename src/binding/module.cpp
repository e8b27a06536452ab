// Module entry: multi-phase initialisation with one exec slot that registers the functions,
// then the classes, then PanicException.
//
// The classes and PanicException are made once per process and shared by every module object,
// so the module works in the main interpreter only: newer interpreters are told so by a slot
// (and refuse the import themselves in isolated subinterpreters), and the exec step refuses any
// other interpreter the slot does not cover (legacy subinterpreters, older interpreters).
#include "binding/convert.hpp"
#include "binding/environment.hpp"
#include "binding/entry_points.hpp"
#include "binding/messages.hpp"

#include <iterator>
#include <vector>

namespace ratiokit::py {
namespace {

PyMethodDef* const FUNCTIONS[] = {
    &RATIO_DEF,
    &RATIO_MANY_DEF,
    &PRIVATE_RATIO_MANY_DEF,
    &CLUSTER_CANONICALS_DEF,
    &CLUSTER_CANONICALS_LSH_DEF,
    &COSINE_JOIN_DEF,
    &RATIO_AUTOJUNK_DEF,
    &RATIO_BY_DEF,
    &EXTRACT_DEF,
    &EXTRACT_MANY_DEF,
    &RATIO_JOIN_DEF,
    &RATIO_JOIN_COLUMNS_DEF,
    &DEDUPE_DEF,
    &PRIVATE_CLUSTER_CANONICALS_DEF,
    &PRIVATE_CLUSTER_CANONICALS_LSH_DEF,
    &PRIVATE_COSINE_JOIN_DEF,
    &PROGRESS_LINES_DEF,
    &COLUMN_DEF,
    &DOCUMENTS_DEF,
    &COUNT_DEF,
    &UNIT_DEF,
    &CLUSTER_RESIDENT_BUDGET_DEF,
};

int exec_module(PyObject* module) {
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError, msg::SUBINTERPRETER);
    return -1;
  }
  if (!PyModule_Check(module)) {
    type_mismatch(module, "PyModule");
    return -1;
  }
  PyObject* name = PyModule_GetNameObject(module);
  if (name == nullptr) return -1;
  std::vector<PyMethodDef*> defs(std::begin(FUNCTIONS), std::end(FUNCTIONS));
  for (size_t k = 0; k < STAGE_DEF_COUNT; ++k) defs.push_back(&STAGE_DEFS[k]);
  for (PyMethodDef* def : defs) {
    PyObject* function = PyCFunction_NewEx(def, module, name);
    if (function == nullptr || PyModule_AddObject(module, def->ml_name, function) < 0) {
      Py_XDECREF(function);
      Py_DECREF(name);
      return -1;
    }
  }
  Py_DECREF(name);
  PyObject* package = PyUnicode_FromString(PUBLIC_RATIO_MODULE);
  PyObject* public_ratio = package != nullptr ? PyCFunction_NewEx(&PUBLIC_RATIO_DEF, module, package) : nullptr;
  Py_XDECREF(package);
  if (public_ratio == nullptr || PyModule_AddObject(module, PUBLIC_RATIO_ATTR, public_ratio) < 0) {
    Py_XDECREF(public_ratio);
    return -1;
  }
  PyObject* rationer = rationer_type();
  if (rationer == nullptr || PyModule_AddObject(module, "Rationer", rationer) < 0) {
    Py_XDECREF(rationer);
    return -1;
  }
  PyObject* joiner = cosine_joiner_type();
  if (joiner == nullptr || PyModule_AddObject(module, "CosineJoiner", joiner) < 0) {
    Py_XDECREF(joiner);
    return -1;
  }
  PyObject* choices = choices_type();
  if (choices == nullptr || PyModule_AddObject(module, "_Choices", choices) < 0) {
    Py_XDECREF(choices);
    return -1;
  }
  if (init_panic_exception() < 0) return -1;
  PyObject* panic = panic_exception_type();
  Py_INCREF(panic);
  if (PyModule_AddObject(module, "PanicException", panic) < 0) {
    Py_DECREF(panic);
    return -1;
  }
  return 0;
}

PyModuleDef_Slot SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT,
    "_ratiokit",
    "The compiled core of the ratiokit Python package, re-exported by the package's "
    "__init__.py.",
    0,
    nullptr,
    SLOTS,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace ratiokit::py

// PyMODINIT_FUNC declares C linkage itself in C++; Clang warns about a second extern "C".
PyMODINIT_FUNC PyInit__ratiokit(void) {
  return PyModuleDef_Init(&ratiokit::py::MODULE_DEF);
}
