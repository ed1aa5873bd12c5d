#!/usr/bin/env bash
# Installs what is missing, builds and runs every test.
#   scripts/test.sh             normal build in build/
#   scripts/test.sh --sanitize  AddressSanitizer + UBSan build in build-sanitize/
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=build
build_type=RelWithDebInfo
bench=ON
if [[ "${1:-}" == "--sanitize" ]]; then
  build_dir=build-sanitize
  build_type=Sanitize
  bench=OFF # timing programs: their short soak runs in the normal build
fi

scripts/install-deps.sh --test
# BUILD_TESTING is given: scripts/run.sh may have turned it off in build/.
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE="$build_type" \
  -DBUILD_TESTING=ON -DQUILLON_BUILD_BENCH="$bench" >/dev/null
cmake --build "$build_dir" -j"$(nproc)"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir "$build_dir" --output-on-failure -j2
