#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, ASan, UBSan) and runs each
# for a bounded time, starting from its committed inputs. New inputs go to
# a scratch folder; a finding stops the run with a non-zero exit and is
# saved under build-fuzz/findings/ (copy it into tests/fuzz/corpus/<name>/
# once fixed, so the ordinary suite replays it).
#   scripts/fuzz.sh [SECONDS-PER-TARGET]   (default 30)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}

scripts/install-deps.sh --fuzz
cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=Sanitize \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
  -DQUILLON_FUZZ=ON -DQUILLON_BUILD_APP=OFF -DQUILLON_BUILD_BENCH=OFF >/dev/null
targets=$(sed -n 's/^  \([a-z_]*\):.*/\1/p' tests/fuzz/CMakeLists.txt)
cmake --build build-fuzz -j"$(nproc)" --target $(printf 'fuzz_%s ' $targets)

mkdir -p build-fuzz/findings
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
printf '| target | seconds | executions | executions/s | inputs kept |\n|---|---|---|---|---|\n'
for name in $targets; do
  work=$(mktemp -d)
  cp tests/fuzz/corpus/"$name"/* "$work"/
  log=build-fuzz/findings/"$name".log
  if ! build-fuzz/tests/fuzz/fuzz_"$name" "$work" -max_total_time="$seconds" \
      -print_final_stats=1 -artifact_prefix=build-fuzz/findings/"$name"- \
      -close_fd_mask=3 >"$log" 2>&1; then
    echo "fuzz_$name found a failing input:"
    tail -n 40 "$log"
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  printf '| %s | %s | %s | %s | %s |\n' "$name" "$seconds" "$runs" \
    "$((runs / seconds))" "$(ls "$work" | wc -l)"
  rm -rf "$work"
done
