#!/usr/bin/python3
"""Second implementation of the double ratchet and its stored form "HRR1", on
libsodium (python3-nacl) and Python's own hmac/hashlib, for the C++ tests to
hold whole conversations with, in either role.

Keeps one ratchet per process. Reads one request per line on stdin and
writes one answer line per request, flushed, so a test can drive it as a
long-lived peer:
    OP ARG...      byte strings as hex ("-" for empty), numbers in decimal
    -> "OK" followed by hex results, or "FAIL" and a reason word
       (AUTH, LIMIT, NOCHAIN, MALFORMED, DH).

    keypair                                   -> priv pub
    init_initiator secret ad peer_pub         -> OK
    init_responder secret ad priv pub         -> OK
    x3dh_initiate IKa_priv IKb SPKb OPKb|-    -> EKa     (X3DH, then initiator ratchet)
    x3dh_respond IKb_priv SPKb_priv OPKb_priv|- IKa EKa -> OK (X3DH, then responder ratchet)
    encrypt pt                                -> msg
    decrypt msg                               -> pt
    save                                      -> HRR1 bytes
    load HRR1                                 -> OK
    forge_zero_chain key pn n ad pt           -> msg under an all-zero chain key
"""

import copy
import hashlib
import hmac
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import crypto_xcheck  # noqa: E402  (HKDF-SHA256, ChaCha20-Poly1305, hex helpers)
import x3dh_xcheck  # noqa: E402  (the other side's key agreement)

from nacl import bindings as sodium  # noqa: E402

ROOT_INFO = b"quorvane-ratchet-root-v1"
MSG_INFO = b"quorvane-ratchet-msg-v1"
MAGIC = b"HRR1"
MAX_SKIP = 1000
HEADER_LEN = 40
TAG_LEN = 16
U32_MAX = 0xFFFFFFFF

h = crypto_xcheck.h
b = crypto_xcheck.b
be32 = crypto_xcheck.be32


class Refused(Exception):
    """A request the ratchet turns down; the argument is the reason word."""


def dh(priv, pub):
    try:
        return sodium.crypto_scalarmult(priv, pub)
    except Exception:  # libsodium refuses a low-order point
        raise Refused("DH")


def root_step(rk, dh_out):
    okm = crypto_xcheck.hkdf_sha256(dh_out, rk, ROOT_INFO, 64)
    return okm[:32], okm[32:]


def chain_step(ck):
    """-> (chain message key, next chain key)"""
    return hmac.new(ck, b"\x01", hashlib.sha256).digest(), hmac.new(ck, b"\x02", hashlib.sha256).digest()


def message_key(chain_mk):
    return crypto_xcheck.hkdf_sha256(chain_mk, bytes(32), MSG_INFO, 32)


