#!/usr/bin/env bash
# Installs what is missing, builds Velmora, quillon, the simulated encoder
# and quillon-smoke (the README uses them all) and starts Velmora. With no
# arguments it runs on the built-in simulated encoder; pass a device with
#   ENCODER_COM1=/dev/ttyUSB0 scripts/run.sh --device
set -euo pipefail
cd "$(dirname "$0")/.."

# Only what building and running need: the tests are not configured.
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
  >/dev/null
cmake --build build -j"$(nproc)" --target velmora quillon-cli encoder-sim quillon-smoke

if [[ "${1:-}" == "--device" ]]; then
  shift
  exec build/app/velmora "$@"
fi
exec build/app/velmora --simulate "$@"
