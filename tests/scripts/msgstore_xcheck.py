#!/usr/bin/python3
"""Second implementation of the message store's sealed files and the
plaintexts of the profile, interface-state, identity, session-init ring and
previous-ratchet files, on libsodium (python3-nacl, through crypto_xcheck)
and hashlib, for the C++ tests to check against in both directions.

Reads one request per line on stdin and writes one answer line per request:
    OP ARG...      byte strings as hex ("-" for empty), numbers in decimal
    -> "OK" followed by results, or "FAIL" and a reason word.

    key SECRET                      -> store key
    open PATH SECRET                -> plaintext          (label from the file name)
    seal PATH SECRET PT             -> OK                 (fresh salt, label from the file name)
    decode KIND PT                  -> fields, as encode takes them
    encode KIND FIELD...            -> plaintext
KINDs and their fields:
    profile  NAME ABOUT AVATAR TIME
    session  FLAG CONV VALUE TEXT            (encode: TEXTLEN may follow to announce another length)
    idents   COUNT USER:KEY,...              (encode: COUNT is written as given)
    rinit    NEXT COUNT ID,...
    rprev    VALUE STATE
"""

import hashlib
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import crypto_xcheck  # noqa: E402  (HKDF-SHA256 message seal on ChaCha20-Poly1305)

KEY_LABEL = b"quorvane-localstore-v1"
SALT_LEN = 16
TAG_LEN = 16

FIXED = {
    "convs.dat": b"qv-ms-convs",
    "profile.dat": b"qv-ms-prof",
    "session.dat": b"qv-ms-sess",
    "idents.dat": b"qv-ms-idnt",
    "rinit.dat": b"qv-ms-rinit",
    "prekeys.dat": b"qv-ms-prekeys",
}
HEX32 = "[0-9a-f]{32}"
HEX64 = "[0-9a-f]{64}"


def store_key(secret):
    return hashlib.blake2b(KEY_LABEL + secret, digest_size=64).digest()[:32]


def label_for(name):
    if name in FIXED:
        return FIXED[name]
    m = re.fullmatch("([ma])_(%s)\\.dat" % HEX32, name)
    if m:
        return (b"qv-ms-msgs" if m.group(1) == "m" else b"qv-ms-arch") + bytes.fromhex(m.group(2))
    m = re.fullmatch("r_(%s)_(%s)\\.dat" % (HEX32, HEX64), name)
    if m:
        return b"qv-ms-ratchet" + bytes.fromhex(m.group(1)) + bytes.fromhex(m.group(2))
    m = re.fullmatch("rp([01])_(%s)_(%s)\\.dat" % (HEX32, HEX64), name)
    if m:
        return b"qv-ms-rprev" + bytes([int(m.group(1))]) + bytes.fromhex(m.group(2)) + bytes.fromhex(m.group(3))
    return None


def seal_file(path, secret, pt):
    label = label_for(os.path.basename(path))
    salt = os.urandom(SALT_LEN)
    ct, tag = crypto_xcheck.msg_seal(store_key(secret), 0, salt, label, pt)
    with open(path + ".py", "wb") as f:
        f.write(salt + ct + tag)
    os.rename(path + ".py", path)


def open_file(path, secret):
    label = label_for(os.path.basename(path))
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < SALT_LEN + TAG_LEN:
        return None
    return crypto_xcheck.msg_open(store_key(secret), 0, data[:SALT_LEN], label, data[SALT_LEN:-TAG_LEN], data[-TAG_LEN:])


def h(b):
    return b.hex() if b else "-"


def unh(s):
    return b"" if s == "-" else bytes.fromhex(s)


# ---- plaintexts, big-endian ----

def profile_encode(name, about, avatar, time):
    return (bytes([2, len(name)]) + name + bytes([len(about)]) + about + len(avatar).to_bytes(2, "big") + avatar +
            time.to_bytes(8, "big"))


