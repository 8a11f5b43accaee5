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
    convs, msgs, archive (decode only)       -> NAME=VALUE words, see describe_*

Conversation lists, message files and archives:
    fixtures DIR SECRET             the older-version files of tests/client/data/msgstore (README there)
    sealconvs PATH SECRET VERSION COUNT ANNOUNCED MEMBERS DEVICES OLDKEYS LABEL
                                    COUNT conversations (id: 0xc0, index big-endian in bytes 12-15), each
                                    with MEMBERS members of DEVICES device pairs, OLDKEYS older keys and a
                                    label of LABEL bytes; ANNOUNCED is the count written in the header
    sealmsgs PATH SECRET VERSION COUNT TEXTLEN TIME0
                                    message i (from 0): author 0x61.., id i + 1, position i + 1,
                                    time TIME0 + i, type 1, a text of TEXTLEN bytes; no reactions
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


# ---- conversation list ("convs.dat"), versions 13 to 22 ----

def trailer_len(v):
    return 32 if v >= 20 else 22 if v >= 18 else 21 if v == 17 else 17 if v == 16 else 9 if v >= 14 else 0


def settings_len(v):
    return {20: 2, 21: 3, 22: 4}.get(v, 0)


def text8(b):
    return bytes([len(b)]) + b


def blob16(b):
    return len(b).to_bytes(2, "big") + b


def member_encode(m, v):
    out = m["user"] + m["ik"] + m["k2"] + bytes([m["role"]]) + text8(m["name"])
    if v >= 15:
        out += bytes([len(m["devices"])]) + b"".join(a + b for a, b in m["devices"])
    if v >= 19:
        out += bytes([m["muted"]])
    return out


def conv_encode(c, v):
    out = (c["id"] + c["key"] + c["counter"].to_bytes(8, "big") +
           bytes([c["peer_set"], c["verified"], c["peer_profile"], c["mute"], c["blocked"]]) +
           c["read_pos"].to_bytes(8, "big") + c["peer_id"] + c["peer_key"])
    out += text8(c["label"]) + text8(c["peer_name"]) + text8(c["peer_about"]) + blob16(c["peer_avatar"])
    out += bytes([len(c["old_keys"])]) + b"".join(c["old_keys"])
    out += text8(c["group_name"]) + bytes([len(c["members"])]) + b"".join(member_encode(m, v) for m in c["members"])
    out += blob16(c["group_avatar"])
    t = b""
    if v >= 14:
        t += bytes([c["hidden"]]) + c["floor"].to_bytes(8, "big")
    if v >= 16:
        t += c["cursor"].to_bytes(8, "big")
    if v >= 17:
        t += c["retention"].to_bytes(4, "big")
    if v >= 18:
        t += bytes([c["has_key"]])
    if v >= 20:
        t += bytes([c["kind"]]) + c["read_mark"].to_bytes(8, "big") + bytes([c["notif"]])
    assert len(t) == trailer_len(v)
    return out + t


def convs_encode(v, convs, settings, announced=None):
    n = len(convs) if announced is None else announced
    return bytes([v]) + n.to_bytes(4, "big") + b"".join(conv_encode(c, v) for c in convs) + bytes(settings[:settings_len(v)])


class Cut(Exception):
    pass


class Rd:
    def __init__(self, b, pos=0):
        self.b, self.pos = b, pos

    def take(self, n):
        if len(self.b) - self.pos < n:
            raise Cut()
        self.pos += n
        return self.b[self.pos - n:self.pos]

    def int(self, n):
        return int.from_bytes(self.take(n), "big")

    def text(self, limit, width=1):
        n = self.int(width)
        if n > limit:
            raise Cut()
        return self.take(n)


