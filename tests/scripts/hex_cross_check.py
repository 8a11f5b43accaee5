#!/usr/bin/python3
"""Hex cross-checks with Python's bytes.hex and bytes.fromhex.

encode INFILE: INFILE holds records (4-byte little-endian length, bytes);
    prints bytes.hex() of each record, one per line.
gen SEED COUNT OUTFILE: writes COUNT cases to OUTFILE, each as
    [u32 text length][text][u8 accepted][u32 byte length][bytes]
    where text is a hex text in mixed case with whitespace between byte
    pairs, sometimes broken (odd digit count or a non-hex character), and
    accepted says whether bytes.fromhex took it (bytes are its result).
"""
import random
import struct
import sys

WHITESPACE = " \t\n\r\x0b\x0c"
NOT_HEX = "gGzZxX-+./:@`~\x01\x7f"


def read_records(blob):
    pos = 0
    while pos < len(blob):
        (n,) = struct.unpack_from("<I", blob, pos)
        pos += 4
        yield blob[pos:pos + n]
        pos += n


def encode(path):
    with open(path, "rb") as f:
        blob = f.read()
    sys.stdout.write("".join(r.hex() + "\n" for r in read_records(blob)))


def make_text(rng):
    data = bytes(rng.randrange(256) for _ in range(rng.randrange(0, 48)))
    parts = []
    for pair in (data.hex()[i:i + 2] for i in range(0, 2 * len(data), 2)):
        pair = "".join(c.upper() if rng.random() < 0.5 else c for c in pair)
        if rng.random() < 0.3:
            parts.append("".join(rng.choice(WHITESPACE) for _ in range(rng.randrange(1, 3))))
        parts.append(pair)
    text = "".join(parts)
    if rng.random() < 0.25 and text:
        i = rng.randrange(len(text) + 1)
        if rng.random() < 0.5:
            text = text[:i] + rng.choice(NOT_HEX) + text[i:]
        else:
            text = text[:i] + rng.choice("0123456789abcdefABCDEF") + text[i:]
    return text


def gen(seed, count, path):
    rng = random.Random(seed)
    out = bytearray()
    for _ in range(count):
        text = make_text(rng)
        try:
            data = bytes.fromhex(text)
            accepted = 1
        except ValueError:
            data = b""
            accepted = 0
        raw = text.encode("ascii")
        out += struct.pack("<I", len(raw)) + raw + struct.pack("<BI", accepted, len(data)) + data
    with open(path, "wb") as f:
        f.write(out)


def main():
    if sys.argv[1] == "encode":
        encode(sys.argv[2])
    elif sys.argv[1] == "gen":
        gen(int(sys.argv[2]), int(sys.argv[3]), sys.argv[4])
    else:
        sys.exit("usage: hex_cross_check.py encode FILE | gen SEED COUNT FILE")


if __name__ == "__main__":
    main()
