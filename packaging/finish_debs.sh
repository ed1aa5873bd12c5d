#!/usr/bin/env bash
# Finishes the packages CPack made in DIR (scripts/package.sh) where its DEB
# generator has no setting:
#  - the library's package gets no postinst/postrm: CPack's call ldconfig,
#    which the package's ldconfig trigger already does;
#  - the library's packages are Multi-Arch: same (their files are the same
#    on every architecture but those under the multiarch folder).
# Each package is taken apart and built again with dpkg-deb.
set -euo pipefail
dir=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for deb in "$dir"/libquillon1_*.deb "$dir"/libquillon-dev_*.deb; do
  tree="$work/$(basename "$deb" .deb)"
  dpkg-deb -R "$deb" "$tree"
  rm -f "$tree/DEBIAN/postinst" "$tree/DEBIAN/postrm"
  if ! grep -q '^Multi-Arch:' "$tree/DEBIAN/control"; then
    sed -i '/^Architecture:/a Multi-Arch: same' "$tree/DEBIAN/control"
  fi
  dpkg-deb --root-owner-group -Zxz -b "$tree" "$deb" >/dev/null
done
