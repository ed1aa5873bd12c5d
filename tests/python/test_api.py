"""Every operation once, against the frames quillon sends for it, and every
error class once."""
import errno

import pytest

import quillon
from conftest import RESET, run_cli, wait_until

# (what the module does, the quillon command that sends the same frames)
OPERATIONS = [
    (lambda e: e.test(), ["test"]),
    (lambda e: e.status(), ["status"]),
    (lambda e: e.reset(), ["reset"]),
    (lambda e: e.erase([1, 3]), ["erase", "--tracks", "1,3"]),
    (lambda e: e.coercivity("low"), ["coercivity", "low"]),
    (lambda e: e.density(75), ["density", "75"]),
    (lambda e: e.read(tracks=(2,)), ["read", "--tracks", "2"]),
    (lambda e: e.write(track1="AB1", track2=b"42"),
     ["write", "--track1", "AB1", "--track2", "42"]),
    (lambda e: e.write(quillon.Card(track3="7\u00e9"), verify=True),
     ["write", "--track3", "7\u00e9", "--verify"]),
]


@pytest.mark.parametrize("operation,command", OPERATIONS)
def test_operation_sends_what_quillon_sends(sims, operation, command):
    deck = [b"CARD|1234|9"]
    mine = sims("--swipe-delay", "0", deck=deck)
    theirs = sims("--swipe-delay", "0", deck=deck)
    with quillon.Encoder(mine.link) as encoder:
        operation(encoder)
    result = run_cli("--port", theirs.link, *command)
    assert result.returncode == 0, result.stderr
    # The write batch's opening reset and quiet wait are the same as well.
    # (The simulators log a frame after they have answered it.)
    wait_until(lambda: mine.frames() == theirs.frames())
    assert mine.frames() == theirs.frames()
    assert mine.written() == theirs.written()


def test_read_write_and_card_after_card(sims):
    sim = sims("--swipe-delay", "0")
    with quillon.Encoder(sim.link) as encoder:
        assert encoder.status() is True
        encoder.write(track1="NAME^\u00c5", track2="0001", track3="9")
        card = encoder.read()
        assert card == quillon.Card(b"NAME^\xc5", "0001", "9")
        assert card.to_dict() == {"track1": "NAME^\u00c5", "track2": "0001",
                                  "track3": "9"}
        assert quillon.Card.from_dict(card.to_dict()) == card
        assert repr(quillon.Card(track2="1")) == "Card(track2=b'1')"
        assert encoder.read(tracks=[2]).tracks() == (None, b"0001", None)
        cards = [c for c, _ in zip(encoder, range(3))]
        assert cards == [card] * 3
    assert encoder.closed
    with pytest.raises(quillon.Error, match="closed"):
        encoder.test()


def test_card_after_card_asks_again_for_a_card_not_read(
        sims, tmp_path, caplog):
    garbage = tmp_path / "garbage.bin"
    garbage.write_bytes(b"\x1bz")
    sim = sims("--swipe-delay", "0", "--reply", str(garbage),
               deck=[b"A|1|3", b"B|2|3", b"C|3|3"])
    with quillon.Encoder(sim.link) as encoder:
        cards = [card.track2 for _, card in zip(range(2), encoder)]
    assert cards == [b"2", b"3"]  # card 1's reply was garbled
    assert "pass the card again" in caplog.text


def _port_missing(sims, tmp_path):
    quillon.Encoder(str(tmp_path / "gone"))


def _no_card_in_time(sims, tmp_path):
    sim = sims()  # no --swipe-delay: no card comes
    with quillon.Encoder(sim.link) as encoder:
        try:
            encoder.read(timeout=0.3)
        finally:
            assert wait_until(lambda: sim.frames()[-1] == RESET)


def _text_not_one_byte(sims, tmp_path):
    with quillon.Encoder(sims().link) as encoder:
        encoder.write(track2="1\u20ac")


def _separator_on_track3(sims, tmp_path):
    with quillon.Encoder(sims().link) as encoder:
        encoder.write(track3="12A4")


