#!/usr/bin/python3
"""Second implementation of the device key store: the "HKS1" plaintext
(formats 1 and 2) inside a key file sealed at N 32768, r 8, p 1, and the
64-byte public-key file beside it. Keys and the device certificate come from
libsodium (python3-nacl); the key file itself from keys_xcheck.py.

Reads one request per line on stdin and writes one answer line per request:
    make PATH PASSWORD FORMAT FLAG RK|- SEED|-
        -> id_priv id_pub x_priv x_pub ed_priv ed_pub cert   (a new store at PATH;
           FLAG is the byte written at offset 264 of format 2, RK its 32 bytes or zeros)
    read PATH PASSWORD
        -> format flag rk|- id_priv id_pub x_priv x_pub ed_priv ed_pub cert
           after checking that every public key belongs to its secret and that
           the certificate verifies; FAIL AUTH, MALFORMED, KEY or CERT otherwise
    pub PATH  -> x_pub ed_pub   (from PATH.pub, exactly 64 bytes, else FAIL SIZE)
    write_pub PATH X_PUB ED_PUB -> (writes PATH.pub)
Byte strings and passwords are hex ("-" for empty).
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from crypto_xcheck import b, h  # noqa: E402
from keys_xcheck import keyfile_open, keyfile_seal  # noqa: E402

from nacl import bindings as sodium  # noqa: E402
from nacl.exceptions import CryptoError  # noqa: E402

MAGIC = b"HKS1"
COST = (32768, 8, 1)
V1_LEN = 264
V2_LEN = 297


def ed_keys(seed):
    pub, sk = sodium.crypto_sign_seed_keypair(seed)
    return pub, sk


def cert_sign(id_seed, x_pub, ed_pub):
    return sodium.crypto_sign(x_pub + ed_pub, ed_keys(id_seed)[1])[:64]


def cert_ok(id_pub, x_pub, ed_pub, sig):
    try:
        sodium.crypto_sign_open(sig + x_pub + ed_pub, id_pub)
        return True
    except CryptoError:
        return False


def make(path, pw, fmt, flag, rk, seed):
    id_priv = seed if seed else os.urandom(32)
    x_priv, ed_priv = os.urandom(32), os.urandom(32)
    id_pub = ed_keys(id_priv)[0]
    x_pub = sodium.crypto_scalarmult_base(x_priv)
    ed_pub = ed_keys(ed_priv)[0]
    cert = cert_sign(id_priv, x_pub, ed_pub)
    block = id_priv + id_pub + x_priv + x_pub + ed_priv + ed_pub + cert
    pt = MAGIC + fmt.to_bytes(4, "little") + block
    if fmt == 2:
        pt += bytes([flag]) + (rk if rk else bytes(32))
    keyfile_seal(path, pw, pt, *COST)
    return [h(x) for x in (id_priv, id_pub, x_priv, x_pub, ed_priv, ed_pub, cert)]


def read(path, pw):
    got = keyfile_open(path, pw)
    if isinstance(got, str):
        return got
    pt = b(got[0])
    if len(pt) < V1_LEN or pt[:4] != MAGIC:
        return "MALFORMED"
    fmt = pt[4]
    if not ((fmt == 1 and len(pt) == V1_LEN) or (fmt == 2 and len(pt) == V2_LEN)):
        return "MALFORMED"
    keys = [pt[8 + 32 * i:8 + 32 * (i + 1)] for i in range(6)]
    id_priv, id_pub, x_priv, x_pub, ed_priv, ed_pub = keys
    cert = pt[200:264]
    if ed_keys(id_priv)[0] != id_pub or sodium.crypto_scalarmult_base(x_priv) != x_pub or \
            ed_keys(ed_priv)[0] != ed_pub:
        return "KEY"
    if not cert_ok(id_pub, x_pub, ed_pub, cert):
        return "CERT"
    has_rk = fmt == 2 and pt[264] == 1
    return [str(fmt), "1" if has_rk else "0", h(pt[265:297]) if has_rk else "-"] + [h(k) for k in keys] + [h(cert)]


def read_pub(path):
    data = open(path + ".pub", "rb").read()
    if len(data) != 64:
        return "SIZE"
    return [h(data[:32]), h(data[32:])]


def answer(op, a):
    if op == "make":
        return make(a[0], b(a[1]), int(a[2]), int(a[3]), b(a[4]), b(a[5]))
    if op == "read":
        return read(a[0], b(a[1]))
    if op == "pub":
        return read_pub(a[0])
    if op == "write_pub":
        with open(a[0] + ".pub", "wb") as f:
            f.write(b(a[1]) + b(a[2]))
        return []
    raise ValueError("unknown op " + op)


def main():
    for line in sys.stdin:
        words = line.split()
        if not words:
            continue
        res = answer(words[0], words[1:])
        if isinstance(res, str):
            print("FAIL " + res)
        else:
            print(" ".join(["OK"] + res))
        sys.stdout.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
