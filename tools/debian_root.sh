#!/usr/bin/env bash
# Makes, or finds already made, a Debian root file system in which the
# wheels are installed and tested as on another machine, and prints its
# path. Needs root; debootstrap (and, for arm64, qemu-user-static with
# binfmt_misc) are installed with apt-get when missing.
#
#   tools/debian_root.sh old-glibc   Debian 11 (bullseye, glibc 2.31, the
#                                    oldest Debian release its archive still
#                                    serves), amd64, with a CPython 3.13 built
#                                    inside from Debian 13's python3.13
#                                    source (Debian 11 has none newer than
#                                    3.9; Debian 12's 3.11.2 can deadlock
#                                    freeing a thread-local at exit)
#   tools/debian_root.sh arm64       Debian 12 (bookworm) for arm64, with its
#                                    python3.11 and headers, run under qemu-user
#
# Roots live in ZELKOR_ROOTS (default ~/.cache/zelkor/roots), outside any
# checkout, so that later runs on this machine reuse them; a root is made
# anew when the recipe below changes (its stamp file differs). Making one
# takes a few minutes; the old-glibc root builds CPython, about five more.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
kind=${1:?usage: tools/debian_root.sh old-glibc|arm64}
roots=${ZELKOR_ROOTS:-${HOME:-/root}/.cache/zelkor/roots}
mirror=http://deb.debian.org/debian
say() { echo "debian_root.sh: $*" >&2; }
[ "$(id -u)" = 0 ] || { say "needs root (debootstrap, chroot)"; exit 1; }
apt_install() {
  local missing=() pkg
  for pkg in "$@"; do dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg"); done
  [ ${#missing[@]} -eq 0 ] && return
  say "installing ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null 2>&1 ||
    { apt-get update -qq >/dev/null && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null; }
}

case $kind in
  old-glibc)
    suite=bullseye arch=amd64
    packages=ca-certificates,gcc,make,libc6-dev,libssl-dev,zlib1g-dev,libffi-dev,libbz2-dev,liblzma-dev,libsqlite3-dev,uuid-dev,libgdbm-dev,xz-utils
    python_source=python3.13  # Debian 13's, built here
    ;;
  arm64)
    suite=bookworm arch=arm64
    packages=ca-certificates,python3,python3-venv,python3-dev
    python_source=
    ;;
  *) say "unknown root '$kind'"; exit 2 ;;
esac
recipe="$suite $arch $packages ${python_source:-system-python} 1"
dir=$roots/$kind
if [ -f "$dir/.zelkor-root" ] && [ "$(cat "$dir/.zelkor-root")" = "$recipe" ]; then
  echo "$dir"
  exit 0
fi

apt_install debootstrap
if [ "$arch" != amd64 ]; then
  apt_install qemu-user-static binfmt-support
  # binfmt_misc runs arm64 programs through qemu-aarch64-static, the way
  # binfmt-support sets it up on a machine that boots normally.
  [ -e /proc/sys/fs/binfmt_misc/status ] || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  [ -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ] || update-binfmts --enable qemu-aarch64 >/dev/null
  [ -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ] || { say "binfmt_misc does not run arm64 programs here"; exit 1; }
fi

say "making $dir (Debian $suite, $arch): a few minutes"
rm -rf "$dir" "$dir.new"
mkdir -p "$roots"
debootstrap --arch="$arch" --variant=minbase --include="$packages" "$suite" "$dir.new" "$mirror" >"$roots/$kind.log" 2>&1 ||
  { tail -n 20 "$roots/$kind.log" >&2; say "debootstrap failed (log: $roots/$kind.log)"; exit 1; }

if [ -n "$python_source" ]; then
  # The upstream tarball of Debian 13's python3.13 source package (no
  # Debian patches), built with the root's own GCC against its glibc.
  work=$roots/$kind-src
  rm -rf "$work"
  mkdir -p "$work/lists/partial" "$work/cache/archives/partial"
  echo "deb-src $mirror trixie main" >"$work/sources.list"
  opts=(-o "Dir::Etc::SourceList=$work/sources.list" -o Dir::Etc::SourceParts=/nonexistent
        -o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache" -o APT::Sandbox::User=root)
  apt-get "${opts[@]}" update -qq
  (cd "$work" && apt-get "${opts[@]}" source --download-only -qq "$python_source" >/dev/null)
  orig=$(ls "$work"/"${python_source}"_*.orig.tar.* | head -n 1)
  mkdir -p "$dir.new/opt/src"
  tar -xf "$orig" -C "$dir.new/opt/src"
  src=$(cd "$dir.new/opt/src" && ls -d Python-* | head -n 1)
  say "building CPython ${src#Python-} inside (log: $roots/$kind-python.log)"
  "$here/chroot_run.sh" "$dir.new" -- bash -c "cd /opt/src/$src && ./configure --prefix=/opt/python -q &&
    make -j$(nproc) -s && make -s install && /opt/python/bin/python3 -c 'import ssl, zlib, ctypes, venv, ensurepip'" \
    >"$roots/$kind-python.log" 2>&1 ||
    { tail -n 30 "$roots/$kind-python.log" >&2; say "CPython did not build"; exit 1; }
  rm -rf "$dir.new/opt/src" "$work"
fi
echo "$recipe" >"$dir.new/.zelkor-root"
mv "$dir.new" "$dir"
echo "$dir"
