#include "binding/types.hpp"

namespace ratiokit::py {

PyObject* HeapType::get() {
  if (type == nullptr) {
    type = PyType_FromSpec(spec);
    if (type == nullptr) return nullptr;
  }
  Py_INCREF(type);
  return type;
}

}  // namespace ratiokit::py
