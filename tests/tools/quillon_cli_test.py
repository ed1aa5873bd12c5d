#!/usr/bin/env python3
"""The quillon program against the encoder-sim program, both as processes.

usage: quillon_cli_test.py QUILLON ENCODER_SIM [unittest arguments]

The simulated encoder's frame trace (--verbose) and its written-card record
(--record) are the judge of what quillon sent and wrote.
"""
import csv
import fcntl
import grp
import io
import json
import os
import pty
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import time
import unittest

QUILLON = ""
ENCODER_SIM = ""


def latin1(text):
    """Card bytes from text whose characters are bytes (U+0000..U+00FF)."""
    return text.encode("latin-1")


def wait_until(condition, timeout=5.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if condition():
            return True
        time.sleep(0.005)
    return condition()


class Simulator:
    """An encoder-sim process on a link in a folder of its own."""

    def __init__(self, folder, *options, deck=None):
        self.link = os.path.join(folder, "encoder")
        self.record = os.path.join(folder, "record.jsonl")
        self.trace_path = os.path.join(folder, "sim.err")
        self.trace = open(self.trace_path, "wb")
        command = [ENCODER_SIM, "--link", self.link, "--verbose",
                   "--record", self.record, *options]
        if deck is not None:
            deck_path = os.path.join(folder, "deck.txt")
            with open(deck_path, "wb") as f:
                f.write(b"\n".join(deck) + b"\n")
            command += ["--deck", deck_path]
        # A pipe as stdin: without --swipe-delay nothing swipes a card.
        self.process = subprocess.Popen(command, stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE,
                                        stderr=self.trace)
        self.process.stdout.readline()  # the line's path: it is serving

    def stop(self):
        self.process.send_signal(signal.SIGINT)
        self.process.wait(5)
        self.process.stdin.close()
        self.process.stdout.close()
        self.trace.close()

    def trace_lines(self):
        # Opened afresh: a seek on self.trace would move the offset that
        # the simulator writes at, as both share one open file.
        with open(self.trace_path, "rb") as f:
            return f.read().splitlines()

    def frames(self):
        """Frames received so far, as hex strings ("1B 65")."""
        return [line[3:].strip().decode() for line in self.trace_lines()
                if line.startswith(b"<- ")]

    def written(self):
        if not os.path.exists(self.record):
            return []
        with open(self.record, encoding="utf-8") as f:
            return [json.loads(line) for line in f]


class QuillonTest(unittest.TestCase):
    sim_options = ("--swipe-delay", "0")
    deck = None

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="quillon_cli_")
        self.sim = Simulator(self.folder, *self.sim_options, deck=self.deck)
        self.env = dict(os.environ, QUILLON_PORT=self.sim.link)

    def tearDown(self):
        self.sim.stop()

    def path(self, name):
        return os.path.join(self.folder, name)

    def run_quillon(self, *args, timeout=30):
        return subprocess.run([QUILLON, *args], env=self.env, timeout=timeout,
                              capture_output=True)

    def start_quillon(self, *args):
        return subprocess.Popen([QUILLON, *args], env=self.env,
                                stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)

    def frames_after(self, before, count):
        wait_until(lambda: len(self.sim.frames()) >= before + count, 2)
        return self.sim.frames()[before:]


def confirmed(lines):
    """The journal lines that confirm a card (the others have a state)."""
    return [line for line in lines if "state" not in line]


def write_frame(block):
    return "1B 74 " + " ".join("%02X" % b for b in block) + " 1D 1B 5C 1B 6A"


