#include "binding/types.hpp"

#include <cstring>

namespace ratiokit::py {
namespace {

#if PY_VERSION_HEX < 0x030A0000
// Python 3.9 keeps a heap type's docstring without its "Name(...)\n--\n\n" signature line, so the
// class has no __text_signature__ and inspect.signature() fails on it. Give the type the whole
// docstring back: __doc__ was already set from the stripped one, and __text_signature__ reads
// the signature line. The type lives for the process, so the copy is never freed.
bool keep_text_signature(PyType_Spec* spec, PyObject* type) {
  for (PyType_Slot* slot = spec->slots; slot->slot != 0; ++slot) {
    if (slot->slot != Py_tp_doc || slot->pfunc == nullptr) continue;
    const char* full = static_cast<const char*>(slot->pfunc);
    const size_t size = std::strlen(full) + 1;
    char* copy = static_cast<char*>(PyObject_Malloc(size));
    if (copy == nullptr) {
      PyErr_NoMemory();
      return false;
    }
    std::memcpy(copy, full, size);
    auto* tp = reinterpret_cast<PyTypeObject*>(type);
    PyObject_Free(const_cast<char*>(tp->tp_doc));
    tp->tp_doc = copy;
  }
  return true;
}
#endif

}  // namespace

PyObject* HeapType::get() {
  if (type == nullptr) {
    type = PyType_FromSpec(spec);
    if (type == nullptr) return nullptr;
#if PY_VERSION_HEX < 0x030A0000
    if (!keep_text_signature(spec, type)) {
      Py_CLEAR(type);
      return nullptr;
    }
#endif
  }
  Py_INCREF(type);
  return type;
}

}  // namespace ratiokit::py
