#!/usr/bin/env bash
# Builds and runs the fuzz targets under fuzz/ (see fuzz/CMakeLists.txt).
#
#   tools/fuzz.sh [--time SECONDS] [target...]  libFuzzer (Clang, ASan+UBSan), each target for
#                                               SECONDS (default 600), one after the other
#   tools/fuzz.sh --smoke [target...]           the same for a few seconds each (CI)
#   tools/fuzz.sh --replay                      every target over its seed corpus, through CTest,
#                                               with the default compiler and no libFuzzer
#
# Targets are named without the fuzz_ prefix (ratio, gestalt, threshold); default all. New
# inputs go to build/fuzz/corpus/<target> (seeded from fuzz/corpus/<target>, which stays as
# committed); crashes to build/fuzz/artifacts/. To keep a finding as a regression seed, copy it
# into fuzz/corpus/<target>/.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
mode=run
seconds=600
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --smoke) mode=run; seconds="${RATIOKIT_FUZZ_SMOKE_SECONDS:-5}" ;;
    --replay) mode=replay ;;
    --time) seconds="$2"; shift ;;
    -h|--help) sed -n '2,15p' "$0"; exit 0 ;;
    *) targets+=("$1") ;;
  esac
  shift
done
if [ ${#targets[@]} -eq 0 ]; then
  for source in "$repo"/fuzz/fuzz_*.cpp; do
    name="$(basename "$source" .cpp)"
    targets+=("${name#fuzz_}")
  done
fi

if [ "$mode" = replay ]; then
  build="$repo/build/fuzz-replay"
  cmake -S "$repo/fuzz" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j "$(nproc)"
  ctest --test-dir "$build" --output-on-failure
  exit 0
fi

cxx="${RATIOKIT_FUZZ_CXX:-$(command -v clang++ || command -v clang++-14 || true)}"
if [ -z "$cxx" ]; then
  echo "tools/fuzz.sh: needs clang++ with libFuzzer (Debian: apt-get install clang libclang-rt-14-dev)" >&2
  exit 2
fi
build="$repo/build/fuzz"
cmake -S "$repo/fuzz" -B "$build" -DCMAKE_CXX_COMPILER="$cxx" -DRATIOKIT_LIBFUZZER=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]/#/fuzz_}"
mkdir -p "$build/artifacts"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
for target in "${targets[@]}"; do
  work="$build/corpus/$target"
  mkdir -p "$work"
  echo "== fuzz_$target for ${seconds}s"
  "$build/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -max_len=4096 -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
    "$work" "$repo/fuzz/corpus/$target" 2>&1 | grep -v '^#[0-9]*.*\(NEW\|REDUCE\|pulse\)' || {
    echo "fuzz_$target failed; see $build/artifacts/" >&2
    exit 1
  }
done
