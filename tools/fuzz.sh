#!/usr/bin/env bash
# Coverage-guided fuzzing of the core with libFuzzer (clang), no Python.
#
#   tools/fuzz.sh [SECONDS] [TARGET...]
#
# SECONDS (default 60) is the run time of each target; TARGETs are
# fuzz_reader (any bytes as a store file, every query checked against a
# model), fuzz_mapped (any bytes as a store read through its mapped index,
# checked against the in-memory index whenever the deep check passes),
# fuzz_compressed (any bytes as a compressed store, its codec description,
# dictionary and frames included, every value decompressed) and fuzz_build
# (writer scripts built and read back); all four by default. The corpus grows in fuzz/corpus/TARGET and is seeded afresh from
# stores the writer builds; a failing input lands in fuzz/artifacts/ and
# makes the script exit non-zero. Replay one with
#   build/fuzz/fuzz/fuzz_reader fuzz/artifacts/fuzz_reader-crash-...
#
# Environment: ZELKOR_FUZZ_BUILD (build directory, default build/fuzz),
# ZELKOR_FUZZ_FLAGS (extra libFuzzer flags, e.g. "-jobs=2 -workers=2"),
# ZELKOR_FUZZ_COVERAGE=1 (afterwards, replay each corpus through a build with
# source-based coverage and print the line and branch coverage of src/core).
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/common.sh
root=$PWD

seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_reader fuzz_mapped fuzz_compressed fuzz_build)
build=${ZELKOR_FUZZ_BUILD:-$root/build/fuzz}


# clang with the libFuzzer runtime: link a trivial fuzz target to find out.
clang_works() {
  command -v clang++ >/dev/null 2>&1 || return 1
  local probe
  probe=$(mktemp -d)
  printf '%s\n' '#include <cstdint>' '#include <cstddef>' \
    'extern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }' >"$probe/t.cc"
  clang++ -fsanitize=fuzzer,address,undefined "$probe/t.cc" -o "$probe/t" >/dev/null 2>&1
  local rc=$?
  rm -rf "$probe"
  return $rc
}
if ! clang_works; then
  echo "fuzz.sh: installing clang and its fuzzer runtime" >&2
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang libclang-rt-14-dev >/dev/null
  clang_works || { echo "fuzz.sh: clang cannot link a libFuzzer target" >&2; exit 2; }
fi

cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DZELKOR_BUILD_MODULE=OFF -DZELKOR_BUILD_FUZZERS=ON >/dev/null
cmake --build "$build" --target make_seeds "${targets[@]}" >/dev/null

corpus=$root/fuzz/corpus
artifacts=$root/fuzz/artifacts
mkdir -p "$artifacts"
"$build/fuzz/make_seeds" "$corpus/fuzz_reader" "$corpus/fuzz_build" "$corpus/fuzz_mapped" "$corpus/fuzz_compressed" \
  >/dev/null

# Inputs are at most 16 KiB, so no allocation needs to come near 256 MiB:
# a larger one is a header count or offset trusted without a bound.
export ASAN_OPTIONS=${ASAN_OPTIONS:-halt_on_error=1:detect_leaks=1:quarantine_size_mb=64}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
status=0
for target in "${targets[@]}"; do
  echo "== $target for ${seconds}s"
  log=$(mktemp)
  # shellcheck disable=SC2086
  if ! "$build/fuzz/$target" -max_total_time="$seconds" -max_len=16384 -timeout=10 \
      -rss_limit_mb=2048 -malloc_limit_mb=256 -print_final_stats=1 \
      -artifact_prefix="$artifacts/$target-" ${ZELKOR_FUZZ_FLAGS:-} \
      "$corpus/$target" >"$log" 2>&1; then
    status=1
    grep -E 'ERROR|SUMMARY|runtime error|fuzz check failed|Test unit written|==[0-9]+==' "$log" | head -n 40 >&2 || true
    tail -n 5 "$log" >&2
  fi
  grep -E 'Loaded 1 PC tables|DONE|stat::number_of_executed_units|stat::new_units_added|stat::peak_rss_mb' "$log" || true
  rm -f "$log"
done

if [ "${ZELKOR_FUZZ_COVERAGE:-0}" = 1 ]; then
  cov_build=$build-coverage
  cmake -S "$root" -B "$cov_build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ -DZELKOR_BUILD_MODULE=OFF -DZELKOR_BUILD_FUZZERS=ON \
    -DZELKOR_FUZZ_COVERAGE=ON >/dev/null
  cmake --build "$cov_build" --target "${targets[@]}" >/dev/null
  profiles=()
  for target in "${targets[@]}"; do
    LLVM_PROFILE_FILE="$cov_build/$target.profraw" "$cov_build/fuzz/$target" -runs=0 \
      "$corpus/$target" >/dev/null 2>&1 || true
    profiles+=("$cov_build/$target.profraw")
  done
  profdata=$(command -v llvm-profdata || command -v llvm-profdata-14)
  llvmcov=$(command -v llvm-cov || command -v llvm-cov-14)
  "$profdata" merge -sparse "${profiles[@]}" -o "$cov_build/all.profdata"
  objects=()
  for target in "${targets[@]}"; do objects+=(-object "$cov_build/fuzz/$target"); done
  echo "== coverage of src/core by the corpus"
  "$llvmcov" report "${objects[@]:1}" -instr-profile="$cov_build/all.profdata" \
    -ignore-filename-regex='(^/usr/|/fuzz/)' | sed "s|$root/||"
fi
exit $status
