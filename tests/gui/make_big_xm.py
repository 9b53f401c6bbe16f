#!/usr/bin/env python3
# Writes a large XM for the GUI's kill test: PATTERNS patterns of 256 rows x 32 channels with a
# note in every cell (no two patterns alike, so none is dropped as a duplicate) and one
# instrument with an 8-bit sample of SAMPLE_MB MiB.  usage: make_big_xm.py OUT PATTERNS SAMPLE_MB
import struct, sys

out, patterns, sample_mb = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
channels, rows = 32, 256
head = b"Extended Module: " + b"big kill test".ljust(20, b"\0") + b"\x1a" + b"kestrix test".ljust(20, b"\0")
head += struct.pack("<H", 0x104)
orders = list(range(patterns))
head += struct.pack("<IHHHHHHH", 276, len(orders), 0, channels, patterns, 1, 1, 6) + struct.pack("<H", 125)
head += bytes(orders).ljust(256, b"\0")
body = bytearray(head)
for p in range(patterns):
    data = bytearray()
    for r in range(rows):
        for c in range(channels):
            data += bytes([0x80 | 0x1F, 1 + (r + c + p) % 96, 1, 0x10 + (r + p // 64) % 64, 0x0C, (p + c) % 64])
    body += struct.pack("<IBHH", 9, 0, rows, len(data)) + data
sample = sample_mb << 20
ins = struct.pack("<I", 263) + b"long sample".ljust(22, b"\0") + b"\0" + struct.pack("<HI", 1, 40)
ins += bytes(96) + bytes(48) + bytes(48) + bytes([0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0])
ins += struct.pack("<H", 0x400) + bytes(22)
body += ins[:263]
body += struct.pack("<IIIBbBBbB", sample, 0, 0, 64, 0, 0, 0x80, 0, 0) + b"noise".ljust(22, b"\0")
with open(out, "wb") as f:
    f.write(body)
    step = bytes((i * 7) & 0xFF for i in range(1 << 16))  # delta-coded: a rising ramp of steps
    for _ in range(sample >> 16):
        f.write(step)
