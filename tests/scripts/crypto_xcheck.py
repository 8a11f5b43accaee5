#!/usr/bin/python3
"""Second implementation of the sealing formats, on libsodium (python3-nacl)
and Python's own hmac/hashlib, for the C++ tests to check against in both
directions.

Reads one request per line on stdin and writes one answer line per request:
    OP ARG...      byte strings as hex ("-" for empty), numbers in decimal
    -> "OK" followed by hex/decimal results, or "FAIL" and a reason word.
"""

import hashlib
import hmac
import os
import sys

from nacl import bindings as sodium
from nacl.exceptions import CryptoError

ZERO_NONCE = bytes(12)

SEAL_INFO = b"quorvane-seal-v1"
REST_TOKEN_INFO = b"quorvane-rest-token-v1"
SIDX_INFO = b"quorvane-sidx-v1"
MSG_INFO_PREFIX = b"quorvane-msg-v1"

HEADER_LEN = 64
TAG_LEN = 16
TOKEN_LEN = 73
TOKEN_BODY_LEN = 41


def hkdf_sha256(ikm, salt, info, length=32):
    """RFC 5869, extract then expand."""
    if not salt:
        salt = bytes(32)
    prk = hmac.new(salt, ikm, hashlib.sha256).digest()
    okm, block, i = b"", b"", 1
    while len(okm) < length:
        block = hmac.new(prk, block + info + bytes([i]), hashlib.sha256).digest()
        okm += block
        i += 1
    return okm[:length]


def aead_seal(key, ad, pt):
    """-> (ciphertext, tag)"""
    out = sodium.crypto_aead_chacha20poly1305_ietf_encrypt(pt, ad, ZERO_NONCE, key)
    return out[:-TAG_LEN], out[-TAG_LEN:]


def aead_open(key, ad, ct, tag):
    """-> plaintext, or None when the tag does not verify"""
    try:
        return sodium.crypto_aead_chacha20poly1305_ietf_decrypt(ct + tag, ad, ZERO_NONCE, key)
    except CryptoError:
        return None


# anonymous box: ephemeral public key | ciphertext | tag
def box_seal(recipient_pub, pt):
    eph_pub, eph_priv = sodium.crypto_box_keypair()
    salt = eph_pub + recipient_pub
    key = hkdf_sha256(sodium.crypto_scalarmult(eph_priv, recipient_pub), salt, SEAL_INFO)
    ct, tag = aead_seal(key, salt, pt)
    return eph_pub + ct + tag


def box_open(priv, box):
    if len(box) < 48:
        return None
    own_pub = sodium.crypto_scalarmult_base(priv)
    salt = box[:32] + own_pub
    key = hkdf_sha256(sodium.crypto_scalarmult(priv, box[:32]), salt, SEAL_INFO)
    return aead_open(key, salt, box[32:-TAG_LEN], box[-TAG_LEN:])


# message seal under a conversation key
def msg_key(conv_key, counter, salt):
    return hkdf_sha256(conv_key, salt, MSG_INFO_PREFIX + counter.to_bytes(8, "big"))


def msg_seal(conv_key, counter, salt, ad, pt):
    return aead_seal(msg_key(conv_key, counter, salt), ad, pt)


def msg_open(conv_key, counter, salt, ad, ct, tag):
    return aead_open(msg_key(conv_key, counter, salt), ad, ct, tag)


# envelope: header (conversation, sender, counter, time, salt) | ciphertext | tag
def env_header(conv, sender, counter, time_ms, salt):
    return conv + sender + counter.to_bytes(8, "big") + time_ms.to_bytes(8, "big") + salt


def env_seal(conv_key, header, body):
    counter = int.from_bytes(header[32:40], "big")
    ct, tag = msg_seal(conv_key, counter, header[48:64], header, body)
    return header + ct + tag


def env_open(conv_key, env):
    if len(env) < HEADER_LEN + TAG_LEN:
        return None, None
    header = env[:HEADER_LEN]
    counter = int.from_bytes(header[32:40], "big")
    body = msg_open(conv_key, counter, header[48:64], header, env[HEADER_LEN:-TAG_LEN], env[-TAG_LEN:])
    return header, body


