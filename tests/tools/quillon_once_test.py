#!/usr/bin/env python3
"""Every card of a batch on exactly one card, whatever stops quillon, and
one batch over several encoders.

usage: quillon_once_test.py QUILLON ENCODER_SIM [unittest arguments]

Each encoder is an encoder-sim process of its own; the judge is the
simulators' records of written cards: every number of the batch on exactly
one card written successfully.
"""
import json
import os
import pty
import re
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import quillon_cli_test as cli
from quillon_cli_test import Simulator, confirmed, wait_until, write_frame

READ_BACK = "1B 5D 1B 6A"
RESET = "1B 30"


def numbers(first, last):
    return ["%04d" % n for n in range(first, last + 1)]


class Station(unittest.TestCase):
    """quillon against `encoders` simulators, each in a folder of its own."""

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="quillon_once_")
        self.sims = []
        self.env = dict(os.environ)
        self.env.pop("QUILLON_FAULT_AT", None)
        if os.environ.get("QUILLON_TEST_SANITIZED"):
            # LeakSanitizer's scan at exit is no part of the reaction.
            options = os.environ.get("ASAN_OPTIONS", "")
            self.env["ASAN_OPTIONS"] = options + ":detect_leaks=0"

    def tearDown(self):
        for sim in self.sims:
            if sim.process.poll() is None:
                sim.stop()

    def serve(self, index, *options):
        """Starts encoder `index` (again, as when it is plugged in anew),
        keeping its link and its record."""
        folder = os.path.join(self.folder, "e%d" % index)
        os.makedirs(folder, exist_ok=True)
        # The one before goes first: it removes the link on its way out.
        if index < len(self.sims) and self.sims[index].process.poll() is None:
            self.sims[index].stop()
        sim = Simulator(folder, *options)
        if index < len(self.sims):
            self.sims[index] = sim
        else:
            self.sims.append(sim)
        return sim

    def ports(self, *indexes):
        chosen = indexes or range(len(self.sims))
        return [a for i in chosen for a in ("--port", self.sims[i].link)]

    def path(self, name):
        return os.path.join(self.folder, name)

    def run_quillon(self, *args, env=None, timeout=60):
        return subprocess.run([cli.QUILLON, *args], env=env or self.env,
                              timeout=timeout, capture_output=True)

    def start_quillon(self, *args, env=None):
        return subprocess.Popen([cli.QUILLON, *args], env=env or self.env,
                                stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)

    def written(self, sim=None):
        """Track 2 of every card written successfully, per simulator."""
        sims = [sim] if sim else self.sims
        return [w["track2"] for s in sims for w in s.written()
                if w["status"] == "p"]

    def journal(self, path):
        with open(path, "rb") as f:
            data = f.read()
        lines = data.split(b"\n")
        whole = [json.loads(line) for line in lines[:-1]]
        return whole, lines[-1]  # the lines, and a line cut short

    def assert_each_once(self, count):
        self.assertEqual(sorted(self.written()), numbers(1, count))


def sent_after(sim, frame, then=None):
    """True once the simulator has sent a byte after receiving `frame`
    (and `then`, after it): a reply is arriving."""
    lines = [line.decode() for line in sim.trace_lines()]
    try:
        at = lines.index("<- " + frame)
        if then is not None:
            at = lines.index("<- " + then, at)
    except ValueError:
        return False
    return any(line.startswith("->") for line in lines[at + 1:])


def quiet(sim, for_seconds=0.3):
    """Waits until the simulator has stopped sending (a reply paced byte
    by byte goes on after the program that asked for it was killed)."""
    size = -1
    while size != len(sim.trace_lines()):
        size = len(sim.trace_lines())
        time.sleep(for_seconds)


