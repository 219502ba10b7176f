#!/usr/bin/env python3
"""Writes the stand-in module image that the tool carries until the module's own
firmware is supplied (cmake -DTALVEX_FIRMWARE_IMAGE=...).

It has the form of a real raw flash image for 0x08000000: a Cortex-M vector table
whose reset handler is an idle loop, then filler that is the same on every run,
so the committed file can always be checked against this script.

    python3 make_standin.py talvex_m_standin.bin
"""
import struct
import sys

# Length of the stand-in, the length of the module's own image.
IMAGE_SIZE = 14628
# Flash address of image byte 0.
FLASH_BASE = 0x08000000
# Initial main stack pointer (vector word 0).
INITIAL_SP = 0x20002560
# Where the reset handler lives; vector word 1 carries it with the Thumb bit.
RESET_HANDLER = 0x08002A3C
# Catch-all handler for every other exception, right after the reset handler.
DEFAULT_HANDLER = 0x08002A3E
# Thumb state bit of a branch target in the vector table.
THUMB_BIT = 0x1
# 16 core exception slots plus the 43 interrupt channels of a medium-density F1.
VECTOR_WORDS = 16 + 43
# Core slots that are reserved and hold 0.
RESERVED_SLOTS = (7, 8, 9, 10, 13)
# Thumb "b ." (branch to itself), little-endian: the idle loop.
IDLE_LOOP = bytes((0xFE, 0xE7))
# Seed of the xorshift32 filler ("TALV").
FILLER_SEED = 0x54414C56


def filler(length):
    """Bytes of a xorshift32 sequence: deterministic and free of long runs."""
    out = bytearray()
    x = FILLER_SEED
    while len(out) < length:
        x ^= (x << 13) & 0xFFFFFFFF
        x ^= x >> 17
        x ^= (x << 5) & 0xFFFFFFFF
        out += struct.pack("<I", x)
    return out[:length]


def build():
    image = filler(IMAGE_SIZE)
    words = []
    for slot in range(VECTOR_WORDS):
        if slot == 0:
            words.append(INITIAL_SP)
        elif slot == 1:
            words.append(RESET_HANDLER | THUMB_BIT)
        elif slot in RESERVED_SLOTS:
            words.append(0)
        else:
            words.append(DEFAULT_HANDLER | THUMB_BIT)
    table = struct.pack("<%dI" % VECTOR_WORDS, *words)
    image[0:len(table)] = table
    for handler in (RESET_HANDLER, DEFAULT_HANDLER):
        at = handler - FLASH_BASE
        image[at:at + len(IDLE_LOOP)] = IDLE_LOOP
    assert len(image) == IMAGE_SIZE
    return bytes(image)


def main():
    if len(sys.argv) != 2:
        sys.stderr.write("usage: make_standin.py OUTPUT\n")
        return 2
    with open(sys.argv[1], "wb") as f:
        f.write(build())
    return 0


if __name__ == "__main__":
    sys.exit(main())
