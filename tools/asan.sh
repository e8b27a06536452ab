#!/usr/bin/env bash
# AddressSanitizer + UndefinedBehaviorSanitizer: builds the engines, the C++ unit tests and the
# extension with both, runs the C++ tests, then the pytest suite against the sanitized extension.
#
#   tools/asan.sh [--cpp | --py] [--quick] [pytest arguments...]
#
# --cpp / --py run only that half; --quick runs a reduced pytest selection (the binding, hostile
# input, interrupts and resources; for CI). The interpreter itself is not instrumented: the
# sanitizer runtime is preloaded, Python's allocator is switched to malloc so that ASan sees
# Python objects too, and leak detection is off for the interpreter's own leaks at exit.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
build="$repo/build/asan"
run_cpp=1
run_py=1
quick=0
pytest_args=()
for arg in "$@"; do
  case "$arg" in
    --cpp) run_py=0 ;;
    --py) run_cpp=0 ;;
    --quick) quick=1 ;;
    *) pytest_args+=("$arg") ;;
  esac
done

cmake -S "$repo" -B "$build" -DRATIOKIT_SANITIZE=address -DRATIOKIT_BUILD_TESTS=ON \
  -DRATIOKIT_BUILD_EXTENSION=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)"

export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
if [ "$run_cpp" = 1 ]; then
  ASAN_OPTIONS="detect_leaks=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}" \
    ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
fi
[ "$run_py" = 1 ] || exit 0

# The package as pip would lay it out, with the sanitized core, ahead of any installed copy.
stage="$build/python"
rm -rf "$stage"
mkdir -p "$stage/ratiokit"
cp "$repo"/ratiokit/*.py "$repo"/ratiokit/*.pyi "$repo"/ratiokit/py.typed "$stage/ratiokit/"
cp "$build"/_ratiokit*.so "$stage/ratiokit/"

cxx="$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")"
libasan="$("${cxx:-c++}" -print-file-name=libasan.so)"
libubsan="$("${cxx:-c++}" -print-file-name=libubsan.so)"
if [ "$quick" = 1 ]; then
  pytest_args=(test_binding.py test_hostile.py test_interrupt.py test_resources.py
               "${pytest_args[@]}")
fi
# From inside tests/, so that the source tree's ratiokit/ (no compiled core) is not imported.
cd "$repo/tests"
env LD_PRELOAD="$libasan $libubsan" PYTHONPATH="$stage" PYTHONMALLOC=malloc \
  ASAN_OPTIONS="detect_leaks=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}" RATIOKIT_SANITIZED=1 \
  python -m pytest -p no:cacheprovider "${pytest_args[@]}"
