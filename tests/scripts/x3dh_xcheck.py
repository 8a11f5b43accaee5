#!/usr/bin/python3
"""Second implementation of X3DH, the signed-prekey signature, the device id
and the device certificate, on libsodium (python3-nacl) and Python's own
hashlib/hmac, for the C++ tests to check against in both directions.

Reads one request per line on stdin and writes one answer line per request:
    OP ARG...      byte strings as hex ("-" for absent)
    -> "OK" followed by hex results, or "FAIL" and a reason word.

    x_keypair                          -> priv pub
    ed_keypair                         -> seed pub
    initiate IKa_priv IKb SPKb OPKb|-  -> EKa secret ad     (fresh ephemeral key)
    respond IKb_priv SPKb_priv OPKb_priv|- IKa EKa -> secret ad
    prekey_sign seed prekey            -> sig
    prekey_verify pub prekey sig       -> OK | FAIL SIG
    cert_sign seed dev_x dev_ed        -> sig
    cert_verify pub dev_x dev_ed sig   -> OK | FAIL SIG
    device_id dev_x dev_ed             -> id
"""

import hashlib
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import crypto_xcheck  # noqa: E402  (HKDF-SHA256 after RFC 5869, hex helpers)

from nacl import bindings as sodium  # noqa: E402
from nacl.exceptions import CryptoError  # noqa: E402

X3DH_INFO = b"quorvane-x3dh-v1"
PREKEY_LABEL = b"quorvane-prekey-v1"
DEVICEID_LABEL = b"quorvane-deviceid-v1"
PAD = b"\xff" * 32
SALT = bytes(32)

h = crypto_xcheck.h
b = crypto_xcheck.b


def dh(priv, pub):
    # libsodium refuses an all-zero result (low-order point) with an exception
    return sodium.crypto_scalarmult(priv, pub)


def kdf(dhs):
    return crypto_xcheck.hkdf_sha256(PAD + b"".join(dhs), SALT, X3DH_INFO, 32)


def initiate(ika_priv, ikb, spkb, opkb):
    ika = sodium.crypto_scalarmult_base(ika_priv)
    eka_priv = os.urandom(32)
    eka = sodium.crypto_scalarmult_base(eka_priv)
    dhs = [dh(ika_priv, spkb), dh(eka_priv, ikb), dh(eka_priv, spkb)]
    if opkb:
        dhs.append(dh(eka_priv, opkb))
    return eka, kdf(dhs), ika + ikb


def respond(ikb_priv, spkb_priv, opkb_priv, ika, eka):
    ikb = sodium.crypto_scalarmult_base(ikb_priv)
    dhs = [dh(spkb_priv, ika), dh(ikb_priv, eka), dh(spkb_priv, eka)]
    if opkb_priv:
        dhs.append(dh(opkb_priv, eka))
    return kdf(dhs), ika + ikb


def sign(seed, msg):
    _, sk = sodium.crypto_sign_seed_keypair(seed)
    return sodium.crypto_sign(msg, sk)[:64]


def verify(pub, msg, sig):
    if len(sig) != 64 or len(pub) != 32:
        return False
    try:
        sodium.crypto_sign_open(sig + msg, pub)
        return True
    except (CryptoError, ValueError):
        return False


def device_id(dev_x, dev_ed):
    return hashlib.blake2b(DEVICEID_LABEL + dev_x + dev_ed, digest_size=64).digest()[:16]


def answer(op, a):
    if op == "x_keypair":
        priv = os.urandom(32)
        return [h(priv), h(sodium.crypto_scalarmult_base(priv))]
    if op == "ed_keypair":
        seed = os.urandom(32)
        return [h(seed), h(sodium.crypto_sign_seed_keypair(seed)[0])]
    if op == "initiate":
        try:
            eka, secret, ad = initiate(b(a[0]), b(a[1]), b(a[2]), b(a[3]))
        except (CryptoError, RuntimeError):
            return "DH"
        return [h(eka), h(secret), h(ad)]
    if op == "respond":
        try:
            secret, ad = respond(b(a[0]), b(a[1]), b(a[2]), b(a[3]), b(a[4]))
        except (CryptoError, RuntimeError):
            return "DH"
        return [h(secret), h(ad)]
    if op == "prekey_sign":
        return [h(sign(b(a[0]), PREKEY_LABEL + b(a[1])))]
    if op == "prekey_verify":
        return [] if verify(b(a[0]), PREKEY_LABEL + b(a[1]), b(a[2])) else "SIG"
    if op == "cert_sign":
        return [h(sign(b(a[0]), b(a[1]) + b(a[2])))]
    if op == "cert_verify":
        return [] if verify(b(a[0]), b(a[1]) + b(a[2]), b(a[3])) else "SIG"
    if op == "device_id":
        return [h(device_id(b(a[0]), b(a[1])))]
    raise ValueError("unknown op " + op)


def main():
    return crypto_xcheck.serve(answer)


if __name__ == "__main__":
    sys.exit(main())
