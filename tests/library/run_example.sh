#!/bin/sh
# Runs docs/examples/two_encoders.c, built, as its page says to run it:
# against two simulated encoders, each with a deck of two cards. Both
# decks' cards must come out, and SIGTERM must end it cleanly: status 0,
# and no encoder left waiting for a card.
# Usage: run_example.sh EXAMPLE ENCODER_SIM
set -eu
example=$1
simulator=$2
work=$(mktemp -d)
pids=""
trap 'kill $pids 2>/dev/null || true; rm -rf "$work"' EXIT

for name in ALPHA BRAVO; do
  printf '%s ONE|1001|\n%s TWO|1002|\n' $name $name >"$work/$name.deck"
  "$simulator" --deck "$work/$name.deck" --swipe-delay 20 --verbose \
    >"$work/$name.line" 2>"$work/$name.log" </dev/null &
  pids="$pids $!"
done
for name in ALPHA BRAVO; do
  tries=0
  until [ -s "$work/$name.line" ]; do
    tries=$((tries + 1)); [ $tries -lt 200 ] || { echo "no simulator"; exit 1; }
    sleep 0.05
  done
done

: >"$work/cards"
"$example" "$(cat "$work/ALPHA.line")" "$(cat "$work/BRAVO.line")" \
  >"$work/cards" 2>"$work/errors" &
run=$!
tries=0
until grep -q "ALPHA TWO" "$work/cards" && grep -q "BRAVO TWO" "$work/cards"; do
  tries=$((tries + 1))
  if [ $tries -ge 200 ]; then
    echo "cards seen:"; cat "$work/cards" "$work/errors"; exit 1
  fi
  sleep 0.05
done
sent=$(date +%s%N)
kill -TERM $run
status=0
wait $run || status=$?
echo "ended $(( ($(date +%s%N) - sent) / 1000000 )) ms after SIGTERM"
cat "$work/cards"
if [ $status -ne 0 ]; then
  echo "ended with status $status after SIGTERM:"; cat "$work/errors"; exit 1
fi
# Neither encoder is left waiting for a card: the last frame each got was
# the reset, or it has answered the last read (the cancel came between).
sleep 0.3
for name in ALPHA BRAVO; do
  case "$(tail -n 1 "$work/$name.log")" in
    "<- 1B 30" | "->"*) ;;
    *) echo "$name is left waiting:"; cat "$work/$name.log"; exit 1 ;;
  esac
done
echo "stopped cleanly"
