#!/usr/bin/python3
"""Second implementation of blob streams on libsodium (python3-nacl) and
hashlib, for the C++ tests to check against in both directions. Streams go
through files, one chunk in memory at a time, so a 256 MiB blob costs no more
than a small one.

Reads one request per line on stdin and writes one answer line per request:
    seal KEY SALT ID PLAIN_PATH SEALED_PATH
        -> "OK COUNT DIGEST SEALED_LEN"
    open KEY SALT ID COUNT DIGEST SEALED_PATH PLAIN_PATH
        -> "OK PLAIN_LEN", or "FAIL" and a reason word (ARG, COUNT, AUTH, DIGEST);
           a failed open leaves PLAIN_PATH empty
Byte strings are hex, numbers decimal.
"""

import hashlib
import hmac
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import crypto_xcheck  # noqa: E402  (HKDF and the AEAD, written independently of the C++ code)

CHUNK = 65536
TAG = crypto_xcheck.TAG_LEN
SEALED_CHUNK = CHUNK + TAG
MAX_PLAIN = 256 * 1024 * 1024
MAX_SEALED = MAX_PLAIN + TAG * (MAX_PLAIN // CHUNK)
BLOB_INFO_PREFIX = b"quorvane-blob-v1"


def chunk_key(key, salt, index):
    return crypto_xcheck.hkdf_sha256(key, salt, BLOB_INFO_PREFIX + index.to_bytes(4, "big"))


def chunk_ad(blob_id, index, last):
    return blob_id + index.to_bytes(4, "big") + (b"\x01" if last else b"\x00")


def chunk_count(length):
    return max(1, -(-length // CHUNK))


def seal(key, salt, blob_id, plain_path, sealed_path):
    length = os.path.getsize(plain_path)
    if length > MAX_PLAIN:
        return "ARG"
    count = chunk_count(length)
    digest = hashlib.blake2b(digest_size=64)
    with open(plain_path, "rb") as src, open(sealed_path, "wb") as dst:
        for i in range(count):
            pt = src.read(CHUNK)
            digest.update(pt)
            ct, tag = crypto_xcheck.aead_seal(chunk_key(key, salt, i), chunk_ad(blob_id, i, i == count - 1), pt)
            dst.write(ct + tag)
    return [str(count), digest.hexdigest(), str(os.path.getsize(sealed_path))]


def open_stream(key, salt, blob_id, count, want_digest, sealed_path, plain_path):
    length = os.path.getsize(sealed_path)
    if length < TAG or length > MAX_SEALED:
        return "ARG"
    q, r = divmod(length, SEALED_CHUNK)
    if r and r < TAG:
        return "ARG"
    if count != (q + 1 if r else q):
        return "COUNT"
    digest = hashlib.blake2b(digest_size=64)
    with open(sealed_path, "rb") as src, open(plain_path, "wb") as dst:
        for i in range(count):
            last = i == count - 1
            block = src.read(length - i * SEALED_CHUNK if last else SEALED_CHUNK)
            pt = crypto_xcheck.aead_open(chunk_key(key, salt, i), chunk_ad(blob_id, i, last), block[:-TAG], block[-TAG:])
            if pt is None:
                dst.truncate(0)
                return "AUTH"
            digest.update(pt)
            dst.write(pt)
        if not hmac.compare_digest(digest.digest(), want_digest):
            dst.truncate(0)
            return "DIGEST"
    return [str(os.path.getsize(plain_path))]


def answer(op, a):
    b = crypto_xcheck.b
    if op == "seal":
        return seal(b(a[0]), b(a[1]), b(a[2]), a[3], a[4])
    if op == "open":
        return open_stream(b(a[0]), b(a[1]), b(a[2]), int(a[3]), b(a[4]), a[5], a[6])
    raise ValueError("unknown op " + op)


def main():
    return crypto_xcheck.serve(answer)


if __name__ == "__main__":
    sys.exit(main())
