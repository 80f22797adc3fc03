#!/usr/bin/env bash
# Fetches and unpacks a Debian source package with apt-get, through a list of
# Debian's sources of its own (in WORK/apt/), so the machine's apt
# configuration is left as it is; the suite is the machine's (bookworm off
# Debian), with its updates and security fixes. Installs dpkg-dev (dpkg-source) when missing, as root.
#
#   tools/debian_source.sh PACKAGE WORK
#
# The source lands in WORK/src/PACKAGE-VERSION/; the script prints that
# directory. Nothing is fetched when WORK/src already holds one.
set -euo pipefail
package=${1:?usage: tools/debian_source.sh PACKAGE WORK} work=${2:?work directory}
mkdir -p "$work"
work=$(cd "$work" && pwd)
as_root() { if [ "$(id -u)" = 0 ]; then "$@"; elif command -v sudo >/dev/null; then sudo "$@"; else return 1; fi; }
found() { compgen -G "$work/src/$package-[0-9]*/" | head -n 1; }
if [ -z "$(found)" ]; then
  apt=$work/apt
  mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$work/src"
  suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
  [ "$(. /etc/os-release && echo "$ID")" = debian ] || suite=bookworm
  opts=(-o "Dir::Etc::SourceList=$apt/sources.list" -o Dir::Etc::SourceParts=/nonexistent
        -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache" -o APT::Sandbox::User=root)
  command -v dpkg-source >/dev/null || as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq dpkg-dev >/dev/null
  main="deb-src http://deb.debian.org/debian $suite main"
  updates="deb-src http://deb.debian.org/debian $suite-updates main"
  security="deb-src http://deb.debian.org/debian-security $suite-security main"
  # The newest version, with the security archive's fixes; where that
  # archive serves no sources, the suite's own with a warning.
  for lists in "$main|$updates|$security" "$main|$updates"; do
    tr '|' '\n' <<<"$lists" >"$apt/sources.list"
    apt-get "${opts[@]}" update -qq 2>/dev/null || continue
    if (cd "$work/src" && apt-get "${opts[@]}" source -qq "$package" >/dev/null 2>&1); then
      case $lists in *security*) ;; *) echo "debian_source.sh: warning: $package from $suite without the security" \
        "archive's fixes (that archive served no source of it)" >&2 ;; esac
      break
    fi
    rm -rf "$work/src"/"$package"[-_]*
  done
fi
dir=$(found)
[ -n "$dir" ] || { echo "debian_source.sh: no source of $package unpacked in $work/src" >&2; exit 1; }
echo "${dir%/}"
