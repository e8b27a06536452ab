// How a call reports its progress: the RATIOKIT_PROGRESS lines (the variable is read here, at
// the entry point, with the GIL held; engines never look) and an optional Python callable.
//
// The callable is called as progress(phase, done, total) on the calling thread with the GIL
// held, from the computation's polls (see ReleasedGil), at most every CALL_INTERVAL and only
// when something changed. If it raises, the computation is cancelled and the call raises that
// exception once everything has unwound.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>

#include "binding/convert.hpp"
#include "parallel/progress.hpp"

namespace ratiokit::py {

struct ProgressReport {
  static constexpr std::chrono::milliseconds CALL_INTERVAL{100};

  // `callable` is borrowed (the call's arguments keep it alive); None or nullptr for none.
  explicit ProgressReport(PyObject* callable);
  // The long call ends with its report: what it freed goes back to the system (see
  // release_free_memory), once it has run long enough to have built much.
  ~ProgressReport();
  ProgressReport(const ProgressReport&) = delete;
  ProgressReport& operator=(const ProgressReport&) = delete;

  // What the engines publish into.
  Progress* record() { return &record_; }
  // The hook for without_gil: none without a callable.
  PollHook hook();

 private:
  static bool call(void* self) noexcept;

  Progress record_;
  PyObject* callable_ = nullptr;
  Progress::Clock::time_point last_call_{};
  const char* last_phase_ = nullptr;
  uint64_t last_done_ = UINT64_MAX;
};

// Validates a progress argument: None, omitted or a callable; else TypeError naming it.
bool to_progress(PyObject* obj, PyObject*& out);

// The arguments of a call over one list of strings: (strings, threshold, threads=0,
// progress=None), the list named by sig's first parameter and read with 32-bit row indices, under
// the module's rule for its public functions or the package's (to_text_column, to_count) for
// the private ones behind the package.
enum class InputRule { Module, Package };
struct StringsCall {
  std::vector<CodePoints> strings;
  double threshold = 0.0;
  uint64_t threads = 0;
  PyObject* progress = nullptr;  // borrowed; null for none
};
bool read_strings_call(const Signature& sig, InputRule rule, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames, StringsCall& out);

}  // namespace ratiokit::py
