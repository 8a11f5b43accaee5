#!/usr/bin/python3
"""String-utility cross-checks on Python's fnmatch and its strict UTF-8 decoder.

One request a line on stdin, one answer line each ("OK" and the word); bytes
travel as hex ("-" for none):
  fnm TEXT PATTERN   -> 1 when fnmatch.fnmatchcase(text, pattern), else 0.
  fnmi TEXT PATTERN  -> the same on the ASCII upper-case forms of both.
  utf8 BYTES         -> 1 when bytes.decode("utf-8", "strict") accepts them.
"""
import fnmatch
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import crypto_xcheck  # noqa: E402  (the request/answer loop)


def unhex(word):
    return b"" if word == "-" else bytes.fromhex(word)


def utf8(b):
    try:
        b.decode("utf-8", "strict")
        return 1
    except UnicodeDecodeError:
        return 0


def answer(op, a):
    if op == "fnm":
        return [str(int(fnmatch.fnmatchcase(unhex(a[0]), unhex(a[1]))))]
    if op == "fnmi":
        return [str(int(fnmatch.fnmatchcase(unhex(a[0]).upper(), unhex(a[1]).upper())))]
    if op == "utf8":
        return [str(utf8(unhex(a[0])))]
    raise ValueError("unknown op " + op)


if __name__ == "__main__":
    sys.exit(crypto_xcheck.serve(answer))
