#!/usr/bin/env python3
# Writes the seed bank of the SoundFont harness (fuzz/seeds/soundfont/bank.sf2 is its output): a
# piano (a looped sample on low keys, a stereo pair on high ones, an envelope), a lead, and a kit
# of two drums.   usage: soundfont_seed.py OUT.sf2
import struct, sys

def chunk(tag, body):
    return tag + struct.pack("<I", len(body)) + body + (b"\0" if len(body) % 2 else b"")

def name(s):
    return s.encode().ljust(20, b"\0")

samples = [("Ramp", [k * 100 - 3200 for k in range(64)], 16, 48, 22050, 60, 0, 1),
           ("PadL", [1000] * 32, 0, 0, 44100, 72, 2, 4), ("PadR", [3000] * 32, 0, 0, 44100, 72, 1, 2),
           ("Kick", [-2000] * 20, 0, 0, 11025, 36, 0, 1), ("Snare", [500] * 24, 0, 0, 11025, 60, 0, 1)]
smpl, shdr = b"", b""
for n, frames, ls, le, rate, pitch, link, kind in samples:
    start = len(smpl) // 2
    smpl += struct.pack("<%dh" % len(frames), *frames) + b"\0" * 92
    shdr += name(n) + struct.pack("<5IBbHH", start, start + len(frames), start + ls, start + le, rate, pitch, 0, link, kind)
shdr += name("EOS") + b"\0" * 26

def rng(lo, hi):
    return lo | hi << 8

instruments = [("Keys", [[(34, 0x10000 - 1200), (37, 60)], [(43, rng(0, 59)), (54, 1), (53, 0)],
                         [(43, rng(60, 127)), (53, 1)], [(43, rng(60, 127)), (53, 2)]]),
               ("Kit", [[(43, rng(36, 36)), (53, 3)], [(43, rng(38, 38)), (58, 38), (53, 4)]])]
presets = [("Piano", 0, 0, [[(48, 60), (41, 0)]]), ("Lead", 1, 0, [[(43, rng(60, 127)), (41, 0)]]),
           ("Standard", 0, 128, [[(41, 1)]])]

def tables(items, preset):
    hdr, bag, gen, zones, gens = b"", b"", b"", 0, 0
    for it in items:
        zs = it[-1]
        hdr += name(it[0]) + (struct.pack("<HH", it[1], it[2]) if preset else b"") + struct.pack("<H", zones)
        hdr += b"\0" * 12 if preset else b""
        for z in zs:
            bag += struct.pack("<HH", gens, 0)
            for op, amount in z:
                gen += struct.pack("<HH", op, amount)
                gens += 1
            zones += 1
    hdr += name("EOP" if preset else "EOI") + (b"\0" * 4 if preset else b"") + struct.pack("<H", zones)
    hdr += b"\0" * 12 if preset else b""
    return hdr, bag + struct.pack("<HH", gens, 0), gen + b"\0" * 4

ph, pb, pg = tables(presets, True)
ih, ib, ig = tables(instruments, False)
pdta = b"pdta" + b"".join(chunk(t, b) for t, b in [(b"phdr", ph), (b"pbag", pb), (b"pmod", b"\0" * 10), (b"pgen", pg),
                                                     (b"inst", ih), (b"ibag", ib), (b"imod", b"\0" * 10), (b"igen", ig),
                                                     (b"shdr", shdr)])
info = b"INFO" + chunk(b"ifil", struct.pack("<HH", 2, 1)) + chunk(b"INAM", b"seedbank")
body = b"sfbk" + chunk(b"LIST", info) + chunk(b"LIST", b"sdta" + chunk(b"smpl", smpl)) + chunk(b"LIST", pdta)
open(sys.argv[1], "wb").write(b"RIFF" + struct.pack("<I", len(body)) + body)
