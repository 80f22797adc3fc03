#!/usr/bin/env bash
# Runs a command inside a Debian root made by tools/debian_root.sh, in a
# private mount namespace: /proc, /dev, a fresh /tmp and /dev/shm are
# mounted for it, and each BIND directory is bound at the same path inside,
# so nothing outside the command sees a mount. Needs root.
#
#   tools/chroot_run.sh ROOT [--bind DIR]... -- COMMAND [ARGS...]
#
# A root of another processor (arm64) runs under qemu-user through
# binfmt_misc, which tools/debian_root.sh sets up.
set -euo pipefail
root=${1:?usage: tools/chroot_run.sh ROOT [--bind DIR]... -- COMMAND...}
shift
binds=()
while [ $# -gt 0 ]; do
  case $1 in
    --bind) binds+=("$(readlink -f "$2")"); shift 2 ;;
    --) shift; break ;;
    *) echo "chroot_run.sh: unexpected $1" >&2; exit 2 ;;
  esac
done
[ $# -gt 0 ] || { echo "chroot_run.sh: no command" >&2; exit 2; }
[ -x "$root/bin/sh" ] || { echo "chroot_run.sh: $root is no root file system" >&2; exit 2; }
# Name service and the certificate authorities as this machine has them,
# so that pip inside reaches the package index as pip outside does.
cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
ca=${PIP_CERT:-${SSL_CERT_FILE:-/etc/ssl/certs/ca-certificates.crt}}
pip_cert=
if [ -f "$ca" ]; then
  mkdir -p "$root/etc/ssl/certs"
  cp "$ca" "$root/etc/ssl/certs/outside-ca-certificates.crt"
  pip_cert=/etc/ssl/certs/outside-ca-certificates.crt
fi
# PATH and HOME as a login inside would have them; the rest of the
# environment stays outside, but for the locale and pip's quiet flags.
exec unshare -m --propagation private env -i ROOT="$root" BINDS="${binds[*]}" PATH=/usr/sbin:/usr/bin:/sbin:/bin \
  HOME=/root LANG=C.UTF-8 PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore ${pip_cert:+PIP_CERT=$pip_cert} bash -c '
  set -e
  mount -t proc proc "$ROOT/proc"
  mount --rbind /dev "$ROOT/dev"
  mount -t tmpfs tmpfs "$ROOT/tmp"
  mkdir -p "$ROOT/dev/shm" && mount -t tmpfs tmpfs "$ROOT/dev/shm"
  for dir in $BINDS; do mkdir -p "$ROOT$dir" && mount --bind "$dir" "$ROOT$dir"; done
  exec chroot "$ROOT" "$@"' bash "$@"
