#!/usr/bin/env python3
"""The seeded fault campaign: each seed draws a write batch (journal or
queue, 1 to 3 encoders, --verify or not, counted or CSV) and faults at
random moments (plan.py), runs real quillon processes on quillon-encoder-sim
encoders through them as an operator would until the batch is done
(world.py), and judges the encoders' records of written cards (judge.py).

    tests/campaign/campaign.py --build build --seeds 200
    tests/campaign/campaign.py --build build --seed 17 -v     # replay one
    tests/campaign/campaign.py --build build --faults cut-reply,power-loss

Every failure prints its seed and the command that replays it. Exit 0 when
no seed failed.
"""
import argparse
import os
import subprocess
import sys
import threading
import time
from collections import Counter

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "tools"),
                os.path.join(HERE, "..", "support")]

import quillon_cli_test as cli  # noqa: E402
from judge import (judge_cards, judge_journal, judge_queue,  # noqa: E402
                   physical_cards)
from plan import ALL_FAULTS, draw  # noqa: E402
from world import World, Stuck, batch_cards, clues  # noqa: E402


class Tools:
    def __init__(self, args):
        build = args.build or ""
        self.quillon = args.quillon or os.path.join(
            build, "tools", "quillon", "quillon")
        self.encoder_sim = args.encoder_sim or os.path.join(
            build, "sim", "quillon-encoder-sim")
        self.shim = args.shim or os.path.join(
            build, "tests", "campaign", "campaign_journal_shim.so")
        for path in (self.quillon, self.encoder_sim, self.shim):
            if not os.path.exists(path):
                sys.exit("campaign: %s is not built (--build names the build "
                         "folder)" % path)
        self.shim = os.path.abspath(self.shim)
        cli.ENCODER_SIM = self.encoder_sim


def run_seed(plan, tools, queue, verbose, keep):
    """Problems found (empty: the seed passed) and the number of runs."""
    lines = []
    log = (lambda line: print(line, flush=True)) if verbose else lines.append
    log(plan.describe())
    cluster, database = queue or (None, None)
    world = World(plan, tools, cluster, log)
    runs = 0
    try:
        for index in range(plan.encoders):
            world.serve(index)
        if plan.mode == "queue":
            world.set_up_queue(database)
        try:
            runs = world.operate()
        except Stuck as stuck:
            return [str(stuck)] + stuck.stderr.decode(
                errors="replace").splitlines()[-5:], runs, lines
        for sim in world.sims:
            sim.stop()
        per_encoder = physical_cards([sim.written() for sim in world.sims])
        expected = batch_cards(plan)
        links = [sim.link for sim in world.sims]
        problems = judge_cards(expected, per_encoder)
        if plan.mode == "journal":
            problems += judge_journal(world.journal, expected, links,
                                      per_encoder)
        else:
            problems += judge_queue(world.queue_status(), plan.cards, links,
                                    per_encoder)
        if problems:
            problems += ["clue: " + c for c in clues(world.stderr)]
        return problems, runs, lines
    finally:
        world.close(keep=keep)
        if keep:
            log("  kept: " + world.folder)


def replay_command(args, seed):
    extra = ""
    if args.faults:
        extra += " --faults " + args.faults
    if args.journal_only:
        extra += " --journal-only"
    if args.queue_only:
        extra += " --queue-only"
    return "tests/campaign/campaign.py --build %s --seed %d%s -v" % (
        args.build or "build", seed, extra)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", help="the build folder")
    parser.add_argument("--quillon")
    parser.add_argument("--encoder-sim")
    parser.add_argument("--shim")
    parser.add_argument("--seeds", type=int, default=100)
    parser.add_argument("--first", type=int, default=1)
    parser.add_argument("--seed", type=int, help="replay this seed alone")
    parser.add_argument("--faults", help="kinds to draw from, by commas "
                        "(default: all): " + ",".join(ALL_FAULTS))
    parser.add_argument("--journal-only", action="store_true")
    parser.add_argument("--queue-only", action="store_true")
    parser.add_argument("--jobs", type=int, default=1, choices=(1, 2))
    parser.add_argument("--stop-at-first", action="store_true")
    parser.add_argument("--keep", action="store_true",
                        help="keep each seed's folder")
    parser.add_argument("-v", "--verbose", action="store_true")
    args = parser.parse_args()

    tools = Tools(args)
    kinds = args.faults.split(",") if args.faults else list(ALL_FAULTS)
    unknown = set(kinds) - set(ALL_FAULTS)
    if unknown:
        sys.exit("campaign: no fault kind %s" % ",".join(sorted(unknown)))
    modes = {"journal", "queue"}
    if args.journal_only:
        modes = {"journal"}
    if args.queue_only:
        modes = {"queue"}
    seeds = ([args.seed] if args.seed is not None else
             list(range(args.first, args.first + args.seeds)))
    plans = [draw(seed, kinds, modes) for seed in seeds]
    jobs = min(args.jobs, len(plans))

    clusters = []
    if any(p.mode == "queue" for p in plans):
        from pg_cluster import PgCluster
        clusters = [PgCluster() for _ in range(jobs)]
    lock = threading.Lock()
    pending = list(plans)
    failures = []
    faults = Counter()
    runs = Counter()
    started = time.monotonic()

    def worker(slot):
        queue = None
        if clusters:  # one database a worker, its tables made once
            queue = (clusters[slot], "w%d" % slot)
            clusters[slot].database(queue[1])
            subprocess.run([tools.quillon, "queue", "init"], env=dict(
                os.environ, QUILLON_QUEUE=clusters[slot].url(queue[1])),
                check=True, capture_output=True, timeout=60)
        while True:
            with lock:
                if not pending or (failures and args.stop_at_first):
                    return
                plan = pending.pop(0)
            try:
                problems, count, lines = run_seed(plan, tools, queue,
                                                  args.verbose, args.keep)
            except Exception as error:  # the world itself broke
                problems, count, lines = ["campaign error: %r" % error], 0, []
            with lock:
                faults.update(plan.fault_kinds())
                runs[count] += 1
                if problems:
                    failures.append(plan.seed)
                    print("FAIL seed %d: %s" % (plan.seed, problems[0]))
                    for line in lines + problems[1:]:
                        print("  " + line)
                    print("  replay: " + replay_command(args, plan.seed),
                          flush=True)
                elif args.verbose:
                    print("seed %d passed" % plan.seed, flush=True)

    threads = [threading.Thread(target=worker, args=(slot,))
               for slot in range(jobs)]
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        for cluster in clusters:
            cluster.stop()
    elapsed = time.monotonic() - started
    done = sum(runs.values())
    print("%d seeds in %.1f s (%.2f seeds/s), %d failed%s" % (
        done, elapsed, done / elapsed if elapsed else 0, len(failures),
        ": " + " ".join(map(str, sorted(failures))) if failures else ""))
    print("faults drawn: " + ", ".join("%s %d" % kv for kv in
                                       sorted(faults.items())))
    print("runs of quillon a seed took: " + ", ".join(
        "%d: %d seeds" % kv for kv in sorted(runs.items())))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