def _failure_status(sims, tmp_path):
    fail = tmp_path / "fail.bin"
    fail.write_bytes(b"\x1brq")
    with quillon.Encoder(sims("--swipe-delay", "0", "--reply",
                              str(fail)).link) as encoder:
        encoder.write(track2="1", retries=0)


def _garbled_reply(sims, tmp_path):
    garbage = tmp_path / "garbage.bin"
    garbage.write_bytes(b"\x1bz")
    with quillon.Encoder(sims("--swipe-delay", "0", "--reply",
                              str(garbage)).link) as encoder:
        encoder.read()


def _write_in_doubt(sims, tmp_path):
    garbage = tmp_path / "garbage.bin"
    garbage.write_bytes(b"\x1bz")
    # The write's answer and the read that would settle it: not whole.
    sim = sims("--swipe-delay", "0", "--reply", str(garbage),
               "--reply", str(garbage))
    with quillon.Encoder(sim.link) as encoder:
        encoder.write(track2="77", retries=0)


def _journal_of_another_batch(sims, tmp_path):
    journal = str(tmp_path / "batch.jsonl")
    with quillon.Encoder(sims("--swipe-delay", "0").link) as encoder:
        quillon.write_batch(encoder, track2="0001", count=2, journal=journal)
        quillon.write_batch(encoder, track2="9001", count=2, journal=journal,
                            resume=True)


def _port_name_wrong(sims, tmp_path):
    quillon.Encoder("COM0")


# (what fails, the classes it raises, attributes and their values)
ERRORS = [
    (_port_name_wrong, (quillon.PortNameError, ValueError), {}),
    (_port_missing, (quillon.PortError, OSError),
     {"errno": errno.ENOENT}),
    (_no_card_in_time, (quillon.Timeout, TimeoutError), {}),
    (_text_not_one_byte, (quillon.TrackTextError, ValueError),
     {"track": 2, "character": "\u20ac"}),
    (_separator_on_track3, (quillon.TrackTextError, ValueError),
     {"track": 3}),
    (_failure_status, (quillon.EncoderFailure,), {}),
    (_garbled_reply, (quillon.ReplyError,), {}),
    (_write_in_doubt, (quillon.CardInDoubt,),
     {"number": 1, "card": quillon.Card(track2="77")}),
    (_journal_of_another_batch, (quillon.BatchError,), {}),
]


@pytest.mark.parametrize("cause,classes,attributes", ERRORS,
                         ids=[row[0].__name__ for row in ERRORS])
def test_error_classes(sims, tmp_path, cause, classes, attributes):
    with pytest.raises(quillon.Error) as raised:
        cause(sims, tmp_path)
    for cls in classes:
        assert isinstance(raised.value, cls), repr(raised.value)
    for name, value in attributes.items():
        assert getattr(raised.value, name) == value
    assert str(raised.value)


def test_ports_lists_a_simulated_line_under_its_com_name(sims, monkeypatch):
    sim = sims()
    monkeypatch.setenv("ENCODER_COM7", sim.link)
    found = [p for p in quillon.ports() if "COM7" in p.com]
    assert len(found) == 1 and found[0].accessible, quillon.ports()
    for name in ("COM7", 7, "7"):
        with quillon.Encoder(name) as encoder:
            encoder.test()


# (simulator options, write's arguments, what it raises, writes it takes)
WRITES = [
    ((), {}, None, 1),
    (("--corrupt-write", "1"), {}, None, 2),  # read back wrong: once more
    (("--corrupt-write", "1", "--corrupt-write", "2"), {"retries": 1},
     quillon.EncoderFailure, 2),
]


@pytest.mark.parametrize("options,arguments,raises,writes", WRITES)
def test_write_with_verify_writes_again_only_what_read_back_wrong(
        sims, options, arguments, raises, writes):
    sim = sims("--swipe-delay", "0", *options)
    with quillon.Encoder(sim.link) as encoder:
        if raises:
            with pytest.raises(raises, match="failed 2 times"):
                encoder.write(track2="55", verify=True, **arguments)
        else:
            encoder.write(track2="55", verify=True, **arguments)
    assert [w["status"] for w in sim.written()] == ["p"] * writes