class Frames(QuillonTest):
    deck = [b"one|22|333"] * 7  # one for each erase and read below

    def test_every_subcommand_sends_its_frames(self):
        # A header as spreadsheets save it: a byte-order mark, spaces
        # around names and capitals.
        with open(self.path("sheet.csv"), "wb") as f:
            f.write(b"\xef\xbb\xbftrack1, Track2 ,note\r\nHi,42,x\r\n")
        rows = [
            (["test"], ["1B 65"]),
            (["status"], ["1B 6A"]),
            (["reset"], ["1B 30"]),
            (["erase"], ["1B 63 07"]),
            (["erase", "--tracks", "1"], ["1B 63 01"]),
            (["erase", "--tracks", "3,1"], ["1B 63 05"]),
            (["erase", "--tracks", "1,2"], ["1B 63 04"]),
            (["coercivity", "high"], ["1B 78"]),
            (["coercivity", "low"], ["1B 79"]),
            (["density", "75"], ["1B 4C"]),
            (["density", "210"], ["1B 48"]),
            (["read", "--tracks", "2"], ["1B 5D 1B 6A"]),
            (["read"], ["1B 42 74 1B 6A"]),
            (["read", "--tracks", "1,2"], ["1B 42 54 1B 6A"]),
            (["write", "--track1", "AB", "--track3", "45"],
             ["1B 30", write_frame(b"A45BAB")]),
            # Track 1 upper-cased, as the operator's program writes it.
            (["write", "--track1", "ab", "--track3", "45"],
             ["1B 30", write_frame(b"A45BAB")]),
            (["write", "--keep-case", "--track1", "ab", "--track3", "45"],
             ["1B 30", write_frame(b"A45Bab")]),
            (["write", "--density", "75", "--track2", "12"],
             ["1B 4C", "1B 30", write_frame(b"12")]),
            (["write", "--track2", "12", "--verify"],
             ["1B 30", write_frame(b"12"), "1B 5D 1B 6A"]),
            (["write", "--from", self.path("sheet.csv")],
             ["1B 30", write_frame(b"42BHI")]),  # track 1 upper-cased
            (["--port", "/dev/null", "read"], []),  # not a serial device
        ]
        for args, expected in rows:
            with self.subTest(args=args):
                before = len(self.sim.frames())
                result = self.run_quillon(*args)
                self.assertEqual(result.returncode, 0 if expected else 2,
                                 result.stderr)
                self.assertEqual(self.frames_after(before, len(expected)),
                                 expected)

    def test_verbose_shows_frames_and_replies_in_hex(self):
        result = self.run_quillon("status", "--verbose")  # after, too
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, b"-> 1B 6A\n<- 1B 72 70\n")

    def test_ports_lists_the_line_as_its_com_port(self):
        self.env["ENCODER_COM7"] = self.sim.link
        result = self.run_quillon("ports")
        self.assertEqual(result.returncode, 0, result.stderr)
        line = [l for l in result.stdout.decode().splitlines()
                if l.startswith(os.path.realpath(self.sim.link))]
        self.assertEqual(len(line), 1, result.stdout)
        self.assertEqual(line[0].split()[1:], ["COM7", "yes"])
        # $QUILLON_PORT's ports, by the names given, missing ones too.
        self.assertIn(b"  = %s  ($QUILLON_PORT)\n" % self.sim.link.encode(),
                      result.stdout)
        gone = self.path("gone")
        self.env["QUILLON_PORT"] += "," + gone
        result = self.run_quillon("ports", "--format", "json")
        self.assertEqual(result.returncode, 0, result.stderr)
        devices = {d["device"]: d for d in
                   map(json.loads, result.stdout.splitlines())}
        line = devices[os.path.realpath(self.sim.link)]
        self.assertEqual((line["com"], line["names"], line["quillon_port"],
                          line["may_open"]),
                         (["COM7"], [self.sim.link], self.sim.link, True))
        self.assertEqual((devices[gone]["present"],
                          devices[gone]["quillon_port"]), (False, gone))


# Track texts with quotes, commas, control and non-ASCII bytes.
ODD_CARD = (latin1('He said "hi", B\xe9\x01'), latin1('12,"3=\xff'),
            latin1('4;"5",6|x'))


class ReadFormats(QuillonTest):
    deck = [b"|".join(ODD_CARD)] * 2 + [b"", b"", b"one|22|333"]

    def test_json_and_csv_keep_every_byte_and_csv_writes_back(self):
        result = self.run_quillon("read", "--format", "json")
        self.assertEqual(result.returncode, 0, result.stderr)
        card = json.loads(result.stdout)
        self.assertEqual((card["seq"], card["status"]), (1, "ok"))
        self.assertEqual(tuple(latin1(card[t]) for t in
                               ("track1", "track2", "track3")), ODD_CARD)
        self.assertTrue(result.stdout.isascii())

        out = self.path("cards.csv")
        result = self.run_quillon("read", "--format", "csv", "-o", out)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(out, newline="", encoding="utf-8") as f:
            rows = list(csv.DictReader(f))
        self.assertEqual(len(rows), 1)
        self.assertEqual(tuple(latin1(rows[0][t]) for t in
                               ("track1", "track2", "track3")), ODD_CARD)

        result = self.run_quillon("write", "--from", out, "--verify",
                                  "--keep-case")
        self.assertEqual(result.returncode, 0, result.stderr)
        written = self.sim.written()[-1]
        self.assertEqual(tuple(latin1(written[t]) for t in
                               ("track1", "track2", "track3")), ODD_CARD)

    def test_a_failed_read_is_reported_and_the_card_asked_for_again(self):
        self.run_quillon("read", "--count", "2")  # the two odd cards
        # --retries means what it means for write: 0 is no second try.
        result = self.run_quillon("read", "--retries", "0")
        self.assertEqual(result.returncode, 3, result.stderr)
        self.assertIn(b"card 1 at %s failed 1 time in a row"
                      % self.sim.link.encode(), result.stderr)
        result = self.run_quillon("read", "--format", "json")
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = [json.loads(l) for l in result.stdout.splitlines()]
        self.assertEqual([(l["seq"], l["status"]) for l in lines],
                         [(1, "failed"), (1, "ok")])
        self.assertEqual(lines[1]["track2"], "22")
        self.assertIn(b"read failed 1 time in a row (no data on the card: "
                      b"a blank card, or swiped the wrong way)", result.stderr)


