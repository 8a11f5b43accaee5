#!/usr/bin/python3
"""Second implementation of the message store's history export (version 1),
written from the format's description with struct, for the C++ tests to check
against in both directions.

Reads one request per line on stdin and writes one answer line per request
(through crypto_xcheck.serve):
    decode HEX          -> OK COUNT CONV...   or FAIL and a reason word
    encode COUNT CONV...-> OK HEX             (COUNT and every count written as given)
A CONV word is  ID/KEY/OLDKEYS/COUNTER/MEMBERS/MESSAGES  with
    OLDKEYS   key,key,...                      ("-" for none)
    MEMBERS   user~identity~second~role~name,...   (name as hex; "-" for none)
    MESSAGES  author~device~id~time~type~edited~text,...  (text as hex; "-" for none)
byte strings as lower-case hex, numbers in decimal. The decoder refuses what
breaks a limit (older keys 7, members 64, names 64, texts 4096), input cut
short, and bytes after the last entry.
"""

import os
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import crypto_xcheck  # noqa: E402  (the shared request/answer loop)

OLD_KEYS_MAX = 7
MEMBERS_MAX = 64
NAME_MAX = 64
TEXT_MAX = 4096


class Refused(Exception):
    pass


class Cursor:
    def __init__(self, data):
        self.data, self.pos = data, 0

    def take(self, n):
        if len(self.data) - self.pos < n:
            raise Refused("SHORT")
        out = self.data[self.pos:self.pos + n]
        self.pos += n
        return out


def hx(b):
    return b.hex() if b else "-"


def unhx(s):
    return b"" if s == "-" else bytes.fromhex(s)


def listed(items):
    return ",".join(items) if items else "-"


def decode(data):
    c = Cursor(data)
    (version,) = struct.unpack(">B", c.take(1))
    if version != 1:
        raise Refused("VERSION")
    (count,) = struct.unpack(">I", c.take(4))
    convs = []
    for _ in range(count):
        conv_id, key, k = c.take(16), c.take(32), c.take(1)[0]
        if k > OLD_KEYS_MAX:
            raise Refused("OLDKEYS")
        old = [c.take(32) for _ in range(k)]
        (counter,) = struct.unpack(">Q", c.take(8))
        m = c.take(1)[0]
        if m > MEMBERS_MAX:
            raise Refused("MEMBERS")
        members = []
        for _ in range(m):
            user, ik, sk = c.take(16), c.take(32), c.take(32)
            role, name_len = struct.unpack(">BB", c.take(2))
            if name_len > NAME_MAX:
                raise Refused("NAME")
            members.append("~".join([user.hex(), ik.hex(), sk.hex(), str(role), hx(c.take(name_len))]))
        (n,) = struct.unpack(">I", c.take(4))
        msgs = []
        for _ in range(n):
            author, device = c.take(16), c.take(32)
            msg_id, time, mtype, edited, tlen = struct.unpack(">QQBBI", c.take(22))
            if tlen > TEXT_MAX:
                raise Refused("TEXT")
            text = c.take(tlen)
            msgs.append("~".join([author.hex(), device.hex(), str(msg_id), str(time), str(mtype), str(edited),
                                  hx(text)]))
        convs.append("/".join([conv_id.hex(), key.hex(), listed([x.hex() for x in old]), str(counter),
                               listed(members), listed(msgs)]))
    if c.pos != len(data):
        raise Refused("TRAILING")
    return [str(count)] + convs


def split(word):
    return [] if word == "-" else word.split(",")


def encode(count, convs):
    out = struct.pack(">BI", 1, count)
    for word in convs:
        conv_id, key, old, counter, members, msgs = word.split("/")
        old_keys = [unhx(x) for x in split(old)]
        out += unhx(conv_id) + unhx(key) + struct.pack(">B", len(old_keys)) + b"".join(old_keys)
        member_list = split(members)
        out += struct.pack(">QB", int(counter), len(member_list))
        for m in member_list:
            user, ik, sk, role, name = m.split("~")
            name = unhx(name)
            out += unhx(user) + unhx(ik) + unhx(sk) + struct.pack(">BB", int(role), len(name)) + name
        msg_list = split(msgs)
        out += struct.pack(">I", len(msg_list))
        for m in msg_list:
            author, device, msg_id, time, mtype, edited, text = m.split("~")
            text = unhx(text)
            out += unhx(author) + unhx(device)
            out += struct.pack(">QQBBI", int(msg_id), int(time), int(mtype), int(edited), len(text)) + text
    return out


def answer(op, a):
    try:
        if op == "decode":
            return decode(unhx(a[0]))
        if op == "encode":
            return [encode(int(a[0]), a[1:]).hex()]
    except Refused as e:
        return str(e)
    except (ValueError, IndexError, struct.error):
        return "ARG"
    return "OP"


if __name__ == "__main__":
    sys.exit(crypto_xcheck.serve(answer))
