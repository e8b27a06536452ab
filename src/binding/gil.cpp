#include "binding/gil.hpp"

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "binding/environment.hpp"

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
  configure_shared_pool();
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

namespace {

// What the computation's thread and the waiting thread share in run_beside.
struct Beside {
  std::mutex mutex;
  std::condition_variable finished_cv;
  bool finished = false;
  std::atomic<bool> cancel{false};
  // The computation's cancellation flag while its scope lives (guarded by mutex): setting it
  // stops every thread at its next cancellation point, without waiting for the scope's own
  // poll, which a thread deep in long items reaches only every few items.
  std::atomic<bool>* flag = nullptr;
  std::exception_ptr error;

  void cancel_now() {
    cancel.store(true, std::memory_order_relaxed);
    std::lock_guard<std::mutex> lock(mutex);
    if (flag != nullptr) flag->store(true, std::memory_order_relaxed);
  }

  static bool poll(void* self) noexcept {
    return static_cast<Beside*>(self)->cancel.load(std::memory_order_relaxed);
  }
};

}  // namespace

bool run_beside(FunctionRef<void()> body, PollHook hook) {
  Beside shared;
  const bool main_thread = _PyOS_IsMainThread();
  configure_shared_pool();
  PyThreadState* tstate = PyEval_SaveThread();
  std::thread computation;
  try {
    computation = std::thread([&shared, body] {
      try {
        CancelScope scope(&Beside::poll, &shared);
        struct Published {
          Beside& shared;
          Published(Beside& b, std::atomic<bool>* flag) : shared(b) {
            std::lock_guard<std::mutex> lock(shared.mutex);
            shared.flag = flag;
            if (shared.cancel.load(std::memory_order_relaxed)) flag->store(true);
          }
          ~Published() {
            std::lock_guard<std::mutex> lock(shared.mutex);
            shared.flag = nullptr;
          }
        } published(shared, &scope.flag);
        body();
      } catch (...) {
        shared.error = std::current_exception();
      }
      std::lock_guard<std::mutex> lock(shared.mutex);
      shared.finished = true;
      shared.finished_cv.notify_one();
    });
  } catch (const std::system_error&) {
    PyEval_RestoreThread(tstate);
    ReleasedGil released(hook);
    std::exception_ptr error;
    try {
      body();
    } catch (...) {
      error = std::current_exception();
    }
    return released.finish(std::move(error));
  }
  PyObject* raised[3] = {nullptr, nullptr, nullptr};  // type, value, traceback
  std::unique_lock<std::mutex> lock(shared.mutex);
  while (!shared.finished_cv.wait_for(lock, POLL_INTERVAL, [&] { return shared.finished; })) {
    if (shared.cancel.load(std::memory_order_relaxed)) continue;  // unwinding already
    lock.unlock();
    PyEval_RestoreThread(tstate);
    bool failed = main_thread && PyErr_CheckSignals() < 0;
    if (!failed) failed = !hook.call(hook.context);
    if (failed) {
#if PY_VERSION_HEX >= 0x030C0000
      raised[1] = PyErr_GetRaisedException();
#else
      PyErr_Fetch(&raised[0], &raised[1], &raised[2]);
#endif
      shared.cancel_now();
    }
    tstate = PyEval_SaveThread();
    lock.lock();
  }
  lock.unlock();
  computation.join();
  PyEval_RestoreThread(tstate);
  if (raised[0] != nullptr || raised[1] != nullptr) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(raised[1]);
#else
    PyErr_Restore(raised[0], raised[1], raised[2]);
#endif
    return false;
  }
  if (shared.error) {
    raise_from(shared.error);
    return false;
  }
  return true;
}

}  // namespace ratiokit::py