class Batches(QuillonTest):
    sim_options = ("--swipe-delay", "0", "--corrupt-write", "23")

    def batch(self, journal, *extra, count=20):
        return self.run_quillon("write", "--track2", "0000000001",
                                "--increment", "2:1", "--count", str(count),
                                "--verify", "--journal", journal, *extra)

    def journal(self, name):
        with open(self.path(name), encoding="utf-8") as f:
            return confirmed(json.loads(line) for line in f)

    def test_numbered_batch_then_a_mismatch_retried_and_not_journalled(self):
        result = self.batch(self.path("a.jsonl"))
        self.assertEqual(result.returncode, 0, result.stderr)
        numbers = ["%010d" % n for n in range(1, 21)]
        self.assertEqual([w["track2"] for w in self.sim.written()], numbers)
        self.assertTrue(all(w["status"] == "p" for w in self.sim.written()))
        self.assertEqual([j["track2"] for j in self.journal("a.jsonl")],
                         numbers)

        # The simulator changes its 23rd write: card 3 of the next batch.
        result = self.batch(self.path("b.jsonl"), count=4)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn(b"card 3 at %s: read back track 2"
                      % self.sim.link.encode(), result.stderr)
        written = [w["track2"] for w in self.sim.written()[20:]]
        self.assertEqual(written, numbers[:2] + ["0000000000"] + numbers[2:4])
        self.assertEqual([(j["card"], j["track2"])
                          for j in self.journal("b.jsonl")],
                         list(enumerate(numbers[:4], 1)))

    def test_a_card_failing_past_the_retries_stops_the_batch(self):
        for _ in range(21):  # the 23rd write (card 2) is the one changed
            self.run_quillon("write", "--track2", "5")
        result = self.batch(self.path("c.jsonl"), "--retries", "0", count=3)
        self.assertEqual(result.returncode, 3, result.stderr)
        self.assertIn(b"card 2 failed 1 time; the batch stopped",
                      result.stderr)
        self.assertEqual([j["card"] for j in self.journal("c.jsonl")], [1])


class Interruption(QuillonTest):
    sim_options = ()  # nothing swipes: every read or write waits

    def test_a_signal_ends_the_wait_resets_and_exits_130(self):
        rows = [(signal.SIGINT, ["read"], "1B 42 74 1B 6A"),
                (signal.SIGTERM, ["read", "--format", "csv"],
                 "1B 42 74 1B 6A"),
                (signal.SIGINT, ["write", "--track2", "1"], write_frame(b"1")),
                (signal.SIGINT, ["--reply-end", "pause", "read"],
                 "1B 42 74 1B 6A")]
        if os.environ.get("QUILLON_TEST_SANITIZED"):
            # LeakSanitizer's scan at exit takes about 40 ms here, which
            # is no part of the program's reaction. The interrupted holder
            # in PortErrors is still checked for leaks.
            options = os.environ.get("ASAN_OPTIONS", "")
            self.env["ASAN_OPTIONS"] = options + ":detect_leaks=0"
        for sig, args, waiting_on in rows:
            with self.subTest(args=args, signal=sig):
                before = len(self.sim.frames())
                quillon = self.start_quillon(*args)
                self.assertTrue(wait_until(
                    lambda: waiting_on in self.sim.frames()[before:]))
                time.sleep(0.05)  # well inside the wait
                sent = time.monotonic()
                quillon.send_signal(sig)
                quillon.wait(5)
                took = time.monotonic() - sent
                quillon.stdout.close()
                err = quillon.stderr.read()
                quillon.stderr.close()
                self.assertEqual(quillon.returncode, 130)
                self.assertIn(b"interrupted; the encoder at %s was reset"
                              % self.sim.link.encode(), err)
                self.assertLess(took, 0.1)
                frames = self.sim.frames
                wait_until(lambda: frames()[-1] == "1B 30", 1)
                after = frames()[frames().index(waiting_on, before):]
                self.assertEqual(after, [waiting_on, "1B 30"])


    def test_a_read_stops_after_its_idle_time_without_a_card(self):
        link = self.sim.link.encode()
        blank = b"no data on the card: a blank card, or swiped the wrong way"
        # (simulator options, its deck, arguments, exit code, the last
        # message's words, the least and most seconds it takes; a
        # signal's delay: the read goes on until then)
        rows = [
            ((), None, ["read", "--idle", "1"], 3,
             [b"quillon: no card read at %s for 1 second (--idle 1); "
              b"stopped\n" % link], 1, 2, None),
            (("--swipe-delay", "100"), [b""] * 40,
             ["read", "--idle", "1", "--count", "2"], 3,
             [b"; stopped; the last ", b" reads failed (%s)\n" % blank],
             1, 2, None),
            ((), None, ["read", "--continuous", "--idle", "1"], 3,
             [b"for 1 second (--idle 1); stopped\n"], 1, 2, None),
            # Each card read starts the idle time anew.
            (("--swipe-delay", "600"), [b"one|22|333"] * 3,
             ["read", "--idle", "1", "--count", "3"], 0, [], 1.5, 4, None),
            ((), None, ["read", "--idle", "0"], 130,
             [b"interrupted; the encoder at %s was reset" % link], 1.5, 3,
             1.5),
        ]
        for options, deck, args, code, words, least, most, signal_at in rows:
            with self.subTest(args=args, options=options):
                self.sim.stop()
                self.sim = Simulator(self.folder, *options, deck=deck)
                started = time.monotonic()
                quillon = self.start_quillon(*args)
                if signal_at is not None:
                    time.sleep(signal_at)
                    quillon.send_signal(signal.SIGINT)
                _, err = quillon.communicate(timeout=10)
                took = time.monotonic() - started
                self.assertEqual(quillon.returncode, code, err)
                for word in words:
                    self.assertIn(word, err.splitlines(keepends=True)[-1])
                self.assertTrue(least <= took < most, took)
                if code != 0:  # the read waiting was ended
                    self.assertTrue(wait_until(
                        lambda: self.sim.frames()[-1:] == ["1B 30"], 1))


