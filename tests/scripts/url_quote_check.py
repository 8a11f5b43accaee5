#!/usr/bin/python3
"""Percent-encodes byte strings with urllib.parse.quote(b, safe='').

Input file: records of a 4-byte little-endian length and that many bytes.
Output: one encoded line per record, in order.
"""
import os
import sys
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from hex_cross_check import read_records  # noqa: E402  (the same record file format)


def main():
    with open(sys.argv[1], "rb") as f:
        blob = f.read()
    out = [urllib.parse.quote(r, safe="") for r in read_records(blob)]
    sys.stdout.write("".join(line + "\n" for line in out))


if __name__ == "__main__":
    main()
