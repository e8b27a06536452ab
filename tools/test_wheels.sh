#!/usr/bin/env bash
# Tests the wheels in dist/ as users get them: each installed into a fresh virtual environment
# of its own Python (under build/wheel-test/), then tools/smoke.py run from outside the source
# tree. Prints a matrix of versions and results.
#
#   tools/test_wheels.sh [--suite] [--bench] [VERSION...]
#       (default: every version of 3.9 3.10 3.11 3.12 3.13 that has a wheel in dist/)
#
# --suite  also runs the pytest suite against the wheel. Its environment sees the interpreter's
#          own site-packages too (pandas, Dask, ... where installed), so that the integrations
#          are tested; the test extra fills in what is missing. Minutes per version.
# --bench  also installs the source tree with `pip install .` (the system compiler) into a
#          second fresh environment and times the two against each other with
#          bench/bench_wheel.py.
set -uo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
source "$repo/tools/find_python.sh"
suite=0
bench=0
versions=()
for arg in "$@"; do
  case "$arg" in
    --suite) suite=1 ;;
    --bench) bench=1 ;;
    *) versions+=("$arg") ;;
  esac
done
[ ${#versions[@]} -eq 0 ] && versions=(3.9 3.10 3.11 3.12 3.13)

matrix=()
failed=0
for v in "${versions[@]}"; do
  py="$(find_python "$v")"
  if [ -z "$py" ]; then
    matrix+=("$v  skipped: not installed")
    continue
  fi
  tag="$("$py" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')"
  wheel="$(ls "$repo"/dist/ratiokit-*-"$tag"-"$tag"-manylinux*.whl 2>/dev/null | head -n 1)"
  if [ -z "$wheel" ]; then
    matrix+=("$v  skipped: no wheel in dist/ (tools/wheels.sh $v)")
    continue
  fi
  root="$repo/build/wheel-test/$tag"
  rm -rf "$root"
  mkdir -p "$root"
  log="$root/log.txt"
  venv="$root/venv"
  start=$SECONDS
  if [ $suite -eq 1 ]; then
    made="$("$py" -m venv --system-site-packages "$venv" 2>&1 &&
            "$venv/bin/python" -m pip install -q --disable-pip-version-check "$wheel[test]" 2>&1)"
  else
    made="$("$py" -m venv "$venv" 2>&1 &&
            "$venv/bin/python" -m pip install -q --disable-pip-version-check "$wheel" 2>&1)"
  fi
  if [ $? -ne 0 ]; then
    echo "$made" >"$log"
    matrix+=("$v  INSTALL FAILED (see $log)")
    failed=1
    continue
  fi
  # Run from directories outside the source tree or inside tests/ (which has no ratiokit/), and
  # make sure the wheel's copy is what gets imported.
  where="$(cd "$root" && "$venv/bin/python" -c 'import ratiokit; print(ratiokit.__file__)')"
  if [[ "$where" != "$venv/"* ]]; then
    matrix+=("$v  WRONG IMPORT: ratiokit from $where")
    failed=1
    continue
  fi
  result="$v  $(basename "$wheel"):"
  if (cd "$root" && "$venv/bin/python" "$repo/tools/smoke.py") >>"$log" 2>&1; then
    result+=" smoke ok"
  else
    result+=" SMOKE FAILED (see $log)"
    failed=1
  fi
  if [ $suite -eq 1 ]; then
    if (cd "$repo/tests" && "$venv/bin/python" -m pytest -q -p no:cacheprovider) >>"$log" 2>&1; then
      result+=", suite: $(grep -E '^[0-9]+ passed' "$log" | tail -n 1)"
    else
      result+=", SUITE FAILED: $(grep -E '(passed|failed|error)' "$log" | tail -n 1) (see $log)"
      failed=1
    fi
  fi
  if [ $bench -eq 1 ]; then
    local_venv="$root/local-venv"
    if "$py" -m venv "$local_venv" >>"$log" 2>&1 &&
       CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}" \
         "$local_venv/bin/python" -m pip install -q --disable-pip-version-check "$repo" >>"$log" 2>&1; then
      "$py" "$repo/bench/bench_wheel.py" "$venv/bin/python" "$local_venv/bin/python" \
        | tee "$root/bench.txt"
      result+=", bench: $(grep '^geometric mean' "$root/bench.txt")"
    else
      result+=", BENCH: LOCAL BUILD FAILED (see $log)"
      failed=1
    fi
  fi
  matrix+=("$result ($((SECONDS - start))s)")
  tail -n 2 "$log"
done

echo "Wheels tested:"
printf '  %s\n' "${matrix[@]}"
exit $failed