class Resume(QuillonTest):
    sim_options = ("--swipe-delay", "400")

    def test_kill_9_mid_batch_then_resume_writes_each_number_once(self):
        journal = self.path("batch.jsonl")
        args = ["write", "--track2", "N001", "--increment", "2:1",
                "--count", "6", "--journal", journal]
        first = self.start_quillon(*args)

        def journalled():
            if not os.path.exists(journal):
                return 0
            with open(journal, "rb") as f:
                return len(confirmed(json.loads(line)
                                     for line in f.read().splitlines()))
        self.assertTrue(wait_until(lambda: journalled() >= 2, 10))
        first.kill()
        first.wait()
        first.stdout.close()
        first.stderr.close()
        result = self.run_quillon(*args, "--resume")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(sorted(w["track2"] for w in self.sim.written()),
                         ["N%03d" % n for n in range(1, 7)])
        self.assertEqual(journalled(), 6)
        done = self.run_quillon(*args, "--resume")
        self.assertEqual((done.returncode, len(self.sim.written())), (0, 6))


class BadInput(QuillonTest):
    def test_bad_input_exits_1_and_sends_nothing(self):
        with open(self.path("short.csv"), "w") as f:
            f.write("track1,track2\nA,1\nB\n")
        with open(self.path("quote.csv"), "w") as f:
            f.write('track2,track1\n1,ok\n2,"open\n')
        with open(self.path("stray.csv"), "w") as f:
            f.write('track2\n1\n2"2\n')
        with open(self.path("twice.csv"), "w") as f:
            f.write("track2,TRACK2\n1,2\n")
        with open(self.path("no_track.csv"), "w") as f:
            f.write("seq,time,status\n1,now,ok\n")
        with open(self.path("qmark.csv"), "w") as f:
            f.write("track1,track2\nok,1\nA?B,2\n")
        with open(self.path("long.csv"), "w") as f:
            f.write("track2\n" + "1" * 105 + "\n")
        with open(self.path("other.jsonl"), "w") as f:
            f.write('{"card":1,"track2":"7"}\n')
        rows = [
            (["write", "--track4", "1"], b"--track4"),
            (["erase", "--tracks", "4"], b"--tracks"),
            (["read", "--tracks", "1,3"], b"without track 2"),
            (["read", "--tracks", "2,2"], b"each once"),
            # The operator's program's limits, and the encoder's own.
            (["write", "--track1", "x" * 77],
             b"track 1 text has 77 characters, more than 76 "
             b"(--no-track-limits allows"),
            (["write", "--track2", "1" * 105], b"more than 104"),
            (["write", "--track3", "1" * 105], b"more than 104"),
            (["write", "--density", "75", "--track2", "1" * 38],
             b"more than 37 (track 2 at 75 BPI holds 37;"),
            (["write", "--from", self.path("long.csv")],
             b"long.csv line 2 (card 1): track 2 text has 105 characters, "
             b"more than 104"),
            (["write", "--no-track-limits", "--track1", "x" * 200],
             b"more than 199"),
            (["write", "--no-track-limits", "--track2", "1" * 130],
             b"more than 129"),
            (["write", "--no-track-limits", "--track3", "1" * 150],
             b"more than 149"),
            (["write", "--from", self.path("qmark.csv")],
             b"qmark.csv line 3 (card 2): track 1 text holds '?'"),
            (["write", "--track2", "12A"], b"separates tracks"),
            (["write", "--track1", "a?b"], b"ends the track data"),
            (["write", "--track2", "\u0100"], b"not one byte"),
            (["write", "--from", self.path("short.csv")],
             b"line 3: 1 column where the header has 2"),
            (["write", "--from", self.path("quote.csv")],
             b"line 3: bad quoting"),
            (["write", "--from", self.path("stray.csv")],
             b"line 3: bad quoting"),
            (["write", "--from", self.path("missing.csv")],
             b"missing.csv: no such file"),
            (["write", "--from", self.path("twice.csv")],
             b"names track 2 twice"),
            (["write", "--from", self.path("no_track.csv")],
             b"names no column track1, track2 or track3"),
            (["write", "--track2", "1", "--count", "0"], b"at least 1"),
            (["read", "--count", "0"], b'--count must be at least 1, not "0"'),
            (["read", "--count", "many"],
             b'--count takes a whole number, not "many"'),
            (["read", "--count"], b"--count needs a value"),
            (["read", "--retries", "x"],
             b'--retries takes a whole number, not "x"'),
            (["read", "--format", "xml"],
             b'--format takes text, json or csv, not "xml"'),
            (["--reply-end", "soon", "test"],
             b'--reply-end takes complete or pause, not "soon"'),
            (["write", "--track2", "1", "--increment", "2:x"], b"TRACK:STEP"),
            (["write", "--track2", "1", "--increment", "2:1.5"],
             b"TRACK:STEP"),
            (["write", "--track2", "1", "--increment", "2:9999999999"],
             b"TRACK:STEP"),
            (["write", "--track2", "1", "--increment", "1:1"], b"track 1"),
            (["write", "--track2", "X", "--increment", "2:1", "--count", "2"],
             b"does not end in a digit"),
            (["write", "--track2", "1", "--increment", "2:-1", "--count",
              "3"], b"below zero"),
            (["write", "--track2", "9", "--increment", "2:1", "--count",
              "2", "--journal", self.path("other.jsonl"), "--resume"],
             b"does not belong"),
            (["write", "--track2", "7", "--journal",
              self.path("other.jsonl")], b"--resume"),
            (["write", "--track2", "1", "--resume"], b"--journal"),
            (["write", "--track2", "1", "--journal", "/dev/null"],
             b"/dev/null is not a regular file"),
            (["--baud", "0", "test"], b'--baud must be at least 1, not "0"'),
            (["--port", "COM0", "test"], b"--port"),
            (["coercivity", "medium"],
             b'coercivity takes high or low, not "medium"'),
            (["coercivity"], b"coercivity needs high or low"),
            (["density", "100"], b'density takes 75 or 210, not "100"'),
            ([], b"a subcommand is required"),
            (["frob"], b'unknown subcommand "frob"'),
            (["tets"], b'(one of ports, test, '),
            (["tets"], b'; did you mean "test"?'),
            (["queue"], b"queue needs a subcommand: init, load, status, "),
            (["queue"], b" show or export (quillon queue --help)"),
            (["queue", "iniit"], b'unknown subcommand "iniit" of queue (one '
             b'of init, load, '),
            (["queue", "iniit"], b'; did you mean "init"?'),
            (["read", "--idle", "-1"], b'--idle must be at least 0, not "-1"'),
            (["ports", "--format", "xml"], b'--format takes text or json'),
            (["write", "--track2", "1", "--format", "csv"],
             b'--format takes text or json'),
            (["--frob", "test"], b'unknown option "--frob"'),
            (["test", "now"], b'unexpected argument "now"'),
            (["--port", "COM9", "test"], b'ENCODER_COM9 is "rel"'),
        ]
        self.env["ENCODER_COM9"] = "rel"
        for args, message in rows:
            with self.subTest(args=args):
                result = self.run_quillon(*args)
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertEqual(result.stdout, b"")
                self.assertTrue(result.stderr.startswith(b"quillon: "),
                                result.stderr)
                self.assertIn(message, result.stderr)
        time.sleep(0.1)
        self.assertEqual(self.sim.frames(), [])


