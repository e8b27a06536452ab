// Releasing the GIL around one computation, and the signal polling that makes it interruptible.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "binding/errors.hpp"
#include "parallel/parallel.hpp"

namespace ratiokit::py {

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

  // Runs f with the GIL held again, for a computation that reads its input from Python objects
  // as it goes, and then runs pending signal handlers (main thread only; not the hook, which
  // keeps to its interval). f returning false with a Python exception set cancels the
  // computation with that exception, like a signal handler's: the computation's loops stop and
  // holding() throws Cancelled. A C++ exception from f cancels the loops too and propagates.
  void holding(FunctionRef<bool()> f);

 private:
  static bool poll(void* self) noexcept;
  // With the GIL held: runs pending signal handlers (main thread only) and then the hook; true
  // when one raised, its exception kept aside.
  bool check() noexcept;
  void keep_raised() noexcept;
  void cancel_loops() noexcept;

  PollHook hook_;
  PyThreadState* tstate_;
  PyObject* raised_[3] = {nullptr, nullptr, nullptr};  // type, value, traceback
  std::optional<CancelScope> scope_;
};

// Runs body with the GIL released on a thread of its own, while the calling thread waits and
// runs the polls: pending signal handlers (main thread only) about every POLL_INTERVAL, and the
// hook. The hook's code (a progress callable, say) can then take as long as it likes without
// holding up the computation, serial stretches included. An exception from either cancels the
// computation as under ReleasedGil, and the result is reported the same way. Falls back to
// ReleasedGil when no thread can be started.
bool run_beside(FunctionRef<void()> body, PollHook hook);

// Runs f with the GIL released (see ReleasedGil); a C++ exception is translated once the GIL is
// back. An f that takes a ReleasedGil& gets the one it runs under, for holding(). With a hook,
// an f that needs no holding() runs beside the calling thread (see run_beside).
template <class F>
bool without_gil(F&& f, PollHook hook = {}) {
  if constexpr (!std::is_invocable_v<F&, ReleasedGil&>) {
    if (hook.call != nullptr) return run_beside(FunctionRef<void()>(f), hook);
  }
  ReleasedGil released(hook);
  std::exception_ptr error;
  try {
    if constexpr (std::is_invocable_v<F&, ReleasedGil&>) {
      f(released);
    } else {
      f();
    }
  } catch (...) {
    error = std::current_exception();
  }
  return released.finish(std::move(error));
}

}  // namespace ratiokit::py
