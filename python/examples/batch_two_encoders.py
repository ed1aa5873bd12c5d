"""A numbered batch over two encoders, resumable: run it again after any
stop (Ctrl-C, a crash) and it goes on, each number on exactly one card."""
import os

import quillon

journal = "batch.jsonl"
with quillon.Encoder("COM1") as first, quillon.Encoder("COM2") as second:
    result = quillon.write_batch(
        [first, second], track2="0000000001", increments=["2:1"], count=20,
        journal=journal, resume=os.path.exists(journal), verify=True,
        progress=lambda done, total, number, port: print(
            f"{done}/{total}: card {number} at {port}"))
print(f"{result.confirmed} of {result.total} cards confirmed")
