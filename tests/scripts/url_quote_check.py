#!/usr/bin/python3
"""Percent-encodes byte strings with urllib.parse.quote(b, safe='').

Input file: records of a 4-byte little-endian length and that many bytes.
Output: one encoded line per record, in order.
"""
import struct
import sys
import urllib.parse


def records(blob):
    pos = 0
    while pos < len(blob):
        (n,) = struct.unpack_from("<I", blob, pos)
        pos += 4
        yield blob[pos:pos + n]
        pos += n


def main():
    with open(sys.argv[1], "rb") as f:
        blob = f.read()
    out = [urllib.parse.quote(r, safe="") for r in records(blob)]
    sys.stdout.write("".join(line + "\n" for line in out))


if __name__ == "__main__":
    main()