def profile_decode(pt):
    """Each field that does not pass ends the reading; the fields before it stay."""
    name, about, avatar, time = b"", b"", b"", 0
    if len(pt) <= 2 or pt[0] != 2:
        return None
    a = pt[1]
    rest = pt[2:]
    if a <= 64 and len(rest) > a:
        name, rest = rest[:a], rest[a:]
        b = rest[0]
        rest = rest[1:]
        if b <= 128 and len(rest) >= b:
            about, rest = rest[:b], rest[b:]
            if len(rest) >= 2:
                c = int.from_bytes(rest[:2], "big")
                rest = rest[2:]
                if c <= 560 and len(rest) >= c:
                    avatar, rest = rest[:c], rest[c:]
                    if len(rest) >= 8:
                        time = int.from_bytes(rest[:8], "big")
    return [h(name), h(about), h(avatar), str(time)]


def session_encode(flag, conv, value, text, announced=None):
    t = len(text) if announced is None else announced
    return bytes([1, flag]) + conv + value.to_bytes(4, "big") + t.to_bytes(2, "big") + text


def session_decode(pt):
    if len(pt) < 24 or pt[0] != 1:
        return None
    t = min(int.from_bytes(pt[22:24], "big"), len(pt) - 24, 4096)
    return [str(1 if pt[1] else 0), h(pt[2:18]), str(int.from_bytes(pt[18:22], "big")), h(pt[24:24 + t])]


def idents_encode(count, entries):
    return bytes([1]) + count.to_bytes(4, "big") + b"".join(u + k for u, k in entries)


def idents_decode(pt):
    if len(pt) <= 4 or pt[0] != 1:
        return None
    n = min(int.from_bytes(pt[1:5], "big"), 2048)
    if n == 0 or len(pt) < 5 + 48 * n:
        return None
    body = pt[5:5 + 48 * n]
    return [str(n), ",".join(body[i:i + 16].hex() + ":" + body[i + 16:i + 48].hex() for i in range(0, 48 * n, 48))]


def rinit_encode(nxt, ids):
    return nxt.to_bytes(2, "big") + len(ids).to_bytes(2, "big") + b"".join(ids)


def rinit_decode(pt):
    if not 4 <= len(pt) <= 4100:
        return None
    nxt, c = int.from_bytes(pt[0:2], "big"), int.from_bytes(pt[2:4], "big")
    if c > 256 or nxt >= 256 or len(pt) != 4 + 16 * c:
        return None
    return [str(nxt), str(c), ",".join(pt[4 + 16 * i:20 + 16 * i].hex() for i in range(c)) or "-"]


def rprev_decode(pt):
    if len(pt) < 9:
        return None
    return [str(int.from_bytes(pt[:8], "big")), h(pt[8:])]


def split_list(s):
    return [] if s == "-" else s.split(",")


def encode(kind, a):
    if kind == "profile":
        return profile_encode(unh(a[0]), unh(a[1]), unh(a[2]), int(a[3]))
    if kind == "session":
        return session_encode(int(a[0]), unh(a[1]), int(a[2]), unh(a[3]), int(a[4]) if len(a) > 4 else None)
    if kind == "idents":
        pairs = [tuple(bytes.fromhex(x) for x in e.split(":")) for e in split_list(a[1])]
        return idents_encode(int(a[0]), pairs)
    if kind == "rinit":
        ids = [bytes.fromhex(x) for x in split_list(a[2])]
        assert len(ids) == int(a[1])
        return rinit_encode(int(a[0]), ids)
    if kind == "rprev":
        return int(a[0]).to_bytes(8, "big") + unh(a[1])
    raise ValueError(kind)


DECODERS = {"profile": profile_decode, "session": session_decode, "idents": idents_decode, "rinit": rinit_decode,
            "rprev": rprev_decode}


def handle(op, a):
    if op == "key":
        return "OK " + store_key(unh(a[0])).hex()
    if op == "open":
        pt = open_file(a[0], unh(a[1]))
        return "FAIL AUTH" if pt is None else "OK " + h(pt)
    if op == "seal":
        seal_file(a[0], unh(a[1]), unh(a[2]))
        return "OK"
    if op == "decode":
        fields = DECODERS[a[0]](unh(a[1]))
        return "FAIL MALFORMED" if fields is None else "OK " + " ".join(fields)
    if op == "encode":
        return "OK " + h(encode(a[0], a[1:]))
    return "FAIL OP"


def main():
    for line in sys.stdin:
        parts = line.split()
        if not parts:
            continue
        try:
            print(handle(parts[0], parts[1:]), flush=True)
        except (ValueError, IndexError, OSError, KeyError):
            print("FAIL ARG", flush=True)


if __name__ == "__main__":
    main()
