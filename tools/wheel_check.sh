#!/usr/bin/env bash
# What a user installs, tested as installed. Builds the sdist and, from it,
# the release wheels (tools/wheels.sh: Zig's Clang for glibc 2.26, ISA-L's
# CRC routines linked in, repaired and tagged manylinux_2_26 by auditwheel,
# checked symbol by symbol), then installs each into a fresh virtual
# environment and runs the tests against that installation, from a copy of
# tests/ outside the source tree:
#
#   - the CPython 3.10 wheel: the suite, on this machine;
#   - the CPython 3.13 wheel: the suite, in a Debian 11 root (glibc 2.31,
#     older than this machine's 2.36; tools/debian_root.sh old-glibc);
#   - the CPython 3.11 and 3.12 wheels: the binding's tests (the code that
#     depends on the interpreter's version), on this machine;
#   - the stable-ABI wheel: the suite on the newest CPython here, and the
#     binding's tests in the Debian 11 root on its CPython 3.13;
#   - the sdist, built here with the machine's compiler and ISA-L: the
#     binding's tests and the compression tests (the suite itself runs on
#     such a build in `make test`; this proves the sdist holds what a
#     build from it needs);
#   - the cp310 wheel once more, with the system's libisal and libzstd made
#     unloadable (a private mount namespace binds /dev/null over them),
#     building and reading a compressed store, where the sdist's module,
#     which links those libraries, must fail to import;
#   - the aarch64 stable-ABI wheel, built across with Zig: the binding's
#     tests and those of opening, building and sharing stores across
#     threads, under qemu-user in a Debian 12 arm64 root.
#
#   tools/wheel_check.sh [PYTEST ARGS...]      (PY=3.x: the sdist's interpreter)
#
# WHEEL_CHECK_SKIP="old-glibc aarch64" leaves those stages out (they need
# root, and a few minutes the first time, to make their Debian roots). The
# distributions stay in build/wheel-check/ (dist/, x86_64/wheelhouse/,
# aarch64/wheelhouse/, auditwheel.txt in each); the environments and test
# copies live in a temporary directory that is removed at exit.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$root/build/wheel-check
pip_flags=(--disable-pip-version-check -q)
pip() {  # pip VENV ARGS...: quiet, without the notes about unreachable local indexes
  local venv=$1
  shift
  "$venv/bin/python" -m pip "$@" "${pip_flags[@]}" 2> >(grep -v "^WARNING: Location '.*' is ignored" >&2)
}
python=$(tools/bootstrap.sh ${PY:-})
scratch=$(mktemp -d "${TMPDIR:-/tmp}/zelkor-wheel-check.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
skip=" ${WHEEL_CHECK_SKIP:-} "

timed() {  # timed NAME CMD...: runs CMD, then prints how long it took
  local name=$1 start=$SECONDS
  shift
  "$@"
  printf 'wheel_check: %-58s %4d s\n' "$name" $((SECONDS - start))
}
fail() { echo "wheel_check: $*" >&2; exit 1; }
wheel() {  # wheel ARCH TAG: the path of that repaired wheel
  local found
  found=$(compgen -G "$out/$1/wheelhouse/*-$2-*.whl" | head -n 1) || { echo "wheel_check: no $2 wheel for $1" >&2; return 1; }
  echo "$found"
}
# The tests of the binding: what changes with the interpreter's version.
binding_tests=(tests/test_binding.py tests/test_module.py tests/test_packaging.py)

tool_env() {
  "$python" -m venv "$scratch/tool"
  pip "$scratch/tool" install --upgrade pip
  pip "$scratch/tool" install build
}

build_sdist() {
  rm -rf "$out"
  mkdir -p "$out/dist"
  "$scratch/tool/bin/python" -m build --sdist -o "$out/dist" . >"$out/sdist.log" 2>&1 ||
    { tail -n 40 "$out/sdist.log" >&2; fail "sdist build failed (log: $out/sdist.log)"; }
  sdist=$(echo "$out"/dist/*.tar.gz)
}

# What the distributions must hold beyond the code.
check_contents() {
  local listing wheel crc linkage
  listing=$(tar -tzf "$sdist")
  grep -q '^[^/]*/LICENSE$' <<<"$listing" || fail "$sdist lacks LICENSE"
  grep -q '^[^/]*/tests/conftest\.py$' <<<"$listing" || fail "$sdist lacks the tests"
  grep -q '^[^/]*/\(\.venv[^/]*\|build\)/' <<<"$listing" && fail "$sdist holds a virtual environment or build tree"
  for wheel in "$out"/*/wheelhouse/*.whl; do
    listing=$(unzip -Z1 "$wheel")
    grep -q '\.dist-info/licenses/LICENSE$' <<<"$listing" || fail "$wheel lacks LICENSE"
    grep -q '^zelkor/_build_info\.py$' <<<"$listing" || fail "$wheel lacks zelkor/_build_info.py"
    crc=$(unzip -p "$wheel" zelkor/_build_info.py | sed -n 's/^CRC_BACKEND = "\(.*\)"$/\1/p')
    linkage=$(unzip -p "$wheel" zelkor/_build_info.py | sed -n 's/^ISAL_LINKAGE = "\(.*\)"$/\1/p')
    [ "$crc $linkage" = "isa-l static" ] || fail "$wheel: CRC-32 through '$crc $linkage', not ISA-L linked in"
    grep -q '\.dist-info/licenses/ISA-L-LICENSE\.txt$' <<<"$listing" || fail "$wheel carries ISA-L without its licence"
    linkage=$(unzip -p "$wheel" zelkor/_build_info.py | sed -n 's/^ZSTD_LINKAGE = "\(.*\)"$/\1/p')
    [ "$linkage" = static ] || fail "$wheel: zstd '$linkage', not linked in"
    grep -q '\.dist-info/licenses/zstd-LICENSE\.txt$' <<<"$listing" || fail "$wheel carries zstd without its licence"
  done
  echo "wheel_check: every wheel has ISA-L's CRC-32 and zstd linked in, and their licences"
}

# install_and_test NAME REQUIREMENT [PYTEST ARGS...]  (in a venv of $interpreter)
interpreter=$python
install_and_test() {
  local name=$1 requirement=$2 venv=$scratch/$1 run=$scratch/run-$1
  shift 2
  "$interpreter" -m venv "$venv"
  pip "$venv" install --upgrade pip
  pip "$venv" install "$requirement[test]"
  test_copy "$run"
  (
    cd "$run"
    "$venv/bin/python" - "$venv" <<'PY'
import sys, _zelkor, zlkr
from pathlib import Path
venv = Path(sys.argv[1]).resolve()
for module in (_zelkor, zlkr):
    assert venv in Path(module.__file__).resolve().parents, f"{module.__name__} from {module.__file__}"
PY
    # pyproject.toml's pytest settings stay behind with the source tree.
    "$venv/bin/python" -m pytest -q -ra -m "not slow" -p no:cacheprovider --rootdir "$run" "$@"
  )
}
test_copy() {  # the tests, and the benchmark code that some of them check; not python/
  mkdir -p "$1"
  cp -r "$root/tests" "$root/bench" "$1/"
  find "$1" -name __pycache__ -prune -exec rm -rf {} +
}

# in_root KIND NAME WHEEL PYTHON REQUIREMENTS [PYTEST ARGS...]: installs WHEEL
# with REQUIREMENTS (pip's syntax, WHEEL standing for the wheel) into a
# fresh virtual environment of PYTHON inside that Debian root, and runs the
# tests there.
in_root() {
  local kind=$1 name=$2 wheel=$3 python=$4 requirements=$5 debian run=$scratch/run-$2
  shift 5
  debian=$(tools/debian_root.sh "$kind")
  test_copy "$run"
  requirements=${requirements//WHEEL/$wheel}
  tools/chroot_run.sh "$debian" --bind "$(dirname "$wheel")" --bind "$run" -- bash -c '
    set -e
    venv=/opt/venv-$1 run=$2 python=$3 requirements=$4
    shift 4
    rm -rf "$venv"
    "$python" -m venv "$venv"
    "$venv/bin/pip" install -q --upgrade pip
    "$venv/bin/pip" install -q $requirements 2> >(grep -v "^WARNING: Location" >&2)
    echo "wheel_check: $(ldd --version | head -n 1), $("$venv/bin/python" -c "import platform; print(platform.machine(), \"CPython\", platform.python_version())")"
    cd "$run"
    "$venv/bin/python" -c "import _zelkor, pathlib, sys; assert pathlib.Path(sys.argv[1]) in pathlib.Path(_zelkor.__file__).parents" "$venv"
    "$venv/bin/python" -m pytest -q -ra -m "not slow" -p no:cacheprovider --rootdir "$run" "$@"' \
    bash "$name" "$run" "$python" "$requirements" "$@"
}

# Runs a command with the system's ISA-L and zstd libraries unloadable, in a
# private mount namespace (nothing outside the command sees a change).
with_libs_hidden() {
  local libs
  libs=$(ldconfig -p | awk '/lib(isal|zstd)\.so/ { print $NF }' | xargs -r readlink -f | sort -u | tr '\n' ' ')
  [ -n "$libs" ] || { "$@"; return; }
  HIDE=$libs unshare -m --propagation private bash -c 'for lib in $HIDE; do mount --bind /dev/null "$lib"; done; exec "$@"' \
    bash "$@"
}

libs_absent_check() {
  if [ "$(id -u)" != 0 ] || ! unshare -m true 2>/dev/null; then
    echo "wheel_check: skipped the import with ISA-L and zstd hidden (needs root and unshare)"
    return
  fi
  local smoke='import _zelkor, os, sys, tempfile
from zelkor import _build_info as info
w = _zelkor._ZelkWriter()
for i in range(2000): w.add_key("k%d" % i, w.add_object_raw(b"\x82\xa4name\xa5lib%02d\xa7version\xa31.%d" % (i % 97, i % 9)))
with tempfile.TemporaryDirectory() as d:
    p = os.path.join(d, "s.zlkr"); w.build_mapped(p, compression="zstd")
    r = _zelkor._ZelkReader.open(p, decompress=True)
    assert r.get_raw("k5") == b"\x82\xa4name\xa5lib05\xa7version\xa31.5" and r.compression()["dictionary_size"] > 0
print(sys.argv[1] + ":", "CRC-32", info.CRC_BACKEND, info.ISAL_LINKAGE, "zstd", info.ZSTD, info.ZSTD_LINKAGE,
      "with libisal and libzstd hidden")'
  with_libs_hidden "$scratch/cp310/bin/python" -c "$smoke" "cp310 wheel" ||
    fail "the wheel does not work without the system's ISA-L and zstd"
  # The sdist's module links the system's libraries when there are some:
  # with them hidden, that module must fail to import, or the hiding proves
  # nothing.
  if [ "$("$scratch/sdist/bin/python" -c 'from zelkor import _build_info as b; print(b.ISAL_LINKAGE, b.ZSTD_LINKAGE)')" \
       != "static static" ]; then
    if with_libs_hidden "$scratch/sdist/bin/python" -c 'import _zelkor' 2>/dev/null; then
      fail "the sdist's module imports with ISA-L and zstd hidden: the check proves nothing"
    fi
    echo "wheel_check: the sdist's module, linked to the system's libraries, fails to import without them, as expected"
  fi
}

version_of() { "$1" -c 'import platform; print(platform.python_version())'; }

timed "tool environment (build)" tool_env
timed "sdist built" build_sdist
timed "x86-64 wheels built, repaired, checked" tools/wheels.sh "$sdist" "$out/x86_64" x86_64
cat "$out/x86_64/auditwheel.txt"
if [[ $skip != *" aarch64 "* ]]; then
  timed "aarch64 wheel built, repaired, checked" tools/wheels.sh "$sdist" "$out/aarch64" aarch64
fi
timed "contents checked" check_contents

for version in 3.10 3.11 3.12 3.13; do
  tag=cp${version/./}
  whl=$(wheel x86_64 "$tag-$tag")
  interpreter=$(tools/find_python.sh "$version")
  if [ "$version" = 3.10 ]; then
    timed "cp310 wheel: the suite on CPython $(version_of "$interpreter")" install_and_test cp310 "$whl" tests "$@"
  elif [ "$version" != 3.13 ] || [[ $skip == *" old-glibc "* ]]; then
    timed "$tag wheel: the binding's tests on CPython $(version_of "$interpreter")" \
      install_and_test "$tag" "$whl" "${binding_tests[@]}" "$@"
  fi
done
abi3=$(wheel x86_64 cp310-abi3)
interpreter=$python
timed "sdist: the binding's and the compression tests on CPython $(version_of "$python")" \
  install_and_test sdist "$sdist" "${binding_tests[@]}" tests/test_compression.py "$@"
timed "cp310 wheel without the system's ISA-L and zstd" libs_absent_check
interpreter=$(tools/find_python.sh newest)
timed "abi3 wheel: the suite on CPython $(version_of "$interpreter")" \
  install_and_test abi3 "$abi3" tests "$@"

if [[ $skip != *" old-glibc "* ]]; then
  whl=$(wheel x86_64 cp313-cp313)
  timed "cp313 wheel: the suite in Debian 11 (glibc 2.31)" \
    in_root old-glibc cp313 "$whl" /opt/python/bin/python3 "WHEEL[test]" tests "$@"
  timed "abi3 wheel: the binding's tests in Debian 11 (glibc 2.31)" \
    in_root old-glibc abi3 "$abi3" /opt/python/bin/python3 "WHEEL[test]" "${binding_tests[@]}" "$@"
fi
if [[ $skip != *" aarch64 "* ]]; then
  whl=$(wheel aarch64 cp310-abi3)
  # Under emulation (about ten times slower): the binding's tests and those
  # of opening, building and reading stores with the core's helper threads
  # (not the fault-injection tests: qemu-user applies no RLIMIT_AS to the
  # emulated process, so those that exhaust memory under one never end).
  timed "aarch64 abi3 wheel: tests under qemu-user (Debian 12 arm64)" \
    in_root arm64 aarch64 "$whl" /usr/bin/python3 "WHEEL pytest hypothesis numpy" \
    "${binding_tests[@]}" tests/test_build.py tests/test_reader_open.py tests/test_reader_integrity.py \
    tests/test_reliability.py "$@"
fi
