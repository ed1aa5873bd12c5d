#!/usr/bin/env bash
# The real window on an X server: `velmora --simulate` shows the main
# window with a caption that says the encoder is simulated, and Escape
# ends the program.
#   simulated_window_test.sh PATH-TO-VELMORA
set -euo pipefail
velmora=$1
work=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT

export VELMORA_LOG=$work/log.txt
unset QT_QPA_PLATFORM
"$velmora" --simulate >"$work/out.txt" 2>&1 &
pid=$!

window=$(timeout 20 xdotool search --sync --name 'MSR Encode Application - simulated encoder' | head -n1)
[[ -n "$window" ]] || { echo "no window with the simulated caption"; exit 1; }
name=$(xdotool getwindowname "$window")
echo "window: $name"
[[ "$name" == *"COM1 (/dev/pts/"* ]] || { echo "caption lacks the port"; exit 1; }
[[ -f "$VELMORA_LOG" ]] || { echo "no operation log"; exit 1; }

xdotool windowfocus --sync "$window"
xdotool key Escape
for _ in $(seq 100); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
if kill -0 "$pid" 2>/dev/null; then
  echo "Escape did not end the program"
  exit 1
fi
wait "$pid" || { cat "$work/out.txt"; exit 1; }
