#!/usr/bin/env bash
# A data-file batch driven from outside, on an X server: with the keyboard
# the operator checks track 2 and its "Read From File" box, attaches a
# file of 100 lines with the "open" button and the file dialog, then opens
# the port and writes once from the menus. The encoder (quillon-encoder-sim on its
# own pseudo-terminal) must record the 100 lines as 100 cards, in order,
# each once, and the operation log must hold 100 write records.
#   data_file_window_test.sh PATH-TO-VELMORA PATH-TO-ENCODER-SIM
set -euo pipefail
velmora=$1
simulator=$2
work=$(mktemp -d)
pid=
simpid=
trap 'kill $pid $simpid 2>/dev/null || true; rm -rf "$work"' EXIT

seq 5001 5100 >"$work/track2.txt"
"$simulator" --link "$work/encoder" --swipe-delay 0 \
  --record "$work/written.jsonl" >"$work/sim.txt" 2>&1 &
simpid=$!
for _ in $(seq 50); do [[ -e "$work/encoder" ]] && break; sleep 0.1; done

export VELMORA_LOG=$work/log.txt ENCODER_COM1=$work/encoder
unset QT_QPA_PLATFORM
"$velmora" >"$work/out.txt" 2>&1 &
pid=$!
window=$(timeout 20 xdotool search --sync --name '^MSR Encode Application$' | head -n1)
[[ -n "$window" ]] || { echo "no main window"; exit 1; }
xdotool windowfocus --sync "$window"
sleep 0.3

# The focus starts on the track 1 box. In tab order: 1004 (track 2), then
# 1005 1006 1007 1008 1013 1018 1029 1019 1020 1021 to 1022 (Read From
# File, track 2), then 1024 ("open", track 2).
xdotool key Tab space
xdotool key --delay 20 Tab Tab Tab Tab Tab Tab Tab Tab Tab Tab Tab space
xdotool key Tab space
timeout 10 xdotool search --sync --name '^Open$' >/dev/null ||
  { echo "no file dialog"; exit 1; }
sleep 0.3
xdotool type --delay 5 "$work/track2.txt"
xdotool key Return
sleep 0.5

# Alt alone enters the menu bar at "File"; Return opens it and takes its
# first item, "ConnectDivice" (open). Then "Operation", "WriteCard".
xdotool key alt
sleep 0.3
xdotool key Return
sleep 0.3
xdotool key Return
sleep 0.3
xdotool key alt
sleep 0.3
xdotool key Right Return
sleep 0.3
xdotool key Return

for _ in $(seq 300); do
  [[ -f "$work/written.jsonl" ]] && (($(wc -l <"$work/written.jsonl") >= 100)) && break
  sleep 0.1
done
sleep 1  # no card may follow the last line
written=$(grep -o '"track2":"[^"]*","track3":"","coercivity":"[a-z]*","density":[0-9]*,"status":"p"' \
  "$work/written.jsonl" | cut -d'"' -f4 || true)
if [[ "$written" != "$(seq 5001 5100)" ]]; then
  echo "written cards differ from the file's lines:"
  cat "$work/written.jsonl"
  exit 1
fi
[[ $(wc -l <"$work/written.jsonl") -eq 100 ]] || { echo "extra cards"; exit 1; }
records=$(grep -c "Write operation" "$VELMORA_LOG" || true)
[[ "$records" -eq 100 ]] || { echo "$records write records in the log"; exit 1; }
echo "100 cards written from 100 lines; 100 write records"
