# Shared by the scripts in tools/: source it, do not run it.

# Runs a command as root (directly when already root, else through sudo).
as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

# Prints the path of a CPython 3.10 that runs (tools/find_python.sh 3.10).
# Fails with a message naming the calling script when there is none.
find_python310() {
  "$(dirname "${BASH_SOURCE[0]}")/find_python.sh" 3.10 2>/dev/null && return 0
  echo "$(basename "$0"): no python3.10 (PATH, pyenv or /usr/bin)" >&2
  return 2
}

# CMake's generator flag: Ninja when it is installed.
generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