class Stops(Station):
    def test_any_stop_then_resume_leaves_each_number_on_one_card(self):
        batch = ["write", "--track2", "0001", "--increment", "2:1",
                 "--count", "4"]
        # A reply paced a byte at a time, slow enough to be caught arriving
        # and well inside the pause that ends a reply (79 ms), even when
        # the machine is busy: a longer gap cuts the read-back short and
        # the card is asked for again.
        paced = ["--swipe-delay", "30", "--byte-gap", "30"]
        # Each of the first three replies is a write's status answer: the
        # settling read after a power loss (SIGKILL) gets the answer to
        # the write of card 2 that came after the power went.
        answer = self.path("answer.bin")
        with open(answer, "wb") as f:
            f.write(b"\x1brp")
        late_answer = ["--reply", answer] * 3
        # Card 2 is stopped at each point of its cycle. (where: a test seam
        # point, or a reply arriving seen on the simulator's trace;
        # --verify; simulator options; cards confirmed when SIGINT has
        # ended the program; SIGINT leaves card 2 in doubt)
        points = [
            ("before-frame", False, [], [1], False),
            ("frame", True, [], [1], True),  # waiting for the swipe
            ("reply", False, [], [1, 2], False),  # a whole reply taken
            ("read-back", True, [], [1], True),  # waiting for it
            ("journal", True, [], [1, 2], False),  # half a line written
            ("reply arriving", False, paced, [1, 2], False),
            ("read-back reply arriving", True, paced, [1, 2], False),
            ("frame", False, late_answer, [1], True),
        ]
        rows = [(sig, *point) for point in points
                for sig in (signal.SIGKILL, signal.SIGINT)]
        self.found = {"json": 0, "text": 0}
        for sig, where, verify, options, kept, in_doubt in rows:
            with self.subTest(signal=sig.name, at=where, verify=verify):
                sim = self.serve(0, "--swipe-delay", "30", *options)
                try:
                    self.stop_and_resume(sim, batch, sig, where, verify, kept,
                                         in_doubt)
                finally:  # the next row starts with an empty record
                    sim.stop()
                    if os.path.exists(sim.record):
                        os.remove(sim.record)
        # Some rows leave card 2 on the card passed, in either form.
        self.assertTrue(self.found["json"] and self.found["text"],
                        self.found)

    def stop_and_resume(self, sim, batch, sig, where, verify, kept, in_doubt):
        journal = self.path("batch.jsonl")
        if os.path.exists(journal):
            os.remove(journal)
        args = [*batch, "--journal", journal,
                *(["--verify"] if verify else []), *self.ports()]
        if "arriving" in where:
            quillon = self.start_quillon(*args)
            then = READ_BACK if "read-back" in where else None
            self.assertTrue(wait_until(lambda: sent_after(
                sim, write_frame(b"0002"), then), 10))
            quillon.send_signal(sig)
        else:
            env = dict(self.env, QUILLON_FAULT_AT="%s:%s:2" % (
                where, sig.name[3:]))
            quillon = self.start_quillon(*args, env=env)
        _, err = quillon.communicate(timeout=20)
        self.assertEqual(quillon.returncode,
                         -9 if sig == signal.SIGKILL else 130, err)
        lines, torn = self.journal(journal)
        if sig == signal.SIGINT:
            # The reply that came with the signal was kept: the
            # card was confirmed first.
            self.assertEqual([j["card"] for j in confirmed(lines)],
                             kept)
            self.assertEqual(torn, b"")
            self.assertEqual(b"card 2 may have been written" in err,
                             in_doubt, err)
            # The simulator notes a frame after it reads it: quillon may
            # have ended before then.
            self.assertTrue(wait_until(
                lambda: sim.frames()[-1:] == [RESET], 5), sim.frames()[-2:])
        quiet(sim)

        # Text after a SIGINT, JSON after a SIGKILL: either says which
        # cards were found on the card passed (not written again).
        form = "json" if sig == signal.SIGKILL else "text"
        result = self.run_quillon(*args, "--resume", "--format", form)
        self.assertEqual(result.returncode, 0, result.stderr)
        found = [int(n) for n in re.findall(
            rb"card (\d+) at %s is on the card passed" % re.escape(
                sim.link.encode()), result.stderr)]
        if form == "json":
            records = [json.loads(line) for line in result.stdout.splitlines()]
            self.assertEqual([r["card"] for r in records
                              if r["confirmed_by"] == "reading"], found)
            self.assertEqual({r["port"] for r in records}, {sim.link})
        else:
            self.assertEqual([int(n) for n in re.findall(
                rb"card (\d+) confirmed", result.stdout)], found)
        self.found[form] += len(found)
        settled = b"card 2 may have been written" in result.stderr
        self.assertEqual(settled, sig == signal.SIGKILL or in_doubt,
                         result.stderr)
        self.assertEqual(sorted(self.written()), numbers(1, 4))
        lines, torn = self.journal(journal)
        self.assertEqual(sorted(j["card"] for j in confirmed(lines)),
                         [1, 2, 3, 4])
        self.assertEqual(torn, b"")