class Help(QuillonTest):
    def test_help_shows_the_subcommand_its_globals_and_its_example(self):
        # (arguments; texts shown; texts not shown)
        rows = [
            (["-V"], [b"quillon 1.1.0\n"], []),
            (["--help"], [b"Exit status:", b"quillon write --from"], []),
            (["read", "--help"],
             [b"--count", b"Global options:", b"--port",
              b"quillon read --count 10"],
             [b"Exit status:", b"quillon write", b"(default 1)"]),
            (["write", "--help"], [b"--retries", b"Global options:"],
             [b"INT=0", b"quillon read", b"Exit status:"]),
            (["density", "--help"], [b"quillon density 75"],
             [b"=210"]),
            (["queue", "--help"],
             [b"Subcommands:\n  init ", b"\n  settle "], []),
            (["read", "--help"], [b"--idle INT=20"], []),
        ]
        for args, shown, not_shown in rows:
            with self.subTest(args=args):
                result = self.run_quillon(*args)
                self.assertEqual(result.returncode, 0, result.stderr)
                for text in shown:
                    self.assertIn(text, result.stdout)
                for text in not_shown:
                    self.assertNotIn(text, result.stdout)


def screen_lines(data):
    """The lines a terminal shows for output with CR and erase-line."""
    lines, line, column = [], [], 0
    for part in re.split(rb"(\r|\n|\x1b\[K)", data):
        if part == b"\r":
            column = 0
        elif part == b"\n":
            lines.append(bytes(line))
            line, column = [], 0
        elif part == b"\x1b[K":
            del line[column:]
        else:
            for byte in part:
                if column < len(line):
                    line[column] = byte
                else:
                    line.append(byte)
                column += 1
    if line:
        lines.append(bytes(line))
    return lines