class Ratchet:
    def __init__(self, secret, ad):
        self.rk = secret
        self.priv = bytes(32)
        self.pub = bytes(32)
        self.peer = bytes(32)
        self.cks = bytes(32)
        self.ckr = bytes(32)
        self.ns = 0
        self.nr = 0
        self.pn = 0
        self.ad = ad
        self.peer_known = False
        self.can_send = False
        self.can_recv = False
        self.skipped = []  # [peer key, number, chain message key], in storage order

    @classmethod
    def initiator(cls, secret, ad, peer):
        r = cls(secret, ad)
        r.peer, r.peer_known = peer, True
        r.pub, r.priv = sodium.crypto_box_keypair()
        r.rk, r.cks = root_step(r.rk, dh(r.priv, r.peer))
        r.can_send = True
        return r

    @classmethod
    def responder(cls, secret, ad, priv, pub):
        r = cls(secret, ad)
        r.priv, r.pub = priv, pub
        return r

    def encrypt(self, pt):
        if not self.can_send or self.ns == U32_MAX:
            raise Refused("NOCHAIN")
        header = self.pub + be32(self.pn) + be32(self.ns)
        chain_mk, self.cks = chain_step(self.cks)
        self.ns += 1
        ct, tag = crypto_xcheck.aead_seal(message_key(chain_mk), self.ad + header, pt)
        return header + ct + tag

    def skip_to(self, until):
        if not self.can_recv or self.nr >= until:
            return
        if until - self.nr > MAX_SKIP or len(self.skipped) + until - self.nr > MAX_SKIP:
            raise Refused("LIMIT")
        while self.nr < until:
            chain_mk, self.ckr = chain_step(self.ckr)
            self.skipped.append([self.peer, self.nr, chain_mk])
            self.nr += 1

    def decrypt(self, msg):
        """Returns the plaintext; the state changes only when it does."""
        if len(msg) < HEADER_LEN + TAG_LEN:
            raise Refused("ARG")
        header, ct, tag = msg[:HEADER_LEN], msg[HEADER_LEN:-TAG_LEN], msg[-TAG_LEN:]
        key, pn, n = header[:32], int.from_bytes(header[32:36], "big"), int.from_bytes(header[36:40], "big")
        ad = self.ad + header
        for i, (k, num, chain_mk) in enumerate(self.skipped):
            if num == n and hmac.compare_digest(k, key):
                pt = crypto_xcheck.aead_open(message_key(chain_mk), ad, ct, tag)
                if pt is None:
                    raise Refused("AUTH")
                last = self.skipped.pop()
                if i < len(self.skipped):
                    self.skipped[i] = last
                return pt
        w = copy.deepcopy(self)
        if not w.peer_known or key != w.peer:
            w.skip_to(pn)
            w.pn, w.ns, w.nr = w.ns, 0, 0
            w.peer, w.peer_known = key, True
            w.rk, w.ckr = root_step(w.rk, dh(w.priv, w.peer))
            w.can_recv = True
            w.pub, w.priv = sodium.crypto_box_keypair()
            w.rk, w.cks = root_step(w.rk, dh(w.priv, w.peer))
            w.can_send = True
        # without a receiving chain the chain key would be zeros, known to all
        if not w.can_recv:
            raise Refused("AUTH")
        w.skip_to(n)
        if w.nr == U32_MAX:
            raise Refused("LIMIT")
        chain_mk, w.ckr = chain_step(w.ckr)
        w.nr += 1
        pt = crypto_xcheck.aead_open(message_key(chain_mk), ad, ct, tag)
        if pt is None:
            raise Refused("AUTH")
        self.__dict__.update(w.__dict__)
        return pt

    def save(self):
        flags = (1 if self.peer_known else 0) | (2 if self.can_send else 0) | (4 if self.can_recv else 0)
        out = MAGIC + bytes([flags]) + self.rk + self.priv + self.pub + self.peer + self.cks + self.ckr
        out += be32(self.ns) + be32(self.nr) + be32(self.pn) + self.ad + be32(len(self.skipped))
        for k, num, chain_mk in self.skipped:
            out += k + be32(num) + chain_mk
        return out

    @classmethod
    def load(cls, data):
        if len(data) < 277 or data[:4] != MAGIC:
            raise Refused("MALFORMED")
        count = int.from_bytes(data[273:277], "big")
        if count > MAX_SKIP or len(data) != 277 + 68 * count:
            raise Refused("MALFORMED")
        r = cls(data[5:37], data[209:273])
        flags = data[4]
        r.peer_known, r.can_send, r.can_recv = bool(flags & 1), bool(flags & 2), bool(flags & 4)
        r.priv, r.pub, r.peer, r.cks, r.ckr = (data[o:o + 32] for o in (37, 69, 101, 133, 165))
        r.ns, r.nr, r.pn = (int.from_bytes(data[o:o + 4], "big") for o in (197, 201, 205))
        for o in range(277, len(data), 68):
            r.skipped.append([data[o:o + 32], int.from_bytes(data[o + 32:o + 36], "big"), data[o + 36:o + 68]])
        return r


def forge_zero_chain(key, pn, n, ad, pt):
    """What anyone can build for a receiver whose chain key is all zeros."""
    header = key + be32(pn) + be32(n)
    ck = bytes(32)
    for _ in range(n + 1):
        chain_mk, ck = chain_step(ck)
    ct, tag = crypto_xcheck.aead_seal(message_key(chain_mk), ad + header, pt)
    return header + ct + tag


def answer(state, op, a):
    """-> (new state, list of result words)"""
    if op == "keypair":
        pub, priv = sodium.crypto_box_keypair()
        return state, [h(priv), h(pub)]
    if op == "init_initiator":
        return Ratchet.initiator(b(a[0]), b(a[1]), b(a[2])), []
    if op == "init_responder":
        return Ratchet.responder(b(a[0]), b(a[1]), b(a[2]), b(a[3])), []
    if op == "x3dh_initiate":
        spk = b(a[2])
        try:
            eka, secret, ad = x3dh_xcheck.initiate(b(a[0]), b(a[1]), spk, b(a[3]))
        except Exception:
            raise Refused("DH")
        return Ratchet.initiator(secret, ad, spk), [h(eka)]
    if op == "x3dh_respond":
        spk_priv = b(a[1])
        try:
            secret, ad = x3dh_xcheck.respond(b(a[0]), spk_priv, b(a[2]), b(a[3]), b(a[4]))
        except Exception:
            raise Refused("DH")
        return Ratchet.responder(secret, ad, spk_priv, sodium.crypto_scalarmult_base(spk_priv)), []
    if op == "encrypt":
        return state, [h(state.encrypt(b(a[0])))]
    if op == "decrypt":
        return state, [h(state.decrypt(b(a[0])))]
    if op == "save":
        return state, [h(state.save())]
    if op == "load":
        return Ratchet.load(b(a[0])), []
    if op == "forge_zero_chain":
        return state, [h(forge_zero_chain(b(a[0]), int(a[1]), int(a[2]), b(a[3]), b(a[4])))]
    raise ValueError("unknown op " + op)


def main():
    state = None
    for line in sys.stdin:
        words = line.split()
        if not words:
            continue
        try:
            state, res = answer(state, words[0], words[1:])
            print(" ".join(["OK"] + res), flush=True)
        except Refused as why:
            print("FAIL " + str(why), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