def convs_decode(pt):
    """Entries up to the first one cut short or over a limit; the store-wide
    bytes only when every announced entry was read."""
    if len(pt) <= 4 or not 13 <= pt[0] <= 22:
        return None
    v, count = pt[0], int.from_bytes(pt[1:5], "big")
    r = Rd(pt, 5)
    convs, complete = [], True
    for _ in range(count):
        if len(convs) == 4096:
            complete = False
            break
        try:
            c = {}
            c["id"], c["key"] = r.take(16), r.take(32)
            c["counter"] = r.int(8)
            c["peer_set"], c["verified"], c["peer_profile"], mute, c["blocked"] = r.take(5)
            c["mute"] = 0 if mute > 2 else mute
            c["read_pos"] = r.int(8)
            c["peer_id"], c["peer_key"] = r.take(16), r.take(32)
            c["label"], c["peer_name"], c["peer_about"] = r.text(63), r.text(64), r.text(128)
            c["peer_avatar"] = r.text(560, 2)
            k = r.int(1)
            if k > 7:
                raise Cut()
            c["old_keys"] = [r.take(32) for _ in range(k)]
            c["group_name"] = r.text(63)
            m = r.int(1)
            if m > 64:
                raise Cut()
            c["members"] = []
            for _ in range(m):
                mb = {"user": r.take(16), "ik": r.take(32), "k2": r.take(32), "role": r.int(1), "name": r.text(64),
                      "devices": [], "muted": 0}
                if v >= 15:
                    d = r.int(1)
                    if d > 5:
                        raise Cut()
                    mb["devices"] = [(r.take(32), r.take(32)) for _ in range(d)]
                if v >= 19:
                    mb["muted"] = 1 if r.int(1) else 0
                c["members"].append(mb)
            c["group_avatar"] = r.text(560, 2)
            t = Rd(r.take(trailer_len(v)))
            c.update(hidden=0, floor=0, cursor=0, retention=0, has_key=1, kind=0, read_mark=0, notif=0)
            if v >= 14:
                c["hidden"], c["floor"] = t.int(1), t.int(8)
            if v >= 16:
                c["cursor"] = t.int(8)
            if v >= 17:
                c["retention"] = t.int(4)
            if v >= 18:
                c["has_key"] = 1 if t.int(1) else 0
            if v >= 20:
                kind, c["read_mark"], notif = t.int(1), t.int(8), t.int(1)
                c["kind"] = 0 if kind > 3 else kind
                c["notif"] = 0 if notif > 2 else notif
            convs.append(c)
        except Cut:
            complete = False
            break
    settings = [0, 0, 0, 0]
    if complete:
        rest = pt[r.pos:r.pos + settings_len(v)]
        for i, b in enumerate(rest):
            settings[i] = b & (1 if i == 3 else 7)
    return v, convs, settings, complete


def describe_convs(pt):
    d = convs_decode(pt)
    if d is None:
        return None
    v, convs, settings, complete = d
    w = ["version=%d" % v, "count=%d" % len(convs), "complete=%d" % complete,
         "settings=%s" % ",".join(str(x) for x in settings)]
    for i, c in enumerate(convs):
        for k in ("id", "key", "peer_id", "peer_key", "label", "peer_name", "peer_about", "peer_avatar", "group_name",
                  "group_avatar"):
            w.append("c%d.%s=%s" % (i, k, h(c[k])))
        for k in ("counter", "peer_set", "verified", "peer_profile", "mute", "blocked", "read_pos", "hidden", "floor",
                  "cursor", "retention", "has_key", "kind", "read_mark", "notif"):
            w.append("c%d.%s=%d" % (i, k, c[k]))
        w.append("c%d.old_keys=%s" % (i, ",".join(x.hex() for x in c["old_keys"]) or "-"))
        w.append("c%d.members=%d" % (i, len(c["members"])))
        for j, m in enumerate(c["members"]):
            p = "c%d.m%d." % (i, j)
            w += [p + "user=" + h(m["user"]), p + "ik=" + h(m["ik"]), p + "k2=" + h(m["k2"]), p + "role=%d" % m["role"],
                  p + "name=" + h(m["name"]), p + "muted=%d" % m["muted"],
                  p + "devices=" + (",".join(a.hex() + ":" + b.hex() for a, b in m["devices"]) or "-")]
    return w


# ---- message files, versions 2 to 10 ----

MARK_DELETE, MARK_EDIT, MARK_REACTION = 1, 2, 3


