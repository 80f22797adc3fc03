#!/usr/bin/env bash
# Which Linux-only system calls the installed _zelkor module imports.
#
#   tools/linux_calls.sh VENV            lists them
#   tools/linux_calls.sh --none VENV     fails unless there are none (the
#                                        build of ZELKOR_PORTABLE_POSIX=ON)
#   tools/linux_calls.sh --all VENV      fails unless every one is there (the
#                                        default build on Linux)
#
# The calls are those the platform layer uses only behind a feature check:
# madvise (huge pages, populate, dontneed), mremap, sync_file_range and
# getrandom; MAP_POPULATE, a flag of mmap, sits behind the same switches.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=list
case "${1:-}" in --none | --all) mode=${1#--}; shift ;; esac
venv=${1:?usage: tools/linux_calls.sh [--none | --all] VENV}
calls=(madvise mremap sync_file_range getrandom)
module=$("$venv/bin/python" -c 'import _zelkor; print(_zelkor.__file__)')
imported=$(nm -D --undefined-only "$module" | awk '{ sub(/@.*/, "", $NF); print $NF }')
found=()
for call in "${calls[@]}"; do
  if grep -qx "$call" <<<"$imported"; then found+=("$call"); fi
done
echo "linux_calls.sh: $module imports: ${found[*]:-none of ${calls[*]}}"
case $mode in
  none) [ "${#found[@]}" -eq 0 ] ;;
  all) [ "${#found[@]}" -eq "${#calls[@]}" ] ;;
esac
