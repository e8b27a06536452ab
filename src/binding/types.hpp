// Heap-type plumbing for the module's classes.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "binding/errors.hpp"

namespace ratiokit::py {

// Flags of the module's classes: immutable where the interpreter supports it.
#ifdef Py_TPFLAGS_IMMUTABLETYPE
inline constexpr unsigned int HEAP_TYPE_FLAGS = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
#else
inline constexpr unsigned int HEAP_TYPE_FLAGS = Py_TPFLAGS_DEFAULT;
#endif

// A class made from its spec on first use and kept for the life of the process.
struct HeapType {
  PyType_Spec* spec;
  PyObject* type = nullptr;

  // A new reference to the type, or nullptr with the exception set.
  PyObject* get();
  // self as the class's object layout, or nullptr with the type-mismatch TypeError.
  template <class Object>
  Object* instance(PyObject* self) const {
    if (type == nullptr || !PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(type))) {
      type_mismatch(self, spec->name + sizeof("ratiokit.") - 1);
      return nullptr;
    }
    return reinterpret_cast<Object*>(self);
  }
};

// tp_dealloc of a class whose object holds one C++ value: destroys it and releases the type.
template <class Object>
void dealloc_object(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<Object*>(self)->~Object();
  type->tp_free(self);
  Py_DECREF(type);
}

}  // namespace ratiokit::py
