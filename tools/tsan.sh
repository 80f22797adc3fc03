#!/usr/bin/env bash
# The core's internal helper threads under ThreadSanitizer (clang), without
# Python: builds tests/native/build_threads.cc against the core sources and
# runs it; any report fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/common.sh
if ! command -v clang++ >/dev/null 2>&1; then
  echo "tsan.sh: installing clang" >&2
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang >/dev/null
fi
crc=()
if [ -f /usr/include/isa-l/crc.h ]; then crc=(-DZELKOR_HAVE_ISAL=1 -lisal); fi
zstd=()
if [ -f /usr/include/zstd.h ] && [ -f /usr/include/zdict.h ]; then zstd=(-DZELKOR_HAVE_ZSTD=1 -lzstd); fi
out=build/tsan
mkdir -p "$out"
clang++ -std=c++20 -g -O1 -fsanitize=thread -Isrc "${crc[@]:0:1}" "${zstd[@]:0:1}" tests/native/build_threads.cc \
  src/core/platform/*.cc src/core/platform/posix/*.cc src/core/util/*.cc src/core/format/*.cc src/core/writer/*.cc \
  src/core/reader/*.cc src/core/codec/*.cc "${crc[@]:1}" "${zstd[@]:1}" -lz -lpthread -o "$out/build_threads"
TSAN_OPTIONS="halt_on_error=1 exitcode=66" "$out/build_threads" "$out/build_threads.zlkr"
