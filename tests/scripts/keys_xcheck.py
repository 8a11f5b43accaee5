#!/usr/bin/python3
"""Second implementation of the password and recovery formats: key files
("HRK1"), the password auth value, escrow records ("QVE1") and recovery
signatures, the recovery-key check, backups ("QVB1" header, "QVBI" inner
record, the sealed stream) and the recovery-key and reset-code texts. Built on
libsodium (python3-nacl), hashlib.scrypt/blake2b and base64.b32encode, for the
C++ tests to check against in both directions.

Reads one request per line on stdin and writes one answer line per request:
    OP ARG...      byte strings as hex ("-" for empty), numbers in decimal,
                   file paths as they are
    -> "OK" followed by results, or "FAIL" and a reason word.
"""

import base64
import hashlib
import hmac
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import crypto_xcheck  # noqa: E402  (HKDF and the AEAD, written independently of the C++ code)
from crypto_xcheck import b, be32, h, hkdf_sha256  # noqa: E402
from blob_xcheck import CHUNK, SEALED_CHUNK, chunk_ad, chunk_count, chunk_key  # noqa: E402  (backups are blob streams)

from nacl import bindings as sodium  # noqa: E402
from nacl.exceptions import CryptoError  # noqa: E402

TAG = 16
SCRYPT_MAXMEM = 2**31 - 1  # the largest bound hashlib takes; every set used here needs far less

KEYFILE_MAGIC = b"HRK1"
ESCROW_MAGIC = b"QVE1"
BACKUP_MAGIC = b"QVB1"
INNER_MAGIC = b"QVBI"
ESCROW_PW_INFO = b"quorvane-escrow-pw-v1"
ESCROW_RK_INFO = b"quorvane-escrow-rk-v1"
RECOVER_INFO = b"quorvane-recover-v1"
RK_CHECK_INFO = b"quorvane-rk-check-v1"
BACKUP_INFO = b"quorvane-backup-v1"

# base64's base-32 alphabet, symbol for symbol, onto the recovery-key alphabet
B32_STD = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567"
RK_ALPHA = "0123456789ABCDEFGHJKMNPQRSTVWXYZ"
TO_RK = str.maketrans(B32_STD, RK_ALPHA)


def scrypt(pw, salt, n, r, p):
    return hashlib.scrypt(pw, salt=salt, n=n, r=r, p=p, maxmem=SCRYPT_MAXMEM, dklen=32)


def aead_seal_nonce(key, nonce, ad, pt):
    return sodium.crypto_aead_chacha20poly1305_ietf_encrypt(pt, ad, nonce, key)


def aead_open_nonce(key, nonce, ad, ct_tag):
    try:
        return sodium.crypto_aead_chacha20poly1305_ietf_decrypt(ct_tag, ad, nonce, key)
    except CryptoError:
        return None


# ---- key file and auth value ----

def keyfile_seal(path, pw, pt, n, r, p):
    salt, nonce = os.urandom(16), os.urandom(12)
    hdr = KEYFILE_MAGIC + bytes([1, 1]) + be32(n) + be32(r) + be32(p) + salt + nonce + be32(len(pt))
    with open(path, "wb") as f:
        f.write(hdr + aead_seal_nonce(scrypt(pw, salt, n, r, p), nonce, hdr, pt))
    return []


def keyfile_open(path, pw):
    data = open(path, "rb").read()
    if len(data) < 50:
        return "SHORT"
    hdr = data[:50]
    if hdr[:4] != KEYFILE_MAGIC or hdr[4] != 1 or hdr[5] != 1:
        return "MALFORMED"
    n, r, p = (int.from_bytes(hdr[i:i + 4], "big") for i in (6, 10, 14))
    length = int.from_bytes(hdr[46:50], "big")
    if not 1 <= length <= 4096:
        return "MALFORMED"
    if len(data) < 50 + length + TAG:
        return "SHORT"
    pt = aead_open_nonce(scrypt(pw, hdr[18:34], n, r, p), hdr[34:46], hdr, data[50:50 + length + TAG])
    return "AUTH" if pt is None else [h(pt)]


