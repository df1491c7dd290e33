#!/usr/bin/env python3
"""Writes the seed corpus of the package fuzz targets into corpus/ (run from anywhere)."""
import os
import struct
import zlib

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def header(ident=b"", version=b"", command=b"", offset=160):
    return (b"TUF\0" + struct.pack("<I", offset) + ident.ljust(8, b"\0")[:8] + version.ljust(16, b"\0")[:16]
            + command.ljust(128, b"\0")[:128])


def record(name, kind=1, compressed=0, size=0, packed=0, skip=0):
    return name.ljust(130, b"\0")[:130] + bytes([kind, compressed]) + struct.pack("<III", size, packed, skip)


def stored(name, data, skip=0):
    return record(name, 1, 0, len(data), 0, skip) + data + b"S" * skip


def packed(name, data, skip=0):
    z = zlib.compress(data, 6)
    return record(name, 1, 1, len(data), len(z), skip) + z + b"S" * skip


def directory(name):
    return record(name, 0)


text = b"".join(b"line %d of the configuration\n" % (i % 13) for i in range(200))
bad = bytearray(zlib.compress(text))
bad[len(bad) // 2] ^= 0x5A
seeds = {
    "header-only.tuf": header(b"MAP4170", b"2.0"),
    "tree.tuf": header(b"PRG4170", b"1.4.0", b"true") + directory(b"/etc") + directory(b"/etc/app")
    + packed(b"/etc/app/app.conf", text) + stored(b"/etc/app/blob", bytes(range(256)) * 4, 7)
    + stored(b"/etc/app/empty", b"") + record(b"/etc/app/empty-z", 1, 1, 0, 99, 3) + b"SSS",
    "damaged-stream.tuf": header() + record(b"/f", 1, 1, len(text), len(bad)) + bytes(bad),
    "inflates-longer.tuf": header() + record(b"/f", 1, 1, 100, len(zlib.compress(b"q" * 101)))
    + zlib.compress(b"q" * 101),
    "stray-bytes.tuf": header() + stored(b"/f", b"abc") + b"\x7f" * 100,
    "truncated-data.tuf": header() + record(b"/f", 1, 0, 1000) + b"only a part",
    "dotdot-and-relative.tuf": header() + directory(b"/../up") + stored(b"relative", b"r")
    + stored(b"/a/../../escape", b"e"),
    "offset-2gib.tuf": header(offset=0x80000000) + stored(b"/f", b"x"),
    "offset-below-header.tuf": header(offset=16) + stored(b"/f", b"x"),
    "skip-backwards.tuf": header() + record(b"/a", 1, 0, 1, 0, 0xFFFFFFFF) + b"a" + stored(b"/b", b"b"),
    "name-without-nul.tuf": header(b"IDIDIDID", b"V" * 16) + stored(b"/" + b"n" * 140, b"x"),
    "huge-size.tuf": header() + record(b"/f", 1, 0, 0xFFFFFE00) + b"short",
    "not-a-package.bin": b"NOT" + b"\0" * 200,
}
os.makedirs(HERE, exist_ok=True)
for name, data in seeds.items():
    with open(os.path.join(HERE, name), "wb") as out:
        out.write(data)

# The inflation target: three bytes of entry size, then the packed data.
INFLATE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "inflate-corpus")


def sized(size, packed):
    return struct.pack("<I", size)[:3] + packed


def with_dictionary(data, dictionary):
    c = zlib.compressobj(6, zlib.DEFLATED, 15, 8, zlib.Z_DEFAULT_STRATEGY, dictionary)
    return c.compress(data) + c.flush()


def small_window(data):
    c = zlib.compressobj(9, zlib.DEFLATED, 9)
    return c.compress(data) + c.flush()


def header_fixed(stream, cmf):
    flags = stream[1] & 0xC0
    return bytes([cmf, flags + (31 - (cmf * 256 + flags) % 31) % 31]) + stream[2:]


mixed = text + bytes(range(256)) * 8 + b"\0" * 3000
good = zlib.compress(text, 6)
inflate_seeds = {"level-%d" % level: sized(len(mixed), zlib.compress(mixed, level)) for level in range(10)}
inflate_seeds.update({
    "small-window": sized(len(mixed), small_window(mixed)),
    "empty-content": sized(0, zlib.compress(b"")),
    "trailing-bytes": sized(len(text), good + b"after the stream"),
    "preset-dictionary": sized(len(text), with_dictionary(text, b"line of the configuration")),
    "window-64k": sized(len(text), header_fixed(good, 0x88)),
    "not-deflate": sized(len(text), header_fixed(good, 0x77)),
    "wrong-adler": sized(len(text), good[:-1] + bytes([good[-1] ^ 1])),
    "no-adler": sized(len(text), good[:-4]),
    "truncated": sized(len(text), good[: len(good) // 2]),
    "damaged": sized(len(text), bytes(bad)),
    "longer-than-capacity": sized(10, zlib.compress(b"q" * 600)),
    "one-longer-than-size": sized(100, zlib.compress(b"q" * 101)),
    "no-stream": sized(16, b""),
    # A fixed-code block with the reserved length symbol 287 (zlib refuses it).
    "reserved-length-symbol": sized(259, bytes.fromhex("789c4b1c0700d9a86224")),
})
os.makedirs(INFLATE, exist_ok=True)
for name, data in inflate_seeds.items():
    with open(os.path.join(INFLATE, name), "wb") as out:
        out.write(data)
