#!/usr/bin/env bash
# The core on Windows, checked from Linux: cross-builds the core library and
# tests/native/platform_check.cc with mingw-w64's GCC (warnings are errors)
# and runs the program under Wine; then builds the same program natively and
# runs it against the POSIX layer. Installs the compiler, Wine and CMake
# from Debian's archive when they are missing.
#   tools/windows_check.sh            # both
#   tools/windows_check.sh --windows  # the cross-build under Wine alone
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/common.sh

native=1
[ "${1:-}" = "--windows" ] && native=0

need=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || need+=(g++-mingw-w64-x86-64-posix)
command -v wine >/dev/null 2>&1 || need+=(wine wine64)
cmake --version >/dev/null 2>&1 || need+=(cmake)
if [ ${#need[@]} -gt 0 ]; then
  echo "windows_check.sh: installing ${need[*]}" >&2
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

jobs=$(nproc 2>/dev/null || echo 2)
out=build/windows
cmake -S . -B "$out" "${generator[@]}" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DZELKOR_BUILD_MODULE=OFF -DZELKOR_BUILD_NATIVE_TESTS=ON -DZELKOR_CRC=BUILTIN >/dev/null
cmake --build "$out" -j "$jobs"
# No display and no Mono or Gecko: the first run creates the Wine prefix
# (~/.wine unless WINEPREFIX says otherwise) without asking for either.
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# A work directory with Windows separators, relative to the current one,
# emptied here (the C++ library there cannot remove its longest paths).
rm -rf "$out/check.tmp"
# A hang (a lost wake-up, a lock never granted) fails rather than stalls.
timeout 300 wine "$out/tests/native/platform_check.exe" 'build\windows\check.tmp'

if [ "$native" = 1 ]; then
  out=build/native-check
  cmake -S . -B "$out" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DZELKOR_BUILD_MODULE=OFF \
    -DZELKOR_BUILD_NATIVE_TESTS=ON >/dev/null
  cmake --build "$out" -j "$jobs"
  "$out/tests/native/platform_check" "$out/check.tmp"
fi
