#!/usr/bin/env python3
"""The README's sessions against the simulated encoder, run as written.

Takes the set-up block and every console block of the section "Sessions
against quillon-encoder-sim", runs each `$` command (with its `\\`
continuation lines) in the session's folder and environment, and compares
what it prints (stdout and stderr together) with the lines the README shows
under it. What may vary is normalised on both sides before they are
compared, so the README is updated by editing the README alone (a command
that differs is shown with the lines it printed, ready to paste):
  - times (2026-12-07T11:51:31.456Z) and the folder the session runs in;
  - /tmp/ in the README is a scratch folder of the test's own, and build/
    the build folder the test is given;
  - a command given several --port prints its cards in any order, each at
    any of its ports;
  - `^C` at the start of a line: the command is interrupted there (SIGINT),
    once the lines before it are printed and its --journal ends with the
    line of a card sent; `kill -9 %%` does the same with SIGKILL to the
    command started with `&`, then lets the encoder finish that card (until
    a simulator's --record gains a line, or 3 s); `echo $?` prints the last
    command's exit code.

    readme_sessions_test.py README.md BUILD_DIR
"""
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SECTION = "### Sessions against quillon-encoder-sim"
TIME = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z")
WAIT_S = 60
SENT_TO_FRAME_S = 0.15
PORT = re.compile(r"port=\S+")


def blocks(readme):
    """The section's (kind, lines) fenced blocks, in order."""
    text = readme.split(SECTION, 1)[1].split("\n## ", 1)[0]
    found = []
    for match in re.finditer(r"^( *)```(\w+)\n(.*?)^\1```", text, re.S | re.M):
        indent = len(match.group(1))
        lines = [line[indent:] for line in match.group(3).splitlines()]
        found.append((match.group(2), lines))
    return found


def commands(lines):
    """(command, expected lines) of a console block."""
    steps = []
    i = 0
    while i < len(lines):
        line = lines[i]
        assert line.startswith("$ "), "console line outside a command: " + line
        command = line[2:]
        while command.endswith("\\"):
            i += 1
            command = command[:-1] + " " + lines[i].strip()
        i += 1
        expected = []
        while i < len(lines) and not lines[i].startswith("$ "):
            expected.append(lines[i])
            i += 1
        steps.append((command, expected))
    return steps


