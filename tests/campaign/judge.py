"""The judge, independent of quillon: the encoders' records of the cards
they physically wrote. Once the batch says it is done, every card of the
batch is on exactly one card, no card is there that is not the batch's,
and the journal or the queue agrees with the cards, encoder by encoder."""
import json
from collections import Counter

TRACKS = ("track1", "track2", "track3")


def physical_cards(records):
    """Per encoder, the cards written successfully as track tuples."""
    return [[tuple(w[t] for t in TRACKS) for w in record
             if w["status"] == "p"] for record in records]


def name(card):
    return "/".join(t for t in card if t)


def judge_cards(expected, per_encoder):
    problems = []
    written = Counter(card for cards in per_encoder for card in cards)
    for number, card in enumerate(expected, 1):
        times = written.pop(card, 0)
        if times == 0:
            problems.append("card %d (%s) is on no card" % (number,
                                                            name(card)))
        elif times > 1:
            problems.append("card %d (%s) is on %d cards" % (
                number, name(card), times))
    for card, times in written.items():
        problems.append("%s, not of the batch, is on %d card(s)" % (
            name(card), times))
    return problems


def judge_journal(path, expected, links, per_encoder):
    with open(path, "rb") as f:
        data = f.read()
    if data and not data.endswith(b"\n"):
        return ["the journal ends in a line cut short"]
    lines = [json.loads(line) for line in data.splitlines()]
    last_state = {}
    confirmed = Counter()
    by_port = {link: Counter() for link in links}
    for line in lines:
        state = line.get("state", "confirmed")
        last_state[line["card"]] = state
        if state == "confirmed":
            confirmed[line["card"]] += 1
            card = tuple(line.get(t, "") for t in TRACKS)
            by_port.setdefault(line.get("port"), Counter())[card] += 1
    problems = ["the journal leaves card %d %s" % (card, state)
                for card, state in sorted(last_state.items())
                if state != "confirmed"]
    missing = [n for n in range(1, len(expected) + 1) if n not in confirmed]
    if missing:
        problems.append("the journal confirms no card %s" % missing)
    for link, cards in zip(links, per_encoder):
        if by_port.get(link, Counter()) != Counter(cards):
            problems.append("the journal's cards at %s are not that "
                            "encoder's record" % link)
    return problems


def judge_queue(status, count, links, per_encoder):
    if status is None:
        return ["the queue's status cannot be read"]
    problems = []
    got = (status["confirmed"], status["pending"], status["in_doubt"])
    if got != (count, 0, 0):
        problems.append("the queue says %d confirmed, %d pending, %d in "
                        "doubt of %d" % (*got, count))
    by_port = {s["port"]: s["confirmed"] for s in status["stations"]}
    for link, cards in zip(links, per_encoder):
        if by_port.get(link, 0) != len(cards):
            problems.append("the queue counts %d cards at %s, its record %d"
                            % (by_port.get(link, 0), link, len(cards)))
    return problems
