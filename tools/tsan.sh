#!/usr/bin/env bash
# ThreadSanitizer build of the C++ tests, then the tests that run work on several threads: the
# pools and cancellation, and every engine test that runs its loops on a pool (clustering, batch
# ratios, the cosine join, shared automata).
# Usage: tools/tsan.sh [--all] [extra ctest arguments]; --all runs every C++ test under TSan.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build/tsan"
select='^(Pool|Cluster|Lsh|RatioManyCpu|Rationer|Simjoin|GestaltSam\.BuilderReuse)'
if [ "${1:-}" = "--all" ]; then
  select='.'
  shift
fi
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRATIOKIT_SANITIZE=thread \
  -DRATIOKIT_BUILD_EXTENSION=OFF -DRATIOKIT_BUILD_TESTS=ON >/dev/null
cmake --build "$build" -j"$(nproc)"
# halt_on_error: a race fails the test that hit it instead of only printing a report.
# atexit_sleep_ms: idle detached workers would otherwise cost every test process a second.
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 atexit_sleep_ms=0 ${TSAN_OPTIONS:-}"
ctest --test-dir "$build" -R "$select" --output-on-failure -j"$(nproc)" "$@"
