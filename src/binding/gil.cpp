#include "binding/gil.hpp"

namespace ratiokit::py {

#if PY_VERSION_HEX >= 0x030D0000
// Moved out of the public headers in 3.13, but still exported (the interpreter's own
// _multiprocessing extension uses it).
extern "C" PyAPI_FUNC(int) _PyOS_IsMainThread(void);
#endif

ReleasedGil::ReleasedGil(PollHook hook) noexcept : hook_(hook) {
  // Signal handlers run only on the main thread; elsewhere a poll could never see one, unless
  // the caller's hook has something to check.
  if (_PyOS_IsMainThread() || hook_.call != nullptr) scope_.emplace(&ReleasedGil::poll, this);
  tstate_ = PyEval_SaveThread();
}

bool ReleasedGil::poll(void* self) noexcept {
  ReleasedGil& gil = *static_cast<ReleasedGil*>(self);
  PyEval_RestoreThread(gil.tstate_);
  const bool raised = gil.check();
  gil.tstate_ = PyEval_SaveThread();
  return raised;
}

bool ReleasedGil::check() noexcept {
  bool raised = _PyOS_IsMainThread() && PyErr_CheckSignals() < 0;
  if (!raised && hook_.call != nullptr) raised = !hook_.call(hook_.context);
  if (raised) keep_raised();
  return raised;
}

// Keeps the pending exception aside rather than set while the computation unwinds without the
// GIL. The first one wins: the computation is cancelled from then on.
void ReleasedGil::keep_raised() noexcept {
  if (raised_[0] != nullptr || raised_[1] != nullptr) {
    PyErr_Clear();
    return;
  }
#if PY_VERSION_HEX >= 0x030C0000
  raised_[1] = PyErr_GetRaisedException();
#else
  PyErr_Fetch(&raised_[0], &raised_[1], &raised_[2]);
#endif
}

void ReleasedGil::cancel_loops() noexcept {
  if (scope_) scope_->flag.store(true, std::memory_order_relaxed);
}

void ReleasedGil::holding(FunctionRef<bool()> f) {
  PyEval_RestoreThread(tstate_);
  bool failed;
  try {
    failed = !f();
    if (!failed && _PyOS_IsMainThread()) failed = PyErr_CheckSignals() < 0;
    if (failed) keep_raised();
  } catch (...) {
    tstate_ = PyEval_SaveThread();
    cancel_loops();
    throw;
  }
  tstate_ = PyEval_SaveThread();
  if (failed) {
    cancel_loops();
    throw_cancelled();
  }
}

bool ReleasedGil::finish(std::exception_ptr error) noexcept {
  scope_.reset();
  PyEval_RestoreThread(tstate_);
  if (raised_[0] != nullptr || raised_[1] != nullptr) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(raised_[1]);
#else
    PyErr_Restore(raised_[0], raised_[1], raised_[2]);
#endif
    return false;
  }
  if (error) {
    raise_from(error);
    return false;
  }
  return true;
}

}  // namespace ratiokit::py
