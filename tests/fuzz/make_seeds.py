#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz harness: short operation scripts that
reach deep into each one (a whole poll, a whole write, a whole update ...), in
the encoding the harnesses read (FuzzSupport.h, fuzz::Input). Run it after
changing a harness's encoding:  python3 tests/fuzz/make_seeds.py"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


class Script:
    """Mirror of fuzz::Input: what a harness reads, written the other way round."""

    def __init__(self):
        self.b = bytearray()

    def byte(self, v):
        self.b.append(v & 0xFF)
        return self

    def flag(self, on):
        return self.byte(1 if on else 0)

    def u16(self, v):
        self.b += struct.pack('>H', v & 0xFFFF)
        return self

    def u32(self, v):
        self.b += struct.pack('>I', v & 0xFFFFFFFF)
        return self

    def range(self, lo, hi, v):
        assert lo <= v <= hi
        span = hi - lo + 1
        raw = v - lo
        if span <= 0x100:
            return self.byte(raw)
        if span <= 0x10000:
            return self.u16(raw)
        return self.u32(raw)

    def raw(self, data):
        self.b += bytes(data)
        return self


def crc16(data):
    crc = 0xFFFF
    for x in data:
        crc ^= x
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def frame(*b):
    b = bytes(b)
    c = crc16(b)
    return b + bytes([c & 0xFF, c >> 8])


def write(target, name, script):
    d = os.path.join(HERE, 'corpus', target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, 'seed-' + name), 'wb') as f:
        f.write(bytes(script.b))


ECHO_AUTO, ECHO_ON, ECHO_OFF = 0, 1, 2


# --- master_read: ops chunk 0, reply 1, request 2, fetch 3, write fails 4, read once 5,
#     noisy reply 6, exception 7
def master_read():
    def head(s, chunk=1024, station=1, mode=0, echo=ECHO_AUTO):
        return s.range(1, 1024, chunk).range(0, 2, echo).range(1, 99, station).range(0, 1, mode)

    def request(s, address, count, station=1, mode=0):
        return s.byte(2).u16(address).range(-2, 131, count).flag(True).range(1, 99, station).range(0, 1, mode)

    def reply(s, words, values, spoil=None, cut=0):
        s.byte(1).flag(True).byte(1)  # the awaited number of words; station 1
        for v in values[:words]:
            s.u16(v)
        if spoil is None:
            s.flag(False)
        else:
            s.flag(True).range(0, 2 * words + 4, spoil).byte(0x40)
        size = 3 + 2 * words + 2
        return s.range(0, size, cut) if size <= 255 else s.range(0, size, cut)

    def fetch(s, index):
        return s.byte(3).range(-3, 104, index)

    # A whole poll: request 32 registers from 0, the reply in two pieces, fetch into word 0.
    s = head(Script())
    request(s, 0, 32)
    reply(s, 32, list(range(1000, 1032)), cut=30)
    fetch(s, 0)
    fetch(s, 0)  # a second fetch finds the same reply
    write('master_read', 'poll', s)

    # The reply spoiled in its CRC, then a good one after the request is repeated.
    s = head(Script(), chunk=1024, station=7, mode=1)
    request(s, 0, 32, station=7, mode=1)
    reply(s, 32, [0x1234] * 32, spoil=67)
    fetch(s, 0)
    request(s, 0, 32, station=7, mode=1)
    reply(s, 32, [0x1234] * 32)
    fetch(s, 0)
    write('master_read', 'bad-crc-then-good', s)

    # Fetches at the edges of the mirror, and a reply with a stray byte behind it.
    s = head(Script())
    request(s, 90, 11)
    reply(s, 11, list(range(11)))
    fetch(s, 90)
    fetch(s, 91)
    fetch(s, -1)
    s.byte(0).range(0, 1100, 1).raw(b'\x55').range(0, 1, 1)
    fetch(s, 90)
    write('master_read', 'mirror-edges', s)

    # A flood that wraps the receive buffer, between request and fetch.
    s = head(Script(), chunk=1024)
    request(s, 0, 101)
    s.byte(0).range(0, 1100, 1000).raw(b'\xAA' * 1000).u16(500)
    reply(s, 101, list(range(101)))
    fetch(s, 0)
    write('master_read', 'wrap', s)

    # A read that waits for its reply (registers 20 ... 27), which comes in two
    # pieces, between a request and its fetch.
    s = head(Script())
    request(s, 0, 32)
    s.byte(5).u16(20).range(-1, 102, 8).range(1, 99, 1).range(0, 1, 0).flag(True)
    s.raw(bytes([0, 0, 0, 7, 0, 2, 0, 0, 0, 250, 0, 4, 0, 1, 0, 0])).flag(False)
    s.range(0, 4, 1).range(0, 21, 10)
    reply(s, 32, list(range(32)))
    fetch(s, 0)
    write('master_read', 'read-back', s)

    # Behind stray bytes and the request's echo: a reply of 32 registers, cut in
    # two, then an exception to the repeated request.
    s = head(Script())
    request(s, 0, 32)
    s.byte(6).byte(0)  # noisy reply; the exception code byte is read but unused
    s.raw(bytes(range(64)))
    s.range(0, 3, 2).raw(b'\x00\xFF').flag(True).range(0, 82, 40)
    fetch(s, 0)
    request(s, 0, 32)
    s.byte(7).byte(2).range(0, 3, 1).raw(b'\x00').flag(True).range(0, 14, 9)
    fetch(s, 0)
    write('master_read', 'echo-strays-exception', s)


