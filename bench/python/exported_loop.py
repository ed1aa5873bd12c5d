"""Reads COUNT cards through the C library's exported read (ctypes), port
COM1 (ENCODER_COM1 names the line).  usage: exported_loop.py LIBRARY COUNT"""
import ctypes
import sys

library = ctypes.CDLL(sys.argv[1])
count = int(sys.argv[2])
if library.gOpenSerialPort(1, 9600) != 0:
    sys.exit("cannot open COM1")
buffers = [ctypes.create_string_buffer(400) for _ in range(3)]
for _ in range(count):
    status = library.gMSRReadCard(7, *buffers)
    if status != 0:
        sys.exit("read: %d" % status)
library.gCloseSerialCom()
