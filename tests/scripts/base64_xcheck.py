#!/usr/bin/python3
"""Base64 and ASCII-class cross-checks on Python's base64 module and bytes methods.

One request a line on stdin, one answer line each ("-" stands for no bytes):
  enc HEX   -> base64.b64encode of the bytes, as text ("-" when empty).
  dec HEX   -> the bytes (hex) that a lenient reader gets from the text: its
               leading run of alphabet characters, a lone last character
               dropped (it carries no whole byte), padded with "=" and given
               to base64.b64decode.
  cls N     -> for the byte N & 0xFF: isupper islower isalpha (0/1) and the
               upper and lower forms of that byte, from bytes methods.
"""
import base64
import re
import sys

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
    return "%d %d %d %d %d" % (b.isupper(), b.islower(), b.isalpha(), b.upper()[0], b.lower()[0])


def main():
    out = []
    for line in sys.stdin:
        w = line.split()
        if w[0] == "enc":
            out.append(base64.b64encode(unhex(w[1])).decode() or "-")
        elif w[0] == "dec":
            out.append(dec(unhex(w[1])))
        elif w[0] == "cls":
            out.append(cls(int(w[1])))
        else:
            raise SystemExit("unknown request " + w[0])
    sys.stdout.write("\n".join(out) + ("\n" if out else ""))


if __name__ == "__main__":
    main()
