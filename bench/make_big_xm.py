#!/usr/bin/env python3
"""Writes a large sample-heavy XM module for the conversion benchmark.

The module holds a few small patterns and INSTRUMENTS instruments with one 16-bit sample each,
together about SIZE_MB megabytes of sample data (delta-coded as XM stores it).

usage: make_big_xm.py OUTPUT [SIZE_MB] [INSTRUMENTS]
"""
import os
import struct
import sys


def pattern(rows, channels, first_note):
    data = bytearray()
    for r in range(rows):
        for c in range(channels):
            if r % 4 == 0:
                # note, instrument, volume, effect, value (uncompressed cell)
                data += bytes([first_note + (r // 4 + c) % 24, 1 + c % 8, 0x40, 0, 0])
            else:
                data += bytes([0x80])  # empty packed cell
    return struct.pack('<IBHH', 9, 0, rows, len(data)) + data


def instrument(name, sample_bytes, loop_start=None, loop_length=None, flags=0x10 | 1, sample_name='bench'):
    """An XM instrument with one sample of sample_bytes (its data not included): every note plays
    it, a volume envelope, a forward loop over the second half unless told otherwise."""
    head = struct.pack('<I22sBH', 263, name.encode().ljust(22, b' '), 0, 1)
    body = struct.pack('<I', 40)
    body += bytes(96)                       # every note plays sample 0
    body += struct.pack('<24H', *([0, 64, 10, 64] + [0] * 20))  # volume envelope
    body += bytes(48)                       # panning envelope
    body += bytes([2, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0])
    body += struct.pack('<HH', 256, 0) + bytes(20)
    start = 0 if loop_start is None else loop_start
    length = sample_bytes // 2 if loop_length is None else loop_length
    sample = struct.pack('<IIIBbBBbB22s', sample_bytes, start, length, 64, 0,
                         flags, 128, 0, 0, sample_name.encode().ljust(22, b' '))
    return head + body + sample


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    out = sys.argv[1]
    size_mb = float(sys.argv[2]) if len(sys.argv) > 2 else 100.0
    count = int(sys.argv[3]) if len(sys.argv) > 3 else 8
    channels, patterns, rows = 8, 4, 64
    per_sample = int(size_mb * 1024 * 1024 / count) & ~1
    block = os.urandom(1 << 20)

    with open(out, 'wb') as f:
        f.write(b'Extended Module: ' + b'kestrix bench'.ljust(20, b' ') + b'\x1a')
        f.write(b'bench'.ljust(20, b' ') + struct.pack('<H', 0x0104))
        orders = bytes([i % patterns for i in range(patterns * 2)]).ljust(256, b'\0')
        f.write(struct.pack('<IHHHHHHHH', 276, patterns * 2, 0, channels, patterns, count, 1, 6, 125))
        f.write(orders)
        for p in range(patterns):
            f.write(pattern(rows, channels, 25 + p * 3))
        for i in range(count):
            f.write(instrument('bench %d' % i, per_sample))
            left = per_sample
            while left > 0:
                n = min(left, len(block))
                f.write(block[:n])
                left -= n
    print('%s: %d bytes' % (out, os.path.getsize(out)))
    return 0


if __name__ == '__main__':
    sys.exit(main())