def msgs_encode(v, msgs, reactions, marks=(), floors=()):
    out = [bytes([v]), len(msgs).to_bytes(4, "big")]
    for m in msgs:
        out.append(m["author"] + m["id"].to_bytes(8, "big") + m["time"].to_bytes(8, "big") + bytes([m["type"]]))
        if v >= 4:
            out.append(bytes([m["edited"]]))
        out.append(len(m["text"]).to_bytes(4, "big") + m["text"])
        if v >= 5:
            out.append(m["device"])
        if v >= 7:
            out.append(bytes([m["status"]]))
        if v >= 8:
            out.append(m["position"].to_bytes(8, "big"))
    if v >= 3:
        out.append(len(reactions).to_bytes(4, "big"))
        for x in reactions:
            out.append(x["author"] + x["id"].to_bytes(8, "big") + x["user"] + text8(x["name"]))
            if v >= 6:
                out.append(x["device"])
    if v >= 9:
        out.append(len(marks).to_bytes(4, "big"))
        for k in marks:
            out.append(bytes([k["kind"], k["flag"]]) + k["author"] + k["id"].to_bytes(8, "big") +
                       k["position"].to_bytes(8, "big"))
            if k["kind"] == MARK_REACTION:
                out.append(k["user"] + text8(k["name"]))
            if k["kind"] == MARK_EDIT and k["flag"]:
                out.append(len(k["text"]).to_bytes(4, "big") + k["text"])
    if v >= 10:
        out.append(len(floors).to_bytes(4, "big"))
        for f in floors:
            out.append(f["user"] + f["position"].to_bytes(8, "big"))
    return b"".join(out)


def msgs_decode(pt):
    if len(pt) < 5 or not 2 <= pt[0] <= 10:
        return None
    v, count = pt[0], int.from_bytes(pt[1:5], "big")
    r = Rd(pt, 5)
    msgs, reactions, marks, floors, complete = [], [], [], [], True
    try:
        for _ in range(count):
            m = {"author": r.take(16), "id": r.int(8), "time": r.int(8), "type": r.int(1), "edited": 0,
                 "device": bytes(32), "status": 0, "position": 0}
            if v >= 4:
                m["edited"] = r.int(1)
            m["text"] = r.text(4096, 4)
            if v >= 5:
                m["device"] = r.take(32)
            if v >= 7:
                m["status"] = r.int(1)
            if v >= 8:
                m["position"] = r.int(8)
            msgs.append(m)
        if v >= 3:
            for _ in range(r.int(4)):
                x = {"author": r.take(16), "id": r.int(8), "user": r.take(16)}
                n = r.int(1)
                if not 1 <= n <= 32:
                    raise Cut()
                x["name"], x["device"] = r.take(n), bytes(32)
                if v >= 6:
                    x["device"] = r.take(32)
                reactions.append(x)
        if v >= 9:
            n = r.int(4)
            # 1,024 settled and 16,384 waiting from version 10, 1,024 in all before
            if n > (1024 + 16384 if v >= 10 else 1024):
                raise Cut()
            for _ in range(n):
                k = {"kind": r.int(1), "flag": r.int(1), "author": r.take(16), "id": r.int(8), "position": r.int(8),
                     "user": bytes(16), "name": b"", "text": b""}
                if not MARK_DELETE <= k["kind"] <= MARK_REACTION or k["flag"] > 1:
                    raise Cut()
                if k["kind"] == MARK_REACTION:
                    k["user"] = r.take(16)
                    n = r.int(1)
                    if not 1 <= n <= 32:
                        raise Cut()
                    k["name"] = r.take(n)
                if k["kind"] == MARK_EDIT and k["flag"]:
                    k["text"] = r.text(4096, 4)
                marks.append(k)
        if v >= 10:
            n = r.int(4)
            if n > 1024:
                raise Cut()
            for _ in range(n):
                floors.append({"user": r.take(16), "position": r.int(8)})
    except Cut:
        complete = False
    return v, msgs, reactions, marks, floors, complete


