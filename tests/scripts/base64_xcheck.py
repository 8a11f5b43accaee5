#!/usr/bin/python3
"""Base64 and ASCII-class cross-checks on Python's base64 module and bytes methods.

One request a line on stdin, one answer line each, "OK" and the words ("-"
stands for no bytes):
  enc HEX   -> base64.b64encode of the bytes, as text ("-" when empty).
  dec HEX   -> the bytes (hex) that a lenient reader gets from the text: its
               leading run of alphabet characters, a lone last character
               dropped (it carries no whole byte), padded with "=" and given
               to base64.b64decode.
  cls N     -> for the byte N & 0xFF: isupper islower isalpha (0/1) and the
               upper and lower forms of that byte, from bytes methods.
"""
import base64
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import crypto_xcheck  # noqa: E402  (the request/answer loop)

ALPHABET_RUN = re.compile(rb"[A-Za-z0-9+/]*")


def unhex(word):
    return b"" if word == "-" else bytes.fromhex(word)


def hexword(b):
    return b.hex() if b else "-"


def dec(text):
    run = ALPHABET_RUN.match(text).group(0)
    if len(run) % 4 == 1:
        run = run[:-1]
    run += b"=" * (-len(run) % 4)
    return hexword(base64.b64decode(run))


def cls(n):
    b = bytes([n & 0xFF])
    return [str(int(b.isupper())), str(int(b.islower())), str(int(b.isalpha())), str(b.upper()[0]), str(b.lower()[0])]


def answer(op, a):
    if op == "enc":
        return [base64.b64encode(unhex(a[0])).decode() or "-"]
    if op == "dec":
        return [dec(unhex(a[0]))]
    if op == "cls":
        return cls(int(a[0]))
    raise ValueError("unknown op " + op)


if __name__ == "__main__":
    sys.exit(crypto_xcheck.serve(answer))