class Outputs(QuillonTest):
    deck = [b"one|%02d|" % n for n in range(1, 7)]

    def test_a_closed_pipe_ends_quietly_as_sigpipe_does(self):
        journal = self.path("batch.jsonl")
        # Commands that would not end by themselves while the test reads:
        # only the closed pipe ends them. Once the batch has written cards,
        # every read gets the card last written.
        rows = [["write", "--track2", "01", "--increment", "2:1", "--count",
                 "90000", "--journal", journal],
                ["read", "--continuous"],
                ["read", "--continuous", "--format", "json"]]
        for args in rows:
            with self.subTest(args=args):
                quillon = self.start_quillon(*args)
                quillon.stdout.readline()
                quillon.stdout.close()  # as head -1 does
                quillon.wait(10)
                err = quillon.stderr.read()
                quillon.stderr.close()
                self.assertEqual(quillon.returncode, -signal.SIGPIPE, err)
                self.assertEqual(err, b"")
        with open(journal, "rb") as f:
            lines = f.read().splitlines(keepends=True)
        self.assertTrue(all(line.endswith(b"\n") for line in lines))
        cards = [j["card"] for j in confirmed(map(json.loads, lines))]
        self.assertEqual(cards, list(range(1, len(cards) + 1)))

    def test_progress_is_one_line_and_each_card_is_shown_once(self):
        write = ["write", "--track2", "01", "--increment", "2:1", "--count",
                 "3"]
        read = ["read", "--count", "3", "--tracks", "2"]
        # (arguments, stdout on the terminal too; the terminal's lines)
        rows = [
            (write, True, [b"card %d written  track2=%02d" % (n, n)
                           for n in (1, 2, 3)]),
            (read, True, [b"card %d  track2=%02d" % (n, n)
                          for n in (1, 2, 3)]),
            (write, False, [b"card 3 of 3 written, track 2 03"]),
            (read, False, [b"card 3 of 3 read"]),
        ]
        for args, same_terminal, shown in rows:
            with self.subTest(args=args, same_terminal=same_terminal):
                self.sim.stop()
                self.sim = Simulator(self.folder, *self.sim_options,
                                     deck=[b"one|%02d|" % n
                                           for n in (1, 2, 3)])
                master, slave = pty.openpty()
                quillon = subprocess.Popen(
                    [QUILLON, *args], env=self.env, stderr=slave,
                    stdout=slave if same_terminal else subprocess.PIPE)
                os.close(slave)
                data = b""
                while True:
                    try:
                        chunk = os.read(master, 4096)
                    except OSError:  # the terminal's last user is gone
                        break
                    if not chunk:
                        break
                    data += chunk
                os.close(master)
                out, _ = quillon.communicate(timeout=10)
                self.assertEqual(quillon.returncode, 0, data)
                lines = [line.split(b", 0.")[0]  # the seconds per card
                         for line in screen_lines(data.replace(b"\r\n",
                                                               b"\n"))]
                self.assertEqual(lines, shown, data)
                self.assertIn(b"\r\x1b[K", data)  # updated in place
                if not same_terminal:
                    self.assertEqual(len(out.splitlines()), 3, out)


    def test_write_prints_a_json_line_for_each_card(self):
        self.sim.stop()  # no deck: a card is read back as written
        self.sim = Simulator(self.folder, *self.sim_options)
        link = self.sim.link
        # (options, how each card was confirmed)
        rows = [([], "answer"), (["--verify"], "read-back"),
                (["--quiet"], "answer")]
        for options, how in rows:
            with self.subTest(options=options):
                result = self.run_quillon(
                    "write", "--track1", "ab", "--track2", "01",
                    "--increment", "2:1", "--count", "2", "--format",
                    "json", *options)
                self.assertEqual(result.returncode, 0, result.stderr)
                records = [json.loads(line)
                           for line in result.stdout.splitlines()]
                self.assertEqual(
                    [(r["card"], r["port"], r["confirmed_by"], r["track1"],
                      r["track2"]) for r in records],
                    [(1, link, how, "AB", "01"), (2, link, how, "AB", "02")])

    def test_the_progress_line_fits_the_terminal_keeping_the_rate(self):
        ports = []
        for i in range(2):
            folder = self.path("e%d" % i)
            os.mkdir(folder)
            sim = Simulator(folder, "--swipe-delay", "20")
            self.addCleanup(sim.stop)
            # A by-id name: its serial number tells the encoders apart.
            link = self.path("usb-FTDI_FT232R_USB_UART_A5028%d-if00-port0"
                             % i)
            os.symlink(sim.link, link)
            ports += ["--port", link]
        master, slave = pty.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ,
                    struct.pack("HHHH", 24, 60, 0, 0))
        quillon = subprocess.Popen(
            [QUILLON, *ports, "write", "--track2", "01", "--increment",
             "2:1", "--count", "8"], env=self.env, stderr=slave,
            stdout=subprocess.PIPE)
        os.close(slave)
        data = b""
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:
                break
            if not chunk:
                break
            data += chunk
        os.close(master)
        quillon.communicate(timeout=10)
        self.assertEqual(quillon.returncode, 0, data)
        drawn = [part.split(b"\r")[0].split(b"\n")[0]
                 for part in data.split(b"\r\x1b[K")[1:]]
        drawn = [line for line in drawn if line]
        self.assertTrue(drawn, data)
        for line in drawn:
            self.assertLess(len(line), 60, line)
            self.assertRegex(line, rb"; \d+ of 8, \d+ cards/min$")
        self.assertTrue(any(b"A50280 " in line and b"A50281 " in line
                            for line in drawn), drawn)


