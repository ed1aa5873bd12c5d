#!/usr/bin/env python3
"""Calls libquillon from Python through ctypes, against a simulated encoder
served by the sim_host helper.

usage: ctypes_client.py LIBRARY SIM_HOST
"""
import ctypes
import os
import subprocess
import sys
import time
import unittest

LIBRARY = None
SIM_HOST = None
PORT = 17


class SimHost:
    def __init__(self, path):
        self.process = subprocess.Popen(
            [path], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.slave = self.process.stdout.readline().strip()
        if not self.slave:
            raise RuntimeError("sim_host did not start")

    def ask(self, command):
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()
        return self.process.stdout.readline().strip()

    def received(self, settle=0.1):
        time.sleep(settle)
        return bytes.fromhex(self.ask("received"))

    def close(self):
        self.process.stdin.close()
        self.process.wait(timeout=10)


def load(path):
    lib = ctypes.CDLL(path)
    signatures = {
        "gOpenSerialPort": [ctypes.c_int, ctypes.c_int],
        "gCloseSerialCom": [],
        "gReset": [],
        "gSetHLCo": [ctypes.c_int],
        "gSetTrack2Density": [ctypes.c_int],
        "gMSRReadCard": [ctypes.c_int] + [ctypes.c_char_p] * 3,
        "gMSRWriteCard": [ctypes.c_int] + [ctypes.c_char_p] * 3,
        "gEraseInformationofCard": [ctypes.c_int],
        "gCommunicationWithDevice": [],
        "gMSRWrtOrReadStatus": [],
    }
    for name, args in signatures.items():
        function = getattr(lib, name)
        function.argtypes = args
        function.restype = ctypes.c_int16
    return lib


class CtypesClient(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sim = SimHost(SIM_HOST)
        os.environ["ENCODER_COM%d" % PORT] = cls.sim.slave
        cls.lib = load(LIBRARY)

    @classmethod
    def tearDownClass(cls):
        cls.lib.gCloseSerialCom()
        cls.sim.close()

    def setUp(self):
        self.assertEqual(self.lib.gOpenSerialPort(PORT, 9600), 0)
        self.sim.received(settle=0)

    def tearDown(self):
        self.assertEqual(self.lib.gCloseSerialCom(), 0)

    def test_commands_send_their_bytes(self):
        lib = self.lib
        self.assertEqual(lib.gSetHLCo(1), 0)
        self.assertEqual(lib.gSetHLCo(0), 0)
        self.assertEqual(lib.gSetTrack2Density(ord("H")), 0)
        self.assertEqual(lib.gEraseInformationofCard(0), 0)
        self.assertEqual(lib.gReset(), 0)
        self.assertEqual(self.sim.received(),
                         bytes.fromhex("1B78 1B79 1B48 1B6300 1B30"))

    def test_write_then_read_the_card(self):
        lib = self.lib
        self.assertEqual(lib.gCommunicationWithDevice(), 0)
        self.assertEqual(lib.gMSRWriteCard(7, b"NAME^AB", b"1234", b"5678"), 0)
        tracks = [ctypes.create_string_buffer(400) for _ in range(3)]
        self.assertEqual(lib.gMSRReadCard(7, *tracks), 0)
        self.assertEqual([t.value for t in tracks],
                         [b"NAME^AB", b"1234", b"5678"])
        self.assertEqual(
            self.sim.received(),
            b"\x1be" + b"\x1bt1234A5678BNAME^AB\x1d\x1b\\\x1bj" +
            b"\x1bBt\x1bj")

    def test_read_with_only_the_selected_buffer(self):
        self.assertEqual(self.sim.ask("deck ONE|22|333"), "ok")
        track2 = ctypes.create_string_buffer(400)
        self.assertEqual(self.lib.gMSRReadCard(2, None, track2, None), 0)
        self.assertEqual(track2.value, b"22")
        self.assertEqual(self.lib.gMSRReadCard(5, None, None, None), -4)

    def test_refused_texts_and_closed_port(self):
        lib = self.lib
        self.assertEqual(lib.gMSRWriteCard(2, None, b"1", b""), -3)
        self.assertEqual(lib.gMSRWriteCard(2, b"", b"1" * 130, b""), -3)
        self.assertEqual(self.sim.received(), b"")
        self.assertEqual(lib.gCloseSerialCom(), 0)
        self.assertEqual(lib.gMSRWrtOrReadStatus(), -1)
        self.assertEqual(lib.gOpenSerialPort(PORT + 256, 9600), 0)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    LIBRARY, SIM_HOST = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=2)
