"""The README's Python examples run as they are, on simulators at COM1 and
COM2."""
import json
import os
import subprocess
import sys

import pytest

from conftest import good_track2

EXAMPLES = os.path.join(os.path.dirname(__file__), "..", "..", "python",
                        "examples")

# (example, the last line it prints, track 2 of the cards written)
RUNS = [
    ("first_card.py", "Card(track1=b'DOE^JANE', track2=b'1234567890', "
     "track3=b'')", ["1234567890"]),
    ("read_cards.py", json.dumps([{"track1": "A", "track2": "1",
                                   "track3": "3"}] * 3), []),
    ("batch_two_encoders.py", "20 of 20 cards confirmed",
     ["%010d" % n for n in range(1, 21)]),
]


@pytest.mark.parametrize("example,last_line,written", RUNS)
def test_example_runs_as_written(sims, tmp_path, example, last_line, written):
    with open(os.path.join(EXAMPLES, example)) as f:
        code = f.read()
    with open(os.path.join(EXAMPLES, "..", "..", "README.md")) as f:
        assert "```python\n" + code + "```" in f.read()  # shown as it runs
    deck = [b"A|1|3"] * 3
    com1 = sims("--swipe-delay", "0", deck=deck if not written else None)
    com2 = sims("--swipe-delay", "0")
    env = dict(os.environ, ENCODER_COM1=com1.link, ENCODER_COM2=com2.link)
    result = subprocess.run([sys.executable, os.path.join(EXAMPLES, example)],
                            cwd=tmp_path, env=env, capture_output=True,
                            timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.decode().splitlines()[-1] == last_line
    assert sorted(good_track2(com1) + good_track2(com2)) == written