def describe_msgs(pt):
    d = msgs_decode(pt)
    if d is None:
        return None
    v, msgs, reactions, marks, floors, complete = d
    w = ["version=%d" % v, "count=%d" % len(msgs), "reactions=%d" % len(reactions), "marks=%d" % len(marks),
         "floors=%d" % len(floors), "complete=%d" % complete]
    for i, m in enumerate(msgs):
        p = "m%d." % i
        w += [p + "author=" + h(m["author"]), p + "device=" + h(m["device"]), p + "text=" + h(m["text"])]
        w += [p + "%s=%d" % (k, m[k]) for k in ("id", "time", "type", "edited", "status", "position")]
    for i, x in enumerate(reactions):
        p = "r%d." % i
        w += [p + "author=" + h(x["author"]), p + "device=" + h(x["device"]), p + "user=" + h(x["user"]),
              p + "name=" + h(x["name"]), p + "id=%d" % x["id"]]
    for i, k in enumerate(marks):
        p = "k%d." % i
        w += [p + "author=" + h(k["author"]), p + "user=" + h(k["user"]), p + "name=" + h(k["name"]),
              p + "text=" + h(k["text"])]
        w += [p + "%s=%d" % (f, k[f]) for f in ("kind", "flag", "id", "position")]
    for i, f in enumerate(floors):
        w += ["f%d.user=%s" % (i, h(f["user"])), "f%d.position=%d" % (i, f["position"])]
    return w


# ---- archive: one search-index record ----

def describe_archive(pt):
    if len(pt) < 28 or pt[:4] != b"QVSI" or pt[4] != 1 or pt[5:8] != bytes(3):
        return None
    count = int.from_bytes(pt[24:28], "big")
    w = ["conv=" + h(pt[8:24]), "count=%d" % count]
    r = Rd(pt, 28)
    for i in range(count):
        pos, mid, time = r.int(8), r.int(8), r.int(8)
        author, device, typ, edited = r.take(16), r.take(32), r.int(1), r.int(1)
        r.take(2)
        text = r.text(4170, 4)
        p = "e%d." % i
        w += [p + "position=%d" % pos, p + "id=%d" % mid, p + "time=%d" % time, p + "author=" + h(author),
              p + "device=" + h(device), p + "type=%d" % typ, p + "edited=%d" % edited, p + "text=" + h(text)]
    w.append("rest=%d" % (len(pt) - r.pos))
    return w


# ---- fixtures ----

FIX_A, FIX_B = bytes([0xa1]) * 16, bytes([0xb2]) * 16


def fixture_convs():
    a = dict(id=FIX_A, key=b"\x11" * 32, counter=4242, peer_set=1, verified=2, peer_profile=1, mute=2, blocked=1,
             read_pos=777, peer_id=b"\x21" * 16, peer_key=b"\x22" * 32, label=b"label A", peer_name=b"Peer A",
             peer_about=b"about A", peer_avatar=b"\x05" + b"P" * 30, old_keys=[b"\x31" * 32, b"\x32" * 32],
             group_name=b"Group A", group_avatar=b"\x07" + b"G" * 20, hidden=1, floor=5000, cursor=6000,
             retention=30, has_key=1, kind=3, read_mark=888, notif=2,
             members=[dict(user=b"\x41" * 16, ik=b"\x42" * 32, k2=b"\x43" * 32, role=1, name=b"Mem one",
                           devices=[(b"\x44" * 32, b"\x45" * 32)], muted=9),
                      dict(user=b"\x51" * 16, ik=b"\x52" * 32, k2=b"\x53" * 32, role=0, name=b"", devices=[],
                           muted=0)])
    b = dict(id=FIX_B, key=bytes(32), counter=0, peer_set=0, verified=0, peer_profile=0, mute=7, blocked=0,
             read_pos=0, peer_id=bytes(16), peer_key=bytes(32), label=b"", peer_name=b"", peer_about=b"",
             peer_avatar=b"", old_keys=[], group_name=b"", group_avatar=b"", hidden=0, floor=0, cursor=0,
             retention=0, has_key=0, kind=9, read_mark=0, notif=5, members=[])
    return [a, b], [0xfd, 0xfa, 0xfe, 0xff]


