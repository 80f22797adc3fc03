# Shared by the scripts in tools/: source it, do not run it.

# Runs a command as root (directly when already root, else through sudo).
as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

# Prints the path of a CPython 3.10 that runs: pyenv's newest 3.10, else
# python3.10 on PATH (a pyenv shim on PATH may not run, so each candidate is
# tried). Fails with a message naming the calling script when there is none.
find_python310() {
  local candidate
  for candidate in $(ls -d "$(pyenv root 2>/dev/null)"/versions/3.10*/bin/python3.10 2>/dev/null | sort -rV) \
    "$(command -v python3.10 2>/dev/null)"; do
    if [ -n "$candidate" ] && "$candidate" -c 'import sys; assert sys.version_info[:2] == (3, 10)' 2>/dev/null; then
      echo "$candidate"
      return 0
    fi
  done
  echo "$(basename "$0"): no python3.10 (pyenv or PATH)" >&2
  return 2
}

# CMake's generator flag: Ninja when it is installed.
generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
