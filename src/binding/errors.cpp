#include "binding/errors.hpp"

#include <new>

#include "binding/messages.hpp"
#include "parallel/parallel.hpp"

namespace ratiokit::py {
namespace {

PyObject* PANIC = nullptr;

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

PyObject* panic_exception_type() { return PANIC; }

int init_panic_exception() {
  if (PANIC != nullptr) return 0;
  PANIC = PyErr_NewExceptionWithDoc("ratiokit.PanicException", msg::PANIC_DOC,
                                    PyExc_BaseException, nullptr);
  return PANIC == nullptr ? -1 : 0;
}

}  // namespace ratiokit::py
