#!/usr/bin/env bash
# Installs the Debian packages the project needs, by what is to be done:
#   scripts/install-deps.sh            build and run (scripts/run.sh)
#   scripts/install-deps.sh --test     also the tests' tools (scripts/test.sh)
#   scripts/install-deps.sh --package  also the packaging and lint tools
#                                      (scripts/package.sh)
#   scripts/install-deps.sh --fuzz     the tests' and clang's fuzzing runtimes
#                                      (scripts/fuzz.sh)
# Runs apt-get only when something is missing; uses sudo when not root.
set -euo pipefail

# Building: compilers (and ccache, which repeated builds share), Qt, the
# libraries (libpq: the card queue's PostgreSQL client), scdoc for the
# manual pages and rsvg-convert for the icons.
packages=(
  build-essential cmake pkg-config binutils ccache
  qt6-base-dev qt6-serialport-dev libgl-dev libxcb1-dev libxau-dev
  libcli11-dev nlohmann-json3-dev libcsv-dev libpq-dev
  scdoc librsvg2-bin
)
# The Python module: pybind11 and the system Python's headers.
packages+=(pybind11-dev python3-dev)
# Running: a font with the Chinese texts of Velmora's window.
packages+=(fonts-wqy-microhei)

for mode in "$@"; do
  case "$mode" in
    --test | --fuzz)
      packages+=(python3 libgtest-dev libgmock-dev libbenchmark-dev xvfb
        xdotool x11-apps iproute2 bash-completion)
      # The card queue's tests start a PostgreSQL server of their own, and
      # make its throwaway CA and certificate with openssl.
      packages+=(postgresql openssl)
      # The Python module's tests, and the pyserial loop it is timed against.
      packages+=(python3-pytest python3-serial)
      # The fuzz targets also need clang and its sanitizer and fuzzer runtimes.
      [[ "$mode" == --fuzz ]] && packages+=(clang libclang-rt-14-dev)
      ;;
    --package)
      packages+=(dpkg-dev file lintian desktop-file-utils appstream)
      ;;
    *)
      echo "usage: $0 [--test] [--package] [--fuzz]" >&2
      exit 1
      ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq \
  --no-install-recommends "${missing[@]}"
