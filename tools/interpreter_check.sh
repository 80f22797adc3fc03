#!/usr/bin/env bash
# What `make` picks on a fresh Debian or Ubuntu, where there is no pyenv
# and the only interpreter is the system's python3: tools/find_python.sh
# must choose /usr/bin/python3.X and, unless it is 3.10, say that no
# CPython 3.10 was found.
set -euo pipefail
cd "$(dirname "$0")/.."
chosen=$(env PATH=/usr/bin:/bin PYENV_ROOT=/nonexistent tools/find_python.sh 2>&1 >/dev/null) && echo "$chosen"
case "$(/usr/bin/python3 -c 'import sys; print(sys.version_info[:2] >= (3, 10), sys.version_info[:2] == (3, 10))')" in
  "True False") [[ "$chosen" == "using /usr/bin/python3."*": no CPython 3.10 found" ]] ;;
  "True True") [[ "$chosen" == "using /usr/bin/python3.10 "* ]] ;;
esac