class Encoders(Station):
    def test_three_encoders_share_one_batch_each_number_once(self):
        for index in range(3):
            self.serve(index, "--swipe-delay", "10")
        journal = self.path("batch.jsonl")
        master, slave = pty.openpty()  # stderr on a terminal: progress
        quillon = subprocess.Popen(
            [cli.QUILLON, *self.ports(), "write", "--track2", "0001",
             "--increment", "2:1", "--count", "60", "--verify",
             "--journal", journal],
            env=self.env, stdout=subprocess.PIPE, stderr=slave)
        os.close(slave)
        screen = b""
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:
                break
            if not chunk:
                break
            screen += chunk
        os.close(master)
        out, _ = quillon.communicate(timeout=60)
        self.assertEqual(quillon.returncode, 0, screen)
        self.assert_each_once(60)
        links = [sim.link for sim in self.sims]
        for sim in self.sims:  # the work shared
            self.assertGreater(len(self.written(sim)), 5, links)
        lines, _ = self.journal(journal)
        by_port = {link: sorted(j["track2"] for j in confirmed(lines)
                                if j["port"] == link) for link in links}
        self.assertEqual(by_port, {sim.link: sorted(self.written(sim))
                                   for sim in self.sims})
        self.assertEqual(len(out.splitlines()), 60)
        # The progress line shows every encoder and the batch's rate.
        last = cli.screen_lines(screen.replace(b"\r\n", b"\n"))[-1]
        for link in links:
            self.assertIn(link.encode(), last)
        self.assertIn(b"60 of 60", last)
        self.assertIn(b"cards/min", last)

        # Read card after card from all three into one output: each
        # record names its port (QUILLON_PORT with commas names them).
        env = dict(self.env, QUILLON_PORT=",".join(links))
        result = self.run_quillon("read", "--count", "6", "--format", "json",
                                  env=env)
        self.assertEqual(result.returncode, 0, result.stderr)
        records = [json.loads(line) for line in result.stdout.splitlines()]
        self.assertEqual([r["seq"] for r in records], list(range(1, 7)))
        self.assertTrue(all(r["port"] in links for r in records), records)

    def test_a_lost_encoder_stops_alone_and_its_card_stays_in_doubt(self):
        self.serve(0, "--swipe-delay", "20")
        # Lost in its second write: reset, write, write.
        self.serve(1, "--swipe-delay", "200", "--unplug-after", "3")
        self.serve(2, "--swipe-delay", "20")
        journal = self.path("batch.jsonl")
        args = ["write", "--track2", "0001", "--increment", "2:1", "--count",
                "30", "--journal", journal]
        result = self.run_quillon(*self.ports(), *args)
        self.assertEqual(result.returncode, 2, result.stderr)
        lost = self.sims[1].link
        lines, _ = self.journal(journal)
        doubt = [j["card"] for j in lines if j.get("state") == "sent" and
                 j["port"] == lost][-1]
        last = result.stderr.splitlines()[-1]
        self.assertIn(b"without the encoder at " + lost.encode(), last)
        self.assertIn(b"card %d may have been written at %s" %
                      (doubt, lost.encode()), last)
        # The others finished the batch; the card in doubt is nowhere.
        done = sorted(j["card"] for j in confirmed(lines))
        self.assertEqual(done, [n for n in range(1, 31) if n != doubt])
        self.assertEqual(sorted(self.written()),
                         [n for n in numbers(1, 30) if n != "%04d" % doubt])

        # Its card is settled only at its own port: without it, nothing
        # is sent.
        before = [len(sim.frames()) for sim in self.sims[::2]]
        result = self.run_quillon(*self.ports(0, 2), *args, "--resume")
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn(b"card %d may have been written at %s" %
                      (doubt, lost.encode()), result.stderr)
        time.sleep(0.1)
        self.assertEqual([len(sim.frames()) for sim in self.sims[::2]],
                         before)

        # Plugged in again (a new encoder: no card on its tray), the card
        # passed there is blank, and card N is written anew.
        self.serve(1, "--swipe-delay", "20")
        result = self.run_quillon(*self.ports(), *args, "--resume")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn(b"written anew", result.stderr)
        self.assert_each_once(30)

    def test_ctrl_c_stops_and_resets_every_encoder(self):
        for index in range(3):
            self.serve(index)  # nothing swipes: every write waits
        quillon = self.start_quillon(*self.ports(), "write", "--track2",
                                     "0001", "--increment", "2:1", "--count",
                                     "9", "--journal", self.path("b.jsonl"))
        self.assertTrue(wait_until(lambda: all(
            any(f.startswith("1B 74") for f in sim.frames())
            for sim in self.sims)))
        quillon.send_signal(signal.SIGINT)
        _, err = quillon.communicate(timeout=5)
        self.assertEqual(quillon.returncode, 130, err)
        for sim in self.sims:
            self.assertTrue(wait_until(lambda: sim.frames()[-1] == RESET, 1))
        self.assertIn(b"every encoder was reset", err)
        for card in (1, 2, 3):
            self.assertIn(b"card %d may have been written" % card, err)


