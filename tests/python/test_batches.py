"""Exactly-once batches from Python, judged by the simulators' records:
killed with SIGKILL and resumed, a journal the CLI started finished here,
a list of cards over two encoders."""
import json
import os
import signal
import sys

import quillon
from conftest import good_track2, numbers, run_cli, run_python, wait_until

BATCH = """
import quillon, sys
with quillon.Encoder(sys.argv[1]) as encoder:
    quillon.write_batch(encoder, track2="0001", increments=[(2, 1)],
                        count=30, journal=sys.argv[2], verify=True)
"""


def journal_lines(path):
    with open(path, "rb") as f:
        return f.read().count(b"\n")


def resume(sim, journal, count):
    with quillon.Encoder(sim.link) as encoder:
        return quillon.write_batch(encoder, track2="0001", increments=["2:1"],
                                   count=count, journal=journal, resume=True)


def test_batch_killed_and_resumed_writes_each_number_once(sims, tmp_path):
    sim = sims("--swipe-delay", "5")
    journal = str(tmp_path / "batch.jsonl")
    child = run_python(BATCH, sim.link, journal)
    assert wait_until(lambda: os.path.exists(journal)
                      and journal_lines(journal) >= 20, timeout=30)
    child.send_signal(signal.SIGKILL)
    child.wait(10)
    assert 0 < len(good_track2(sim)) < 30
    assert resume(sim, journal, 30) == quillon.BatchResult(30, 30)
    assert sorted(good_track2(sim)) == numbers(1, 30)


def test_journal_started_by_the_cli_is_finished_here(sims, tmp_path):
    sim = sims("--swipe-delay", "0")
    journal = str(tmp_path / "batch.jsonl")
    env = dict(os.environ, QUILLON_FAULT_AT="frame:KILL:6")
    result = run_cli("--port", sim.link, "write", "--track2", "0001",
                     "--increment", "2:1", "--count", "12", "--journal",
                     journal, env=env)
    assert result.returncode == -signal.SIGKILL, result.stderr
    with open(journal) as f:
        last = json.loads(f.readlines()[-1])
    assert (last["card"], last["state"]) == (6, "sent")  # in doubt
    assert resume(sim, journal, 12) == quillon.BatchResult(12, 12)
    assert sorted(good_track2(sim)) == numbers(1, 12)
    # And the CLI reads the journal Python wrote to its end.
    again = run_cli("--port", sim.link, "write", "--track2", "0001",
                    "--increment", "2:1", "--count", "12", "--journal",
                    journal, "--resume")
    assert again.returncode == 0 and b"confirmed" in again.stderr


def test_cards_over_two_encoders_with_progress(sims, tmp_path):
    first, second = sims("--swipe-delay", "2"), sims("--swipe-delay", "2")
    cards = [quillon.Card(track1="N%d" % n, track2="%04d" % n)
             for n in range(1, 21)]
    seen = []
    with quillon.Encoder(first.link) as a, quillon.Encoder(second.link) as b:
        result = quillon.write_batch(
            [a, b], cards, journal=str(tmp_path / "cards.jsonl"),
            progress=lambda *args: seen.append(args))
    assert result == quillon.BatchResult(20, 20)
    assert sorted(good_track2(first) + good_track2(second)) == numbers(1, 20)
    assert good_track2(first) and good_track2(second)  # the work shared
    assert [s[0] for s in seen] == list(range(1, 21))
    assert {s[3] for s in seen} == {first.link, second.link}


def test_queue_batch_over_two_encoders(sims):
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..",
                                    "support"))
    from pg_cluster import PgCluster
    cluster = PgCluster()
    try:
        env = dict(os.environ, QUILLON_QUEUE=cluster.database("py"))
        for args in (["init"], ["load", "--batch", "b", "--track2", "0001",
                                "--increment", "2:1", "--count", "12"]):
            done = run_cli("queue", *args, env=env)
            assert done.returncode == 0, done.stderr
        first, second = sims("--swipe-delay", "2"), sims("--swipe-delay", "2")
        with quillon.Encoder(first.link) as a, \
                quillon.Encoder(second.link) as b:
            result = quillon.write_batch([a, b], queue=env["QUILLON_QUEUE"],
                                         batch="b", station="python")
        assert result.confirmed == 12
        assert sorted(good_track2(first) + good_track2(second)) == \
            numbers(1, 12)
        status = run_cli("queue", "status", "--batch", "b", env=env)
        assert b"12" in status.stdout, status
    finally:
        cluster.stop()
