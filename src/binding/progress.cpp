// Progress reports of the long entry points.
#include "binding/progress.hpp"

#include "binding/environment.hpp"
#include "cluster/cluster.hpp"
#include "parallel/memory.hpp"

namespace ratiokit::py {

ProgressReport::ProgressReport(PyObject* callable) {
  record_.lines = progress_lines_setting();
  if (callable != nullptr && callable != Py_None) callable_ = callable;
}

ProgressReport::~ProgressReport() {
  constexpr std::chrono::milliseconds LONG_CALL{100};
  if (Progress::Clock::now() - record_.started >= LONG_CALL) release_free_memory();
}

PollHook ProgressReport::hook() {
  if (callable_ == nullptr) return {};
  return {&ProgressReport::call, this};
}

bool ProgressReport::call(void* self) noexcept {
  ProgressReport& report = *static_cast<ProgressReport*>(self);
  const auto now = Progress::Clock::now();
  if (now - report.last_call_ < CALL_INTERVAL) return true;
  const char* phase = report.record_.phase.load(std::memory_order_relaxed);
  const uint64_t done = report.record_.done.load(std::memory_order_relaxed);
  const uint64_t total = report.record_.total.load(std::memory_order_relaxed);
  // Before the first phase starts there is nothing to name.
  if (*phase == '\0') return true;
  if (phase == report.last_phase_ && done == report.last_done_) return true;
  report.last_phase_ = phase;
  report.last_done_ = done;
  PyObject* result = PyObject_CallFunction(report.callable_, "sKK", phase,
                                           static_cast<unsigned long long>(done),
                                           static_cast<unsigned long long>(total));
  // The interval counts from the callable's return, so that a slow one still leaves the
  // calling thread free most of the time.
  report.last_call_ = Progress::Clock::now();
  if (result == nullptr) return false;
  Py_DECREF(result);
  return true;
}

bool to_progress(PyObject* obj, PyObject*& out) {
  if (obj == nullptr || obj == Py_None) {
    out = nullptr;
    return true;
  }
  if (!PyCallable_Check(obj)) {
    PyErr_Format(PyExc_TypeError, msg::PROGRESS_NOT_CALLABLE, Py_TYPE(obj)->tp_name);
    return false;
  }
  out = obj;
  return true;
}

bool read_strings_call(const Signature& sig, InputRule rule, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames, StringsCall& out) {
  PyObject* arg[4] = {nullptr, nullptr, nullptr, nullptr};
  if (!parse_fastcall(sig, args, nargs, kwnames, arg)) return false;
  const char* name = sig.names[0];
  const bool package = rule == InputRule::Package;
  return convert_arg(arg[0], name, package ? to_text_column : to_bounded_text_list, name,
                     MAX_CLUSTER_STRINGS, out.strings) &&
         convert_arg(arg[1], "threshold", to_f64, out.threshold) &&
         (arg[2] == nullptr || (package ? to_count(arg[2], "threads", out.threads)
                                        : convert_arg(arg[2], "threads", to_u64, out.threads))) &&
         to_progress(arg[3], out.progress);
}

}  // namespace ratiokit::py
