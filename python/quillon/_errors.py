"""The exceptions of quillon: one hierarchy under Error that fits Python's own."""

from __future__ import annotations

from typing import Optional


class Error(Exception):
    """Every failure that quillon reports."""


class PortError(Error, OSError):
    """The port cannot be opened (or the line to the encoder was lost).

    ``errno`` is the cause (ENOENT, EACCES, EBUSY, ENOTTY, EIO), ``strerror``
    the diagnosis that ``quillon ports`` also gives, ``filename`` the device.
    """


class PortNameError(Error, ValueError):
    """A port that is neither COMn, n (1 to 255) nor a device path."""


class Timeout(Error, TimeoutError):
    """No reply (or no card) in time; the encoder was reset."""


class TrackTextError(Error, ValueError):
    """A text that a track cannot carry. ``track`` is 1..3; ``character`` the
    character at fault where one is (else None)."""

    def __init__(self, message: str, track: int, character: Optional[str] = None):
        super().__init__(message)
        self.track = track
        self.character = character


class EncoderFailure(Error):
    """The encoder answered with its failure status (a card it could not
    read or write)."""


class ReplyError(Error):
    """The encoder's reply was not whole (cut short or garbled)."""


class BatchError(Error):
    """A batch that cannot start: bad input, or a journal that does not fit
    it (held by another program, other cards). Nothing was sent."""


class CardInDoubt(Error):
    """A card may have been written but could not be confirmed.

    ``number`` is its number in the batch (1 for a single write), ``card``
    the quillon.Card meant, ``port`` the encoder that sent it: only reading
    the card there settles it (resuming the batch asks for it).
    """

    def __init__(self, message: str, number: int, card: object, port: str):
        super().__init__(message)
        self.number = number
        self.card = card
        self.port = port
