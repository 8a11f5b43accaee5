#!/usr/bin/python3
"""Second implementation of the login-preferences file, on hashlib and
python3-nacl (through crypto_xcheck's message seal), for the C++ tests.

    loginprefs_xcheck.py write PATH     record on stdin -> file (any format 1-9)
    loginprefs_xcheck.py read PATH      file -> record on stdout, or "FAIL"
    loginprefs_xcheck.py fixtures DIR   writes the older-format fixtures

A record is one "name value" line per field; texts are hex ("-" when empty),
numbers decimal, recent servers one "recent HEX" line each, in order. For
write, "theme" is the raw byte, "salt" (hex) may fix the salt and "format"
picks the layout; fields the format lacks are not written.
"""

import hashlib
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import crypto_xcheck  # noqa: E402

KEY_LABEL = b"quorvane-loginprefs-v1"
FILE_MAX = 4096


def password_key(user):
    assert len(user) <= 32
    return hashlib.blake2b(KEY_LABEL + user).digest()[:32]


def seal_password(user, password, salt):
    ct, tag = crypto_xcheck.msg_seal(password_key(user), 0, salt, user, password)
    return ct, tag


def encode(rec):
    fmt = rec.get("format", 9)
    out = bytearray([fmt, rec.get("remember_user", 0), rec.get("remember_password", 0)])
    server, user = rec.get("server", b""), rec.get("username", b"")
    out += bytes([len(server)]) + server + bytes([len(user)]) + user
    password = rec.get("password", b"")
    if password:
        salt = rec.get("salt") or os.urandom(16)
        ct, tag = seal_password(user, password, salt)
        out += b"\x01" + salt + tag + bytes([len(password)]) + ct
    else:
        out += b"\x00"
    if fmt >= 2:
        out.append(rec.get("link_previews", 1))
    if fmt >= 3:
        out.append(rec.get("presence_public", 1))
    if fmt >= 4:
        out.append(rec.get("notif_hide", 1))
    if fmt >= 5:
        recent = rec.get("recent", [])
        out.append(len(recent))
        for r in recent:
            out += bytes([len(r)]) + r
    if fmt >= 6:
        out += bytes([rec.get("theme", 0), rec.get("emoji_style", 0)])
    if fmt >= 7:
        out += bytes([rec.get("auto_signin", 0), rec.get("signed_out", 0)])
    if fmt >= 8:
        q = rec.get("quick_react", b"")
        out += bytes([len(q)]) + q
    return bytes(out)


def theme_of(fmt, d):
    if fmt == 9:
        return d
    if d == 5:
        return -1
    if d >= 6:
        return d - 1
    if d == 0 and fmt in (6, 7):
        return -1
    return d


