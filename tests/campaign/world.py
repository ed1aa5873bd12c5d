"""One seed's world: quillon-encoder-sim encoders, a journal or a queue on the
worker's PostgreSQL cluster (behind a relay), quillon run again and again
as an operator would until the batch says it is done, and the faults of
the seed's plan struck along the way. What it leaves for the judge: the
encoders' records, the journal or the queue's status, and a history."""
import csv
import json
import os
import shutil
import signal
import subprocess
import tempfile
import threading
import time

import quillon_cli_test as cli
from plan import SIGNAL_OF
from relay import Relay

MAX_RUNS = 12
RUN_TIMEOUT_S = 60


def batch_cards(plan):
    """The cards of the batch as (track1, track2, track3)."""
    if plan.csv:
        return [("CARD%d" % n, "%04d" % n, "") for n in
                range(1, plan.cards + 1)]
    return [("", "%04d" % n, "") for n in range(1, plan.cards + 1)]


class World:
    def __init__(self, plan, tools, cluster=None, log=None):
        self.plan = plan
        self.tools = tools
        self.cluster = cluster
        self.log = log or (lambda line: None)
        self.folder = tempfile.mkdtemp(prefix="campaign_%d_" % plan.seed)
        self.sims = []
        self.history = []  # (run, exit code, last lines of stderr)
        self.stderr = b""  # every run's
        self.relay = None
        # Seeds share their worker's database: names of their own.
        self.batch = "b%d_%d" % (plan.seed, time.monotonic_ns())
        self.station = "S" + self.batch
        self.env = dict(os.environ)
        self.env.pop("QUILLON_FAULT_AT", None)
        if os.environ.get("QUILLON_TEST_SANITIZED"):
            self.env["ASAN_OPTIONS"] = (os.environ.get("ASAN_OPTIONS", "") +
                                        ":detect_leaks=0"
                                        ":verify_asan_link_order=0")
        self.journal = os.path.join(self.folder, "batch.jsonl")
        self.sync_log = os.path.join(self.folder, "journal.syncs")
        self.server_thread = None

    # --- encoders -----------------------------------------------------
    def serve(self, index, first=True):
        """Starts encoder `index`; plugged in again (not `first`), it holds
        the card it last wrote on its tray and no faults."""
        folder = os.path.join(self.folder, "e%d" % index)
        os.makedirs(folder, exist_ok=True)
        options = ["--swipe-delay", str(self.plan.swipe_ms[index])]
        faults = self.plan.encoder[index]
        if first and faults:
            path = os.path.join(folder, "faults.txt")
            with open(path, "w") as f:
                f.write("".join(fault.line + "\n" for fault in faults))
            options += ["--faults", path]
        if not first:
            self.sims[index].stop()
            written = [w for w in self.sims[index].written()
                       if w["status"] == "p"]
            if written:
                path = os.path.join(folder, "tray.txt")
                with open(path, "w", encoding="latin-1") as f:
                    f.write("|".join(written[-1][t] for t in
                                     ("track1", "track2", "track3")) + "\n")
                options += ["--tray", path]
        sim = cli.Simulator(folder, *options)
        if first:
            self.sims.append(sim)
        else:
            self.sims[index] = sim

    def unplugged(self, index):
        sim = self.sims[index]
        with open(sim.trace_path, "rb") as f:
            return b"quillon-encoder-sim: unplugged" in f.read()

    # --- the batch ----------------------------------------------------
    def quillon(self, *args, env=None, timeout=RUN_TIMEOUT_S):
        return subprocess.run([self.tools.quillon, *args],
                              env=env or self.env, capture_output=True,
                              timeout=timeout)

    def batch_args(self):
        if not self.plan.csv:
            return ["--track2", "0001", "--increment", "2:1", "--count",
                    str(self.plan.cards)]
        sheet = os.path.join(self.folder, "cards.csv")
        with open(sheet, "w", newline="") as f:
            rows = csv.writer(f)
            rows.writerow(["track1", "track2"])
            rows.writerows(card[:2] for card in batch_cards(self.plan))
        return ["--from", sheet]

    def set_up_queue(self, database):
        """The seed's batch in `database` (queue init done), loaded directly;
        quillon reaches the server through the relay."""
        self.direct_env = dict(self.env,
                               QUILLON_QUEUE=self.cluster.url(database))
        result = self.quillon("queue", "load", "--batch", self.batch,
                              *self.batch_args(), env=self.direct_env)
        if result.returncode != 0:
            raise RuntimeError("queue load: %s" % result.stderr)
        self.relay = Relay(os.path.join(self.cluster.folder, ".s.PGSQL.5432"))
        self.env["QUILLON_QUEUE"] = (
            "host=127.0.0.1 port=%d user=quillon dbname=%s" %
            (self.relay.port, database))

    def write_args(self, run):
        ports = [a for sim in self.sims for a in ("--port", sim.link)]
        verify = ["--verify"] if self.plan.verify else []
        if self.plan.mode == "queue":
            return [*ports, "write", "--batch", self.batch, "--station",
                    self.station,
                    *verify]
        resume = ["--resume"] if run > 1 else []
        return [*ports, "write", *self.batch_args(), "--journal",
                self.journal, *verify, *resume]

    def queue_status(self):
        result = self.quillon("queue", "status", "--batch", self.batch,
                              "--format", "json", env=self.direct_env)
        if result.returncode != 0:
            return None
        return json.loads(result.stdout)

    # --- faults -------------------------------------------------------
    def run_env(self, fault):
        env = dict(self.env)
        if self.plan.mode == "journal":
            env.update(LD_PRELOAD=self.tools.shim,
                       CAMPAIGN_JOURNAL=self.journal,
                       CAMPAIGN_SYNC_LOG=self.sync_log)
        if fault and fault.kind == "disk-full":
            env["CAMPAIGN_ENOSPC_AT"] = str(fault.writes)
        elif fault and fault.point:
            env["QUILLON_FAULT_AT"] = "%s:%s:%d" % (
                fault.point, SIGNAL_OF[fault.kind], fault.card)
        return env

    def power_loss(self):
        """The journal keeps what the last sync put on storage."""
        synced = 0
        if os.path.exists(self.sync_log):
            with open(self.sync_log) as f:
                syncs = [int(line.split()[1]) for line in f
                         if line.startswith("sync ")]
            synced = syncs[-1] if syncs else 0
        if os.path.exists(self.journal):
            size = os.path.getsize(self.journal)
            os.truncate(self.journal, min(size, synced))
            self.log("  power loss: journal cut from %d to %d bytes" %
                     (size, min(size, synced)))

    def server_pids(self):
        with open(os.path.join(self.cluster.data, "postmaster.pid")) as f:
            master = int(f.readline())
        pids = [master]
        for entry in os.listdir("/proc"):
            if entry.isdigit():
                try:
                    with open("/proc/%s/stat" % entry) as f:
                        stat = f.read()
                except OSError:
                    continue
                if int(stat.rsplit(")", 1)[1].split()[1]) == master:
                    pids.append(int(entry))
        return pids

    @staticmethod
    def signal_all(pids, number):
        # A backend may end between the listing and the signal.
        for pid in pids:
            try:
                os.kill(pid, number)
            except ProcessLookupError:
                pass

    def strike_server(self, fault):
        seconds = fault.for_ms / 1000
        self.log("  server: %s for %d ms" % (fault.kind, fault.for_ms))
        if fault.kind == "pg-stop":
            self.cluster._pg_ctl("stop", "-m", "immediate")
            time.sleep(seconds)
            self.cluster.start()
        elif fault.kind == "pg-hang":
            pids = self.server_pids()
            self.signal_all(pids, signal.SIGSTOP)
            time.sleep(seconds)
            self.signal_all(pids, signal.SIGCONT)
        elif fault.kind == "relay-delay":
            self.relay.delay_for(seconds, 0.03)
        elif fault.kind == "relay-cut":
            self.relay.cut_for(seconds)

    def start_server_faults(self):
        faults = sorted(self.plan.server, key=lambda f: f.at_ms)
        if not faults:
            return
        start = time.monotonic()

        def strike_all():
            for fault in faults:
                time.sleep(max(0.0, start + fault.at_ms / 1000 -
                               time.monotonic()))
                self.strike_server(fault)
        self.server_thread = threading.Thread(target=strike_all, daemon=True)
        self.server_thread.start()

    def server_faults_over(self):
        if self.server_thread:
            self.server_thread.join()

    # --- the operator -------------------------------------------------
    def run_once(self, run):
        fault = (self.plan.program[run - 1]
                 if run <= len(self.plan.program) else None)
        process = subprocess.Popen(
            [self.tools.quillon, *self.write_args(run)],
            env=self.run_env(fault), stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE)
        timer = None
        if fault and fault.kind != "disk-full" and not fault.point:
            sig = getattr(signal, "SIG" + SIGNAL_OF[fault.kind])
            timer = threading.Timer(fault.after_ms / 1000,
                                    lambda: process.poll() is None and
                                    process.send_signal(sig))
            timer.start()
        try:
            _, err = process.communicate(timeout=RUN_TIMEOUT_S)
        except subprocess.TimeoutExpired:
            process.kill()
            _, err = process.communicate()
            raise Stuck("run %d of quillon did not end within %d s" %
                        (run, RUN_TIMEOUT_S), err)
        finally:
            if timer:
                timer.cancel()
        if fault and fault.kind == "power-loss" and process.returncode == -9:
            self.power_loss()
        self.stderr += err
        tail = err.decode(errors="replace").strip().splitlines()[-3:]
        self.history.append((run, process.returncode, tail))
        self.log("  run %d: exit %d%s" % (run, process.returncode,
                                          "".join("\n    " + line
                                                  for line in tail)))
        return process.returncode

    def operate(self):
        """Runs the batch until it says it is done; the number of runs."""
        for run in range(1, MAX_RUNS + 1):
            for index in range(len(self.sims)):
                if self.unplugged(index):
                    self.log("  encoder %d plugged in again" % index)
                    self.serve(index, first=False)
            if run == 1:
                self.start_server_faults()
            code = self.run_once(run)
            if code != 0:
                # An operator takes a moment, and waits for a server that
                # is away to come back.
                time.sleep(0.05 * run)
                if self.plan.mode == "queue":
                    self.server_faults_over()
                continue
            if self.plan.mode == "journal":
                self.server_faults_over()
                return run
            self.server_faults_over()
            status = self.queue_status()
            if status and (status["confirmed"], status["pending"],
                           status["in_doubt"]) == (self.plan.cards, 0, 0):
                return run
        raise Stuck("the batch did not say it was done in %d runs" %
                    MAX_RUNS, b"")

    def close(self, keep=False):
        for sim in self.sims:
            if sim.process.poll() is None:
                sim.stop()
        if self.relay:
            self.relay.stop()
        if self.server_thread:
            self.server_thread.join()
        if not keep:
            shutil.rmtree(self.folder, ignore_errors=True)


class Stuck(Exception):
    def __init__(self, message, stderr):
        super().__init__(message)
        self.stderr = stderr


# What quillon said that may explain a card written twice or skipped.
CLUES = [
    (b"reported a failed write",
     "a write reply without the encoder's 'q' was taken as a failed write "
     "(the campaign's encoders never fail a write)"),
    (b"could not be read back",
     "a read-back without a whole reply was taken as a failed card"),
    (b"could not be read (blank?)",
     "a settling read without a whole reply was taken as a blank card"),
    (b"is away", "the queue's server was away during the batch"),
]


def clues(stderr):
    return [text for phrase, text in CLUES if phrase in stderr]
