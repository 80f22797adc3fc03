#!/usr/bin/env bash
# The whole pytest suite against a module built with AddressSanitizer and
# UndefinedBehaviorSanitizer.
#
#   tools/sanitize.sh [PYTEST ARGS...]
#
# Works from a clean checkout: it makes a virtual environment (.venv-asan)
# from CPython 3.10 (pyenv's, else python3.10 on PATH), installs the test
# requirements from PyPI, builds the module with -DZELKOR_SANITIZE=ON into
# build/asan and runs pytest with the ASan runtime preloaded into the
# interpreter. Any sanitizer report ends the run and fails the script.
#
# Leaks: the interpreter itself may leave memory behind at exit, so leak
# reports go to a file that is filtered afterwards: a leak fails the run
# only when its allocation stack passes through the _zelkor module. (Python
# objects that the cyclic GC tracks stay reachable through its lists, so a
# leaked list or tuple is not seen here; tests/test_reliability.py counts
# allocations for those.) ZELKOR_ASAN_LEAKS=0 turns leak checking off.
# ZELKOR_ASAN_VENV and ZELKOR_ASAN_BUILD move the venv and the build.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/common.sh
root=$PWD
venv=${ZELKOR_ASAN_VENV:-$root/.venv-asan}
build=${ZELKOR_ASAN_BUILD:-$root/build/asan}
pip_flags=(--disable-pip-version-check -q)

# CPython 3.10: pyenv's newest 3.10, else python3.10 on PATH (a pyenv shim
# on PATH may not run, so each candidate is tried).
python=$(find_python310) || exit 2
if [ ! -x "$venv/bin/python" ]; then
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install "${pip_flags[@]}" --upgrade pip
fi
# The test requirements are the project's own "test" extra.
mapfile -t requirements < <("$venv/bin/python" - <<'PY'
import ast, re
text = open("pyproject.toml", encoding="utf-8").read()
# A list of quoted requirements, which may hold brackets of their own
# ("pyright[nodejs]").
found = re.search(r'^test\s*=\s*(\[(?:\s*"[^"]*"\s*,?)*\s*\])', text, re.M)
print("\n".join(ast.literal_eval(found.group(1)) if found else ["pytest", "hypothesis", "msgpack", "numpy"]))
PY
)
"$venv/bin/python" -m pip install "${pip_flags[@]}" "${requirements[@]}"
# CMake 3.21 or later and Ninja: the system's when new enough, else PyPI's.
if ! cmake --version 2>/dev/null | awk 'NR==1 { split($3, v, "."); exit !(v[1] > 3 || (v[1] == 3 && v[2] >= 21)) }'; then
  "$venv/bin/python" -m pip install "${pip_flags[@]}" "cmake>=3.21" ninja
  export PATH="$venv/bin:$PATH"
  generator=(-G Ninja)
fi

quiet() {  # runs a command, showing its output only when it fails
  local out
  if ! out=$("$@" 2>&1); then
    printf '%s\n' "$out" >&2
    echo "sanitize.sh: failed: $*" >&2
    exit 2
  fi
}
quiet cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=g++ \
  -DZELKOR_SANITIZE=ON -DPython_EXECUTABLE="$venv/bin/python"
quiet cmake --build "$build" --target _zelkor

libasan=$(g++ -print-file-name=libasan.so)
libubsan=$(g++ -print-file-name=libubsan.so)
[ -f "$libasan" ] || { echo "sanitize.sh: no libasan.so from g++ ($libasan)" >&2; exit 2; }
preload=$libasan
[ -f "$libubsan" ] && preload="$preload $libubsan"

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
leaks=${ZELKOR_ASAN_LEAKS:-1}
# Python's own allocator would hide its objects from ASan; plain malloc lets
# every out-of-bounds access and use after free on them be seen.
export PYTHONMALLOC=malloc
export ASAN_OPTIONS="halt_on_error=1:abort_on_error=0:detect_leaks=$leaks:leak_check_at_exit=$leaks:exitcode=86:log_path=$logs/asan:malloc_context_size=30:detect_stack_use_after_return=1:check_initialization_order=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:exitcode=87"
export LSAN_OPTIONS="exitcode=0:report_objects=0"
export PYTHONPATH="$build${PYTHONPATH:+:$PYTHONPATH}"
export PYTHONDONTWRITEBYTECODE=1

echo "sanitize.sh: pytest against $(ls "$build"/_zelkor*.so)"
set +e
# --capture=sys: a sanitizer report goes straight to file descriptor 2 and
# the process ends; output that pytest captured at the descriptor would be
# lost with it.
LD_PRELOAD="$preload" "$venv/bin/python" -m pytest -q -p no:cacheprovider --capture=sys "${@:-tests}"
rc=$?
set -e

# Sort the reports: errors fail outright; leak reports fail only for leaks
# allocated through the module.
status=$rc
shopt -s nullglob
for log in "$logs"/asan.* "$logs"/ubsan.*; do
  if grep -qE 'ERROR: (AddressSanitizer|UndefinedBehaviorSanitizer)|runtime error:' "$log"; then
    echo "sanitize.sh: sanitizer error, report $log:" >&2
    cat "$log" >&2
    status=1
    continue
  fi
  if grep -q 'ERROR: LeakSanitizer' "$log"; then
    ours=$(awk -v pat="zelkor::|_zelkor[.]cpython|/src/(core|binding)/" '
      /^(Direct|Indirect) leak/ { if (block ~ pat) print block; block = $0 "\n"; next }
      /^$/ { if (block ~ pat) print block; block = ""; next }
      { block = block $0 "\n" }
      END { if (block ~ pat) print block }' "$log")
    if [ -n "$ours" ]; then
      echo "sanitize.sh: memory leaked by _zelkor:" >&2
      printf '%s\n' "$ours" >&2
      status=1
    fi
  fi
done
if [ "$status" -eq 0 ]; then
  echo "sanitize.sh: no sanitizer reports"
elif [ "$rc" -ne 0 ] && [ "$rc" -ne 1 ]; then
  echo "sanitize.sh: pytest ended with status $rc (a sanitizer stops the process; its report is above)" >&2
fi
exit "$status"