class OldJournal(Station):
    # Journals written by earlier versions: no port field, and track 1 in
    # lower case (written as given before it was put in capitals).
    ROWS = [
        ("no port", ["--track2", "0001"], '"track2":"%04d"', False),
        ("track 1 in lower case", ["--track1", "ab0001", "--track2", "0001"],
         '"track1":"ab%04d","track2":"%04d"', True),
    ]

    def test_a_journal_of_an_earlier_version_resumes(self):
        for name, texts, fields, lower in self.ROWS:
            with self.subTest(name):
                self.tearDown()
                self.setUp()
                sim = self.serve(0, "--swipe-delay", "0")
                journal = self.path("old.jsonl")
                with open(journal, "w") as f:
                    for card in (1, 2):
                        values = (card, card) if lower else (card,)
                        f.write('{"card":%d,"time":"2026-01-01T00:00:0%d.000Z",'
                                % (card, card) + fields % values + '}\n')
                increments = ["--increment", "2:1"] + (
                    ["--increment", "1:1"] if lower else [])
                result = self.run_quillon(
                    *self.ports(), "write", *texts, *increments, "--count",
                    "4", "--journal", journal, "--resume")
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(self.written(), numbers(3, 4))
                if lower:
                    self.assertEqual([w["track1"] for w in sim.written()],
                                     ["ab0003", "ab0004"])
                lines, _ = self.journal(journal)
                self.assertEqual([(j["card"], j.get("port")) for j in
                                  confirmed(lines)],
                                 [(1, None), (2, None), (3, sim.link),
                                  (4, sim.link)])


if __name__ == "__main__":
    cli.QUILLON, cli.ENCODER_SIM = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0], *sys.argv[3:]], verbosity=2)
