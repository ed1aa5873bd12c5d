#!/usr/bin/env python3
"""One batch shared by several stations through a PostgreSQL card queue:
every number on exactly one card across stations, whatever stops a station
or the server.

usage: quillon_queue_test.py QUILLON ENCODER_SIM [unittest arguments]

A real server, started for the run (tests/support/pg_cluster.py); each
station is a quillon process with encoder-sim processes of its own. The
judge is the simulators' records of written cards.
"""
import csv
import fcntl
import json
import os
import pwd
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import termios
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "support"))
import quillon_cli_test as cli  # noqa: E402
from quillon_cli_test import wait_until  # noqa: E402
from quillon_once_test import Station, numbers  # noqa: E402
from pg_cluster import PgCluster  # noqa: E402

BATCH = ["--track2", "0001", "--increment", "2:1"]


class Queue(Station):
    """A cluster for the class, a database for each test, and encoders."""

    @classmethod
    def setUpClass(cls):
        cls.cluster = PgCluster()

    @classmethod
    def tearDownClass(cls):
        cls.cluster.stop()

    def setUp(self):
        super().setUp()
        self.db = self._testMethodName[5:].lower()
        self.url = self.cluster.database(self.db)
        self.env["QUILLON_QUEUE"] = self.url
        self.queue("init")

    def queue(self, *args, code=0):
        result = self.run_quillon("queue", *args)
        self.assertEqual(result.returncode, code, result.stderr)
        return result

    def load(self, name, count):
        self.queue("load", "--batch", name, *BATCH, "--count", str(count))

    def station(self, name, sims, start=True, env=None):
        """quillon as station `name` at simulators `sims` (indexes)."""
        args = [*self.ports(*sims), "write", "--batch", "b", "--station",
                name]
        if start:
            return self.start_quillon(*args, env=env)
        return self.run_quillon(*args, env=env)

    def sql(self, text):
        return self.cluster.sql(text, self.db)

    def status(self, batch="b"):
        return json.loads(self.queue("status", "--batch", batch,
                                     "--format", "json").stdout)

    def lock_cards(self):
        """Another session holds a lock on the cards' table; the function
        that ends it."""
        holder = subprocess.Popen(
            [os.path.join(self.cluster.bin, "psql"), "-X", "-q", "-d",
             self.url, "-c", "BEGIN; LOCK TABLE quillon_cards; "
             "SELECT pg_sleep(300)"],
            env=dict(self.env, PGAPPNAME="holder"),
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.assertTrue(wait_until(lambda: self.sql(
            "SELECT count(*) FROM pg_locks WHERE granted AND relation = "
            "'quillon_cards'::regclass AND mode = 'AccessExclusiveLock'")
            == "1"))

        def release():
            if holder.poll() is None:
                self.sql("SELECT pg_terminate_backend(pid) FROM "
                         "pg_stat_activity WHERE application_name = 'holder'")
            holder.wait(timeout=10)
        return release

    def assert_status_matches_records(self, count):
        status = self.status()
        self.assertEqual((status["confirmed"], status["pending"],
                          status["in_doubt"]), (count, 0, 0))
        by_port = {s["port"]: s["confirmed"] for s in status["stations"]}
        for sim in self.sims:
            self.assertEqual(by_port.get(sim.link, 0), len(self.written(sim)),
                             sim.link)


def stopped(pid):
    """True while process `pid` is stopped (SIGSTOP)."""
    with open("/proc/%d/stat" % pid) as f:
        return f.read().rsplit(")", 1)[1].split()[0] == "T"


class Stations(Queue):
    def test_a_station_killed_comes_back_and_settles_its_card(self):
        for index in range(4):
            self.serve(index, "--swipe-delay", "15")
        self.load("b", 200)
        b = self.station("B", [2, 3])
        self.assertTrue(wait_until(lambda: len(self.written()) >= 20, 20))
        # A joins mid-batch and is killed once its first write frame is out.
        a = self.station("A", [0, 1], env=dict(
            self.env, QUILLON_FAULT_AT="frame:KILL"))
        _, err = a.communicate(timeout=20)
        self.assertEqual(a.returncode, -signal.SIGKILL, err)
        doubts = [d for d in self.status()["cards_in_doubt"]
                  if d["station"] == "A"]
        self.assertTrue(doubts)
        self.assertFalse(any(d["writing_now"] for d in doubts))
        _, err = b.communicate(timeout=60)
        self.assertEqual(b.returncode, 0, err)
        # B took every card but A's: those may be on a card.
        result = self.station("A", [0, 1], start=False)
        self.assertEqual(result.returncode, 0, result.stderr)
        for doubt in doubts:
            self.assertIn(b"card %d may have been written" % doubt["card"],
                          result.stderr)
        self.assert_each_once(200)
        self.assert_status_matches_records(200)

    def test_the_server_restarted_mid_batch_both_stations_go_on(self):
        for index in range(4):
            self.serve(index, "--swipe-delay", "15")
        self.load("b", 200)
        stations = [self.station("A", [0, 1]), self.station("B", [2, 3])]
        self.assertTrue(wait_until(lambda: len(self.written()) >= 40, 20))
        self.cluster.restart()
        errs = []
        for station in stations:
            _, err = station.communicate(timeout=60)
            self.assertEqual(station.returncode, 0, err)
            errs.append(err)
        self.assertTrue(any(b"is away" in e and b"goes on" in e
                            for e in errs), errs)
        self.assert_each_once(200)
        self.assert_status_matches_records(200)

    def test_ctrl_c_ends_the_wait_for_a_server_that_stays_away(self):
        self.serve(0, "--swipe-delay", "10")
        self.load("b", 100)
        with open(self.path("err"), "wb") as err:
            station = subprocess.Popen(
                [cli.QUILLON, *self.ports(), "write", "--batch", "b"],
                env=self.env, stdout=subprocess.DEVNULL, stderr=err)
            self.assertTrue(wait_until(lambda: len(self.written()) >= 5))
            self.cluster.pause()
            try:
                self.assertTrue(wait_until(lambda: open(
                    self.path("err"), "rb").read().count(b"is away") >= 2))
                station.send_signal(signal.SIGINT)
                station.wait(timeout=5)
            finally:
                self.cluster.start()
        self.assertEqual(station.returncode, 130)
        # Started again, the station finishes the batch, each number once.
        result = self.run_quillon(*self.ports(), "write", "--batch", "b")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assert_each_once(100)
        # Unnamed, a station is its host and machine: clones differ.
        with open("/etc/machine-id") as machine:
            name = "%s-%s" % (socket.gethostname(), machine.read()[:8])
        self.assertEqual({s["station"] for s in self.status()["stations"]},
                         {name})

    def test_a_confirmation_a_crash_took_back_is_not_written_again(self):
        self.serve(0, "--swipe-delay", "0")
        self.load("b", 10)
        # The log writer waits 10 s: a confirmation that did not wait for
        # its flush is lost in a crash until the next claim flushes it.
        self.sql("ALTER SYSTEM SET wal_writer_delay = '10s'")
        self.sql("SELECT pg_reload_conf()")
        try:
            station = self.station("A", [0], env=dict(
                self.env, QUILLON_FAULT_AT="confirmed:STOP:5"))
            self.assertTrue(wait_until(lambda: stopped(station.pid), 20))
            # The next claim is on its way when the server crashes.
            release = self.lock_cards()
            station.send_signal(signal.SIGCONT)
            self.assertTrue(wait_until(lambda: self.sql(
                "SELECT count(*) FROM pg_stat_activity WHERE "
                "application_name = 'quillon' AND wait_event_type = 'Lock'")
                == "1"))
            self.cluster.crash()
            release()
            self.assertEqual(self.sql("SELECT state FROM quillon_cards "
                                      "WHERE number = 5"), "sent")
            _, err = station.communicate(timeout=60)
        finally:
            self.sql("ALTER SYSTEM RESET wal_writer_delay")
            self.sql("SELECT pg_reload_conf()")
        self.assertEqual(station.returncode, 0, err)
        self.assertIn(b"is away", err)
        self.assert_each_once(10)
        self.assert_status_matches_records(10)

    def test_ctrl_c_ends_a_statement_the_server_holds_within_2_s(self):
        def hang_server():
            self.cluster.hang()
            return lambda: self.cluster.hang(resume=True)

        # (what holds the station's next statement)
        rows = [("a table lock held by another session", self.lock_cards),
                ("the server hung", hang_server)]
        for index, (what, hold) in enumerate(rows):
            with self.subTest(what):
                sim = self.serve(index, "--swipe-delay", "20")
                batch = "b%d" % index
                self.load(batch, 40)
                args = [*self.ports(index), "write", "--batch", batch]
                station = self.start_quillon(*args)
                self.assertTrue(wait_until(
                    lambda: len(self.written(sim)) >= 3, 20))
                release = hold()
                try:
                    # The station's next statement waits for the server.
                    time.sleep(0.5)
                    start = time.monotonic()
                    station.send_signal(signal.SIGINT)
                    try:
                        station.wait(timeout=2)
                    except subprocess.TimeoutExpired:
                        pass
                    took = time.monotonic() - start
                finally:
                    release()
                _, err = station.communicate(timeout=60)
                self.assertLess(took, 2.0, err)
                self.assertEqual(station.returncode, 130, err)
                # Started again, the station finishes the batch.
                result = self.run_quillon(*args)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(sorted(self.written(sim)), numbers(1, 40))

    def test_a_claim_whose_reply_is_lost_is_put_back_and_claimed_anew(self):
        for index in range(2):
            self.serve(index, "--swipe-delay", "0")
        self.load("b", 20)
        # Card 5's claim commits and its connection drops before the reply.
        env = dict(self.env, QUILLON_FAULT_AT="claim:DROP:5")
        result = self.run_quillon(*self.ports(), "write", "--batch", "b",
                                  "--station", "A", env=env)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn(b"is away", result.stderr)
        self.assert_each_once(20)
        self.assert_status_matches_records(20)


class Commands(Queue):
    def test_bad_input_is_refused_and_nothing_is_sent(self):
        sim = self.serve(0, "--swipe-delay", "0")
        self.load("b", 3)
        self.sql("CREATE TABLE other AS SELECT 1")
        gone = os.path.join(self.folder, "nowhere")
        # (what, arguments, exit code, words of the message)
        rows = [
            ("a socket folder with no server",
             ["--queue", "host=%s dbname=x" % gone, "queue", "status",
              "--batch", "b"], 2, [gone.encode(), b"No such file"]),
            ("a TCP port nobody listens at",
             ["--queue", "postgresql://q@127.0.0.1:1/x", "write", "--batch",
              "b", *self.ports()], 2,
             [b"127.0.0.1:1", b"Connection refused"]),
            ("a URL that is none", ["--queue", "postgresql://[x", "queue",
                                    "init"], 1, [b"not a connection string"]),
            ("--batch without a server",
             ["write", "--batch", "b", *self.ports()], 1, [b"--queue"]),
            ("a batch that does not exist",
             ["write", "--batch", "nope", *self.ports()], 1,
             [b'no batch named "nope"', b"(it has: b)"]),
            ("status of a batch that does not exist",
             ["queue", "status", "--batch", "nope"], 1, [b"nope"]),
            ("a batch name used twice",
             ["queue", "load", "--batch", "b", "--track2", "9", "--count",
              "5"], 1, [b'batch named "b" already', b"nothing was added"]),
            ("a counted batch too large for a journal",
             ["write", *BATCH, "--count", "200000000", *self.ports()], 1,
             [b"at most 10000000 cards", b"nothing was sent"]),
            ("a card rule of write",
             ["queue", "load", "--batch", "c", "--track2", "12A4"], 1,
             [b"track 2"]),
            ("settle a card not in doubt",
             ["queue", "settle", "--batch", "b", "--card", "1", "written"],
             1, [b"is not in doubt (it is pending)"]),
            ("settle a card that is not there",
             ["queue", "settle", "--batch", "b", "--card", "9", "unwritten"],
             1, [b"does not exist"]),
            ("a database without the tables",
             ["--queue", self.cluster.url(), "write", "--batch", "b",
              *self.ports()], 1, [b"queue init"]),
        ]
        env = dict(self.env)
        for what, args, code, words in rows:
            with self.subTest(what):
                if "--queue" in args:
                    self.env = dict(env)
                    self.env.pop("QUILLON_QUEUE")
                elif what == "--batch without a server":
                    self.env = {k: v for k, v in env.items()
                                if k != "QUILLON_QUEUE"}
                else:
                    self.env = env
                result = self.run_quillon(*args)
                self.assertEqual(result.returncode, code, result.stderr)
                for word in words:
                    self.assertIn(word, result.stderr)
        self.env = env
        self.assertEqual(self.status()["cards"], 3)
        self.assertEqual(self.sql("SELECT count(*) FROM quillon_batches"),
                         "1")
        self.assertEqual(sim.frames(), [])

        # Tables of another version: init and write change nothing.
        self.sql("UPDATE quillon_schema SET version = 4")
        for args in (["queue", "init"], ["write", "--batch", "b",
                                         *self.ports()]):
            result = self.run_quillon(*args)
            self.assertEqual(result.returncode, 1, result.stderr)
            self.assertIn(b"of version 4; this quillon knows version 3",
                          result.stderr)
        self.assertEqual(sim.frames(), [])
        # Version 1 (no claim id, no claiming role, no batch state, no
        # station functions): write refuses, init brings it on.
        self.sql("DROP FUNCTION quillon_claim, quillon_still_sent, "
                 "quillon_confirm, quillon_unclaim, quillon_put_back, "
                 "quillon_station_doubts, quillon_note_failure; DROP TABLE "
                 "quillon_failures; ALTER TABLE quillon_cards DROP "
                 "COLUMN claim_id, DROP COLUMN claimed_by; ALTER TABLE "
                 "quillon_batches DROP COLUMN state; "
                 "UPDATE quillon_schema SET version = 1")
        result = self.run_quillon("write", "--batch", "b", *self.ports())
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn(b"queue init brings them to version 3", result.stderr)
        self.assertIn(b"from version 1 to 3", self.queue("init").stderr)
        result = self.run_quillon("write", "--batch", "b", *self.ports())
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(self.written(sim), numbers(1, 3))

    def test_a_large_batch_goes_in_pieces_every_row_counted(self):
        # About 16 pieces of data; the rows at the ends and between.
        self.load("big", 40000)
        self.assertEqual(self.sql(
            "SELECT count(*), count(DISTINCT track2), max(number) FROM "
            "quillon_cards"), "40000|40000|40000")
        self.assertEqual(self.sql(
            "SELECT string_agg(track2, ',' ORDER BY number) FROM "
            "quillon_cards WHERE number IN (1, 2622, 40000)"),
            "0001,2622,40000")
        # Analyzed at once: the first claim does not scan every card.
        self.assertEqual(self.sql(
            "SELECT last_analyze IS NOT NULL FROM pg_stat_user_tables "
            "WHERE relname = 'quillon_cards'"), "t")
        # A row the server did not take: nothing is committed.
        result = self.run_quillon(
            "queue", "load", "--batch", "short", *BATCH, "--count", "40000",
            env=dict(self.env, QUILLON_FAULT_AT="copy:DROP:20000"))
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn(b"the server took 39999 of the 40000 cards; nothing "
                      b"was added", result.stderr)
        self.assertEqual(self.sql("SELECT count(*) FROM quillon_batches"),
                         "1")

    def test_no_message_shows_the_password(self):
        secret = "Zq9_s3cret"
        socket = "host=%s" % self.cluster.folder
        self.serve(0, "--swipe-delay", "0")
        # (what, the URL, the command)
        status = ["queue", "status", "--batch", "b"]
        rows = [
            ("a bad IPv6 URL", "postgresql://u:%s@[x" % secret, status),
            ("a character after the IPv6 host",
             "postgresql://u:%s@[::1]x/db" % secret, status),
            ("a bad escape in the password",
             "postgresql://u:%s%%zz@h/db" % secret, status),
            ("an escaped password, a bad option",
             "postgresql://u:%s%%41@h/db?bogus=1" % secret, status),
            ("in the query, a bad option",
             "postgresql:///x?password=%s&bogus=1" % secret, status),
            ("a connection string with a bad option",
             "%s password=%s bogus=1" % (socket, secret), status),
            ("a quoted password not closed",
             "%s password='%s" % (socket, secret), ["queue", "init"]),
            ("a database that does not exist",
             "%s dbname=nope password=%s" % (socket, secret),
             ["queue", "load", "--batch", "b", *BATCH]),
            ("a server nobody runs",
             "postgresql://u:%s@127.0.0.1:1/x" % secret,
             ["write", "--batch", "b", *self.ports()]),
        ]
        for what, url, command in rows:
            with self.subTest(what):
                result = self.run_quillon("--queue", url, *command)
                self.assertNotEqual(result.returncode, 0, result.stderr)
                self.assertNotIn(secret.encode(),
                                 result.stdout + result.stderr)

    def test_a_login_the_server_refuses_is_said_so(self):
        hba = os.path.join(self.cluster.data, "pg_hba.conf")
        with open(hba) as f:
            rules = f.read()
        with open(hba, "w") as f:  # the first rule that fits is taken
            f.write("local all pwuser scram-sha-256\n" + rules)
        self.sql("CREATE ROLE pwuser LOGIN PASSWORD 'right'; GRANT SELECT "
                 "ON ALL TABLES IN SCHEMA public TO pwuser")
        self.sql("SELECT pg_reload_conf()")
        url = self.url.replace("user=quillon", "user=pwuser")
        files = {}
        for name in ("wrong", "right"):
            files[name] = self.path(name + ".pgpass")
            with open(files[name], "w") as f:
                f.write("*:*:*:pwuser:%s\n" % name)
            os.chmod(files[name], 0o600)
        refused = b'refused the login of user "pwuser"'
        # (what, environment, exit code, words of the message)
        rows = [
            ("a wrong password", {"PGPASSFILE": files["wrong"]}, 2,
             [refused, b"password authentication failed"]),
            ("no password in the file named", {"PGPASSFILE": self.path("no")},
             2, [refused, b"libpq looks for it in %s (a line" %
                 self.path("no").encode()]),
            ("no password in the home's file", {"HOME": self.folder}, 2,
             [refused, b"in %s/.pgpass" % self.folder.encode()]),
            ("the right one", {"PGPASSFILE": files["right"]}, 0, []),
        ]
        base = {k: v for k, v in self.env.items()
                if k not in ("PGPASSFILE", "PGPASSWORD")}
        time.sleep(0.5)  # the server reads its rules again meanwhile
        for what, env, code, words in rows:
            with self.subTest(what):
                result = self.run_quillon("--queue", url, "queue", "init",
                                          env=dict(base, **env))
                self.assertEqual(result.returncode, code, result.stderr)
                for word in words:
                    self.assertIn(word, result.stderr)
                self.assertNotIn(b"cannot reach", result.stderr)

    def test_ctrl_c_in_load_adds_nothing_and_says_so(self):
        release = self.lock_cards()  # the cards' COPY waits for it
        load = self.start_quillon("queue", "load", "--batch", "c", *BATCH,
                                  "--count", "10")
        self.assertTrue(wait_until(lambda: self.sql(
            "SELECT count(*) FROM pg_locks WHERE NOT granted") != "0", 10))
        load.send_signal(signal.SIGINT)
        _, err = load.communicate(timeout=10)
        release()
        self.assertEqual(load.returncode, 130, err)
        self.assertEqual(err, b"quillon: interrupted; nothing was added\n")
        self.assertEqual(self.sql("SELECT count(*) FROM quillon_batches"),
                         "0")

    def test_every_byte_of_a_csv_batch_reaches_the_card(self):
        sim = self.serve(0, "--swipe-delay", "0")
        cards = [cli.ODD_CARD,
                 (cli.latin1("back\\slash\ttab\r\\N"), b"7", b"8")]
        sheet = self.path("cards.csv")
        with open(sheet, "w", newline="", encoding="utf-8") as f:
            rows = csv.writer(f)
            rows.writerow(["track1", "track2", "track3"])
            for card in cards:
                rows.writerow([t.decode("latin-1") for t in card])
        self.queue("load", "--batch", "b", "--from", sheet, "--keep-case")
        result = self.run_quillon(*self.ports(), "write", "--batch", "b",
                                  "--verify")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual([tuple(cli.latin1(w[t]) for t in
                                ("track1", "track2", "track3"))
                          for w in sim.written()], cards)

    def test_cards_in_doubt_settled_by_the_operator_or_refused(self):
        self.serve(0)  # nothing swipes: its write waits
        self.load("b", 4)
        # Cards 1 and 2 were sent by a station that never came back.
        self.sql("UPDATE quillon_cards SET state = 'sent', station = 'gone', "
                 "port = '/dev/ttyUSB9', sent_at = now() WHERE number <= 2")
        # A name with a line end and a terminal escape is shown escaped.
        self.sql("UPDATE quillon_cards SET station = 'gone' || chr(10) || "
                 "chr(27) || '[2J' WHERE number = 2")
        # A lock of the same name held in another database of the server
        # is another queue's station, not this one's.
        holder = subprocess.Popen(
            [os.path.join(self.cluster.bin, "psql"), "-X", "-q", "-d",
             self.cluster.url("postgres"), "-c",
             "SELECT pg_advisory_lock(hashtext('quillon station'), "
             "hashtext('gone' || E'\\n' || '/dev/ttyUSB9')); "
             "SELECT pg_sleep(60)"], stdout=subprocess.DEVNULL)
        self.addCleanup(holder.wait)
        self.addCleanup(holder.kill)
        self.assertTrue(wait_until(lambda: self.cluster.sql(
            "SELECT count(*) FROM pg_locks WHERE locktype = 'advisory'")
            == "1"))
        text = self.queue("status", "--batch", "b").stdout.decode()
        self.assertIn("card 1 in doubt: sent by station gone at /dev/ttyUSB9",
                      text)
        self.assertNotIn("writing it now", text)
        self.assertIn("card 2 in doubt: sent by station gone\\x0A\\x1B[2J at",
                      text)
        self.assertIn("that station is not running", text)
        self.queue("settle", "--batch", "b", "--card", "1", "written")
        self.queue("settle", "--batch", "b", "--card", "2", "unwritten")
        self.assertEqual(self.sql("SELECT number, state FROM quillon_cards "
                                  "ORDER BY number"),
                         "1|confirmed\n2|pending\n3|pending\n4|pending")

        # A station that runs holds its card: no settle while it does.
        writing = self.station("S", [0])
        self.assertTrue(wait_until(lambda: self.status()["in_doubt"] == 1))
        doubt = self.status()["cards_in_doubt"][0]
        self.assertEqual((doubt["card"], doubt["writing_now"]), (2, True))
        result = self.run_quillon("queue", "settle", "--batch", "b",
                                  "--card", "2", "written")
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn(b"is being written by station S", result.stderr)
        # Nor for a card of the station at another name of the same device.
        device = os.path.realpath(self.sims[0].link)
        self.sql("UPDATE quillon_cards SET state = 'sent', station = 'S', "
                 "port = '%s', sent_at = now() WHERE number = 4" % device)
        self.assertTrue(self.status()["cards_in_doubt"][1]["writing_now"])
        result = self.run_quillon("queue", "settle", "--batch", "b",
                                  "--card", "4", "written")
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn(b"is being written by station S", result.stderr)
        self.sql("UPDATE quillon_cards SET state = 'pending', station = NULL, "
                 "port = NULL, sent_at = NULL WHERE number = 4")
        # The same station twice at one encoder: the second is refused.
        result = self.station("S", [0], start=False)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn(b"is writing at", result.stderr)
        # Beside it, the same station at another encoder writes the rest:
        # the card the first holds is not in doubt.
        self.serve(1, "--swipe-delay", "0")
        result = self.station("S", [1], start=False)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(self.written(self.sims[1]), ["0003", "0004"])
        writing.send_signal(signal.SIGINT)
        _, err = writing.communicate(timeout=10)
        self.assertEqual(writing.returncode, 130, err)

        # A card of the station in doubt at a port not given now: nothing
        # is sent.
        self.sql("UPDATE quillon_cards SET state = 'sent', station = 'S', "
                 "port = '/dev/ttyUSB7' WHERE number = 2")
        before = len(self.sims[0].frames())
        result = self.station("S", [0], start=False)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn(b"card 2 may have been written at /dev/ttyUSB7",
                      result.stderr)
        self.assertEqual(len(self.sims[0].frames()), before)

        # Sent at COM9, the same device as the encoder given now: settled
        # there (a new encoder's blank card: written anew).
        self.sql("UPDATE quillon_cards SET port = 'COM9' WHERE number = 2")
        self.serve(0, "--swipe-delay", "0")
        result = self.station("S", [0], start=False, env=dict(
            self.env, ENCODER_COM9=self.sims[0].link))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn(b"written anew", result.stderr)
        self.assertEqual(self.sql("SELECT state, port FROM quillon_cards "
                                  "WHERE number = 2"),
                         "confirmed|" + self.sims[0].link)


class Rights(Queue):
    """Each kind of role against the real server: what it may not do is
    refused by the server itself."""

    def roles(self):
        names = {}
        for kind in ("loader", "station", "watcher"):
            names[kind] = "%s_%s" % (kind, self.db)
            self.sql("CREATE ROLE %s LOGIN" % names[kind])
            self.queue("grant", kind, names[kind])
        return names

    def as_role(self, role):
        return dict(self.env, QUILLON_QUEUE=self.url.replace(
            "user=quillon", "user=" + role))

    def test_each_role_is_refused_what_it_may_not_do(self):
        role = self.roles()
        self.load("b", 6)
        batch = self.sql("SELECT id FROM quillon_batches")
        # Card 1 is in doubt at another role's station X.
        self.sql("UPDATE quillon_cards SET state = 'sent', station = 'X', "
                 "port = 'p', sent_at = now(), claimed_by = 'quillon' "
                 "WHERE number = 1")
        denied = "permission denied"
        # (role, SQL it tries, what the server answers)
        rows = [
            ("station", "SELECT track2 FROM quillon_cards", denied),
            ("station", "SELECT * FROM quillon_cards", denied),
            ("station", "UPDATE quillon_cards SET state = 'pending'", denied),
            ("station", "DELETE FROM quillon_cards", denied),
            ("station", "UPDATE quillon_batches SET state = 'paused'",
             denied),
            ("station", "SELECT count(*) FROM quillon_station_doubts"
             "(%s, 'X')" % batch, "0"),
            ("station", "SELECT quillon_confirm(%s, 1, 'X', 'p', 0)" % batch,
             "0"),
            ("station", "SELECT quillon_unclaim(%s, 'X', 1)" % batch, "0"),
            ("station", "SELECT quillon_still_sent(%s, 1, 'X', 'p')" % batch,
             "0"),
            ("watcher", "SELECT track1 FROM quillon_cards", denied),
            ("watcher", "SELECT * FROM quillon_claim(%s, 'W', 'p', 'c')"
             % batch, denied),
            ("watcher", "SELECT * FROM quillon_station_doubts(%s, 'X')"
             % batch, denied),
            ("watcher", "UPDATE quillon_batches SET state = 'paused'",
             denied),
            ("loader", "SELECT * FROM quillon_claim(%s, 'L', 'p', 'c')"
             % batch, denied),
            ("loader", "DROP TABLE quillon_cards", "must be owner"),
            ("loader", "DELETE FROM quillon_cards", denied),
        ]
        for kind, sql, answer in rows:
            with self.subTest(kind=kind, sql=sql):
                try:
                    said = self.cluster.sql(sql, self.db, role[kind])
                except RuntimeError as refusal:
                    said = str(refusal)
                self.assertIn(answer, said)
        self.assertEqual(self.sql("SELECT state, station FROM quillon_cards "
                                  "WHERE number = 1"), "sent|X")
        # (role, quillon command, exit code, words of the message)
        rows = [
            ("station", ["queue", "load", "--batch", "c", *BATCH], 1,
             [b"quillon queue grant"]),
            ("station", ["queue", "purge", "--batch", "b"], 1,
             [b"has not the right"]),
            ("watcher", ["queue", "pause", "--batch", "b"], 1,
             [b"has not the right"]),
            ("watcher", ["queue", "settle", "--batch", "b", "--card", "1",
                         "written"], 1, [b"permission denied"]),
            ("watcher", ["write", "--batch", "b", "--port", "/dev/null"], 1,
             [b"permission denied"]),
            ("station", ["queue", "grant", "station", role["watcher"]], 1,
             [b"permission denied"]),
            # The owner's own rights are never taken back.
            ("owner", ["queue", "grant", "watcher", "quillon"], 1,
             [b'role "quillon" owns the queue\'s tables']),
        ]
        for kind, args, code, words in rows:
            with self.subTest(kind=kind, args=args):
                result = self.run_quillon(*args, env=self.as_role(
                    role.get(kind, "quillon")))
                self.assertEqual(result.returncode, code, result.stderr)
                for word in words:
                    self.assertIn(word, result.stderr)

        # The station's role writes the rest of the batch; the watcher
        # and the station see counts, the loader the texts too.
        self.serve(0, "--swipe-delay", "0")
        result = self.run_quillon(*self.ports(), "write", "--batch", "b",
                                  "--station", "S",
                                  env=self.as_role(role["station"]))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(self.written(), numbers(2, 6))
        for kind in ("watcher", "station"):
            env = self.as_role(role[kind])
            status = json.loads(self.run_quillon(
                "queue", "status", "--batch", "b", "--format", "json",
                env=env).stdout)
            self.assertEqual((status["confirmed"], status["in_doubt"]),
                             (5, 1))
            export = self.run_quillon("queue", "export", "--batch", "b",
                                      "--format", "csv", env=env)
            self.assertEqual(export.returncode, 0, export.stderr)
            self.assertNotIn(b"track", export.stdout)
        export = self.run_quillon("queue", "export", "--batch", "b",
                                  "--format", "json",
                                  env=self.as_role(role["loader"]))
        self.assertEqual(json.loads(export.stdout)[1]["track2"], "0002")
        # Purged, the texts of confirmed cards are gone; card 1 keeps its.
        self.run_quillon("queue", "purge", "--batch", "b",
                         env=self.as_role(role["loader"]))
        self.assertEqual(self.sql(
            "SELECT count(track2), count(*), count(station) FROM "
            "quillon_cards"), "1|6|6")


class Operator(Queue):
    def text(self, *args, code=0):
        return self.queue(*args, code=code).stdout.decode()

    def test_list_show_export_pause_resume_cancel(self):
        self.serve(0, "--swipe-delay", "30")
        self.load("b", 40)
        self.load("c", 2)
        self.assertEqual(self.text("list"),
                         "b: open, 40 cards; 0 confirmed, 40 pending, 0 in "
                         "doubt; loaded %s\nc: open, 2 cards; 0 confirmed, "
                         "2 pending, 0 in doubt; loaded %s\n" % tuple(
                             self.sql("SELECT to_char(loaded_at AT TIME ZONE "
                                      "'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS."
                                      "MS\"Z\"') FROM quillon_batches "
                                      "ORDER BY name").split()))
        with open(self.path("err"), "wb") as err:
            station = subprocess.Popen(
                [cli.QUILLON, *self.ports(), "write", "--batch", "b",
                 "--station", "A"], env=self.env, stdout=subprocess.DEVNULL,
                stderr=err)

        def said(words):
            with open(self.path("err"), "rb") as f:
                return words in f.read()
        self.assertTrue(wait_until(lambda: len(self.written()) >= 5, 20))
        self.queue("pause", "--batch", "b")
        self.assertTrue(wait_until(lambda: said(
            b"batch b is paused: this station waits")))
        # Paused: the card on its way is written, no other is claimed.
        self.assertTrue(wait_until(lambda: self.status()["in_doubt"] == 0))
        paused = len(self.written())
        time.sleep(1.5)
        self.assertEqual(len(self.written()), paused)
        port = self.sims[0].link
        # (arguments, exit code, what it says)
        rows = [
            (["show", "--batch", "b", "--card", "1"], 0,
             "card 1 of batch b: confirmed; station A at %s, sent " % port),
            (["show", "--batch", "b", "--card", "40"], 0,
             "card 40 of batch b: pending\n"),
            (["show", "--batch", "b", "--card", "41"], 1,
             "batch b has no card 41 (its cards are 1 to 40)"),
            (["show", "--batch", "nope", "--card", "1"], 1, "(it has: b, c)"),
            (["resume", "--batch", "b"], 0, "batch b goes on"),
        ]
        for args, code, words in rows:
            with self.subTest(args=args):
                result = self.queue(*args, code=code)
                self.assertIn(words, (result.stdout + result.stderr).decode())
        self.assertTrue(wait_until(lambda: said(b"batch b goes on")))
        self.assertTrue(wait_until(lambda: len(self.written()) > paused))
        self.queue("cancel", "--batch", "b")
        self.assertEqual(station.wait(timeout=20), 0)
        self.assertTrue(said(b"batch b was cancelled: this station ended "
                             b"after its current card; station A: %d cards "
                             b"written" % len(self.written())))
        self.assertTrue(said(b"; 0 cards in doubt in the batch"))
        written = len(self.written())
        self.assertLess(written, 40)
        self.assertIn("is cancelled: nothing was changed",
                      self.queue("resume", "--batch", "b",
                                 code=1).stderr.decode())
        # A cancelled batch's station ends at once; a finished one says so.
        result = self.station("B", [0], start=False)
        self.assertIn(b"was cancelled", result.stderr)
        self.assertEqual(len(self.written()), written)
        for attempt in range(2):
            result = self.run_quillon(*self.ports(), "write", "--batch", "c")
            self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn(b"all 2 cards are confirmed in the queue already",
                      result.stderr)
        listed = {b["batch"]: b for b in json.loads(self.text(
            "list", "--format", "json"))}
        self.assertEqual((listed["b"]["state"], listed["b"]["confirmed"],
                          listed["c"]["state"]),
                         ("cancelled", written, "done"))
        # The report: every card, its state, station and times.
        rows = list(csv.DictReader(self.text(
            "export", "--batch", "b", "--format", "csv").splitlines()))
        self.assertEqual([r["number"] for r in rows],
                         [str(n) for n in range(1, 41)])
        confirmed = [r for r in rows if r["state"] == "confirmed"]
        self.assertEqual(len(confirmed), written)
        self.assertTrue(all(r["station"] == "A" and r["port"] == port and
                            r["confirmed_at"] for r in confirmed))
        self.assertEqual(rows[0]["track2"], "0001")
        cards = json.loads(self.text("export", "--batch", "b", "--format",
                                     "json"))
        self.assertEqual([c["state"] for c in cards],
                         [r["state"] for r in rows])
        self.assertIsNone(cards[-1]["sent_at"])


class Watch(Queue):
    def test_the_live_view_of_a_two_station_batch(self):
        # Station A's third card is written wrong: read back, it fails.
        self.serve(0, "--swipe-delay", "40", "--corrupt-write", "3")
        self.serve(1, "--swipe-delay", "40")
        self.load("b", 60)
        self.sql("CREATE ROLE w_%s LOGIN" % self.db)
        self.queue("grant", "watcher", "w_" + self.db)
        env = dict(self.env, QUILLON_QUEUE=self.url.replace(
            "user=quillon", "user=w_" + self.db))
        stations = [self.start_quillon(*self.ports(i), "write", "--batch",
                                       "b", "--station", name, "--verify")
                    for i, name in enumerate("AB")]
        self.assertTrue(wait_until(lambda: len(self.written()) >= 4, 20))
        # On a terminal: redrawn in place until the batch is done.
        master, slave = os.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ,
                    struct.pack("HHHH", 24, 200, 0, 0))
        view = subprocess.Popen([cli.QUILLON, "queue", "status", "--batch",
                                 "b", "--watch"], env=env, stdout=slave,
                                stderr=subprocess.PIPE)
        os.close(slave)
        shown = b""
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:  # EIO: the view ended
                break
            if not chunk:
                break
            shown += chunk
        os.close(master)
        self.assertEqual(view.wait(timeout=30), 0, view.stderr.read())
        view.stderr.close()
        for station in stations:
            _, err = station.communicate(timeout=30)
            self.assertEqual(station.returncode, 0, err)
        frames = shown.split(b"\x1b[J")
        self.assertGreater(len(frames), 2, shown)
        # Each frame goes back over the lines of the one before.
        drawn = [f.count(b"\n") for f in frames[1:-1]]
        ups = [int(u) for u in re.findall(rb"\x1b\[(\d+)F", shown)]
        self.assertEqual(ups, drawn)
        self.assertTrue(any(b"station A at %s: " % self.sims[0].link.encode()
                            in f and b"; writing, " in f for f in frames))
        self.assertIn(b"batch b: 60 cards; 60 confirmed, 0 pending, 0 in "
                      b"doubt;", frames[-1])
        self.assertIn(b"; done;", frames[-1])
        # Without a terminal: a JSON line a refresh, until Ctrl-C.
        self.load("c", 5)
        self.queue("pause", "--batch", "c")
        view = subprocess.Popen([cli.QUILLON, "queue", "status", "--batch",
                                 "c", "--watch"], env=env,
                                stdout=subprocess.PIPE)
        first = json.loads(view.stdout.readline())
        second = json.loads(view.stdout.readline())
        view.send_signal(signal.SIGINT)
        view.stdout.close()
        self.assertEqual(view.wait(timeout=10), 0)
        self.assertEqual((first["state"], second["pending"]), ("paused", 5))
        # The finished batch's figures per station and encoder.
        encoders = {e["station"]: e for e in self.status()["stations"]}
        self.assertEqual(sum(e["confirmed"] for e in encoders.values()), 60)
        for name, sim in zip("AB", self.sims):
            self.assertEqual((encoders[name]["state"],
                              encoders[name]["port"],
                              encoders[name]["last_card"],
                              encoders[name]["failures"]),
                             ("stopped", sim.link,
                              max(int(n) for n in self.written(sim)),
                              1 if name == "A" else 0))


