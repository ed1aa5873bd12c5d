#!/bin/sh
# Runs a test program where host names are looked up from a name server
# that never answers, without any network: in user, network and mount
# namespaces of its own, /etc/resolv.conf names 127.0.0.1, where the test
# holds a socket that takes the queries and never answers them. Exits 77
# (skipped) where such namespaces cannot be had.
set -eu
namespaces="unshare --user --map-root-user --net --mount"
if ! $namespaces true 2>/dev/null; then
  echo "dead_name_server: no user and network namespaces here" >&2
  exit 77
fi
resolv=$(mktemp)
trap 'rm -f "$resolv"' EXIT
echo "nameserver 127.0.0.1" >"$resolv"
chmod 0644 "$resolv"
QUILLON_DEAD_NAME_SERVER=1 $namespaces sh -c \
  'ip link set lo up && mount --bind "$0" /etc/resolv.conf && exec "$@"' \
  "$resolv" "$@"