# --- write_echo: ops arrive 0, echo 1, write once 2, write 3, stray 4, write fails 5,
#     silent module 6, noisy answer 7
def write_echo():
    def head(s, station=1, mode=0, stale=b'', address=10, value=100, echo=ECHO_AUTO):
        return s.range(0, 2, echo).range(1, 99, station).range(0, 1, mode).range(0, 1024, len(stale)).raw(stale) \
            .u16(address).u32(value)

    def nxt(s, address, value, station=1, mode=0):
        return s.u16(address).u32(value).range(1, 99, station).range(0, 1, mode)

    def echo(s, spoil=None, length=8):
        s.byte(1)
        if spoil is None:
            s.flag(False)
        else:
            s.flag(True).range(0, 7, spoil).byte(0x01)
        return s.range(0, 8, length)

    s = head(Script())
    echo(s)
    s.byte(3)  # WriteRegister(10, 100)
    nxt(s, 20, 7196)
    echo(s, length=3)
    s.byte(0).range(0, 12, 0)
    echo(s)  # the rest never comes: this is a whole second echo
    s.byte(2).flag(False)
    nxt(s, 1, 15420, mode=1)
    write('write_echo', 'echo-whole-and-cut', s)

    # A stale, identical echo behind a short one; a changed value low byte.
    req = frame(1, 6, 0, 10, 0, 100)
    s = head(Script(), stale=req)
    echo(s, length=3)
    s.byte(2).flag(False)
    nxt(s, 10, 100)
    echo(s, spoil=5)
    s.byte(3)
    nxt(s, 27, 54484)
    write('write_echo', 'stale-and-low-byte', s)

    # The line refuses the request, then takes half of it.
    s = head(Script())
    s.byte(5).range(-1, 8, -1)
    s.byte(5).range(-1, 8, 4)
    s.byte(5).range(-1, 8, 0)
    echo(s)
    s.byte(3)
    nxt(s, 0, 0)
    write('write_echo', 'line-fails', s)

    # Echo on: the echo alone behind a stray byte, cut in three; then the echo and
    # the module's answer behind two stray bytes; then a whole write with both.
    s = head(Script(), echo=ECHO_ON)
    s.byte(6).range(0, 3, 1).raw(b'\x00').range(0, 3, 2).range(0, 9, 4).range(0, 5, 3)
    nxt(s, 10, 100)
    s.byte(7).range(0, 3, 2).raw(b'\xFF\x00').range(0, 3, 1).range(0, 18, 10)
    nxt(s, 11, 200)
    echo(s)
    echo(s)
    s.byte(3)
    nxt(s, 12, 300)
    write('write_echo', 'echo-on-silent-and-noisy', s)


