"""Reads COUNT cards with the quillon module; prints the resident memory
(kB) after the first tenth and at the end (a loop that keeps nothing must
stay flat), and how many replies were not whole (read again, as `quillon
read` does).  usage: module_loop.py PORT COUNT"""
import sys

import quillon


def resident_kb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4


port, count = sys.argv[1], int(sys.argv[2])
with quillon.Encoder(port) as encoder:
    garbled = 0
    for n in range(1, count + 1):
        while True:
            try:
                encoder.read()
                break
            except quillon.ReplyError:
                garbled += 1
        if n == max(1, count // 10):
            early = resident_kb()
print(early, resident_kb(), garbled)
