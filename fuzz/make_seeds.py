#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (fuzz/corpus/<target>/).

The seeds are committed; run this again only after changing an input layout.
Layouts are described at the top of fuzz_requests.cpp and fuzz_block.cpp.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

# fuzz_requests: op, pid selector, arg1, arg2, arg3.
REGISTER, UNREGISTER, ENABLE, DISABLE, SWEEP, STOP_UNREGISTER, RAW, KILL = range(8)
CODE = 0x80   # arg1 becomes 0xDEAD0000 + arg1 % 16
SMALL = 0x40  # arg2 becomes arg2 % 512
SELF, HELPER1, HELPER2, GHOST0 = 0, 1, 2, 5


def req(op, who, a1=0, a2=0, a3=0):
    return struct.pack('<BBIII', op, who, a1, a2, a3)


REQUEST_SEEDS = {
    'classes': req(REGISTER, SELF) + req(ENABLE | CODE, SELF, 0) + req(DISABLE | CODE, SELF, 0)
    + req(ENABLE | CODE | SMALL, SELF, 7, 3, 0x0105) + req(DISABLE | CODE | SMALL, SELF, 7, 3, 1)
    + req(ENABLE | CODE | SMALL, SELF, 8, 254, 0xFFFF) + req(ENABLE | CODE | SMALL, SELF, 9, 255, 50)
    + req(ENABLE | CODE | SMALL, SELF, 9, 7, 60) + req(DISABLE | CODE | SMALL, SELF, 9, 7, 33)
    + req(ENABLE | CODE | SMALL, SELF, 7, 255, 1) + req(ENABLE | CODE, SELF, 10)
    + req(UNREGISTER, SELF),
    'sweep': req(REGISTER, HELPER1) + req(REGISTER, HELPER2) + req(REGISTER, GHOST0)
    + req(KILL, HELPER1) + req(SWEEP, SELF) + req(ENABLE | CODE, HELPER2, 2)
    + req(KILL, HELPER2) + req(SWEEP, SELF) + req(UNREGISTER, GHOST0),
    'reuse': req(REGISTER, HELPER1) + req(REGISTER, HELPER1) + req(KILL, HELPER1)
    + req(REGISTER, HELPER1) + req(ENABLE | CODE, HELPER1, 0) + req(UNREGISTER, HELPER1),
    'full': b''.join(req(REGISTER, GHOST0 + i) for i in range(52)),
    'unknown': req(ENABLE | CODE, SELF, 0) + req(REGISTER, SELF),
    'stop': req(REGISTER, SELF) + req(STOP_UNREGISTER, SELF) + req(REGISTER, SELF),
    'raw': req(RAW, SELF, 0, 0, 13 << 24) + req(RAW, SELF, 0, 0, 99 << 24)
    + req(REGISTER, GHOST0) + req(RAW, GHOST0, 0, 0, 4 << 24) + req(UNREGISTER, GHOST0)
    + req(UNREGISTER, GHOST0),
}

# fuzz_block: op, b1, b2, b3, value.
WRITE, POST, TAKE, HANDLER, REQUEST, FIELD = 0, 3, 4, 5, 6, 7
LOCK, R_INDEX, W_INDEX, OWNER, LEVEL_MASKS, CHANNEL_MASKS, CLASS0 = 0, 10, 11, 7, 15, 17, 12


def step(op, b1=0, b2=0, b3=0, value=0):
    return struct.pack('<BBBBI', op, b1, b2, b3, value)


def field(index, value):
    return step(FIELD, index, 0, 1, value)


BLOCK_SEEDS = {
    'ring': b''.join(step(POST, i % 10, 0, 0, i) for i in range(5)) + step(TAKE) * 3
    + field(W_INDEX, 99) + field(R_INDEX, 0) + step(POST) + field(R_INDEX, 50) + step(POST)
    + step(TAKE),
    'indexes': field(R_INDEX, 100) + step(POST) + step(TAKE) + field(W_INDEX, 0xFFFFFFFF)
    + field(R_INDEX, 5) + step(POST) + step(TAKE),
    'lock': field(LOCK, 0) + step(POST) + step(POST) + field(LOCK, 0xFFFFFFFF) + step(POST),
    'owner': field(OWNER, 1234) + step(POST) + step(REQUEST, 0, 0, 0, 0),
    'handlers': step(REQUEST, 0) + step(HANDLER, 0, 0, 0, 5) + step(HANDLER, 1)
    + step(REQUEST, 14, 3, 0, 0x0001) + step(HANDLER, 6, 3, 1, 9) + field(LEVEL_MASKS, 0xFFFFFFFF)
    + step(HANDLER, 6, 0xFF, 0x81, 1) + step(REQUEST, 18, 7, 0, 50) + step(HANDLER, 7, 7, 14, 2)
    + field(CHANNEL_MASKS, 0xFFFFFFFF) + step(HANDLER, 7, 0xFF, 0xFF, 3) + step(TAKE) * 4,
    'scribble': step(WRITE, 0x10, 0, 0, 0xDEADBEEF) + step(WRITE, 0x24, 0, 0, 0xFFFFFFFF)
    + step(WRITE, 0x10, 0x0E, 0, 0x41414141) + field(CLASS0, 7) + step(HANDLER, 0, 0, 0, 1)
    + step(POST) + step(TAKE),
}


def write(target, seeds):
    folder = os.path.join(HERE, 'corpus', target)
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), 'wb') as f:
            f.write(data)


write('fuzz_requests', REQUEST_SEEDS)
write('fuzz_block', BLOCK_SEEDS)