# --- sim_modbus: ops bytes 0, request 1, pause 2, restart 3
def sim_modbus():
    def head(s, which):
        return s.u32(1).range(0, 2, which)

    def req(s, station, function, first, second, small=True):
        s.byte(1)
        s.flag(station == 1) if station == 1 else s.flag(False).byte(station)
        if function == 3:
            s.flag(True)
        elif function == 6:
            s.flag(False).flag(True)
        else:
            s.flag(False).flag(False).byte(function)
        s.u16(first)
        if small:
            s.flag(True).range(0, 130, second)
        else:
            s.flag(False).u16(second)
        return s

    s = head(Script(), 0)
    req(s, 1, 3, 0, 32)
    req(s, 1, 6, 20, 7196, small=False)
    req(s, 1, 6, 27, 54484, small=False)
    s.byte(2).range(0, 3000, 5)
    req(s, 1, 3, 20, 8)
    req(s, 1, 3, 0, 125)
    req(s, 1, 3, 0, 126)
    write('sim_modbus', 'fixed-port', s)

    s = head(Script(), 2)
    req(s, 1, 6, 2200, 15420, small=False)
    req(s, 1, 6, 2201, 50115, small=False)
    s.byte(2).range(0, 3000, 1500)
    req(s, 1, 3, 2200, 32)
    s.byte(0).range(0, 300, 5).raw(b'\x01\x03\x08\x98\x00')
    s.byte(2).range(0, 3000, 200)
    req(s, 1, 3, 2200, 32)
    write('sim_modbus', 'gateway', s)

    s = head(Script(), 1)
    garbage = bytes([0x01, 0x03, 0x00]) + frame(1, 3, 0, 0, 0, 8)
    s.byte(0).range(0, 300, len(garbage)).raw(garbage)
    s.byte(3)
    req(s, 1, 3, 0, 8)
    req(s, 1, 16, 0, 8)
    write('sim_modbus', 'rs485-garbage-restart', s)


