#!/usr/bin/env bash
# Builds the Debian packages into dist/ with CPack's DEB generator and
# checks them: lintian (no error), the desktop entry, the AppStream data and
# the library's symbols file against the library built. Installs nothing
# but the tools it needs.
#   scripts/package.sh    -> dist/libquillon1_*.deb, libquillon-dev_*.deb,
#                            quillon_*.deb, velmora_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh --package
# An optimised build of what the packages hold, with all of Debian's
# hardening flags (the preprocessor's too: CMake reads no CPPFLAGS),
# installed under /usr so that the library goes to the multiarch folder.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
eval "$(dpkg-buildflags --export=sh)"
export CFLAGS="$CFLAGS $CPPFLAGS" CXXFLAGS="$CXXFLAGS $CPPFLAGS"
build=build-package
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  -DBUILD_TESTING=OFF -DQUILLON_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"

rm -rf dist
(cd "$build" && cpack -G DEB -B "$PWD/../dist" >/dev/null)
rm -rf dist/_CPack_Packages
packaging/finish_debs.sh dist

# The symbols file must list exactly what the library exports.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dpkg-deb -x dist/libquillon1_*.deb "$work/root"
dpkg-deb -e dist/libquillon1_*.deb "$work/control"
dpkg-gensymbols -plibquillon1 -v"$(dpkg-deb -f dist/libquillon1_*.deb Version)" \
  -e"$work"/root/usr/lib/*/libquillon.so.1 -I"$work/control/symbols" \
  -O"$work/symbols" -c4

desktop-file-validate data/org.quillon.velmora.desktop
appstreamcli validate --no-net --pedantic data/org.quillon.velmora.metainfo.xml \
  >/dev/null
lintian --fail-on error --tag-display-limit 0 dist/*.deb
ls -l dist
