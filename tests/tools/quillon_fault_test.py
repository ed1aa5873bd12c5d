#!/usr/bin/env python3
"""Faults around the quillon program: the line unplugged, an encoder that
babbles, a full disk and signals in every wait.

usage: quillon_fault_test.py QUILLON ENCODER_SIM [unittest arguments]

The simulated encoder's record of written cards and its frame trace are the
judge, as in quillon_cli_test.py, whose helpers this file shares.
"""
import json
import os
import pty
import random
import resource
import signal
import subprocess
import sys
import time
import unittest

import quillon_cli_test as cli
from quillon_cli_test import wait_until, write_frame

READ_ALL = "1B 42 74 1B 6A"
READ_BACK = "1B 5D 1B 6A"
RESET = "1B 30"


def json_lines(data):
    return [json.loads(line) for line in data.splitlines()]


class FaultTest(cli.QuillonTest):
    """A test whose rows each get a simulator of their own."""
    sim_options = ()

    def serve(self, *options, deck=None):
        """Stops the running simulator and starts another on the same link
        and record: the device unplugged and plugged in again, or a new
        device for the next row."""
        self.sim.stop()
        self.sim = cli.Simulator(self.folder, *options, deck=deck)

    def written(self):
        """Track 2 of every card the encoder confirmed, in order."""
        return [w["track2"] for w in self.sim.written() if w["status"] == "p"]

    def journal(self, path):
        with open(path, "rb") as f:
            data = f.read()
        self.assertTrue(data == b"" or data.endswith(b"\n"), data)
        return [(j["card"], j["track2"])
                for j in cli.confirmed(json_lines(data))]

    def fresh(self, name):
        path = self.path(name)
        if os.path.exists(path):
            os.remove(path)
        return path


def numbers(first, last):
    return ["%04d" % n for n in range(first, last + 1)]


class Unplug(FaultTest):
    def test_a_line_fault_mid_batch_keeps_each_number_on_one_card(self):
        with open(self.path("cards.csv"), "w") as f:
            f.write("track2\n" + "\n".join(numbers(1, 4)) + "\n")
        escape_alone = self.path("escape.bin")
        with open(escape_alone, "wb") as f:
            f.write(b"\x1b")
        counted = ["write", "--track2", "0001", "--increment", "2:1",
                   "--count", "4", "--verify", "--journal"]
        from_csv = ["write", "--from", self.path("cards.csv"), "--verify",
                    "--journal"]
        late_answer = self.path("late.faults")
        with open(late_answer, "w") as f:
            f.write("2 late 11500\n")  # card 1's answer, after its wait
        # The frames of a batch: the reset, then a write and a read-back for
        # each card. The line goes at the Nth frame, while it waits.
        def unplug(frames):
            return ["--unplug-after", str(frames)]
        # (arguments, the fault, cards confirmed by the first run, cards
        # in all)
        rows = [
            (["read", "--count", "3", "--format", "json"], unplug(2), 1,
             None),
            (["read", "--count", "3", "--format", "csv"], unplug(3), 2, None),
            (["write", "--track2", "0001"], unplug(2), 0, None),
            (counted, unplug(6), 2, 4),   # in card 3's write
            (counted, unplug(5), 1, 4),   # in card 2's read-back
            (from_csv, unplug(4), 1, 4),  # in card 2's write
            # card 1 written, its status answer cut after ESC: in doubt,
            # so read, not written again, and not given up by --retries 0
            ([*counted, "--retries", "0"], ["--reply", escape_alone], 4, 4),
            # card 1 written, its answer late past the wait: in doubt too,
            # though the encoder then answers the status request at once
            ([*counted, "--retries", "0"], ["--faults", late_answer], 4, 4),
        ]
        deck = [b"|%s|" % n.encode() for n in numbers(1, 9)]
        for args, fault, kept, total in rows:
            with self.subTest(args=args, fault=fault):
                journal = self.fresh("batch.jsonl")
                self.fresh("record.jsonl")
                args = [a.replace("--journal", "--journal=" + journal)
                        for a in args]
                self.serve("--swipe-delay", "300", *fault,
                           deck=deck if args[0] == "read" else None)
                result = self.run_quillon(*args)
                unplugged = fault[0] == "--unplug-after"
                self.assertEqual(result.returncode, 2 if unplugged else 0,
                                 result.stderr)
                if unplugged:
                    self.assertIn(b"the line to the encoder at %s was lost"
                                  % self.sim.link.encode(), result.stderr)
                    self.assertEqual(result.stderr.count(b"quillon:"), 1,
                                     result.stderr)
                    self.assertIn(b"of card %d" % (kept + 1), result.stderr)
                else:
                    self.assertIn(b"card 1 may have been written",
                                  result.stderr)
                if args[0] == "read":
                    rows_out = result.stdout.decode().splitlines()
                    header = 1 if "csv" in args else 0
                    self.assertEqual(len(rows_out) - header, kept)
                    continue
                confirmed = self.written()
                self.assertEqual(confirmed[:kept], numbers(1, kept))
                if total is None:
                    self.assertEqual(confirmed, [])
                    continue
                self.assertEqual(self.journal(journal),
                                 list(enumerate(numbers(1, kept), 1)))

                # The device is back: the batch goes on after the journal.
                self.serve("--swipe-delay", "0")
                result = self.run_quillon(*args, "--resume")
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(self.journal(journal),
                                 list(enumerate(numbers(1, total), 1)))
                # lost in a read-back: written, read blank on the new device
                unconfirmed_write = unplugged and int(fault[1]) % 2 == 1
                expected = numbers(1, total)
                if unconfirmed_write:
                    expected.insert(kept, numbers(kept + 1, kept + 1)[0])
                self.assertEqual(self.written(), expected)