# --- sim_bootloader: ops raw 0, command 1, address 2, block 3, page list 4, count 5,
#     pause 6, reset 7, faults 8
def sim_bootloader():
    commands = [0x00, 0x01, 0x02, 0x11, 0x21, 0x31, 0x43, 0x63, 0x73, 0x82, 0x92]

    def sync(s):
        return s.byte(1).flag(True).byte(0).flag(True).byte(1)  # a listed code, then "sync instead"

    def cmd(s, code):
        return s.byte(1).flag(True).byte(commands.index(code)).flag(False).byte(1)  # spoil byte: 1 % 8 != 0

    def flash_address(s, offset):
        return s.byte(2).byte(0).range(0, 128 * 1024 + 8, offset).byte(1)

    def block(s, data):
        assert len(data) % 4 == 0
        return s.byte(3).flag(True).range(1, 64, len(data) // 4).raw(data).byte(1)

    def pages(s, first, n):
        s.byte(4).byte(1).range(1, 40, n)
        for p in range(first, first + n):
            s.range(0, 140, p)
        return s.byte(1)

    def count(s, n):
        return s.byte(5).byte(n - 1).byte(1)

    s = Script().flag(False)
    sync(s)
    cmd(s, 0x00)
    cmd(s, 0x01)
    cmd(s, 0x02)
    cmd(s, 0x43)
    pages(s, 0, 2)
    cmd(s, 0x31)
    flash_address(s, 0)
    block(s, bytes(range(256)))
    cmd(s, 0x11)
    flash_address(s, 0)
    count(s, 256)
    cmd(s, 0x11)
    s.byte(2).byte(2).range(0, 0x800 + 32, 0x7E0).byte(1)
    count(s, 4)
    cmd(s, 0x21)
    flash_address(s, 0)
    s.byte(6).range(0, 2000, 900)
    sync(s)
    write('sim_bootloader', 'update-and-go', s)

    s = Script().flag(True).range(0, 4096, 64).raw(bytes(64))
    sync(s)
    cmd(s, 0x31)
    flash_address(s, 0)
    block(s, bytes([0x5A] * 64))  # onto programmed flash: refused
    cmd(s, 0x82)
    sync(s)
    cmd(s, 0x11)
    cmd(s, 0x92)
    sync(s)
    cmd(s, 0x73)
    write('sim_bootloader', 'protection', s)

    s = Script().flag(False)
    s.byte(8).range(-1, 3, 1).byte(commands.index(0x31)).range(0, 2, 2).flag(False).range(0, 3, 1).range(-1, 4, 1)
    sync(s)
    sync(s)
    cmd(s, 0x31)
    flash_address(s, 0x100)
    block(s, bytes(8))
    cmd(s, 0x31)
    flash_address(s, 0x100)
    block(s, bytes(8))
    s.byte(0).range(0, 300, 3).raw(b'\x7f\x00\xff')
    s.byte(7)
    sync(s)
    write('sim_bootloader', 'faults', s)


# --- update: ops bytes 0, answer 1, step 2, time-out tick 3, press 4, open fails 5,
#     write fails 6, show 7
IMAGE_BYTES = 14628
BLOCK = 256


def answer(s, state, flash_kib=128):
    """The agreeing chip's reply to the update's state `state`, then a step."""
    s.byte(1)
    if state == 2:
        s.byte(0x22).raw(bytes([0x01, 0x02, 0x11, 0x21, 0x31, 0x43, 0x63, 0x73, 0x82, 0x92]))
    elif state == 3:
        s.byte(0x04).byte(0x10)
    elif state == 6:
        s.raw(bytes([flash_kib & 0xFF, flash_kib >> 8, 0xFF, 0xFF]))
    elif state == 14:
        s.raw(bytes(range(0x40, 0x4C)))
    elif state == 17:
        s.flag(False)
    return s.byte(2)


def update():
    def states():
        yield from range(1, 8)
        blocks = (IMAGE_BYTES + BLOCK - 1) // BLOCK
        for _ in range(blocks):
            yield from (8, 9, 10)
        yield 11

    # A whole update, every reply as the bootloader gives it.
    s = Script().range(0, 7, 1)
    for st in states():
        answer(s, st)
    write('update', 'whole-run', s)

    # Noise before the sync answer, a NACK in the Get reply, then time-outs and a press.
    s = Script().range(0, 7, 2)
    s.byte(0).range(0, 300, 3).raw(b'\x55\x00\x79').byte(2)
    s.byte(0).range(0, 300, 15).raw(b'\x1f' * 15).byte(2)
    for _ in range(4):
        s.byte(3)
    s.byte(4)
    for st in range(1, 8):
        answer(s, st)
    answer(s, 8)
    answer(s, 9)
    s.byte(6).range(-1, 3, -1)
    answer(s, 10)
    write('update', 'noise-nack-timeouts', s)

    # The port refuses to open on the retry after a run that stalled mid-write.
    s = Script().range(0, 7, 7)
    for st in range(1, 11):
        answer(s, st)
    s.byte(5).flag(True)
    for _ in range(7):
        s.byte(3)
    s.byte(7)
    write('update', 'stall-then-port-gone', s)


# --- image_file: the file's bytes as they are
def image_file():
    def raw(name, content):
        d = os.path.join(HERE, 'corpus', 'image_file')
        os.makedirs(d, exist_ok=True)
        with open(os.path.join(d, 'seed-' + name), 'wb') as f:
            f.write(content)

    def rec(kind, offset, data):
        b = bytes([len(data), offset >> 8, offset & 0xFF, kind]) + data
        return (':' + (b + bytes([-sum(b) & 0xFF])).hex().upper() + '\r\n').encode()

    raw('hex-with-hole', rec(4, 0, bytes([0x08, 0x00])) + rec(0, 0, bytes(range(16))) +
        rec(0, 0x100, bytes([0xDE, 0xAD, 0xBE, 0xEF])) + rec(5, 0, bytes([8, 0, 1, 0x29])) + rec(1, 0, b''))
    raw('hex-segment', rec(2, 0, bytes([0x10, 0x00])) + rec(0, 0, b'\x01\x02') + rec(1, 0, b''))
    raw('binary', bytes([0x60, 0x25, 0x00, 0x20, 0x3D, 0x2A, 0x00, 0x08]) * 8)
    raw('elf', b'\x7fELF\x01\x01\x01' + bytes(9))
    raw('text', b'S00F000068656C6C6F202020202000003C\n')


# --- update_options: options, then ops bytes 0, answer 1, step 2, time-out tick 3, start 4
def update_options():
    image_bytes = 700
    blocks = (image_bytes + BLOCK - 1) // BLOCK

    def options(s, entry=0, uid=True, verify=True, size=None):
        s.range(0, 2, entry).flag(uid).flag(verify)
        if size is None:
            return s.flag(True)
        if size < 0:
            return s.flag(False).flag(False)
        return s.flag(False).flag(True).range(0, 261119, size)

    # A whole update with the unique ID and the read-back.
    s = options(Script())
    for st in [1, 2, 3, 4, 5, 6, 12, 13, 14, 7] + [8, 9, 10] * blocks + [11] + [15, 16, 17] * blocks:
        answer(s, st)
    write('update_options', 'whole-run-verified', s)

    # The manual entry: a NACK to the first sync byte, a tick, a NACK to the second, on to Get.
    s = options(Script(), entry=2, uid=False, verify=False, size=-1)
    s.byte(0).range(0, 300, 1).raw(b'\x1f').byte(2).byte(3)
    s.byte(0).range(0, 300, 1).raw(b'\x1f').byte(2)
    answer(s, 2)
    write('update_options', 'manual-nack', s)

    # An image too large for a 64 KiB chip: refused before the erase.
    s = options(Script(), entry=1, uid=True, verify=False, size=200000)
    for st in [1, 2, 3, 4, 5]:
        answer(s, st)
    answer(s, 6, flash_kib=64)
    write('update_options', 'image-too-large', s)


# --- scan_replies: probe (flag 1) or whole read (0); ops chunk 0, plant 1, spoil 2
def scan_replies():
    probe_reply = frame(37, 3, 2, 0, 150)
    s = Script().flag(True)
    s.byte(0).range(1, 64, 3).raw(b'\xff\x00\x25')     # stray bytes
    s.byte(1).range(1, 99, 37).raw(b'\x00\x96')          # the probe's reply
    s.byte(0).range(1, 64, 8).raw(frame(5, 3, 0, 28, 0, 1))  # an echoed request
    s.byte(1).range(1, 99, 5).raw(b'\x00\x95')
    write('scan_replies', 'probe-replies-among-noise', s)

    s = Script().flag(False)
    s.byte(1).range(1, 99, 90).raw(bytes([0, 90, 0, 6, 0, 0, 0, 100, 0, 3, 0, 0, 0, 0, 0, 150]))
    s.byte(2).range(0, 20, 20).range(1, 255, 0x40)        # a spoiled CRC
    s.byte(0).range(1, 64, len(probe_reply)).raw(probe_reply)
    s.byte(1).range(1, 99, 3).raw(bytes(16))
    write('scan_replies', 'whole-read-spoiled-then-good', s)


if __name__ == '__main__':
    master_read()
    write_echo()
    sim_modbus()
    sim_bootloader()
    update()
    image_file()
    update_options()
    scan_replies()
