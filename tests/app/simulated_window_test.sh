#!/usr/bin/env bash
# The real window on an X server, driven from outside as an operator would:
# `velmora --simulate` shows a caption that says the encoder is simulated;
# the operator opens the port, writes "abc" on track 1 (it goes out as
# "ABC"), reads the card back, resets, saves the log through the file
# dialog and ends the program with Escape.
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
sleep 0.5

# Opens the menu bar's first menu, moves RIGHTS menus on and chooses the
# item DOWNS below the first.
menu() {
  xdotool mousemove --window "$window" 12 10 click 1
  sleep 0.3
  xdotool key Down
  for _ in $(seq "$1"); do xdotool key Right; done
  for _ in $(seq "$2"); do xdotool key Down; done
  sleep 0.2
  xdotool key Return
  sleep 0.3
}
# Waits until FILE holds the bytes given by printf FORMAT.
wait_for() {
  local expected
  expected=$(printf "$2" | od -An -tx1 | tr -d ' \n')
  for _ in $(seq 100); do
    [[ "$(od -An -tx1 "$1" | tr -d ' \n')" == "$expected"* ]] && return 0
    sleep 0.1
  done
  echo "$1 holds:"; cat -A "$1"; return 1
}

menu 0 0                         # File > ConnectDivice: open COM1
xdotool key space Tab Tab Tab    # check track 1, go to its field
xdotool type abc
menu 1 0                         # Operation > WriteCard
wait_for "$VELMORA_LOG" 'Write operation\r\nTrack 1 data:ABC\r\n'
menu 1 1                         # Operation > ReadCard: the card just written
records='Write operation\r\nTrack 1 data:ABC\r\nRead operation\r\nTrack 1 data:ABC\r\n'
wait_for "$VELMORA_LOG" "$records"
menu 1 3                         # Operation > Reset: reading stops
sleep 0.5
menu 0 2                         # File > SaveToOperatorLog
sleep 1
xdotool type "$work/saved"
xdotool key Return
for _ in $(seq 50); do [[ -s "$work/saved.txt" ]] && break; sleep 0.1; done
wait_for "$work/saved.txt" "$records"
echo "saved: $(wc -c <"$work/saved.txt") bytes"
[[ ! -s "$VELMORA_LOG" ]] || { echo "the running log was not emptied"; exit 1; }

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
