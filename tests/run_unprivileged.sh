#!/bin/sh
# Runs a test program as an ordinary user: when started by root (as CI runs
# the suite) through setpriv as nobody, otherwise as it is. The tests run
# this way check what only an ordinary user meets: a device without rights,
# a port another opener holds exclusively.
#
# The clone may live where nobody cannot enter (a home folder, mktemp -d):
# the program and the libraries it loads from the build tree are copied
# into a fresh folder that nobody can read, and run from there.
set -eu
export QUILLON_UNPRIVILEGED_RUN=1
if [ "$(id -u)" -ne 0 ]; then
  exec "$@"
fi

program=$1
shift
as_nobody() { setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"; }

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
chmod 0755 "$stage"
cp "$program" "$stage/"
# Libraries that resolve outside the system folders (the build tree's own)
# go beside the program; the loader finds them through LD_LIBRARY_PATH
# once the run path it was linked with cannot be entered.
ldd "$program" | awk '$2 == "=>" && $3 ~ /^\// { print $3 }' |
  while read -r library; do
    case $library in
      /lib/* | /usr/lib/* | /lib64/* | /usr/lib64/*) ;;
      *) cp "$library" "$stage/" ;;
    esac
  done
chmod -R a+rX "$stage"

cd "$stage"
status=0
LD_LIBRARY_PATH="$stage${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
  TMPDIR=/tmp as_nobody "$stage/$(basename "$program")" "$@" || status=$?
exit "$status"
