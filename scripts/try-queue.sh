#!/usr/bin/env bash
# A throwaway PostgreSQL server for trying quillon's card queue: made in a
# temporary folder, on a Unix socket only, run as nobody when started by
# root; QUILLON_QUEUE names it. Runs a shell (or the command given) and
# stops and removes the server when that ends.
#   scripts/try-queue.sh                      # a shell with the queue
#   scripts/try-queue.sh quillon queue init   # one command
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
if ! compgen -G "/usr/lib/postgresql/*/bin/initdb" >/dev/null; then
  echo "try-queue: the PostgreSQL server is not installed:" \
       "scripts/install-deps.sh --test installs it" >&2
  exit 1
fi
if [[ $# -eq 0 ]]; then
  set -- "${SHELL:-/bin/bash}"
  echo "try-queue: QUILLON_QUEUE is set in this shell; exit to remove the server" >&2
fi
exec python3 "$top/tests/support/pg_cluster.py" "$@"
