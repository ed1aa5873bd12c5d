"""Fixtures: encoder-sim processes (the judge: their frames and records of
written cards), the quillon program, and the module from the build tree.

Environment (set by ctest): ENCODER_SIM, QUILLON_CLI, PYTHONPATH.
"""
import os
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tools"))
import quillon_cli_test as cli  # noqa: E402  (its Simulator)

cli.ENCODER_SIM = os.environ["ENCODER_SIM"]
QUILLON_CLI = os.environ["QUILLON_CLI"]
RESET = "1B 30"
wait_until = cli.wait_until


@pytest.fixture
def sims(tmp_path):
    """sims(*options) starts one more simulator (`like`: in place of that
    one, on its port, as when it is plugged in anew); all stop at the end."""
    started = []

    def start(*options, deck=None, like=None):
        if like is not None:
            like.stop()
            folder = os.path.dirname(like.link)
        else:
            folder = tmp_path / ("e%d" % len(started))
            folder.mkdir()
        sim = cli.Simulator(str(folder), *options, deck=deck)
        started.append(sim)
        return sim

    yield start
    for sim in started:
        if sim.process.poll() is None:
            sim.stop()


def run_cli(*args, env=None, timeout=60):
    return subprocess.run([QUILLON_CLI, *args], env=env, timeout=timeout,
                          capture_output=True)


def run_python(code, *args, **popen):
    """A Python process of the system's python3 running `code`."""
    return subprocess.Popen([sys.executable, "-c", code, *args],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            **popen)


def good_track2(sim):
    """Track 2 of every card the simulator wrote successfully."""
    return [w["track2"] for w in sim.written() if w["status"] == "p"]


def numbers(first, last):
    return ["%04d" % n for n in range(first, last + 1)]
