#!/usr/bin/env bash
# Builds the fuzz targets (fuzz/: libFuzzer, with clang, ASan and UBSan) in
# build-fuzz/ and runs each for a short fixed time on its seed corpus in
# fuzz/corpus/<target>/. Inputs it finds stay in build-fuzz/corpus/, never in
# the repository; a crash (its input in build-fuzz/crash-<target>-*) fails.
#
#   scripts/fuzz.sh            (FUZZ_SECONDS=<n>: seconds per target, default 15)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
seconds=${FUZZ_SECONDS:-15}
build=${FUZZ_BUILD_DIR:-build-fuzz}

cmake -S fuzz -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null
nice ninja -C "$build"

for target in public_key signature response_head; do
  found=$build/corpus/$target
  mkdir -p "$found"
  echo "fuzzing $target for ${seconds}s" >&2
  # The first directory takes what is found, the second is only read.
  nice "$build/${target}_fuzzer" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$build/crash-$target-" "$found" "fuzz/corpus/$target" 2>"$build/$target.log" \
    || { tail -n 40 "$build/$target.log" >&2; echo "fuzzing $target found a crash" >&2; exit 1; }
  grep -E '^stat::number_of_executed_units' "$build/$target.log" >&2 || true
done
