"""quillon: the magnetic-stripe encoder from Python.

    import quillon
    with quillon.Encoder("/dev/ttyUSB0") as encoder:
        encoder.write(track2="0000000001", verify=True)
        print(encoder.read())

The same device layer and exactly-once batches as the ``quillon`` program:
replies end as soon as they are whole; write_batch() keeps the batch in a
journal that either of them resumes. Errors are quillon.Error subclasses.
"""

from __future__ import annotations

from typing import (Callable, Iterable, List, NamedTuple, Optional, Sequence,
                    Tuple, Union)

from ._card import Card, Text, cards_of, track_bytes
from ._errors import (BatchError, CardInDoubt, EncoderFailure, Error,
                      PortError, PortNameError, ReplyError, Timeout,
                      TrackTextError)
from ._quillon import Encoder, _ports
from ._quillon import _write_batch as _quillon_write_batch

__all__ = [
    "BatchError", "BatchResult", "Card", "CardInDoubt", "Encoder",
    "EncoderFailure", "Error", "Port", "PortError", "PortNameError",
    "ReplyError", "Timeout",
    "TrackTextError", "ports", "write_batch",
]


class Port(NamedTuple):
    """A serial device: its path, other names of it (/dev/serial/by-id),
    the COMn names that reach it, and whether this user may open it (else
    ``reason`` says why and what to do)."""
    path: str
    aliases: List[str]
    com: List[str]
    accessible: bool
    reason: Optional[str]


def ports() -> List[Port]:
    """The serial devices on this machine, as ``quillon ports`` lists them."""
    return [Port(p["path"], p["aliases"],
                 [] if p["com"] == "-" else p["com"].split(","),
                 not p["access"], p["access"] or None) for p in _ports()]


class BatchResult(NamedTuple):
    """How many cards the batch holds and how many are confirmed."""
    total: int
    confirmed: int


def _texts(card: Optional[Card], track1: Text, track2: Text,
           track3: Text) -> Tuple[Optional[bytes], ...]:
    if card is not None:
        if any(t is not None for t in (track1, track2, track3)):
            raise TypeError("give a card or track texts, not both")
        return card.tracks()
    return tuple(track_bytes(n, t) for n, t in ((1, track1), (2, track2),
                                                (3, track3)))


def _write(self: Encoder, card: Optional[Card] = None, *, track1: Text = None,
           track2: Text = None, track3: Text = None, verify: bool = False,
           retries: int = 3) -> None:
    """Writes one card: `card`, or the texts of track1..track3 (str, one
    character per byte, or bytes), on the card passed next.

    With `verify` the card is read back. A card that fails (the encoder's
    failure status, or read back wrong) is asked for again up to `retries`
    times, then EncoderFailure. An answer that is not whole is never
    written over blindly: the card is read to settle it (pass it again);
    CardInDoubt when it cannot be.
    """
    self._write(_texts(card, track1, track2, track3), verify, retries)


Encoder.write = _write
Encoder.__iter__ = cards_of


def write_batch(encoders: Union[Encoder, Sequence[Encoder]],
                cards: Optional[Iterable[Card]] = None, *,
                track1: Text = None, track2: Text = None, track3: Text = None,
                increments: Iterable[Union[str, Tuple[int, int]]] = (),
                count: int = 1, journal: Optional[str] = None,
                resume: bool = False, queue: Optional[str] = None,
                batch: Optional[str] = None, station: Optional[str] = None,
                verify: bool = False, retries: int = 3,
                progress: Optional[Callable[[int, int, int, str], object]] = None
                ) -> BatchResult:
    """Writes a batch, every card exactly once, over one or more encoders
    (a thread each), as ``quillon write`` does.

    The cards: `cards` (quillon.Card, all with the same tracks), or start
    texts track1..track3 counted up `count` cards long by `increments`
    ("2:1" or (2, 1): track 2's number at the end of its text, step 1).

    `journal`: a file that keeps every step of every card (the format of
    ``quillon write --journal``); after any end (Ctrl-C, kill -9) call again
    with ``resume=True`` (or ``quillon write --resume``): cards in doubt are
    asked for at the encoder that sent them and read, never written twice.
    `queue` and `batch`: the cards of that batch of a card queue
    (PostgreSQL URL; ``quillon queue load`` fills it), written as station
    `station` (default: this machine's name), as ``quillon write --batch``
    does; a card this station left in doubt is asked for again.
    `progress(done, total, number, port)` after each confirmed card.
    """
    if isinstance(encoders, Encoder):
        encoders = [encoders]
    steps = [s if isinstance(s, str) else f"{s[0]}:{s[1]}" for s in increments]
    card_texts = None
    texts = None
    queued = None
    if (queue is None) != (batch is None):
        raise TypeError("a queue batch needs both queue and batch")
    if queue is not None:
        if cards is not None or journal is not None or any(
                t is not None for t in (track1, track2, track3)):
            raise TypeError("a queue batch takes its cards from the queue: "
                            "no cards, texts or journal")
        queued = (queue, batch, station or "")
    elif cards is not None:
        if any(t is not None for t in (track1, track2, track3)):
            raise TypeError("give cards or track texts, not both")
        card_texts = [c.tracks() for c in cards]
    else:
        texts = _texts(None, track1, track2, track3)
    total, confirmed = _quillon_write_batch(
        list(encoders), texts, steps, count, card_texts, journal, resume,
        queued, verify, retries, progress)
    return BatchResult(total, confirmed)

