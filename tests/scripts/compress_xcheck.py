#!/usr/bin/python3
"""Second implementation of the compressed-string formats, on Python's zlib
and on lz4.block (Debian python3-lz4), for the C++ tests to check against in
both directions.

Both formats are the uncompressed size as 4 big-endian bytes, then either a
zlib stream (RFC 1950) or one raw LZ4 block without a frame.

Reads one request per line on stdin and writes one answer line per request
(the loop of crypto_xcheck.serve); the data travel in files:
    zlib_make IN OUT LEVEL   -> OK           OUT = header + zlib.compress(IN, LEVEL)
    lz4_make IN OUT MODE     -> OK           OUT = header + block (MODE: default, fast, high_compression)
    zlib_open IN OUT         -> OK DECLARED N   OUT = the N bytes inflated from IN
    lz4_open IN OUT          -> OK DECLARED N   the block decoded with the declared size as capacity
    ... or FAIL and a reason word.
"""

import os
import sys
import zlib

import lz4.block

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from crypto_xcheck import be32, serve  # noqa: E402

MAX_ORIGINAL = 0x10000000


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def open_string(blob, inflate):
    if len(blob) < 4:
        return "SHORT"
    declared = int.from_bytes(blob[:4], "big")
    if declared == 0 or declared > MAX_ORIGINAL:
        return "SIZE"
    try:
        out = inflate(blob[4:], declared)
    except (zlib.error, lz4.block.LZ4BlockError):
        return "CORRUPT"
    if len(out) > declared:
        return "LONG"
    return declared, out


def answer(op, a):
    if op == "zlib_make":
        data = read(a[0])
        write(a[1], be32(len(data)) + zlib.compress(data, int(a[2])))
        return []
    if op == "lz4_make":
        data = read(a[0])
        write(a[1], be32(len(data)) + lz4.block.compress(data, mode=a[2], store_size=False))
        return []
    if op in ("zlib_open", "lz4_open"):
        if op == "zlib_open":
            res = open_string(read(a[0]), lambda p, n: zlib.decompress(p))
        else:
            res = open_string(read(a[0]), lambda p, n: lz4.block.decompress(p, uncompressed_size=n))
        if isinstance(res, str):
            return res
        write(a[1], res[1])
        return [str(res[0]), str(len(res[1]))]
    raise ValueError("unknown op " + op)


if __name__ == "__main__":
    sys.exit(serve(answer))