# Random bytes without ESC and 'p': nothing in them can begin a read reply
# or end one as a success by itself, so any card read is the real one.
def babble(size, seed=10):
    rng = random.Random(seed)
    noise = rng.randbytes(size + size // 64)
    return noise.replace(b"\x1b", b"").replace(b"p", b"")[:size]


class Babble(FaultTest):
    CARD = b"REAL CARD|1234|567"

    def test_a_babbling_encoder_never_gives_a_wrong_card(self):
        header, end = b"\x1bs", b"?\x1c\x1brp"
        no_fs = self.path("no_fs.bin")
        with open(no_fs, "wb") as f:
            f.write(header + b"123ABNO FS?\x1brp")
        long = self.path("long.bin")
        with open(long, "wb") as f:
            f.write(header + b"X" * 3990 + end)
        noise = self.path("noise.bin")
        with open(noise, "wb") as f:
            f.write(babble(1 << 20))
        letters = b"r p q|1r2p3q|4r5q"
        # (encoder-sim options, deck card, what the first good read holds)
        rows = [
            (["--reply", noise], self.CARD, self.CARD),
            (["--reply", long], self.CARD, self.CARD),
            (["--byte-gap", "5"], self.CARD, self.CARD),
            (["--byte-gap", "5", "--reply", no_fs], self.CARD, self.CARD),
            ([], letters, letters),
        ]
        for options, card, expected in rows:
            for reply_end in ("complete", "pause"):
                with self.subTest(options=options, reply_end=reply_end):
                    self.serve("--swipe-delay", "0", *options,
                               deck=[card] * 400)
                    result = self.run_quillon("read", "--format", "json",
                                              "--reply-end", reply_end)
                    self.assertEqual(result.returncode, 0, result.stderr)
                    records = json_lines(result.stdout)
                    self.assertEqual([r["status"] for r in records],
                                     ["failed"] * (len(records) - 1) + ["ok"])
                    got = b"|".join(records[-1][t].encode("latin-1") for t in
                                    ("track1", "track2", "track3"))
                    self.assertEqual(got, expected)


class DiskFull(FaultTest):
    """RLIMIT_FSIZE stands for a full disk: a write past it fails (EFBIG)
    once the bytes below it are written. SIGXFSZ is left at its default:
    quillon must not die of it."""
    sim_options = ("--swipe-delay", "0")

    def limited_run(self, limit, *args):
        def limit_file_size():
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
        return subprocess.run([cli.QUILLON, *args], env=self.env, timeout=30,
                              capture_output=True, preexec_fn=limit_file_size)

    def test_a_full_disk_leaves_whole_records_and_names_the_lost_card(self):
        deck = [b"ALICE|1001|", b"BOB|1002|", b"CAROL|1003|", b"DAN|1004|"]
        batch = ["write", "--track2", "0001", "--increment", "2:1",
                 "--count", "4", "--journal"]
        rows = [  # (command, its file, lines before the first card, kind)
            (["read", "--count", "4", "--format", "json", "-o"], 0, "read"),
            (["read", "--count", "4", "--format", "csv", "-o"], 1, "read"),
            (batch, 0, "written"),
        ]
        for args, header, verb in rows:
            with self.subTest(args=args):
                # A run with room shows how long two whole cards are.
                # No deck for the batch: a read passes the card last
                # written, as when the operator passes it again.
                self.serve("--swipe-delay", "0",
                           deck=deck * 2 if verb == "read" else None)
                roomy = self.fresh("roomy")
                self.assertEqual(self.run_quillon(*args, roomy).returncode, 0)
                with open(roomy, "rb") as f:
                    lines = f.read().splitlines(keepends=True)
                # Two cards' records; in the journal also card 3's line
                # saying that it is sent.
                kept = header + 2 if verb == "read" else 5
                limit = len(b"".join(lines[:kept])) + 10  # card 3 cut short

                full = self.fresh("full")
                before = len(self.written())
                result = self.limited_run(limit, *args, full)
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertEqual(result.stderr.count(b"quillon:"), 1,
                                 result.stderr)
                self.assertIn(b"card 3 was %s" % verb.encode(), result.stderr)
                with open(full, "rb") as f:
                    kept = f.read()
                if verb == "read":
                    self.assertEqual(kept.count(b"\n"), header + 2)
                    self.assertTrue(kept.endswith(b"\n"), kept)
                    continue
                self.assertEqual(self.journal(full),
                                 list(enumerate(numbers(1, 2), 1)))
                self.assertEqual(self.written()[before:], numbers(1, 3))
                # With room again, --resume reads card 3, named in the
                # message, instead of writing it again, and goes on.
                result = self.run_quillon(*args, full, "--resume")
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertIn(b"card 3 may have been written", result.stderr)
                self.assertEqual(self.journal(full),
                                 list(enumerate(numbers(1, 4), 1)))
                self.assertEqual(self.written()[before:], numbers(1, 4))


class Signals(FaultTest):
    def setUp(self):
        super().setUp()
        if os.environ.get("QUILLON_TEST_SANITIZED"):
            # LeakSanitizer's scan at exit is no part of the reaction.
            options = os.environ.get("ASAN_OPTIONS", "")
            self.env["ASAN_OPTIONS"] = options + ":detect_leaks=0"

    def swipe(self, cards):
        """Swipes cards by Enter on the simulator's input, each once an
        operation waits for it."""
        def operations():  # each read or write frame waits for a card
            return sum(frame != RESET for frame in self.sim.frames())
        for card in range(cards):
            self.assertTrue(wait_until(lambda: operations() > card))
            self.sim.process.stdin.write(b"\n")
            self.sim.process.stdin.flush()

    def waiting(self, frame, times=1):
        return wait_until(lambda: self.sim.frames().count(frame) >= times)

    def test_a_signal_in_every_wait_resets_and_exits_130(self):
        journal = self.path("batch.jsonl")
        # (signal, arguments, encoder-sim options, cards swiped, the frame
        # waited on and how often it is sent by then)
        rows = []
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            rows += [
                # replies one byte a second: the answer is awaited
                (sig, ["test"], ["--byte-gap", "1000"], 0, "1B 65", 1),
                (sig, ["status"], ["--byte-gap", "1000"], 0, "1B 6A", 1),
                (sig, ["read"], [], 0, READ_ALL, 1),
                (sig, ["write", "--track2", "1"], [], 0, write_frame(b"1"), 1),
                (sig, ["write", "--track2", "1", "--verify"], [], 1,
                 READ_BACK, 1),
                # a changed card: the retry waits for a new one
                (sig, ["write", "--track2", "1", "--verify"],
                 ["--corrupt-write", "1"], 2, write_frame(b"1"), 2),
                (sig, ["write", "--track2", "01", "--increment", "2:1",
                       "--count", "3", "--journal", journal], [], 2,
                 write_frame(b"03"), 1),
            ]
        for sig, args, options, swipes, waited_on, times in rows:
            with self.subTest(signal=sig.name, args=args, options=options):
                if os.path.exists(journal):
                    os.remove(journal)
                self.serve(*options)
                quillon = self.start_quillon(*args)
                self.swipe(swipes)
                self.assertTrue(self.waiting(waited_on, times),
                                self.sim.trace_lines())
                time.sleep(0.05)  # well inside the wait
                sent = time.monotonic()
                quillon.send_signal(sig)
                _, err = quillon.communicate(timeout=5)
                self.assertEqual(quillon.returncode, 130, err)
                # Promptly: not at the end of a wait of 11 s, or a second.
                self.assertLess(time.monotonic() - sent, 0.9)
                # Only the retry's own report comes before the one message.
                self.assertEqual(err.count(b"quillon:"),
                                 3 if "--corrupt-write" in options else 1,
                                 err)
                last = err.splitlines()[-1]
                self.assertIn(b"interrupted; the encoder at %s was reset"
                              % self.sim.link.encode(), last)
                # A card the encoder may have written is named.
                self.assertEqual(b"may have been written" in last,
                                 args[0] == "write", err)
                self.assertTrue(wait_until(
                    lambda: self.sim.frames()[-1] == RESET, 1))
                if "--journal" in args:
                    self.assertEqual(self.journal(journal),
                                     [(1, "01"), (2, "02")])

    def test_a_signal_before_the_port_is_open_sends_nothing(self):
        commands = [["read"], ["write", "--track2", "1"], ["test"],
                    ["status"], ["reset"], ["erase"], ["coercivity", "low"],
                    ["density", "75"]]
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            def pending():
                signal.pthread_sigmask(signal.SIG_BLOCK, [sig])
                os.kill(os.getpid(), sig)
            for args in commands:
                with self.subTest(signal=sig.name, args=args):
                    result = subprocess.run(
                        [cli.QUILLON, *args], env=self.env, timeout=10,
                        capture_output=True, preexec_fn=pending)
                    self.assertEqual(result.returncode, 130, result.stderr)
        time.sleep(0.1)
        self.assertEqual(self.sim.frames(), [])

    def test_the_terminal_going_away_ends_a_batch_as_sigterm_does(self):
        journal = self.path("batch.jsonl")
        pid, terminal = pty.fork()
        if pid == 0:
            os.execve(cli.QUILLON, [cli.QUILLON, "write", "--track2", "01",
                                    "--increment", "2:1", "--count", "3",
                                    "--journal", journal], self.env)
        try:
            self.swipe(2)
            self.assertTrue(self.waiting(write_frame(b"03")))
            os.read(terminal, 4096)  # what it showed: it is on the terminal
        finally:
            os.close(terminal)  # the terminal goes away: SIGHUP
        deadline = time.monotonic() + 5
        done, status = os.waitpid(pid, os.WNOHANG)
        while not done and time.monotonic() < deadline:
            time.sleep(0.01)
            done, status = os.waitpid(pid, os.WNOHANG)
        if not done:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            self.fail("quillon went on without its terminal")
        self.assertEqual(os.waitstatus_to_exitcode(status), 130)
        self.assertTrue(wait_until(lambda: self.sim.frames()[-1] == RESET, 1))
        self.assertEqual(self.journal(journal), [(1, "01"), (2, "02")])


if __name__ == "__main__":
    cli.QUILLON, cli.ENCODER_SIM = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0], *sys.argv[3:]], verbosity=2)
