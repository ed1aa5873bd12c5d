"""Reads COUNT cards the way a careful pyserial script does: the read
frame out, then bytes until 79 ms of silence, checked for the success
status at the end.  usage: pyserial_loop.py PORT COUNT READ_FRAME_HEX"""
import sys

import serial

port, count, frame = sys.argv[1], int(sys.argv[2]), bytes.fromhex(sys.argv[3])
with serial.Serial(port, 9600, timeout=0.079) as line:
    for _ in range(count):
        line.reset_input_buffer()
        line.write(frame)
        line.timeout = 11  # the first byte may wait for the card
        reply = line.read(1)
        line.timeout = 0.079  # then each byte within 79 ms
        while True:
            more = line.read(1)
            if not more:
                break
            reply += more
        if not reply.endswith(b"p"):
            sys.exit("read: %r" % reply)