def pw_auth(pw, user):
    return scrypt(pw, hashlib.blake2b(user, digest_size=64).digest(), 32768, 8, 1)


# ---- escrow ----

def escrow_range_ok(kind, n, r, p):
    if kind == 1:
        return (n & (n - 1)) == 0 and 16384 <= n <= 1048576 and 1 <= r <= 16 and 1 <= p <= 4 \
            and 128 * n * r <= 256 * 1024 * 1024
    if kind == 2:
        return n == 0 and r == 0 and p == 0
    return False


def escrow_wrap(kind, secret, salt, n, r, p):
    if kind == 1:
        return hkdf_sha256(scrypt(secret, salt, n, r, p), salt, ESCROW_PW_INFO)
    return hkdf_sha256(secret, salt, ESCROW_RK_INFO)


def escrow_ad(hdr, user, pub):
    return hdr + bytes([len(user)]) + user + pub


def ed_pub(seed):
    return sodium.crypto_sign_seed_keypair(seed)[0]


def escrow_seal(kind, secret, user, seed, n, r, p, salt):
    hdr = ESCROW_MAGIC + bytes([1, kind]) + be32(n) + be32(r) + be32(p) + salt
    ct, tag = crypto_xcheck.aead_seal(escrow_wrap(kind, secret, salt, n, r, p), escrow_ad(hdr, user, ed_pub(seed)), seed)
    return [h(hdr + ct + tag)]


def escrow_open(kind, secret, user, pub, rec):
    if len(rec) != 82 or rec[:4] != ESCROW_MAGIC or rec[4] != 1:
        return "INVALID"
    n, r, p = (int.from_bytes(rec[i:i + 4], "big") for i in (6, 10, 14))
    if not escrow_range_ok(rec[5], n, r, p):
        return "RANGE"
    if rec[5] != kind:
        return "KIND"
    key = escrow_wrap(kind, secret, rec[18:34], n, r, p)
    seed = crypto_xcheck.aead_open(key, escrow_ad(rec[:34], user, pub), rec[34:66], rec[66:82])
    if seed is None:
        return "AUTH"
    if ed_pub(seed) != pub:
        return "PUB"
    return [h(seed)]


def recover_msg(chal, spk, user, auth, rec):
    return RECOVER_INFO + chal + spk + bytes([len(user)]) + user + auth + rec


# ---- texts ----

def group4(s):
    return "-".join(s[i:i + 4] for i in range(0, len(s), 4))


def rk_check(rk):
    return hashlib.blake2b(RK_CHECK_INFO + rk, digest_size=64).digest()[:3]


def to_text(data):
    sym = base64.b32encode(data).decode()
    assert "=" not in sym
    return group4(sym.translate(TO_RK))


# ---- backups ----

def backup_seal(rk, salt, in_path, out_path):
    fk = hkdf_sha256(rk, salt, BACKUP_INFO)
    length = os.path.getsize(in_path)
    if length > 64 * 1024 * 1024:
        return "ARG"
    count = chunk_count(length)
    with open(in_path, "rb") as src, open(out_path, "wb") as dst:
        for i in range(count):
            ct, tag = crypto_xcheck.aead_seal(chunk_key(fk, salt, i), chunk_ad(salt, i, i == count - 1), src.read(CHUNK))
            dst.write(ct + tag)
    return [str(os.path.getsize(out_path))]


