"""Waits without the GIL: Ctrl-C ends them at once with the encoder reset
(and no card lost from a journal), and two threads drive two encoders."""
import json
import signal
import threading
import time

import pytest

import quillon
from conftest import RESET, good_track2, numbers, run_python, wait_until

READ_WAIT = """
import quillon, sys, time
with quillon.Encoder(sys.argv[1]) as encoder:
    print("ready", flush=True)
    try:
        encoder.read()
    except KeyboardInterrupt:
        print(time.monotonic(), flush=True)
"""

BATCH_WAIT = """
import quillon, sys, time
with quillon.Encoder(sys.argv[1]) as encoder:
    print("ready", flush=True)
    try:
        quillon.write_batch(encoder, track2="0001", increments=["2:1"],
                            count=5, journal=sys.argv[2])
    except KeyboardInterrupt:
        print(time.monotonic(), flush=True)
"""

@pytest.mark.parametrize("script", [READ_WAIT, BATCH_WAIT],
                         ids=["read", "batch"])
def test_ctrl_c_raises_keyboard_interrupt_at_once_and_resets(
        sims, tmp_path, script):
    sim = sims()  # no --swipe-delay: the wait lasts
    journal = str(tmp_path / "batch.jsonl")
    child = run_python(script, sim.link, journal)
    assert child.stdout.readline() == b"ready\n", child.stderr.read()
    # The frame that waits for a card is out (the batch's opening reset
    # is not).
    assert wait_until(lambda: sim.frames() and sim.frames()[-1] != RESET)
    time.sleep(0.1)  # in the wait itself, not on the way to it
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=10)
    assert out.strip(), err
    assert float(out) - sent < 0.2
    assert wait_until(lambda: sim.frames()[-1] == RESET), sim.frames()
    if script is BATCH_WAIT:
        # The card under way is in doubt, never lost: resuming settles it
        # by reading the card passed, and writes the rest once each.
        with open(journal) as f:
            steps = [json.loads(line) for line in f]
        assert steps[-1]["state"] == "sent", steps
        again = sims("--swipe-delay", "0", like=sim)  # the same port
        with quillon.Encoder(again.link) as encoder:
            quillon.write_batch(encoder, track2="0001", increments=["2:1"],
                                count=5, journal=journal, resume=True)
        assert good_track2(again) == numbers(1, 5)


def test_two_threads_drive_two_encoders(sims):
    waiting = sims(deck=[b"X|5555|1"])  # its card comes when we say
    busy = sims("--swipe-delay", "0")
    got = []

    def read_one():
        with quillon.Encoder(waiting.link) as encoder:
            got.append(encoder.read(timeout=20))

    reader = threading.Thread(target=read_one)
    reader.start()
    assert wait_until(lambda: waiting.frames())
    with quillon.Encoder(busy.link) as encoder:
        result = quillon.write_batch(encoder, track2="0001",
                                     increments=["2:1"], count=5)
    # The other thread waits all along: its wait holds no GIL.
    assert reader.is_alive()
    assert result == quillon.BatchResult(5, 5)
    assert good_track2(busy) == numbers(1, 5)
    waiting.process.stdin.write(b"\n")  # Enter: the card is swiped
    waiting.process.stdin.flush()
    reader.join(20)
    assert [card.track2 for card in got] == [b"5555"]


def test_a_wait_ended_by_its_timeout_leaves_the_next_one_whole(sims):
    sim = sims(deck=[b"X|4242|1"])  # a card only on Enter
    with quillon.Encoder(sim.link) as encoder:
        with pytest.raises(TimeoutError):
            encoder.read(timeout=0.2)
        timer = threading.Timer(0.5, lambda: (sim.process.stdin.write(b"\n"),
                                              sim.process.stdin.flush()))
        timer.start()
        assert encoder.read(timeout=10).track2 == b"4242"
        timer.join()
