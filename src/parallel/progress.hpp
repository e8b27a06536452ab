// Progress of one long computation: a small record that engines publish into and the caller
// reads, plus the "    [ratiokit] ..." lines on standard error.
//
// The caller (the binding) creates one `Progress` per call, decides there whether lines are
// written (engines never look at the environment), and passes a pointer down; nullptr means
// nobody is watching and every helper below does nothing. Engines name the current phase and its
// size and advance `done` as items finish, from any thread (relaxed atomics: a reader may see a
// slightly stale count, never a torn one). The caller may read the record at any time, typically
// from CancelScope's poll while it waits for the workers, and report it however it likes.
//
// Lines are written whole, one write each, so that lines of concurrent calls never interleave
// mid-line. Every line has the form "    [ratiokit] <name>: <text>": a phase's start and end,
// a few summaries, and periodic lines inside a phase, which come from the calling thread between
// parallel steps, at most one per LINE_INTERVAL, so that a long call writes about ten a second.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace ratiokit {

struct Progress {
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds LINE_INTERVAL{100};

  bool lines = false;  // write progress lines to standard error
  std::atomic<const char*> phase{""};  // a string literal naming the phase
  std::atomic<uint64_t> done{0};
  std::atomic<uint64_t> total{0};
  Clock::time_point started = Clock::now();        // of the whole call
  Clock::time_point phase_started = Clock::now();  // of the current phase
  Clock::time_point last_line{};                   // of the last periodic line
};

// Starts a phase of `total` items; with lines on, writes "<phase>: start, <size text>".
void progress_start(Progress* progress, const char* phase, uint64_t total, const char* size_format,
                    ...);
// Ends the current phase (done = total); with lines on, writes "<phase>: done, <text> in <s>s".
void progress_end(Progress* progress, const char* format, ...);
// done += count (any thread).
inline void progress_advance(Progress* progress, uint64_t count) {
  if (progress != nullptr) progress->done.fetch_add(count, std::memory_order_relaxed);
}
inline void progress_set(Progress* progress, uint64_t done) {
  if (progress != nullptr) progress->done.store(done, std::memory_order_relaxed);
}
// Whether lines are on.
inline bool progress_lines(const Progress* progress) {
  return progress != nullptr && progress->lines;
}
// Writes "    [ratiokit] <text>\n" when lines are on.
void progress_write(Progress* progress, const char* format, ...);
// As progress_write, but only when LINE_INTERVAL has passed since the last such line (calling
// thread only).
void progress_tick(Progress* progress, const char* format, ...);
// Seconds since the call started.
double progress_seconds(const Progress* progress);

}  // namespace ratiokit
