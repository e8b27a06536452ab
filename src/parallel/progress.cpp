// Progress lines and phase bookkeeping.
#include "parallel/progress.hpp"

#include <cstdarg>
#include <algorithm>
#include <cstdio>

namespace ratiokit {
namespace {

void write_line(const char* format, va_list args) {
  char line[256] = "    [ratiokit] ";
  constexpr size_t prefix = sizeof("    [ratiokit] ") - 1;
  const int len = std::vsnprintf(line + prefix, sizeof line - prefix - 1, format, args);
  if (len < 0) return;
  size_t used = prefix + std::min(static_cast<size_t>(len), sizeof line - prefix - 2);
  line[used++] = '\n';
  std::fwrite(line, 1, used, stderr);
}

double seconds_since(Progress::Clock::time_point t) {
  return std::chrono::duration<double>(Progress::Clock::now() - t).count();
}

}  // namespace

void progress_start(Progress* progress, const char* phase, uint64_t total,
                    const char* size_format, ...) {
  if (progress == nullptr) return;
  progress->done.store(0, std::memory_order_relaxed);
  progress->total.store(total, std::memory_order_relaxed);
  progress->phase.store(phase, std::memory_order_relaxed);
  progress->phase_started = Progress::Clock::now();
  progress->last_line = progress->phase_started;
  if (!progress->lines) return;
  char size[160];
  va_list args;
  va_start(args, size_format);
  std::vsnprintf(size, sizeof size, size_format, args);
  va_end(args);
  progress_write(progress, "%s: start, %s", phase, size);
}

void progress_end(Progress* progress, const char* format, ...) {
  if (progress == nullptr) return;
  progress->done.store(progress->total.load(std::memory_order_relaxed),
                       std::memory_order_relaxed);
  if (!progress->lines) return;
  char text[160];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  progress_write(progress, "%s: done, %s in %.2fs", progress->phase.load(std::memory_order_relaxed),
                 text, seconds_since(progress->phase_started));
}

void progress_write(Progress* progress, const char* format, ...) {
  if (!progress_lines(progress)) return;
  va_list args;
  va_start(args, format);
  write_line(format, args);
  va_end(args);
}

void progress_tick(Progress* progress, const char* format, ...) {
  if (!progress_lines(progress)) return;
  const auto now = Progress::Clock::now();
  if (now - progress->last_line < Progress::LINE_INTERVAL) return;
  progress->last_line = now;
  va_list args;
  va_start(args, format);
  write_line(format, args);
  va_end(args);
}

double progress_seconds(const Progress* progress) {
  return progress == nullptr ? 0.0 : seconds_since(progress->started);
}

}  // namespace ratiokit
