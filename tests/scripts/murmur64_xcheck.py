#!/usr/bin/python3
"""Second implementation of MurmurHash3_x64_128 with a 64-bit seed, the
variant the hash tables use, in plain Python integers, for the C++ tests to
check against in both directions.

The algorithm is the published one (16-byte blocks read as two little-endian
64-bit words, the published tail and finalisation with fmix64, the length
mixed in as a 64-bit value); the only change is that h1 and h2 both start as
the whole 64-bit seed.

Reads one request per line on stdin and writes one answer line per request:
    verify              -> the published verification value, 8 hex digits
    hash SEED HEXKEY    -> "H1 H2"
    gen                 -> "SEED HEXKEY H1 H2" for a key and seed of its own
SEED is decimal, below 2^64; HEXKEY "-" is the empty key; H1 and H2 are the
two output words as 16 lower-case hex digits each.
"""

import os
import sys

MASK = (1 << 64) - 1
C1 = 0x87C37B91114253D5
C2 = 0x4CF5AD432745937F


def rotl(x, r):
    return ((x << r) | (x >> (64 - r))) & MASK


def fmix(k):
    k ^= k >> 33
    k = (k * 0xFF51AFD7ED558CCD) & MASK
    k ^= k >> 33
    k = (k * 0xC4CEB9FE1A85EC53) & MASK
    k ^= k >> 33
    return k


def mix_k1(k1):
    return (rotl((k1 * C1) & MASK, 31) * C2) & MASK


def mix_k2(k2):
    return (rotl((k2 * C2) & MASK, 33) * C1) & MASK


def murmur3_x64_128(key, seed):
    n = len(key)
    h1 = h2 = seed & MASK
    whole = n - n % 16
    for i in range(0, whole, 16):
        h1 ^= mix_k1(int.from_bytes(key[i:i + 8], "little"))
        h1 = (rotl(h1, 27) + h2) & MASK
        h1 = (h1 * 5 + 0x52DCE729) & MASK
        h2 ^= mix_k2(int.from_bytes(key[i + 8:i + 16], "little"))
        h2 = (rotl(h2, 31) + h1) & MASK
        h2 = (h2 * 5 + 0x38495AB5) & MASK
    # the tail's bytes 0-7 go to k1 and 8-15 to k2, little-endian, each
    # mixed only when it holds at least one byte
    tail = key[whole:]
    if len(tail) > 8:
        h2 ^= mix_k2(int.from_bytes(tail[8:], "little"))
    if tail:
        h1 ^= mix_k1(int.from_bytes(tail[:8], "little"))
    h1 ^= n
    h2 ^= n
    h1 = (h1 + h2) & MASK
    h2 = (h2 + h1) & MASK
    h1 = fmix(h1)
    h2 = fmix(h2)
    h1 = (h1 + h2) & MASK
    h2 = (h2 + h1) & MASK
    return h1, h2


def digest_bytes(key, seed):
    h1, h2 = murmur3_x64_128(key, seed)
    return h1.to_bytes(8, "little") + h2.to_bytes(8, "little")


def verification():
    """The published check: keys {}, {0}, {0,1} ... {0..254} under seed 256 - i,
    their digests concatenated and hashed under seed 0, first 4 bytes LE."""
    key = bytes(range(256))
    hashes = b"".join(digest_bytes(key[:i], 256 - i) for i in range(256))
    return int.from_bytes(digest_bytes(hashes, 0)[:4], "little")


def words(h):
    return "%016x %016x" % h


def answer(req):
    if req[0] == "verify" and len(req) == 1:
        return "%08x" % verification()
    if req[0] == "hash" and len(req) == 3:
        seed = int(req[1])
        if not 0 <= seed <= MASK:
            return "FAIL SEED"
        key = b"" if req[2] == "-" else bytes.fromhex(req[2])
        return words(murmur3_x64_128(key, seed))
    if req[0] == "gen" and len(req) == 1:
        key = os.urandom(os.urandom(1)[0] % 70)
        seed = int.from_bytes(os.urandom(8), "little") | (1 << (32 + os.urandom(1)[0] % 32))
        return "%d %s %s" % (seed, key.hex() or "-", words(murmur3_x64_128(key, seed)))
    return "FAIL REQUEST"


def main():
    for line in sys.stdin:
        req = line.split()
        if req:
            print(answer(req), flush=True)


if __name__ == "__main__":
    main()