class Session:
    def __init__(self, top, build, scratch):
        self.top = top  # the set-up runs from the top of the tree
        self.build = os.path.abspath(build)
        self.scratch = scratch
        self.env = dict(os.environ)
        self.cwd = None
        self.background = None
        self.last_code = 0
        self.processes = []
        self.failures = []
        self.records = []  # the simulators' records of written cards

    def rewrite(self, command):
        command = command.replace("/tmp/", self.scratch + "/")
        command = command.replace("$PWD/build/", self.build + "/")
        return re.sub(r"(?<![\w/])build/", self.build + "/", command)

    def normal(self, lines):
        out = []
        for line in lines:
            line = TIME.sub("<time>", line.rstrip("\r"))
            line = line.replace(self.scratch + "/", "/tmp/")
            if self.cwd:
                line = line.replace(self.cwd, "<folder>")
            out.append(line)
        return out

    def note_records(self, command):
        self.records += re.findall(r"--record (\S+)", self.rewrite(command))

    def cards_recorded(self):
        count = 0
        for path in self.records:
            if os.path.exists(path):
                with open(path) as f:
                    count += len(f.readlines())
        return count

    def setup(self, lines):
        """Runs the set-up; its folder and environment carry over."""
        script = self.rewrite("\n".join(lines))
        self.note_records(script)
        script += '\nenv -0 > "%s/env"; pwd > "%s/cwd"\n' % (
            self.scratch, self.scratch)
        process = subprocess.Popen(["bash", "-ec", script], env=self.env,
                                   cwd=self.top,
                                   start_new_session=True,
                                   stdout=subprocess.DEVNULL)
        self.processes.append(process)
        process.wait(timeout=WAIT_S)
        with open(os.path.join(self.scratch, "env"), "rb") as f:
            pairs = [item.split(b"=", 1) for item in f.read().split(b"\0")
                     if b"=" in item]
        self.env = {k.decode(): v.decode() for k, v in pairs}
        with open(os.path.join(self.scratch, "cwd")) as f:
            self.cwd = f.read().strip()
        time.sleep(0.5)  # the simulator makes its link

    def start(self, command):
        process = subprocess.Popen(
            ["bash", "-c", self.rewrite(command)], cwd=self.cwd, env=self.env,
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
            start_new_session=True)
        self.processes.append(process)
        return process

    def interrupt_when_ready(self, process, command, shown, sig):
        """Reads `shown` lines, waits for the journal's sent line, signals."""
        got = [process.stdout.readline().rstrip("\n") for _ in range(shown)]
        journal = re.search(r"--journal (\S+)", command)
        deadline = time.monotonic() + WAIT_S
        while journal and time.monotonic() < deadline:
            path = os.path.join(self.cwd, journal.group(1))
            tail = []
            if os.path.exists(path):
                with open(path) as f:
                    tail = f.read().splitlines()[-1:]
            if tail and '"state":"sent"' in tail[0]:
                # The frame goes out right after the line is on storage;
                # the card is swiped half a second later.
                time.sleep(SENT_TO_FRAME_S)
                break
            time.sleep(0.005)
        os.killpg(process.pid, sig)
        rest = process.communicate(timeout=WAIT_S)[0]
        return got + rest.splitlines(), process.returncode

    def run(self, command, expected):
        if command.endswith("&"):
            self.note_records(command)
            process = self.start(command[:-1])
            self.background = (process, command)
            if expected and not command.startswith("build/"):
                got = [process.stdout.readline().rstrip("\n")
                       for _ in expected]
                self.compare(command, expected, got)
            return
        if command == "kill -9 %%":
            process, started = self.background
            recorded = self.cards_recorded()
            self.interrupt_when_ready(process, started, 0, signal.SIGKILL)
            deadline = time.monotonic() + 3
            while (self.cards_recorded() == recorded
                   and time.monotonic() < deadline):
                time.sleep(0.01)
            return
        if command == "echo $?":
            got = [str(self.last_code)]
        else:
            cut = [i for i, line in enumerate(expected) if line.startswith("^C")]
            process = self.start(command)
            if cut:
                expected[cut[0]] = expected[cut[0]][2:]
                got, code = self.interrupt_when_ready(
                    process, command, cut[0], signal.SIGINT)
            else:
                got = process.communicate(timeout=WAIT_S)[0].splitlines()
                code = process.returncode
            self.last_code = code
        ordered = command.count("--port") < 2
        self.compare(command, expected, got, ordered)

    def compare(self, command, expected, got, ordered=True):
        want, have = self.normal(expected), self.normal(got)
        if not ordered:
            want = sorted(PORT.sub("port=<port>", line) for line in want)
            have = sorted(PORT.sub("port=<port>", line) for line in have)
        if want != have:
            # As printed, in the README's paths: ready to paste into it.
            printed = [line.rstrip("\r").replace(self.scratch + "/", "/tmp/")
                       for line in got]
            self.failures.append("$ %s\n--- README\n%s\n--- printed\n%s" % (
                command, "\n".join(expected), "\n".join(printed)))

    def stop(self):
        for process in self.processes:
            try:
                os.killpg(process.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        # The session's own folder (mktemp -d in the set-up).
        if self.cwd and os.path.basename(self.cwd).startswith("tmp."):
            shutil.rmtree(self.cwd, ignore_errors=True)


def main():
    readme_path, build = sys.argv[1], sys.argv[2]
    with open(readme_path, encoding="utf-8") as f:
        found = blocks(f.read())
    scratch = tempfile.mkdtemp(prefix="readme_sessions_")
    top = os.path.dirname(os.path.abspath(readme_path))
    session = Session(top, build, scratch)
    ran = 0
    try:
        kind, lines = found[0]
        assert kind == "sh", "the section begins with its set-up"
        session.setup(lines)
        for kind, lines in found[1:]:
            if kind != "console":
                continue
            for command, expected in commands(lines):
                session.run(command, expected)
                ran += 1
    finally:
        session.stop()
        shutil.rmtree(scratch, ignore_errors=True)
    for failure in session.failures:
        print(failure + "\n")
    print("%d commands, %d differ from the README" % (ran,
                                                      len(session.failures)))
    return 1 if session.failures or ran == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