def backup_open(rk, salt, in_path, out_path):
    fk = hkdf_sha256(rk, salt, BACKUP_INFO)
    length = os.path.getsize(in_path)
    if length < TAG:
        return "ARG"
    off, index = 0, 0
    with open(in_path, "rb") as src, open(out_path, "wb") as dst:
        while off < length:
            take = min(length - off, SEALED_CHUNK)
            if take < TAG:
                dst.truncate(0)
                return "AUTH"
            block = src.read(take)
            last = off + take == length
            pt = crypto_xcheck.aead_open(chunk_key(fk, salt, index), chunk_ad(salt, index, last), block[:-TAG],
                                         block[-TAG:])
            if pt is None:
                dst.truncate(0)
                return "AUTH"
            dst.write(pt)
            off += take
            index += 1
    return [str(os.path.getsize(out_path))]


def inner_encode(uid, pub, dev, created, flag, payload_path, out_path):
    payload = open(payload_path, "rb").read()
    rec = INNER_MAGIC + b"\x01" + uid + pub + dev + created.to_bytes(8, "big") + be32(flag) + \
        len(payload).to_bytes(8, "big") + payload
    open(out_path, "wb").write(rec)
    return [str(len(rec))]


def inner_parse(path):
    rec = open(path, "rb").read()
    if len(rec) < 89 or rec[:4] != INNER_MAGIC or rec[4] != 1:
        return "INVALID"
    flag = int.from_bytes(rec[77:81], "big")
    if flag > 1 or int.from_bytes(rec[81:89], "big") != len(rec) - 89:
        return "INVALID"
    return [h(rec[5:21]), h(rec[21:53]), h(rec[53:69]), str(int.from_bytes(rec[69:77], "big")), str(flag),
            hashlib.sha256(rec[89:]).hexdigest()]


def answer(op, a):
    if op == "pw_auth":  # password user
        return [h(pw_auth(b(a[0]), b(a[1])))]
    if op == "keyfile_seal":  # path password plaintext N r p
        return keyfile_seal(a[0], b(a[1]), b(a[2]), int(a[3]), int(a[4]), int(a[5]))
    if op == "keyfile_open":  # path password
        return keyfile_open(a[0], b(a[1]))
    if op == "escrow_seal":  # kind secret user seed N r p salt
        return escrow_seal(int(a[0]), b(a[1]), b(a[2]), b(a[3]), int(a[4]), int(a[5]), int(a[6]), b(a[7]))
    if op == "escrow_open":  # kind secret user pub record
        return escrow_open(int(a[0]), b(a[1]), b(a[2]), b(a[3]), b(a[4]))
    if op == "recover_sign":  # seed challenge server_pub user auth record
        sk = sodium.crypto_sign_seed_keypair(b(a[0]))[1]
        return [h(sodium.crypto_sign(recover_msg(*(b(x) for x in a[1:6])), sk)[:64])]
    if op == "recover_verify":  # pub challenge server_pub user auth record sig
        try:
            sodium.crypto_sign_open(b(a[6]) + recover_msg(*(b(x) for x in a[1:6])), b(a[0]))
            return []
        except CryptoError:
            return "AUTH"
    if op == "rk_check":
        return [h(rk_check(b(a[0])))]
    if op == "rk_text":
        rk = b(a[0])
        return [to_text(rk + rk_check(rk))]
    if op == "reset_text":
        return [to_text(b(a[0]))]
    if op == "reset_hash":
        return [h(hashlib.blake2b(b(a[0]), digest_size=64).digest()[:32])]
    if op == "backup_hdr":
        return [h(BACKUP_MAGIC + b"\x01" + b(a[0]))]
    if op == "backup_seal":  # rk salt in out
        return backup_seal(b(a[0]), b(a[1]), a[2], a[3])
    if op == "backup_open":  # rk salt in out
        return backup_open(b(a[0]), b(a[1]), a[2], a[3])
    if op == "inner_encode":  # uid pub dev created flag payload_path out_path
        return inner_encode(b(a[0]), b(a[1]), b(a[2]), int(a[3]), int(a[4]), a[5], a[6])
    if op == "inner_parse":
        return inner_parse(a[0])
    raise ValueError("unknown op " + op)


def main():
    return crypto_xcheck.serve(answer)


if __name__ == "__main__":
    sys.exit(main())
