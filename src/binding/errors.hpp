// How failures reach Python: the translation of C++ exceptions that reach the binding, the
// process-wide PanicException for internal faults, and the type-mismatch TypeError.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>

namespace ratiokit::py {

// Sets the Python exception for a C++ exception that reached the binding: MemoryError for
// std::bad_alloc, the exception already set (else KeyboardInterrupt) for Cancelled,
// PanicException for anything else. Returns nullptr for convenience.
PyObject* raise_from(std::exception_ptr error);

// Runs an entry point body, translating any C++ exception it lets out (with the GIL held).
template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return raise_from(std::current_exception());
  }
}

// Sets TypeError "'<type>' object is not an instance of '<expected>'".
void type_mismatch(PyObject* obj, const char* expected);

// The process-wide PanicException type (created by the module's exec step).
PyObject* panic_exception_type();
int init_panic_exception();

}  // namespace ratiokit::py
