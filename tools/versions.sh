#!/usr/bin/env bash
# Builds ratiokit for every other supported Python found on this machine and runs the smoke test
# (tools/smoke.py) on each: one virtual environment per interpreter under build/, `pip install .`
# there. An interpreter that is absent is skipped. Prints a matrix of versions, results and times.
#
#   tools/versions.sh [VERSION...]   (default: 3.9 3.10 3.11 3.12 3.13, less the default python's)
set -uo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
default="$(python -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
versions=("$@")
[ ${#versions[@]} -eq 0 ] && versions=(3.9 3.10 3.11 3.12 3.13)

source "$repo/tools/find_python.sh"

# Each build compiles the whole extension; use every core for it.
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"

matrix=()
failed=0
for v in "${versions[@]}"; do
  if [ "$v" = "$default" ]; then
    matrix+=("$v  full suite (default python)")
    continue
  fi
  py="$(find_python "$v")"
  if [ -z "$py" ]; then
    matrix+=("$v  skipped: not installed")
    continue
  fi
  venv="$repo/build/py$v/venv"
  start=$SECONDS
  log="$repo/build/py$v/log.txt"
  mkdir -p "$repo/build/py$v"
  if { [ -x "$venv/bin/python" ] || "$py" -m venv "$venv"; } >"$log" 2>&1 &&
     "$venv/bin/python" -m pip install -q "$repo" >>"$log" 2>&1; then
    built=$((SECONDS - start))
    # From outside the source tree, so that its ratiokit/ (no compiled core) cannot shadow the
    # installed package.
    if (cd "$repo/build/py$v" && "$venv/bin/python" "$repo/tools/smoke.py") >>"$log" 2>&1; then
      matrix+=("$v  ok: $("$py" -c 'import platform; print(platform.python_version())'), built in ${built}s, smoke in $((SECONDS - start - built))s")
    else
      matrix+=("$v  SMOKE FAILED (see $log)")
      failed=1
    fi
  else
    matrix+=("$v  BUILD FAILED (see $log)")
    failed=1
  fi
  tail -n 3 "$log"
done

echo "Python versions:"
printf '  %s\n' "${matrix[@]}"
exit $failed
