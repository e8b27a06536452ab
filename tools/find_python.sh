# Sourced by the scripts that run on several Pythons: find_python 3.X prints the newest
# interpreter of that version found (pyenv's first, then pythonX.Y on the PATH), or nothing.
find_python() {
  local v="$1" root candidate
  if command -v pyenv >/dev/null 2>&1; then
    root="$(pyenv root)"
    for candidate in $(ls -d "$root/versions/$v".* 2>/dev/null | sort -V -r); do
      [ -x "$candidate/bin/python" ] && { echo "$candidate/bin/python"; return; }
    done
  fi
  command -v "python$v" 2>/dev/null || true
}
