#!/bin/sh
# Runs a test program as an ordinary user: when started by root (as CI runs
# the suite) through setpriv as nobody, otherwise as it is. The tests run
# this way check what only an ordinary user meets: a device without rights,
# a port another opener holds exclusively. The build folder must be
# readable by nobody.
set -eu
export QUILLON_UNPRIVILEGED_RUN=1
if [ "$(id -u)" -ne 0 ]; then
  exec "$@"
fi
if ! setpriv --reuid=nobody --regid=nogroup --clear-groups test -x "$1"; then
  echo "run_unprivileged: nobody cannot run $1 (make the build folder readable by all)" >&2
  exit 1
fi
exec setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"
