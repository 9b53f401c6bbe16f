#!/usr/bin/env python3
"""Writes a large Buzz song (BMX) for the merge benchmark.

The song holds the Master, MACHINES Tracker machines of 8 tracks each (every one connected to the
Master), PATTERNS patterns of 64 lines per Tracker with notes in them, one sequence per Tracker,
and WAVES waves of 16-bit samples, together about SIZE_MB megabytes. The machine layouts are the
ones of data/machines.ini ("Jeskola Tracker": 1 global byte, 5 track bytes).

usage: make_big_bmx.py OUTPUT [SIZE_MB] [SEED] [MACHINES] [PATTERNS] [WAVES]
"""
import struct
import sys

LINES = 64
TRACKS = 8


def text(s):
    return s.encode() + b'\0'


def mach(machines):
    b = struct.pack('<H', machines + 1)
    b += text('Master') + b'\0' + struct.pack('<ffIH', 0, 0, 0, 0)
    b += struct.pack('<HHB', 0x4000, 126, 4) + struct.pack('<H', 0)
    for m in range(machines):
        b += text('Tracker %02X' % (m + 1)) + b'\1' + text('Jeskola Tracker')
        b += struct.pack('<ffIH', (m % 8) / 8 - 0.5, (m // 8) / 8 - 0.5, 0, 0)
        b += b'\6' + struct.pack('<H', TRACKS) + bytes([0, 0, 0xFF, 0, 0]) * TRACKS
    return b


def conn(machines):
    return struct.pack('<H', machines) + b''.join(
        struct.pack('<HHHH', m + 1, 0, 0x4000, 0x4000) for m in range(machines))


def wavt(waves, wave_bytes):
    b = struct.pack('<H', waves)
    for w in range(waves):
        b += struct.pack('<H', w) + text('w%d.wav' % w) + text('Wave %d' % w)
        b += struct.pack('<IBB', 0x3F800000, 0, 1)
        b += struct.pack('<IIIIB', wave_bytes // 2, 0, 0, 22050 + w, 0x41)
    return b


def patt(machines, patterns, seed):
    master_rows = struct.pack('<HHB', 0xFFFF, 0xFFFF, 0xFF) * LINES
    inputs = b''.join(struct.pack('<H', m + 1) + struct.pack('<HH', 0x4000, 0x4000) * LINES
                      for m in range(machines))
    b = struct.pack('<HH', 1, 0) + text('00') + struct.pack('<H', LINES) + inputs + master_rows
    for m in range(machines):
        b += struct.pack('<HH', patterns, TRACKS)
        for p in range(patterns):
            b += text('%02X' % p) + struct.pack('<H', LINES) + bytes(LINES)
            for t in range(TRACKS):
                rows = bytearray()
                for r in range(LINES):
                    if (r + t + seed) % 4 == 0:
                        note = 0x31 + ((p + r + m) % 7) * 16 // 8
                        rows += bytes([note, 1 + (m + t) % 100, 0x80, 0, 0])
                    else:
                        rows += bytes([0, 0, 0xFF, 0, 0])
                b += rows
    return b


def sequ(machines, patterns):
    end = patterns * LINES
    b = struct.pack('<IIIH', end, 0, end, machines)
    for m in range(machines):
        b += struct.pack('<HIBB', m + 1, patterns, 2, 2)
        b += b''.join(struct.pack('<HH', p * LINES, 0x10 + p) for p in range(patterns))
    return b


def main():
    out = sys.argv[1]
    size_mb = int(sys.argv[2]) if len(sys.argv) > 2 else 200
    seed = int(sys.argv[3]) if len(sys.argv) > 3 else 1
    machines = int(sys.argv[4]) if len(sys.argv) > 4 else 16
    patterns = int(sys.argv[5]) if len(sys.argv) > 5 else 100
    waves = int(sys.argv[6]) if len(sys.argv) > 6 else 100
    wave_bytes = (size_mb << 20) // waves & ~1
    blah = b'benchmark song'
    sections = [('MACH', mach(machines)), ('CONN', conn(machines)), ('WAVT', wavt(waves, wave_bytes)),
                ('PATT', patt(machines, patterns, seed)), ('SEQU', sequ(machines, patterns)),
                ('BLAH', struct.pack('<I', len(blah)) + blah)]
    wave_head = struct.pack('<H', waves)
    wave_size = len(wave_head) + waves * (7 + wave_bytes)
    # A directory of 31 entries, 7 of them used, as Buzz and kestrix write it: the sections start
    # at byte 380.
    offset = 8 + 12 * 31
    header = b'Buzz' + struct.pack('<I', 7)
    for name, body in sections:
        header += name.encode() + struct.pack('<II', offset, len(body))
        offset += len(body)
    header += b'WAVE' + struct.pack('<II', offset, wave_size)
    header += bytes(12 * (31 - 7))
    # One period of a saw wave per wave, repeated: cheap to make, not all zeros.
    with open(out, 'wb') as f:
        f.write(header)
        for _, body in sections:
            f.write(body)
        f.write(wave_head)
        for w in range(waves):
            period = bytes((i * (w + seed)) & 0xFF for i in range(4096))
            f.write(struct.pack('<HBI', w, 0, wave_bytes))
            full, rest = divmod(wave_bytes, len(period))
            f.write(period * full + period[:rest])


if __name__ == '__main__':
    main()
