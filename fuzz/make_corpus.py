#!/usr/bin/env python3
"""Writes the small seed corpus of the two fuzz targets (fuzz/corpus/<target>/).

The layouts are those described at the top of fuzz_image_writer.cpp and
fuzz_replies.cpp. Run from anywhere: python3 fuzz/make_corpus.py
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
KIB = 1024


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(bytes(data))


def pattern(n, seed=1):
    return [(seed * 37 + i * 11) & 0xFF for i in range(n)]


# --- fuzz_image_writer: selector, fill, [length], [fault], payload ----------
ID60, ID65, ID70, RAW, STRETCH, FAULT = 0, 1, 2, 3, 4, 8


def stretched(selector, fill, length, tail):
    return [selector | STRETCH, fill] + list(struct.pack("<I", length)[:3]) + tail


w = "fuzz_image_writer"
write(w, "1a60-33-bytes", [ID60, 0x5A] + pattern(33))
write(w, "1a65-2049-bytes", [ID65, 0x00] + pattern(2049, 2))
write(w, "1a70-empty-payload", [ID70, 0x3C])
write(w, "1a65-region-full", stretched(ID65, 0xA5, 384 * KIB, pattern(61, 3)))
write(w, "1a65-one-byte-too-many", stretched(ID65, 0xA5, 384 * KIB + 1, pattern(61, 3)))
write(w, "1a60-one-byte-too-many", stretched(ID60, 0x11, 640 * KIB + 1, [0x42]))
write(w, "raw-lower-case-id", [RAW, 0x77] + list(b"1a60") + pattern(40))
write(w, "raw-three-bytes", [RAW, 0x77] + list(b"1A6"))
# Fault: kind (0 program, 1 erase, 2 write enable, 3 status, 4 any), occurrence - 1, fault index.
write(w, "1a70-program-wrong-reply", [ID70 | FAULT, 0x5A, 0, 1, 2] + pattern(100, 4))
write(w, "1a70-first-piece-late", [ID70 | FAULT, 0x5A, 0, 0, 1] + pattern(70, 5))
write(w, "1a60-erase-no-reply", [ID60 | FAULT, 0x5A, 1, 2, 0] + pattern(64, 6))
write(w, "1a65-status-stuck", [ID65 | FAULT, 0x5A, 3, 0, 3] + pattern(20, 7))
# Kind bit 7: the fault hits the next frame of its kind too (for a piece, its resend).
AGAIN = 0x80
write(w, "1a65-piece-fails-twice", [ID65 | FAULT, 0x5A, AGAIN | 0, 4, 0] + pattern(300, 8))
write(w, "1a60-write-enable-wrong-reply", [ID60 | FAULT, 0x5A, 2, 3, 2] + pattern(50, 9))

# --- fuzz_replies: op, arg, arg, stale count, then records -----------------
EXCHANGE, READY, MODE, SPEED, ERASE = 0, 1, 2, 3, 4
NEVER = 0xFFFF


def record(reply=(), delay=1, control=0):
    return [control] + list(struct.pack("<H", delay)) + [len(reply)] + list(reply)


r = "fuzz_replies"
write(r, "exchange-one-byte", [EXCHANGE, 1, 2, 0] + record([0x5A]))
write(r, "exchange-short-read", [EXCHANGE, 2, 3, 0] + record([0x01], control=0x08))
write(r, "exchange-stale-and-late", [EXCHANGE, 1, 2, 2, 0xEE, 0xEF] + record([0x22], delay=1999))
write(r, "exchange-check-fails", [EXCHANGE, 1, 0, 0] + record([0x22], control=0x02))
write(r, "ready-second-try", [READY, 0, 0, 0] + record([0xDA, 0x00]) + record([0xDA, 0x01]))
write(r, "ready-split-answer", [READY, 0, 0, 0] + record([0xDA], control=0x08) + record([0x01, 0x01]))
write(r, "mode-retransmit", [MODE, 0xD6, 0, 0] + record([0xD7]) + record([0xD6]))
write(r, "mode-zero-code-no-bytes", [MODE, 0x00, 0, 0] + record([], delay=1) + record([0x00], control=0x10))
write(r, "speed-at-the-edge", [SPEED, 0, 0, 0] + record([0xD5], delay=1999) + record([0xD5], delay=2000))
write(r, "erase-sector-10", [ERASE, 10, 0, 0] + record([0x26]) + record([0x47]) + record([0x03]) + record([0x00]))
write(r, "erase-two-sectors-extra-bytes",
      [ERASE, 16, 1, 0] + record([0x26, 0x26]) + record([0x41]) + record([0x02]) +
      record([0x26]) + record([0x40]) + record([0x01]) + record([0x00], delay=NEVER) + record([0x00]))
write(r, "erase-write-enable-one-off", [ERASE, 0, 0, 0] + record([0x27]))
