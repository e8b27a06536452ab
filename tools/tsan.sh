#!/usr/bin/env bash
# ThreadSanitizer build of the C++ tests, then the worker-pool tests under it.
# Usage: tools/tsan.sh [extra ctest arguments]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build/tsan"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRATIOKIT_SANITIZE=thread \
  -DRATIOKIT_BUILD_EXTENSION=OFF -DRATIOKIT_BUILD_TESTS=ON
cmake --build "$build" -j"$(nproc)" --target parallel_test
# halt_on_error: a race fails the test that hit it instead of only printing a report.
# atexit_sleep_ms: idle detached workers would otherwise cost every test process a second.
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 atexit_sleep_ms=0 ${TSAN_OPTIONS:-}"
ctest --test-dir "$build" -R Pool --output-on-failure "$@"
