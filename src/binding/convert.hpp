// The binding's conversion layer: argument parsing, Python-to-C++ conversion of every declared
// argument kind, the error wrapping rule, C++ exception translation, and result conversion.
//
// Converters return false with a Python exception set. A TypeError raised while converting a
// named argument becomes "argument '<name>': <message>" (see `convert_arg`); every other
// exception passes through unchanged. Inputs are always copied into owned C++ memory so that
// the computation can run with the GIL released.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "gestalt/gestalt.hpp"
#include "parallel/concurrency.hpp"
#include "parallel/parallel.hpp"

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

// Per-kind converters; the name is used only for messages that must name the argument.
bool to_code_points(PyObject* obj, const char* name, CodePoints& out);
// The two texts of a ratio call, arguments "a" then "b".
bool to_text_pair(PyObject* const* arg, CodePoints& a, CodePoints& b);
bool to_utf8(PyObject* obj, std::string& out);
bool to_f64(PyObject* obj, double& out);
bool to_u64(PyObject* obj, uint64_t& out);
bool to_text_list(PyObject* obj, const char* name, std::vector<CodePoints>& out);
// As to_text_list, refusing (ValueError) more than `max_items` texts, before copying them when
// the sequence says its length up front.
bool to_bounded_text_list(PyObject* obj, const char* name, const size_t& max_items,
                          std::vector<CodePoints>& out);
bool to_pair_list(PyObject* obj, const char* name, std::vector<std::pair<CodePoints, CodePoints>>& out);
bool to_token_lists(PyObject* obj, std::vector<std::vector<std::string>>& out);

// Decodes a concurrency mode; an unknown one raises ValueError (call with the GIL held, before
// any work starts).
bool parse_concurrency(const std::string& text, Concurrency& out);

// Applies the wrapping rule to a failed conversion of argument `name`; always returns false.
bool wrap_arg_error(const char* name);

// Converts argument `name` with `convert(obj, out...)` and applies the wrapping rule.
template <class F, class... Out>
bool convert_arg(PyObject* obj, const char* name, F&& convert, Out&... out) {
  return convert(obj, out...) || wrap_arg_error(name);
}

// Sets the Python exception for a C++ exception that reached the binding: MemoryError for
// std::bad_alloc, the exception already set (else KeyboardInterrupt) for Cancelled,
// PanicException for anything else. Returns nullptr for convenience.
PyObject* raise_from(std::exception_ptr error);

// The GIL released around one computation. On the interpreter's main thread the computation is
// also interruptible: its thread takes the GIL back for a moment about every POLL_INTERVAL to
// run pending signal handlers (see CancelScope for where), and an exception from one, such as
// KeyboardInterrupt for Ctrl-C, cancels the computation. That exception is raised once the
// computation has unwound, whatever it ended with, so no result computed meanwhile is returned.
// Other threads never receive signals and skip all this; a computation that ends before its
// first poll costs nothing extra.
//
// A `PollHook` adds a check of the caller's own to every poll, with the GIL held, on any thread
// (with a hook the computation polls even off the main thread): returning false with a Python
// exception set cancels the computation like a signal handler's exception.
struct PollHook {
  bool (*call)(void* context) = nullptr;
  void* context = nullptr;
};

class ReleasedGil {
 public:
  explicit ReleasedGil(PollHook hook = {}) noexcept;
  ReleasedGil(const ReleasedGil&) = delete;
  ReleasedGil& operator=(const ReleasedGil&) = delete;

  // Takes the GIL back and sets the Python exception for how the computation ended: the one a
  // signal handler raised, else `error` translated. True when there is none. Call exactly once.
  bool finish(std::exception_ptr error) noexcept;

 private:
  static bool poll(void* self) noexcept;

  PollHook hook_;
  PyThreadState* tstate_;
  PyObject* raised_[3] = {nullptr, nullptr, nullptr};  // type, value, traceback
  std::optional<CancelScope> scope_;
};

// Runs f with the GIL released (see ReleasedGil); a C++ exception is translated once the GIL is
// back.
template <class F>
bool without_gil(F&& f, PollHook hook = {}) {
  ReleasedGil released(hook);
  std::exception_ptr error;
  try {
    f();
  } catch (...) {
    error = std::current_exception();
  }
  return released.finish(std::move(error));
}

// Runs an entry point body, translating any C++ exception it lets out (with the GIL held).
template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return raise_from(std::current_exception());
  }
}

PyObject* float_list(const std::vector<double>& values);
// [(list of int, float), ...]
PyObject* cluster_list(const std::vector<std::pair<std::vector<size_t>, double>>& clusters);

// Sets TypeError "'<type>' object is not an instance of '<expected>'".
void type_mismatch(PyObject* obj, const char* expected);

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

// The process-wide PanicException type (created by the module's exec step).
PyObject* panic_exception_type();
int init_panic_exception();

}  // namespace ratiokit::py
