#!/usr/bin/env bash
# Memcheck over tools/valgrind_exercise.py, which calls every method of the
# module on good and damaged stores.
#
#   tools/valgrind.sh
#
# Builds the module (RelWithDebInfo, no sanitizers) into build/valgrind for
# CPython 3.10 (pyenv's, else python3.10 on PATH) and runs the exercise
# under valgrind with Python's own allocator off, so that memcheck sees
# every block. Fails on any invalid read or write, use of uninitialised
# memory, bad free or definite leak whose stack passes through _zelkor;
# reports about the interpreter alone are left aside. The full log is kept
# in build/valgrind/memcheck.log.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/common.sh
root=$PWD
build=${ZELKOR_VALGRIND_BUILD:-$root/build/valgrind}

if ! command -v valgrind >/dev/null 2>&1; then
  echo "valgrind.sh: installing valgrind" >&2
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq valgrind >/dev/null
fi

python=$(find_python310) || exit 2

if ! out=$(cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPython_EXECUTABLE="$python" 2>&1 && cmake --build "$build" --target _zelkor 2>&1); then
  printf '%s\n' "$out" >&2
  exit 2
fi

log=$build/memcheck.log
echo "valgrind.sh: memcheck over tools/valgrind_exercise.py (a minute or two)"
set +e
PYTHONMALLOC=malloc PYTHONPATH="$build" valgrind --tool=memcheck --error-exitcode=0 \
  --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
  --num-callers=40 --track-origins=yes --log-file="$log" \
  "$python" tools/valgrind_exercise.py
rc=$?
set -e
if [ "$rc" -ne 0 ]; then
  echo "valgrind.sh: the exercise failed under valgrind (status $rc); log: $log" >&2
  exit 1
fi

# Reports are blocks of "==pid== " lines separated by empty ones; keep those
# whose stack names the module.
ours=$(awk '
  { sub(/^==[0-9]+== ?/, "") }
  /^$/ { if (block ~ /_zelkor|zelkor::|src\/(core|binding)\//) print block; block = ""; next }
  { block = block $0 "\n" }
  END { if (block ~ /_zelkor|zelkor::|src\/(core|binding)\//) print block }' "$log" |
  grep -v -E '^(Memcheck|Copyright|Using Valgrind|Command|Parent PID|HEAP SUMMARY|LEAK SUMMARY)' || true)
errors=$(printf '%s\n' "$ours" | grep -c -E '^(Invalid |Conditional jump|Use of uninitialised|Syscall param|Mismatched free|[0-9,]+ bytes in [0-9,]+ blocks are definitely lost|Source and destination overlap|Argument .* of function)' || true)
grep -E 'ERROR SUMMARY|definitely lost:' "$log" | sed 's/^==[0-9]*== /valgrind.sh: whole process: /'
if [ "$errors" -gt 0 ]; then
  echo "valgrind.sh: $errors report(s) through _zelkor:" >&2
  printf '%s\n' "$ours" >&2
  exit 1
fi
echo "valgrind.sh: no reports through _zelkor"
