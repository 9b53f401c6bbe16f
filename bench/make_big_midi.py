#!/usr/bin/env python3
"""Writes a large Standard MIDI File for the MIDI conversion benchmark.

    bench/make_big_midi.py OUT.mid [NOTES_PER_ROW] [TRACKS] [PATTERNS]

Format 1, division 96, tempo 500000 (120 BPM) in a first track, then TRACKS note tracks (16 by
default) on channels 1-16. Each note track plays NOTES_PER_ROW notes (6 by default) every 6 ticks
(one row of a song with 16 ticks per beat) for PATTERNS patterns of 64 rows (112 by default),
each note 1 to 3 rows long; note-offs are note-ons of velocity 0 under running status, as sequencers write them. The
defaults give about 4 MB and 690000 notes that all land in the song. Fixed seed: the same file
every run.
"""
import random
import struct
import sys

TICKS_PER_ROW = 6


def varlen(v):
    out = [v & 0x7F]
    v >>= 7
    while v:
        out.append(0x80 | (v & 0x7F))
        v >>= 7
    return bytes(reversed(out))


def chunk(tag, body):
    return tag + struct.pack(">I", len(body)) + body


def note_track(channel, per_row, rows, rng):
    events = []  # (tick, order, key, velocity): note-offs sort before note-ons of the same tick
    for row in range(rows):
        start = row * TICKS_PER_ROW
        keys = rng.sample(range(36, 96), per_row)
        for key in keys:
            length = rng.randint(1, 3) * TICKS_PER_ROW
            events.append((start, 1, key, rng.randint(40, 127)))
            events.append((start + length, 0, key, 0))
    events.sort()
    body = bytearray()
    name = b"notes %d" % (channel + 1)
    body += b"\x00\xff\x03" + varlen(len(name)) + name
    now = 0
    status = 0x90 | channel
    first = True
    for tick, _, key, vel in events:
        body += varlen(tick - now)
        now = tick
        if first:
            body.append(status)
            first = False
        body += bytes((key, vel))
    body += b"\x00\xff\x2f\x00"
    return chunk(b"MTrk", bytes(body))


def main():
    out = sys.argv[1]
    per_row = int(sys.argv[2]) if len(sys.argv) > 2 else 6
    tracks = int(sys.argv[3]) if len(sys.argv) > 3 else 16
    patterns = int(sys.argv[4]) if len(sys.argv) > 4 else 112
    rows = patterns * 64 - 3  # the longest notes end in the song's last row
    rng = random.Random(1)
    tempo = chunk(b"MTrk", b"\x00\xff\x51\x03\x07\xa1\x20\x00\xff\x2f\x00")
    body = [tempo] + [note_track(c % 16, per_row, rows, rng) for c in range(tracks)]
    header = chunk(b"MThd", struct.pack(">HHH", 1, len(body), 96))
    with open(out, "wb") as f:
        f.write(header + b"".join(body))
    notes = rows * per_row * tracks
    print(f"{out}: {sum(len(b) for b in body) + len(header)} bytes, {notes} notes, {tracks} note tracks")


if __name__ == "__main__":
    main()
