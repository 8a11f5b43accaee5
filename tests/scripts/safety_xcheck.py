#!/usr/bin/python3
"""Second implementation of safety numbers on Python's hashlib, for the C++
tests to check against.

Reads one request per line on stdin and writes one answer line per request:
    pair A_PUB A_ID B_PUB B_ID      -> "OK " and the 71-character text
    group PUB:ID [PUB:ID ...]       -> "OK " and the 71-character text
Byte strings are hex; a request that cannot be answered gets "FAIL" and a word.
"""

import hashlib
import sys

ROUNDS = 5200
GROUP_MAX = 64


def fingerprint(pub, uid):
    h = hashlib.sha512(pub + uid).digest()
    for _ in range(ROUNDS - 1):
        h = hashlib.sha512(h + pub).digest()
    return h


def six_groups(b):
    """30 bytes -> six five-digit strings, each 5-byte chunk big-endian mod 100000."""
    assert len(b) == 30
    return ["%05d" % (int.from_bytes(b[i:i + 5], "big") % 100000) for i in range(0, 30, 5)]


def pair(a_pub, a_id, b_pub, b_id):
    fa, fb = fingerprint(a_pub, a_id), fingerprint(b_pub, b_id)
    first, second = (fa, fb) if a_pub + a_id <= b_pub + b_id else (fb, fa)
    return " ".join(six_groups(first[:30]) + six_groups(second[:30]))


def group(members):
    fps = sorted(fingerprint(pub, uid) for pub, uid in members)
    h = hashlib.sha512(b"".join(fps)).digest()
    return " ".join(six_groups(h[:30]) + six_groups(h[30:60]))


def identity(pub_hex, id_hex):
    pub, uid = bytes.fromhex(pub_hex), bytes.fromhex(id_hex)
    if len(pub) != 32 or len(uid) != 16:
        raise ValueError("identity length")
    return pub, uid


def answer(words):
    op, args = words[0], words[1:]
    if op == "pair" and len(args) == 4:
        a, b = identity(args[0], args[1]), identity(args[2], args[3])
        return "OK " + pair(a[0], a[1], b[0], b[1])
    if op == "group":
        if not 1 <= len(args) <= GROUP_MAX:
            return "FAIL COUNT"
        return "OK " + group([identity(*m.split(":")) for m in args])
    return "FAIL OP"


def main():
    for line in sys.stdin:
        words = line.split()
        if not words:
            continue
        try:
            print(answer(words), flush=True)
        except ValueError:
            print("FAIL ARG", flush=True)


if __name__ == "__main__":
    main()
