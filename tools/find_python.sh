#!/bin/bash
# Prints the path of the CPython to build and test with.
#
#   tools/find_python.sh [VERSION | newest]
#
# With VERSION (3.11, say): python3.11 on PATH, else the newest 3.11 that
# pyenv keeps, else /usr/bin/python3.11; fails when none runs. Without: the
# same for 3.10, else the newest CPython 3.10 or later found that way (or
# as python3), saying on standard error which one and why. "newest": that
# newest one whether or not there is a 3.10.
#
# Every candidate is run, as a pyenv shim on PATH exists for each installed
# version but fails for those that are not selected. Uses nothing but bash
# and the candidates themselves, so it works with PATH holding nothing else.
set -uo pipefail

wanted=${1:-}
if [ -n "$wanted" ] && [ "$wanted" != newest ] && [[ ! "$wanted" =~ ^3\.[0-9]+$ ]]; then
  echo "find_python.sh: expected a version like 3.11 or 'newest', got '$wanted'" >&2
  exit 2
fi
pyenv_root=${PYENV_ROOT:-${HOME:-/nonexistent}/.pyenv}
system_bin=${FIND_PYTHON_SYSTEM_BIN:-/usr/bin}  # the distribution's interpreters (moved by tests)

# Runs the interpreter at $1; for a CPython 3 sets p_minor, p_patch and
# p_exe (the interpreter behind it: a pyenv shim's target), else fails.
probe() {
  local out
  out=$("$1" -c 'import sys; v = sys.version_info
if sys.implementation.name == "cpython" and v[0] == 3: print(v[1], v[2], sys.executable or "")' 2>/dev/null) ||
    return 1
  read -r p_minor p_patch p_exe <<<"$out" || return 1
  [[ "$p_minor" =~ ^[0-9]+$ && "$p_patch" =~ ^[0-9]+$ ]] || return 1
  [ -n "$p_exe" ] || p_exe=$1
}

# Candidates for 3.$1: python3.$1 on PATH, pyenv's (newest first), the
# system's.
candidates_for() {
  local found dir
  found=$(command -v "python3.$1" 2>/dev/null) && echo "$found"
  local -a kept=()
  for dir in "$pyenv_root"/versions/3."$1".*/bin/python3."$1"; do
    [ -x "$dir" ] && kept+=("$dir")
  done
  # Highest patch level first (3.10.13 before 3.10.9).
  local i j tmp
  for ((i = 1; i < ${#kept[@]}; i++)); do
    for ((j = i; j > 0; j--)); do
      [ "$(patch_of "${kept[j]}")" -gt "$(patch_of "${kept[j - 1]}")" ] || break
      tmp=${kept[j]} kept[j]=${kept[j - 1]} kept[j - 1]=$tmp
    done
  done
  [ ${#kept[@]} -gt 0 ] && printf '%s\n' "${kept[@]}"
  [ -x "$system_bin/python3.$1" ] && echo "$system_bin/python3.$1"
  return 0
}
patch_of() {  # the patch level in .../versions/3.M.P/bin/..., 0 if none
  local v=${1%/bin/*}
  v=${v##*/}
  v=${v#3.*.}
  [[ "$v" =~ ^[0-9]+ ]] && echo "${BASH_REMATCH[0]}" || echo 0
}

# The first candidate for 3.$1 that runs and is that version.
first_working() {
  local path
  while IFS= read -r path; do
    [ -n "$path" ] || continue
    probe "$path" || continue
    if [ "$p_minor" = "$1" ]; then
      echo "$p_patch $p_exe"
      return 0
    fi
  done < <(candidates_for "$1")
  return 1
}

say() { echo "using $1 (3.$2.$3)${4:+: $4}" >&2; }

if [ -n "$wanted" ] && [ "$wanted" != newest ]; then
  minor=${wanted#3.}
  if found=$(first_working "$minor"); then
    say "${found#* }" "$minor" "${found%% *}"
    echo "${found#* }"
    exit 0
  fi
  echo "no CPython $wanted found (python$wanted on PATH, in pyenv's versions or $system_bin)" >&2
  exit 1
fi

if [ "$wanted" != newest ] && found=$(first_working 10); then
  say "${found#* }" 10 "${found%% *}"
  echo "${found#* }"
  exit 0
fi

# The newest CPython >= 3.10 among every name that may lead to one.
best="" best_minor=-1 best_patch=-1
consider() {
  [ -n "$1" ] && [ -x "$1" ] || return 0
  probe "$1" || return 0
  if [ "$p_minor" -ge 10 ] && { [ "$p_minor" -gt "$best_minor" ] ||
    { [ "$p_minor" -eq "$best_minor" ] && [ "$p_patch" -gt "$best_patch" ]; }; }; then
    best=$p_exe best_minor=$p_minor best_patch=$p_patch
  fi
}
for ((m = 40; m >= 10; m--)); do
  while IFS= read -r path; do consider "$path"; done < <(candidates_for "$m")
done
consider "$(command -v python3 2>/dev/null)"
consider "$system_bin/python3"

if [ -n "$best" ]; then
  say "$best" "$best_minor" "$best_patch" "$([ "$wanted" = newest ] && echo "the newest found" || echo "no CPython 3.10 found")"
  echo "$best"
  exit 0
fi
echo "no CPython 3.10 or later found (python3.N or python3 on PATH, /usr/bin, pyenv's versions)" >&2
exit 1
