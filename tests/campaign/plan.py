"""What one seed does: the batch and its faults, drawn from
random.Random(seed) alone, so that a seed replays the same plan.

Faults of the program (one per run of quillon, in order): sigkill, sigint,
sigterm, power-loss (killed, and the journal cut back to what was synced),
disk-full (the journal's disk fills up). Each strikes at a point of a
card's cycle (the program's test seam) or after a number of milliseconds.
Faults of an encoder (quillon-encoder-sim --faults, by frame number): cut-reply,
noise, late-answer, twice, hangup. Faults of the queue's server, at a
moment after the first run starts: pg-stop (stopped at once, started
again), pg-hang (SIGSTOP, then SIGCONT), relay-delay and relay-cut (the TCP
path to the server slowed or cut).
"""
import random
from dataclasses import dataclass, field

PROGRAM_FAULTS = ["sigkill", "sigint", "sigterm", "power-loss", "disk-full"]
ENCODER_FAULTS = ["cut-reply", "noise", "late-answer", "twice", "hangup"]
SERVER_FAULTS = ["pg-stop", "pg-hang", "relay-delay", "relay-cut"]
ALL_FAULTS = PROGRAM_FAULTS + ENCODER_FAULTS + SERVER_FAULTS
JOURNAL_ONLY = {"power-loss", "disk-full"}
QUEUE_ONLY = set(SERVER_FAULTS)
SEAM_POINTS = ["before-frame", "frame", "reply", "read-back", "journal"]
SIGNAL_OF = {"sigkill": "KILL", "sigint": "INT", "sigterm": "TERM",
             "power-loss": "KILL"}


@dataclass
class ProgramFault:
    kind: str
    point: str = ""      # a seam point, or "" for a time
    card: int = 0        # the card whose cycle the point is in
    after_ms: int = 0    # from the run's start, when point is ""
    writes: int = 0      # disk-full: the journal write that fills the disk


@dataclass
class EncoderFault:
    kind: str
    frame: int
    line: str            # the quillon-encoder-sim --faults line


@dataclass
class ServerFault:
    kind: str
    at_ms: int
    for_ms: int


@dataclass
class Plan:
    seed: int
    mode: str            # "journal" or "queue"
    encoders: int
    verify: bool
    csv: bool
    cards: int
    swipe_ms: list
    program: list = field(default_factory=list)
    encoder: list = field(default_factory=list)   # per encoder: faults
    server: list = field(default_factory=list)

    def fault_kinds(self):
        kinds = [f.kind for f in self.program + self.server]
        return kinds + [f.kind for faults in self.encoder for f in faults]

    def describe(self):
        lines = ["seed %d: %s, %d cards (%s%s), %d encoder(s), swipe %s ms" % (
            self.seed, self.mode, self.cards, "CSV" if self.csv else "counted",
            ", --verify" if self.verify else "", self.encoders,
            self.swipe_ms)]
        for i, f in enumerate(self.program):
            if f.kind == "disk-full":
                where = "at the journal's write %d" % f.writes
            elif f.point:
                where = "at %s of card %d" % (f.point, f.card)
            else:
                where = "after %d ms" % f.after_ms
            lines.append("  run %d: %s %s" % (i + 1, f.kind, where))
        for e, faults in enumerate(self.encoder):
            for f in faults:
                lines.append("  encoder %d: %s" % (e, f.line))
        for f in self.server:
            lines.append("  server: %s at %d ms for %d ms" % (
                f.kind, f.at_ms, f.for_ms))
        return "\n".join(lines)


def frames_per_card(verify):
    return 2 if verify else 1


def write_frame_of(card, verify):
    """The frame number of card `card`'s write at a lone encoder's first
    run: the reset, then each card's write (and read-back)."""
    return 2 + (card - 1) * frames_per_card(verify)


def draw(seed, kinds, modes):
    """The plan of `seed` with faults among `kinds`, the batch kept in
    `modes` (a subset of {"journal", "queue"})."""
    rng = random.Random(seed)
    mode = rng.choice(sorted(modes))
    plan = Plan(seed=seed, mode=mode, encoders=rng.randint(1, 3),
                verify=rng.random() < 0.5, csv=rng.random() < 0.3,
                cards=rng.randint(3, 30), swipe_ms=[])
    plan.swipe_ms = [rng.choice([0, 0, 5, 20]) for _ in range(plan.encoders)]
    plan.encoder = [[] for _ in range(plan.encoders)]
    usable = [k for k in kinds
              if not (mode == "queue" and k in JOURNAL_ONLY)
              and not (mode == "journal" and k in QUEUE_ONLY)]
    if not usable:
        return plan
    frames = 1 + plan.cards * frames_per_card(plan.verify) // plan.encoders
    stop_frames = []  # frames a planned stop of the program follows
    for _ in range(rng.randint(1, 3)):
        kind = rng.choice(usable)
        if kind in PROGRAM_FAULTS:
            fault = program_fault(rng, kind, plan)
            plan.program.append(fault)
            if fault.point == "frame" and len(plan.program) == 1:
                stop_frames.append(write_frame_of(fault.card, plan.verify))
        elif kind in ENCODER_FAULTS:
            encoder = rng.randrange(plan.encoders)
            # A late answer is most telling to the frame a stop follows.
            if kind == "late-answer" and stop_frames and rng.random() < 0.5:
                encoder, frame = 0, stop_frames[0]
            else:
                frame = rng.randint(1, frames + 1)
            line = encoder_line(rng, kind, frame)
            if (kind == "twice" and plan.swipe_ms[encoder] > 0
                    and frame not in stop_frames):
                # A copy that comes after the next frame went out, while
                # the encoder still waits for that frame's card, is that
                # frame's answer to anyone on the line (it carries no
                # sequence numbers): a copy comes right behind its reply
                # there. Later copies are drawn with instant swipes, where
                # the encoder's own answer comes first, and at the frame a
                # planned stop follows, where the next run's first reset
                # lets them go.
                line = "%d twice 0" % frame
            plan.encoder[encoder].append(EncoderFault(kind, frame, line))
        else:
            # Within the batch's first run (a card takes some 20 ms).
            plan.server.append(ServerFault(kind,
                                           rng.randint(0, 20 * plan.cards),
                                           rng.randint(100, 800)))
    return plan


def program_fault(rng, kind, plan):
    card = rng.randint(1, plan.cards)
    if kind == "disk-full":
        # Each card takes two journal writes (sent, confirmed) or three.
        return ProgramFault(kind, writes=rng.randint(1, 2 * plan.cards + 1))
    points = [p for p in SEAM_POINTS
              if (p != "read-back" or plan.verify)
              and (p != "journal" or plan.mode == "journal")]
    if rng.random() < 0.7:
        return ProgramFault(kind, point=rng.choice(points), card=card)
    return ProgramFault(kind, after_ms=rng.randint(5, 40 * plan.cards))


def encoder_line(rng, kind, frame):
    if kind == "cut-reply":
        # A pause longer than the 79 ms that ends a reply.
        return "%d cut %d %d" % (frame, rng.randint(1, 2),
                                 rng.choice([100, 150, 300]))
    if kind == "noise":
        return "%d noise %d" % (frame, rng.randint(1, 12))
    if kind == "late-answer":
        return "%d late %d" % (frame, rng.choice([60, 150, 400, 900]))
    if kind == "twice":
        return "%d twice %d" % (frame, rng.choice([0, 30, 120]))
    return "%d hangup" % frame