def fixture_msgs():
    msgs = [dict(author=b"\x61" * 16, id=1, time=1000, type=1, edited=1, text=b"hello", device=b"\x62" * 32,
                 status=0, position=100),
            dict(author=b"\x71" * 16, id=2, time=2000, type=1, edited=0, text=b"", device=b"\x72" * 32, status=2,
                 position=200),
            dict(author=b"\x61" * 16, id=3, time=0, type=4, edited=0, text=b"f" * 300, device=bytes(32), status=0,
                 position=0)]
    reactions = [dict(author=b"\x61" * 16, id=1, user=b"\x71" * 16, name=b"thumbs_up", device=b"\x62" * 32),
                 dict(author=b"\x61" * 16, id=3, user=b"\x81" * 16, name=b"x" * 32, device=bytes(32))]
    live = 2 ** 64 - 1
    marks = [dict(kind=MARK_DELETE, flag=0, author=b"\x91" * 16, id=7, position=700),
             dict(kind=MARK_EDIT, flag=1, author=b"\x92" * 16, id=8, position=800, text=b"newest words"),
             dict(kind=MARK_EDIT, flag=0, author=b"\x61" * 16, id=1, position=live),
             dict(kind=MARK_REACTION, flag=0, author=b"\x61" * 16, id=1, position=900, user=b"\x81" * 16,
                  name=b"heart")]
    return msgs, reactions, marks


def seal_fixed(path, label, secret, pt, salt):
    ct, tag = crypto_xcheck.msg_seal(store_key(secret), 0, salt, label, pt)
    with open(path, "wb") as f:
        f.write(salt + ct + tag)


def fixtures(directory, secret):
    os.makedirs(directory, exist_ok=True)
    convs, settings = fixture_convs()
    for v in range(13, 23):
        seal_fixed(os.path.join(directory, "convs-%d.dat" % v), FIXED["convs.dat"], secret,
                   convs_encode(v, convs, settings), bytes(range(v, v + 16)))
    msgs, reactions, marks = fixture_msgs()
    for v in range(2, 10):
        seal_fixed(os.path.join(directory, "msgs-%d.dat" % v), b"qv-ms-msgs" + FIX_A, secret,
                   msgs_encode(v, msgs, reactions, marks), bytes(range(100 + v, 116 + v)))


def gen_conv(i, members, devices, old_keys, label):
    cid = bytes([0xc0]) * 12 + i.to_bytes(4, "big")
    return dict(id=cid, key=bytes([0x10 + i % 200]) * 32, counter=i, peer_set=1, verified=1, peer_profile=1, mute=1,
                blocked=0, read_pos=i, peer_id=bytes([0x20]) * 12 + i.to_bytes(4, "big"), peer_key=b"\x21" * 32,
                label=b"L" * label, peer_name=b"n", peer_about=b"a", peer_avatar=b"", group_name=b"",
                old_keys=[bytes([0x30 + k]) * 32 for k in range(old_keys)], group_avatar=b"", hidden=0, floor=0,
                cursor=i, retention=0, has_key=1, kind=1, read_mark=0, notif=0,
                members=[dict(user=bytes([0x40]) * 14 + j.to_bytes(2, "big"), ik=b"\x42" * 32, k2=b"\x43" * 32,
                              role=0, name=b"m", devices=[(bytes([0x44 + d]) * 32, b"\x55" * 32) for d in range(devices)],
                              muted=0) for j in range(members)])


def seal_convs(path, secret, v, count, announced, members, devices, old_keys, label):
    convs = [gen_conv(i, members, devices, old_keys, label) for i in range(count)]
    seal_file(path, secret, convs_encode(v, convs, [1, 2, 3, 1], announced))


def seal_msgs(path, secret, v, count, text_len, time0):
    msgs = [dict(author=b"\x61" * 16, id=i + 1, time=time0 + i, type=1, edited=0, text=b"t" * text_len,
                 device=bytes(32), status=0, position=i + 1) for i in range(count)]
    seal_file(path, secret, msgs_encode(v, msgs, []))


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
            "rprev": rprev_decode, "convs": describe_convs, "msgs": describe_msgs, "archive": describe_archive}


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
    if op == "fixtures":
        fixtures(a[0], unh(a[1]))
        return "OK"
    if op == "sealconvs":
        seal_convs(a[0], unh(a[1]), *[int(x) for x in a[2:9]])
        return "OK"
    if op == "sealmsgs":
        seal_msgs(a[0], unh(a[1]), *[int(x) for x in a[2:6]])
        return "OK"
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