# REST token: salt | sealed(id, kind, expiry, extra) | tag
def token_issue(secret, tid, kind, extra, expiry):
    salt = os.urandom(16)
    body = tid + bytes([kind & 0xFF]) + expiry.to_bytes(8, "big") + (extra or bytes(16))
    assert len(body) == TOKEN_BODY_LEN
    ct, tag = aead_seal(hkdf_sha256(secret, salt, REST_TOKEN_INFO), salt, body)
    return salt + ct + tag


def token_verify(secret, token, now):
    if len(token) != TOKEN_LEN:
        return "LENGTH", None
    salt = token[:16]
    body = aead_open(hkdf_sha256(secret, salt, REST_TOKEN_INFO), salt, token[16:57], token[57:])
    if body is None:
        return "AUTH", None
    if not now < int.from_bytes(body[17:25], "big"):
        return "EXPIRED", None
    return None, (body[:16], body[16], body[25:41])


def h(b):
    return b.hex() if b else "-"


def be32(v):
    return v.to_bytes(4, "big")


def b(s):
    return b"" if s == "-" else bytes.fromhex(s)


def answer(op, a):
    if op == "x25519_pub":
        return [h(sodium.crypto_scalarmult_base(b(a[0])))]
    if op == "seal":
        return [h(box_seal(b(a[0]), b(a[1])))]
    if op == "open":
        pt = box_open(b(a[0]), b(a[1]))
        return None if pt is None else [h(pt)]
    if op == "msg_seal":
        ct, tag = msg_seal(b(a[0]), int(a[1]), b(a[2]), b(a[3]), b(a[4]))
        return [h(ct), h(tag)]
    if op == "msg_open":
        pt = msg_open(b(a[0]), int(a[1]), b(a[2]), b(a[3]), b(a[4]), b(a[5]))
        return None if pt is None else [h(pt)]
    if op == "env_seal":  # key conv sender counter time salt|"rand" body
        salt = os.urandom(16) if a[5] == "rand" else b(a[5])
        header = env_header(b(a[1]), b(a[2]), int(a[3]), int(a[4]), salt)
        return [h(env_seal(b(a[0]), header, b(a[6])))]
    if op == "env_open":
        header, body = env_open(b(a[0]), b(a[1]))
        if body is None:
            return None
        return [h(header[0:16]), h(header[16:32]), str(int.from_bytes(header[32:40], "big")),
                str(int.from_bytes(header[40:48], "big")), h(header[48:64]), h(body)]
    if op == "token_issue":  # secret id kind extra|"-" expiry
        return [h(token_issue(b(a[0]), b(a[1]), int(a[2]), b(a[3]), int(a[4])))]
    if op == "token_verify":
        why, res = token_verify(b(a[0]), b(a[1]), int(a[2]))
        if res is None:
            return why
        return [h(res[0]), str(res[1]), h(res[2])]
    if op == "sidx":
        return [h(hkdf_sha256(b(a[0]), b(a[1]), SIDX_INFO))]
    if op == "ed_pub":
        return [h(sodium.crypto_sign_seed_keypair(b(a[0]))[0])]
    if op == "ed_sign":
        pk, sk = sodium.crypto_sign_seed_keypair(b(a[0]))
        return [h(sodium.crypto_sign(b(a[1]), sk)[:64])]
    if op == "ed_verify":
        try:
            sodium.crypto_sign_open(b(a[2]) + b(a[1]), b(a[0]))
            return []
        except CryptoError:
            return None
    raise ValueError("unknown op " + op)


def serve(answer):
    """Answers each request line on stdin with one line, at once: "OK" and the
    words of a list, "FAIL" and the reason word of a string, "FAIL AUTH" for
    None. The other cross-check scripts serve through this too."""
    for line in sys.stdin:
        words = line.split()
        if not words:
            continue
        res = answer(words[0], words[1:])
        if res is None:
            print("FAIL AUTH")
        elif isinstance(res, str):
            print("FAIL " + res)
        else:
            print(" ".join(["OK"] + res))
        sys.stdout.flush()
    return 0


def main():
    return serve(answer)


if __name__ == "__main__":
    sys.exit(main())