class PortErrors(QuillonTest):
    sim_options = ()

    def test_missing_and_busy_ports_exit_2_and_say_which(self):
        result = self.run_quillon("test", "--port", self.path("gone"))
        self.assertEqual(result.returncode, 2)
        self.assertIn(b"no such device", result.stderr)

        # Keeps the port and the journal while it waits for its card.
        journal = self.path("batch.jsonl")
        holder = self.start_quillon("write", "--track2", "1", "--journal",
                                    journal)
        self.assertTrue(wait_until(lambda: len(self.sim.frames()) == 2))
        second = self.run_quillon("write", "--track2", "2", "--port",
                                  self.path("other"), "--journal", journal)
        result = self.run_quillon("test")
        holder.send_signal(signal.SIGINT)
        holder.wait(5)
        holder.stdout.close()
        holder.stderr.close()
        self.assertEqual(holder.returncode, 130)
        self.assertEqual(result.returncode, 2)
        self.assertIn(b"in use", result.stderr)
        self.assertEqual(second.returncode, 1, second.stderr)
        self.assertIn(b"the journal %s is in use by another program"
                      % journal.encode(), second.stderr)


    def test_every_message_about_the_encoder_names_its_port(self):
        garbled, failed = self.path("garbled.bin"), self.path("failed.bin")
        with open(garbled, "wb") as f:
            f.write(b"\x1bz")
        with open(failed, "wb") as f:
            f.write(b"\x1brq")
        at = b" at " + self.sim.link.encode()
        # (the reply, arguments, exit code, the message)
        rows = [
            (failed, ["test"], 3,
             b"the encoder%s reported failure for the line test" % at),
            (garbled, ["status"], 3, b"no whole answer from the "
             b"encoder%s to the status request (cut short or garbled)" % at),
        ]
        for reply, args, code, message in rows:
            with self.subTest(args=args):
                self.sim.stop()
                self.sim = Simulator(self.folder, "--reply", reply)
                result = self.run_quillon(*args)
                self.assertEqual(result.returncode, code, result.stderr)
                self.assertEqual(result.stderr, b"quillon: %s\n" % message)


