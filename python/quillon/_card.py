"""quillon.Card: the three tracks of a magnetic-stripe card as bytes."""

from __future__ import annotations

import logging
from typing import Dict, Iterator, Optional, Union

from ._errors import EncoderFailure, ReplyError, TrackTextError

Text = Union[str, bytes, bytearray, None]


def track_bytes(track: int, text: Text) -> Optional[bytes]:
    """A track's text as card bytes: bytes as they are, str one byte per
    character (U+0000..U+00FF, as the CLI's JSON has it)."""
    if text is None or isinstance(text, bytes):
        return text
    if isinstance(text, bytearray):
        return bytes(text)
    if not isinstance(text, str):
        raise TypeError(f"track {track} is str or bytes, not {type(text).__name__}")
    for character in text:
        if ord(character) > 0xFF:
            raise TrackTextError(
                f"track {track} holds {character!r} (U+{ord(character):04X}), "
                "which is not one byte (U+0000 to U+00FF only)",
                track, character)
    return text.encode("latin-1")


class Card:
    """A card's tracks 1, 2 and 3 as bytes, or None for a track not read or
    not to be written. Texts given as str become bytes one per character."""

    __slots__ = ("track1", "track2", "track3")

    def __init__(self, track1: Text = None, track2: Text = None,
                 track3: Text = None) -> None:
        self.track1 = track_bytes(1, track1)
        self.track2 = track_bytes(2, track2)
        self.track3 = track_bytes(3, track3)

    def tracks(self) -> tuple:
        """(track1, track2, track3) as bytes or None."""
        return (self.track1, self.track2, self.track3)

    def text(self, track: int) -> Optional[str]:
        """Track 1..3 as text, one character per byte; None when absent."""
        data = self.tracks()[track - 1]
        return None if data is None else data.decode("latin-1")

    def to_dict(self) -> Dict[str, str]:
        """{"track1": text, ...} of the tracks present, as the CLI's JSON."""
        return {f"track{n}": self.text(n) for n in (1, 2, 3)
                if self.tracks()[n - 1] is not None}

    @classmethod
    def from_dict(cls, data: Dict[str, Text]) -> "Card":
        """The inverse of to_dict()."""
        return cls(data.get("track1"), data.get("track2"), data.get("track3"))

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Card):
            return NotImplemented
        return self.tracks() == other.tracks()

    def __hash__(self) -> int:
        return hash(self.tracks())

    def __iter__(self) -> Iterator[Optional[bytes]]:
        return iter(self.tracks())

    def __repr__(self) -> str:
        parts = [f"track{n}={t!r}" for n, t in zip((1, 2, 3), self.tracks())
                 if t is not None]
        return f"Card({', '.join(parts)})"


def cards_of(encoder) -> Iterator[Card]:
    """Card after card from `encoder`, until Ctrl-C. A card that could not
    be read (blank, or a reply not whole) is asked for again, as `quillon
    read` does: a warning on the "quillon" logger, no exception."""
    while True:
        try:
            card = encoder.read()
        except (EncoderFailure, ReplyError) as failure:
            logging.getLogger("quillon").warning(
                "%s: read failed; pass the card again", failure)
            continue
        yield card
