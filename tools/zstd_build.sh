#!/usr/bin/env bash
# Builds libzstd from Debian's source package (libzstd, the newest of the
# machine's suite: tools/debian_source.sh) with Zig's Clang for the target's
# glibc, as a static, position-independent library for the wheels, which
# then carry zstd inside the module and need no libzstd on the system:
#
#   tools/zstd_build.sh ZIG TARGET PREFIX
#     ZIG     the zig program (the ziglang package's)
#     TARGET  x86_64-linux-gnu.2.26 or aarch64-linux-gnu.2.26
#     PREFIX  receives include/{zstd,zdict,zstd_errors}.h and lib/libzstd.a
#
# The library is single-threaded (the module compresses on threads of its
# own) and has the compressor, the decompressor and the dictionary trainer,
# without the legacy formats or the deprecated calls. A small program built
# with the same compiler trains a dictionary and round-trips values through
# it; it runs natively, or through ZSTD_RUN (e.g. "qemu-aarch64-static -L
# ROOT") for another processor. Nothing is rebuilt when PREFIX already holds
# a library built from the same source for the same target.
set -euo pipefail
cd "$(dirname "$0")/.."
zig=${1:?usage: tools/zstd_build.sh ZIG TARGET PREFIX} target=${2:?target} prefix=${3:?prefix}
arch=${target%%-*}
work=$PWD/build/zstd
say() { echo "zstd_build.sh: $*" >&2; }

src=$(tools/debian_source.sh libzstd "$work")
version=$(basename "$src")
stamp="$version $target $("$zig" version)"
if [ -f "$prefix/lib/libzstd.a" ] && [ "$(cat "$prefix/.built" 2>/dev/null)" = "$stamp" ]; then
  say "$version for $target already in $prefix"
  exit 0
fi

build=$work/build-$target
rm -rf "$build"
cp -r "$src/lib" "$build"
make -C "$build" -j"$(nproc)" libzstd.a "CC=$zig cc -target $target" "AR=$zig ar" "CFLAGS=-O3 -fPIC" \
  ZSTD_LEGACY_SUPPORT=0 ZSTD_LIB_DEPRECATED=0 >"$build.log" 2>&1 ||
  { tail -n 30 "$build.log" >&2; say "build failed (log: $build.log)"; exit 1; }

cat >"$build/roundtrip.c" <<'PROGRAM'
#define ZDICT_STATIC_LINKING_ONLY
#include <stdio.h>
#include <string.h>
#include <zdict.h>
#include <zstd.h>
int main(void) {
  static char samples[2000 * 64], dict[4096], frame[256], back[64];
  size_t sizes[2000], at = 0;
  for (int i = 0; i < 2000; i++) {
    sizes[i] = (size_t)snprintf(samples + at, 64, "{\"name\": \"lib%d\", \"version\": \"%d.%d\"}", i % 97, i % 7, i % 13);
    at += sizes[i];
  }
  size_t made = ZDICT_trainFromBuffer(dict, sizeof dict, samples, sizes, 2000);
  if (ZDICT_isError(made)) return 1;
  ZSTD_CCtx* c = ZSTD_createCCtx();
  ZSTD_DCtx* d = ZSTD_createDCtx();
  for (int i = 0, off = 0; i < 2000; off += (int)sizes[i++]) {
    size_t n = ZSTD_compress_usingDict(c, frame, sizeof frame, samples + off, sizes[i], dict, made, 3);
    size_t m = ZSTD_decompress_usingDict(d, back, sizeof back, frame, n, dict, made);
    if (ZSTD_isError(n) || ZSTD_isError(m) || m != sizes[i] || memcmp(back, samples + off, m) != 0) return 2;
  }
  printf("%s: dictionary of %zu bytes, 2000 values round-tripped\n", ZSTD_versionString(), made);
  return 0;
}
PROGRAM
"$zig" cc -target "$target" -O2 -I"$build" "$build/roundtrip.c" "$build/libzstd.a" -o "$build/roundtrip" >>"$build.log" 2>&1 ||
  { tail -n 20 "$build.log" >&2; say "test program build failed (log: $build.log)"; exit 1; }
read -r -a runner <<<"${ZSTD_RUN:-}"
if [ "$arch" != "$(uname -m)" ] && [ ${#runner[@]} -eq 0 ]; then
  say "round trip not run: this machine runs no $arch program (set ZSTD_RUN)"
elif "${runner[@]}" "$build/roundtrip" >>"$build.log" 2>&1; then
  say "$(tail -n 1 "$build.log") ($target)"
else
  tail -n 20 "$build.log" >&2; say "round trip failed ($target)"; exit 1
fi
rm -rf "$prefix"
mkdir -p "$prefix/include" "$prefix/lib"
cp "$build/zstd.h" "$build/zdict.h" "$build/zstd_errors.h" "$prefix/include/"
cp "$build/libzstd.a" "$prefix/lib/libzstd.a"
echo "$stamp" >"$prefix/.built"
say "$version for $target in $prefix"
