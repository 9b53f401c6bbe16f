#!/usr/bin/env python3
"""Writes a pattern-heavy XM module for the pattern benchmark.

PATTERNS patterns of ROWS rows and CHANNELS channels, every cell dense (note, instrument, volume
column, effect and parameter, stored unpacked), 16 instruments with one short 8-bit sample each.
The cells are pseudo-random but the same for every run (fixed seed); pattern breaks, jumps and
speed changes are left out so that every row is played.

usage: make_pattern_xm.py OUTPUT [PATTERNS] [ROWS] [CHANNELS]
"""
import random
import struct
import sys

import make_big_xm

EFFECTS = [0x0, 0x1, 0x2, 0x3, 0x4, 0x5, 0x6, 0x7, 0x8, 0x9, 0xA, 0xC, 0xE]


def pattern(rng, rows, channels):
    data = bytearray()
    for _ in range(rows):
        for _ in range(channels):
            note = rng.randint(1, 96)
            instrument = rng.randint(1, 16)
            volume = rng.randint(0x10, 0x50)
            effect = rng.choice(EFFECTS)
            param = rng.randint(0, 255)
            if effect == 0xE:
                param = (rng.choice([1, 2, 9, 0xA, 0xB, 0xC, 0xD]) << 4) | (param & 0xF)
            data += bytes([note, instrument, volume, effect, param])
    return struct.pack('<IBHH', 9, 0, rows, len(data)) + data


def instrument(index):
    sample_bytes = 256
    head = make_big_xm.instrument('pat %d' % index, sample_bytes, 0, 0, 0, 'pat')
    data = bytes(((k * 7) & 0x0F) for k in range(sample_bytes))
    return head + data


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    out = sys.argv[1]
    patterns = int(sys.argv[2]) if len(sys.argv) > 2 else 112
    rows = int(sys.argv[3]) if len(sys.argv) > 3 else 256
    channels = int(sys.argv[4]) if len(sys.argv) > 4 else 32
    rng = random.Random(11)
    with open(out, 'wb') as f:
        f.write(b'Extended Module: ' + b'kestrix patterns'.ljust(20, b' ') + b'\x1a')
        f.write(b'bench'.ljust(20, b' ') + struct.pack('<H', 0x0104))
        length = min(patterns, 256)
        f.write(struct.pack('<IHHHHHHHH', 276, length, 0, channels, patterns, 16, 1, 6, 125))
        f.write(bytes(i % patterns for i in range(length)).ljust(256, b'\0'))
        for _ in range(patterns):
            f.write(pattern(rng, rows, channels))
        for i in range(16):
            f.write(instrument(i))
    return 0


if __name__ == '__main__':
    sys.exit(main())