class CardFiles(QuillonTest):
    deck = [b"one|22|333"] * 4

    def test_card_files_are_private_and_untouched_until_the_encoder_answers(
            self):
        note = b"Ask the bank whether the new cards need a PIN or a code."
        torn = (b'{"card":1,"time":"2026-01-01T00:00:00.000Z","track2":"01"}'
                b'\n{"card":2,"ti')
        resume = ["write", "--track2", "01", "--increment", "2:1", "--count",
                  "2", "--resume", "--journal"]
        one = ["write", "--track2", "1", "--journal"]
        # (the file before: its bytes or None, its mode; the arguments, the
        # file last; the exit code; the file after: how it begins (None: as
        # before), its mode; [its owner before])
        rows = [
            (None, 0, ["read", "--format", "csv", "-o"], 0, b"seq,", 0o600),
            (b"cards\n", 0o644, ["read", "-o"], 0, b"card 1 ", 0o600),
            (b"cards\n", 0o644, ["--port", "/dev/null", "read", "-o"], 2,
             None, 0o644),
            (b"", 0o644, one, 0, b'{"card":1,', 0o600),
            (note, 0o644, one, 1, None, 0o644),
            (torn, 0o644, ["--port", "/dev/null", *resume], 2, None, 0o644),
            (torn, 0o644, resume, 0, torn[:torn.index(b"\n") + 1] +
             b'{"card":2,', 0o600),
        ]
        if os.geteuid() == 0:  # only root gives a file to another user
            rows += [(b"cards\n", 0o644, ["read", "-o"], 1, None, 0o644,
                      65534),
                     (b"", 0o600, one, 1, None, 0o600, 65534)]
        for before, mode, args, code, after, mode_after, *owner in rows:
            with self.subTest(before=before, args=args):
                path = self.path("cards")
                if os.path.exists(path):
                    os.remove(path)
                if before is not None:
                    with open(path, "wb") as f:
                        f.write(before)
                    os.chmod(path, mode)
                    if owner:
                        os.chown(path, owner[0], -1)
                result = self.run_quillon(*args, path)
                self.assertEqual(result.returncode, code, result.stderr)
                if code == 1:
                    self.assertIn(path.encode(), result.stderr)
                with open(path, "rb") as f:
                    data = f.read()
                if after is None:
                    self.assertEqual(data, before)
                else:
                    self.assertTrue(data.startswith(after), data)
                self.assertEqual(os.stat(path).st_mode & 0o777, mode_after)


class NoPermission(QuillonTest):
    """Devices an ordinary user may not reach. Run by root (as CI runs the
    suite), quillon runs as nobody on devices root sets up; run by an
    ordinary user, only the rows it can set up itself."""

    def run_as_user(self, *args):
        if os.geteuid() != 0:
            return self.run_quillon(*args)
        # A copy nobody can run, wherever the build tree lives.
        stage = tempfile.mkdtemp(prefix="quillon_stage_")
        os.chmod(stage, 0o755)
        program = shutil.copy(QUILLON, stage)
        try:
            return subprocess.run([program, *args], env=self.env, timeout=30,
                                  capture_output=True, user="nobody",
                                  group="nogroup", extra_groups=[])
        finally:
            shutil.rmtree(stage)

    def test_refusals_name_what_stands_in_the_way(self):
        root = os.geteuid() == 0
        place = tempfile.mkdtemp(prefix="quillon_devices_")
        os.chmod(place, 0o755)
        self.addCleanup(shutil.rmtree, place)

        def device(name, mode, group=None, folder_mode=None):
            folder = place
            if folder_mode is not None:
                folder = os.path.join(place, name + ".d")
                os.mkdir(folder)
            path = os.path.join(folder, name)
            with open(path, "w"):
                pass
            os.chmod(path, mode)
            if group is not None:
                os.chown(path, 0, group)
            if folder_mode is not None:
                os.chmod(folder, folder_mode)
                self.addCleanup(os.chmod, folder, 0o700)
            return path
        # (the device; what the message says; what it must not say)
        rows = [(device("own", 0), b"no permission", b"usermod")]
        if not root:
            folder = device("shut", 0o600, folder_mode=0)
            rows.append((folder, b"cannot enter the folder %s"
                         % os.path.dirname(folder).encode(), b"no such"))
        else:
            os.chown(rows[0][0], 65534, 65534)  # nobody's own, mode 0
            dialout = grp.getgrnam("dialout").gr_gid
            folder = device("shut", 0o666, folder_mode=0o700)
            rows += [
                (device("root_only", 0o600), b"only its owner (root)",
                 b"usermod"),
                (device("dialout", 0o660, group=dialout),
                 b'sudo usermod -aG dialout "$USER"', b"owner"),
                (folder, b"cannot enter the folder %s"
                 % os.path.dirname(folder).encode(), b"no such"),
            ]
        for path, said, unsaid in rows:
            with self.subTest(path=path):
                result = self.run_as_user("--port", path, "test")
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertIn(said, result.stderr)
                self.assertNotIn(unsaid, result.stderr)
        self.assertEqual(self.sim.frames(), [])


if __name__ == "__main__":
    QUILLON, ENCODER_SIM = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0], *sys.argv[3:]], verbosity=2)