def decode(data):
    """The loader's reading of `data`: a record dict, or None when refused."""
    if not data or len(data) >= FILE_MAX or not 1 <= data[0] <= 9 or len(data) < 4:
        return None
    fmt = data[0]
    s = data[3]
    if s > 127 or len(data) < 4 + s + 1:
        return None
    u = data[4 + s]
    if u > 32 or len(data) < 5 + s + u + 1:
        return None
    user = data[5 + s:5 + s + u]
    rec = {"remember_user": int(data[1] != 0), "remember_password": int(data[2] != 0),
           "server": data[4:4 + s], "username": user, "password": b"",
           "link_previews": 1, "presence_public": 1, "notif_hide": 1, "recent": [],
           "theme": -1, "emoji_style": 0, "auto_signin": 0, "signed_out": 0, "quick_react": b""}
    pos = 6 + s + u

    def drop():
        rec["password"] = b""
        rec["remember_password"] = 0

    if data[5 + s + u]:
        rest = data[pos:]
        if len(rest) < 16:
            drop()
        elif len(rest) < 32:
            drop()
            pos += 16
        elif len(rest) == 32:
            drop()
            return rec
        else:
            salt, tag, plen = rest[:16], rest[16:32], rest[32]
            pos += 33
            if plen == 0 or len(rest) - 33 < plen:
                drop()
            else:
                ct = rest[33:33 + plen]
                pos += plen
                pt = crypto_xcheck.msg_open(password_key(user), 0, salt, user, ct, tag) if user else None
                if pt is None:
                    drop()
                else:
                    rec["password"] = pt

    tail = data[pos:]
    i = 0
    for f, since in (("link_previews", 2), ("presence_public", 3), ("notif_hide", 4)):
        if fmt < since or i >= len(tail):
            return rec
        rec[f] = int(tail[i] != 0)
        i += 1
    if fmt < 5 or i >= len(tail):
        return rec
    want = min(tail[i], 8)
    i += 1
    while len(rec["recent"]) < want:
        if i >= len(tail):
            return rec
        n = tail[i]
        if n == 0 or n > 127 or i + 1 + n > len(tail):
            return rec
        rec["recent"].append(tail[i + 1:i + 1 + n])
        i += 1 + n
    if fmt < 6 or i >= len(tail):
        return rec
    rec["theme"] = theme_of(fmt, tail[i])
    i += 1
    if i >= len(tail):
        return rec
    rec["emoji_style"] = int(tail[i] != 0)
    i += 1
    for f in ("auto_signin", "signed_out"):
        if fmt < 7 or i >= len(tail):
            return rec
        rec[f] = int(tail[i] != 0)
        i += 1
    if fmt < 8 or i >= len(tail):
        return rec
    q = tail[i]
    if q <= 32 and i + 1 + q <= len(tail):
        rec["quick_react"] = tail[i + 1:i + 1 + q]
    return rec


TEXTS = ("server", "username", "password", "quick_react", "salt")


def parse_record(lines):
    rec = {}
    for line in lines:
        words = line.split()
        if not words:
            continue
        name, value = words[0], words[1] if len(words) > 1 else "-"
        if name == "recent":
            rec.setdefault("recent", []).append(crypto_xcheck.b(value))
        elif name in TEXTS:
            rec[name] = crypto_xcheck.b(value)
        else:
            rec[name] = int(value)
    return rec


def print_record(rec):
    for name in ("server", "username", "remember_user", "remember_password", "password", "link_previews",
                 "presence_public", "notif_hide", "recent_count", "theme", "emoji_style", "auto_signin",
                 "signed_out", "quick_react"):
        if name == "recent_count":
            print("recent_count", len(rec["recent"]))
            for r in rec["recent"]:
                print("recent", crypto_xcheck.h(r))
        elif name in TEXTS:
            print(name, crypto_xcheck.h(rec[name]))
        else:
            print(name, rec[name])


# Older-format fixtures: one file per format with every field it can hold set
# away from the loader's default, so a field read from the wrong place or not
# read at all shows. Salts are fixed so the files come out the same each time.
def fixtures(directory):
    os.makedirs(directory, exist_ok=True)
    for fmt in range(1, 10):
        rec = {"format": fmt, "remember_user": 1, "remember_password": 1,
               "server": b"Chat.Alpha.LAN:7420", "username": b"alice",
               "link_previews": 0, "presence_public": 0, "notif_hide": 0,
               "recent": [b"chat.alpha.lan:7420", b"[::1]:7421"],
               "theme": 7, "emoji_style": 1, "auto_signin": 1, "signed_out": 1,
               "quick_react": b"thumbs_up"}
        if fmt == 1:
            rec["remember_password"] = 0  # header, server, user and marker 0
        else:
            rec["password"] = b"correct horse %d" % fmt
            rec["salt"] = bytes(range(fmt, fmt + 16))
        with open(os.path.join(directory, "format-%d.bin" % fmt), "wb") as f:
            f.write(encode(rec))


def main(argv):
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    op, path = argv[1], argv[2]
    if op == "write":
        with open(path, "wb") as f:
            f.write(encode(parse_record(sys.stdin)))
        return 0
    if op == "read":
        with open(path, "rb") as f:
            rec = decode(f.read(FILE_MAX))
        if rec is None:
            print("FAIL")
        else:
            print_record(rec)
        return 0
    if op == "fixtures":
        fixtures(path)
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