def make_certificates(folder):
    """A throwaway CA, a server certificate it signs for localhost, and a
    second CA that signed nothing of this server's."""
    def openssl(*args):
        subprocess.run(["openssl", *args], cwd=folder, check=True,
                       capture_output=True, timeout=60)
    key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
           "-nodes"]
    for ca in ("ca", "other-ca"):
        openssl("req", "-x509", *key, "-keyout", ca + ".key", "-out",
                ca + ".crt", "-days", "2", "-subj", "/CN=bureau " + ca)
    openssl("req", *key, "-keyout", "server.key", "-out", "server.csr",
            "-subj", "/CN=localhost")
    with open(os.path.join(folder, "san"), "w") as f:
        f.write("subjectAltName=DNS:localhost\n")
    openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.crt", "-CAkey",
            "ca.key", "-CAcreateserial", "-out", "server.crt", "-days", "2",
            "-extfile", "san")
    # A station's own certificate: its common name is its role.
    openssl("req", *key, "-keyout", "desk1.key", "-out", "desk1.csr",
            "-subj", "/CN=desk1")
    openssl("x509", "-req", "-in", "desk1.csr", "-CA", "ca.crt", "-CAkey",
            "ca.key", "-CAcreateserial", "-out", "desk1.crt", "-days", "2")
    os.chmod(os.path.join(folder, "desk1.key"), 0o600)
    os.chmod(folder, 0o755)
    if os.geteuid() == 0:  # the server runs as nobody (pg_cluster.py)
        nobody = pwd.getpwnam("nobody")
        os.chown(os.path.join(folder, "server.key"), nobody.pw_uid,
                 nobody.pw_gid)
    os.chmod(os.path.join(folder, "server.key"), 0o600)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Tls(Queue):
    """The server with a certificate from a CA made here; connections
    without TLS refused."""

    @classmethod
    def setUpClass(cls):
        cls.certs = tempfile.mkdtemp(prefix="quillon_tls_")
        make_certificates(cls.certs)
        cls.cluster = PgCluster(
            port=free_port(),
            settings="listen_addresses = '127.0.0.1'\nssl = on\n"
            "ssl_cert_file = '%s/server.crt'\nssl_key_file = "
            "'%s/server.key'\nssl_ca_file = '%s/ca.crt'\n"
            % (cls.certs, cls.certs, cls.certs),
            hba="hostnossl all all all reject\n"
            "hostssl all desk1 127.0.0.1/32 cert\n"
            "hostssl all all 127.0.0.1/32 trust\n")
        cls.cluster.sql("CREATE ROLE desk1 LOGIN")

    @classmethod
    def tearDownClass(cls):
        super().tearDownClass()
        shutil.rmtree(cls.certs, ignore_errors=True)

    def test_a_station_connects_with_verify_full_and_a_wrong_server_is_refused(
            self):
        sim = self.serve(0, "--swipe-delay", "0")
        self.load("b", 5)
        port = self.cluster.port

        def url(host, ca, mode="verify-full"):
            return ("host=%s port=%d user=quillon dbname=%s sslmode=%s "
                    "sslrootcert=%s/%s" % (host, port, self.db, mode,
                                           self.certs, ca))
        status = ["queue", "status", "--batch", "b"]
        # (what, URL, words of the message)
        rows = [
            ("a CA that did not sign the server's certificate",
             url("localhost", "other-ca.crt"),
             [b"server at localhost:%d is not trusted" % port,
              b"certificate verify failed"]),
            ("a host name the certificate does not name",
             url("127.0.0.1", "ca.crt"),
             [b"server at 127.0.0.1:%d is not trusted" % port,
              b'does not match host name "127.0.0.1"']),
            ("no TLS at all", url("localhost", "ca.crt", "disable"),
             [b"server at localhost:%d" % port, b"no encryption"]),
            ("a station's role without its client certificate",
             url("localhost", "ca.crt").replace("user=quillon", "user=desk1"),
             [b"server at localhost:%d refused this client's certificate"
              % port, b"requires a valid client certificate"]),
        ]
        for what, refused, words in rows:
            with self.subTest(what):
                result = self.run_quillon("--queue", refused, *status)
                self.assertEqual(result.returncode, 2, result.stderr)
                for word in words:
                    self.assertIn(word, result.stderr)
        # With its certificate, the station's role is let in.
        self.queue("grant", "watcher", "desk1")
        desk1 = url("localhost", "ca.crt").replace(
            "user=quillon", "user=desk1") + (
            " sslcert={0}/desk1.crt sslkey={0}/desk1.key".format(self.certs))
        self.assertIn(b"batch b: 5 cards; 0 confirmed", self.run_quillon(
            "--queue", desk1, "queue", "status", "--batch", "b").stdout)
        # The server takes TCP connections over TLS only (hostnossl).
        result = self.run_quillon("--queue", url("localhost", "ca.crt"),
                                  *self.ports(), "write", "--batch", "b")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(self.written(sim), numbers(1, 5))


if __name__ == "__main__":
    cli.QUILLON, cli.ENCODER_SIM = sys.argv[1], sys.argv[2]
    import unittest
    unittest.main(argv=[sys.argv[0], *sys.argv[3:]], verbosity=2)
