#!/usr/bin/env bash
# Builds the engines and C++ unit tests with AddressSanitizer + UndefinedBehaviorSanitizer and
# runs them.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
build="$repo/build/asan"
cmake -S "$repo" -B "$build" -DRATIOKIT_SANITIZE=address -DRATIOKIT_BUILD_TESTS=ON \
  -DRATIOKIT_BUILD_EXTENSION=OFF -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$build" -j "$(nproc)"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir "$build" --output-on-failure -j "$(nproc)" "$@"
