#!/usr/bin/env bash
# The zlkr command on the bundled Unicode data set: build a store from JSON
# Lines, look at it, query it, check it, and show that a dump builds back
# into the very same file.
#
#   examples/cli_demo.sh [OUT_DIR]      (zlkr must be on PATH)
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
data="$here/data/unicode.jsonl"
if [ $# -gt 0 ]; then
  out="$1"
  mkdir -p "$out"
else
  out="$(mktemp -d "${TMPDIR:-/tmp}/zlkr-demo.XXXXXX")"
  trap 'rm -rf "$out"' EXIT
fi
store="$out/unicode.zlkr"

if [ -t 1 ]; then bold=$'\033[1m' plain=$'\033[0m'; else bold="" plain=""; fi
# step TEXT: show a command line; run CMD...: show it (quoted) and run it.
step() { printf '\n%s$ %s%s\n' "$bold" "$1" "$plain"; }
run() {
  local arg line=""
  for arg in "$@"; do
    case "$arg" in *[[:space:]]* | "") line+=" \"$arg\"" ;; *) line+=" $arg" ;; esac
  done
  step "${line# }"
  "$@"
}

run zlkr build "$store" "$data"
run zlkr stats "$store"
run zlkr get "$store" "LATIN SMALL LETTER E WITH ACUTE" U+1F600 "VULGAR FRACTION ONE HALF"
run zlkr keys "$store" --prefix "LATIN SMALL LETTER E WITH C"
run zlkr items "$store" --prefix "SNOWMAN"
run zlkr verify "$store"

step "zlkr dump $store > $out/dump.jsonl"
zlkr dump "$store" >"$out/dump.jsonl"
head -n 2 "$out/dump.jsonl"
run zlkr build --quiet "$out/again.zlkr" "$out/dump.jsonl"
run cmp "$store" "$out/again.zlkr"
echo "dump -> build gave a byte-identical store"

step "zlkr get $store \"NO SUCH CHARACTER\"    # a missing key: exit status 1"
if zlkr get "$store" "NO SUCH CHARACTER"; then
  echo "expected a failure" >&2
  exit 1
fi
