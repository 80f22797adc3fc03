#!/bin/bash
# Picks the CPython to build with (tools/find_python.sh) and makes sure the
# machine can build the package with it: the interpreter's venv module and
# its ensurepip, its C headers (Python.h), a C++ compiler, zlib's headers
# (unless ISA-L's are there) and libzstd's (zstd.h, zdict.h: without them
# the module builds without value compression). What is missing is installed with
# apt-get when running as root on Debian or Ubuntu; otherwise the script
# prints the command that installs it and fails. Prints the interpreter's
# path on standard output.
#
#   tools/bootstrap.sh [VERSION]        (PYTHON=/path/to/python to choose it)
#   tools/bootstrap.sh java             a Java runtime, 17 or later, for Spark
#                                       (Debian: openjdk-17-jre-headless)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"

if [ "${1:-}" = java ]; then
  java_ok() { command -v java >/dev/null && java -version 2>&1 | grep -qE 'version "(1[7-9]|[2-9][0-9])'; }
  java_ok && exit 0
  if ! command -v apt-get >/dev/null; then
    echo "bootstrap.sh: Spark needs a Java runtime, 17 or later, on PATH" >&2; exit 1
  fi
  if [ "$(id -u)" != 0 ]; then
    echo "bootstrap.sh: Spark needs Java 17; install with: sudo apt-get install openjdk-17-jre-headless" >&2; exit 1
  fi
  echo "bootstrap.sh: no Java 17 or later; installing openjdk-17-jre-headless" >&2
  export DEBIAN_FRONTEND=noninteractive
  mkdir -p /usr/share/man/man1  # its post-install step links a manual page there, which slim images lack
  apt-get update -qq >&2
  apt-get install -y -qq openjdk-17-jre-headless >/dev/null
  java_ok || { echo "bootstrap.sh: still no Java 17 or later on PATH" >&2; exit 1; }
  exit 0
fi

if [ -n "${PYTHON:-}" ]; then
  python=$PYTHON
  "$python" -c "" || { echo "bootstrap.sh: $python does not run" >&2; exit 1; }
else
  python=$("$here/find_python.sh" "$@")
fi

has_venv() { "$python" -c "import venv, ensurepip" 2>/dev/null; }
has_headers() {
  "$python" -c 'import os, sys, sysconfig
sys.exit(not os.path.isfile(os.path.join(sysconfig.get_path("include"), "Python.h")))' 2>/dev/null
}
cxx() { command -v "${CXX:-c++}" 2>/dev/null || command -v g++ 2>/dev/null || command -v clang++ 2>/dev/null; }
compiles() { printf '#include <%s>\nint main() {}\n' "$1" | "$(cxx)" -fsyntax-only -x c++ - 2>/dev/null; }

missing=() packages=()
# Debian splits venv/ensurepip and the headers off its interpreters:
# python3-venv and python3-dev for the default python3, python3.X-venv and
# python3.X-dev for the others.
real=$(readlink -f "$python")
if [ "$real" = "$(readlink -f /usr/bin/python3 2>/dev/null)" ]; then
  deb=python3
else
  deb=$(basename "$real")
fi
is_debian_python() { command -v dpkg >/dev/null && dpkg -S "$real" >/dev/null 2>&1; }

if ! has_venv; then missing+=("the venv module with ensurepip"); packages+=("$deb-venv"); fi
if ! has_headers; then missing+=("the Python headers (Python.h)"); packages+=("$deb-dev"); fi
has_crc_headers() {
  if [ -n "$(cxx)" ]; then
    compiles zlib.h || compiles isa-l/crc.h
  else
    [ -f /usr/include/zlib.h ] || [ -f /usr/include/isa-l/crc.h ]
  fi
}
if [ -z "$(cxx)" ]; then missing+=("a C++20 compiler"); packages+=(g++); fi
if ! has_crc_headers; then missing+=("zlib's headers"); packages+=(zlib1g-dev); fi
has_zstd_headers() {
  if [ -n "$(cxx)" ]; then compiles zdict.h; else [ -f /usr/include/zdict.h ]; fi
}
if ! has_zstd_headers; then missing+=("libzstd's headers"); packages+=(libzstd-dev); fi
[ ${#missing[@]} -eq 0 ] && { echo "$python"; exit 0; }

what=$(IFS=,; echo "${missing[*]}" | sed 's/,/, /g')
python_packages_ok=1
case " ${packages[*]} " in *"-venv "* | *"-dev "*) is_debian_python || python_packages_ok=0 ;; esac
if ! command -v apt-get >/dev/null || [ $python_packages_ok = 0 ]; then
  echo "bootstrap.sh: $python lacks $what; install them for it (Debian: apt-get install ${packages[*]})" >&2
  exit 1
fi
if [ "$(id -u)" != 0 ]; then
  echo "bootstrap.sh: missing $what; install with: sudo apt-get install ${packages[*]}" >&2
  exit 1
fi
echo "bootstrap.sh: missing $what; installing ${packages[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq >&2
apt-get install -y -qq "${packages[@]}" >/dev/null
has_venv && has_headers && [ -n "$(cxx)" ] && has_crc_headers && has_zstd_headers || { echo "bootstrap.sh: still missing $what" >&2; exit 1; }
echo "$python"
