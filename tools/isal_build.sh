#!/usr/bin/env bash
# Builds ISA-L's CRC routines from Debian's source package (libisal, the
# same version as the machine's libisal-dev) with Zig's Clang for the
# target's glibc, as a static, position-independent library for the wheels:
#
#   tools/isal_build.sh ZIG TARGET PREFIX
#     ZIG     the zig program (the ziglang package's)
#     TARGET  x86_64-linux-gnu.2.26 or aarch64-linux-gnu.2.26
#     PREFIX  receives include/isa-l/crc.h and lib/libisal.a
#
# Only the crc unit is built: it is all the module calls. Its x86-64
# routines are nasm assembly (Debian's nasm is installed when missing, as
# root); the aarch64 ones are GNU assembly, which Clang assembles. The
# source comes through tools/debian_source.sh (into build/isal/), which
# leaves the machine's apt configuration as it is.
# Nothing is rebuilt when PREFIX already holds a library built from the same
# source version for the same target.
set -euo pipefail
cd "$(dirname "$0")/.."
zig=${1:?usage: tools/isal_build.sh ZIG TARGET PREFIX} target=${2:?target} prefix=${3:?prefix}
arch=${target%%-*}
work=$PWD/build/isal
as_root() { if [ "$(id -u)" = 0 ]; then "$@"; elif command -v sudo >/dev/null; then sudo "$@"; else return 1; fi; }
say() { echo "isal_build.sh: $*" >&2; }

src=$(tools/debian_source.sh libisal "$work")
version=$(sed -n 's/^version ?= *//p' "$src/make.inc")
stamp="libisal $version $target $("$zig" version)"
if [ -f "$prefix/lib/libisal.a" ] && [ "$(cat "$prefix/.built" 2>/dev/null)" = "$stamp" ]; then
  say "ISA-L $version for $target already in $prefix"
  exit 0
fi

make_args=(units=crc "CC=$zig cc -target $target" "AR=$zig ar" DEBUG= DEBUG_nasm= lib_debug=0)
case $arch in
  x86_64)
    command -v nasm >/dev/null || as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq nasm >/dev/null
    make_args+=(host_cpu=x86_64 "CFLAGS_=-Wall -fPIC")
    ;;
  aarch64) make_args+=(host_cpu=aarch64 arch=aarch64 "CFLAGS_aarch64=-Wall -fPIC") ;;
  *) say "no ISA-L build for $arch"; exit 2 ;;
esac
build=$work/build-$target
rm -rf "$build"
cp -r "$src" "$build"
# The crc unit's test of its CRC-32 routines, built with the same compiler,
# runs natively, or through ISAL_RUN (e.g. "qemu-aarch64-static -L ROOT")
# for another processor: a wrong build fails here rather than as a bad
# checksum later.
make -C "$build" -f Makefile.unx -j"$(nproc)" "${make_args[@]}" lib >"$build.log" 2>&1 ||
  { tail -n 30 "$build.log" >&2; say "build failed (log: $build.log)"; exit 1; }
make -C "$build" -f Makefile.unx "${make_args[@]}" crc32_funcs_test >>"$build.log" 2>&1 ||
  { tail -n 30 "$build.log" >&2; say "test program build failed (log: $build.log)"; exit 1; }
read -r -a runner <<<"${ISAL_RUN:-}"
if [ "$arch" != "$(uname -m)" ] && [ ${#runner[@]} -eq 0 ]; then
  say "crc32_funcs_test not run: this machine runs no $arch program (set ISAL_RUN)"
elif (cd "$build" && "${runner[@]}" ./crc32_funcs_test) >>"$build.log" 2>&1; then
  say "ISA-L $version crc32_funcs_test passed ($target)"
else
  tail -n 20 "$build.log" >&2; say "crc32_funcs_test failed ($target)"; exit 1
fi
rm -rf "$prefix"
mkdir -p "$prefix/include/isa-l" "$prefix/lib"
cp "$build/include/crc.h" "$build/include/crc64.h" "$prefix/include/isa-l/"
cp "$build/bin/isa-l.a" "$prefix/lib/libisal.a"
echo "$stamp" >"$prefix/.built"
say "ISA-L $version (crc) for $target in $prefix"
