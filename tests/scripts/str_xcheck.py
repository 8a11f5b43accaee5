#!/usr/bin/python3
"""String-utility cross-checks on Python's fnmatch and its strict UTF-8 decoder.

One request a line on stdin, one answer line each; bytes travel as hex ("-"
for none):
  fnm TEXT PATTERN   -> 1 when fnmatch.fnmatchcase(text, pattern), else 0.
  fnmi TEXT PATTERN  -> the same on the ASCII upper-case forms of both.
  utf8 BYTES         -> 1 when bytes.decode("utf-8", "strict") accepts them.
"""
import fnmatch
import sys


def unhex(word):
    return b"" if word == "-" else bytes.fromhex(word)


def utf8(b):
    try:
        b.decode("utf-8", "strict")
        return 1
    except UnicodeDecodeError:
        return 0


def main():
    out = []
    for line in sys.stdin:
        w = line.split()
        if w[0] == "fnm":
            out.append(int(fnmatch.fnmatchcase(unhex(w[1]), unhex(w[2]))))
        elif w[0] == "fnmi":
            out.append(int(fnmatch.fnmatchcase(unhex(w[1]).upper(), unhex(w[2]).upper())))
        elif w[0] == "utf8":
            out.append(utf8(unhex(w[1])))
        else:
            raise SystemExit("unknown request " + w[0])
    sys.stdout.write("".join("%d\n" % v for v in out))


if __name__ == "__main__":
    main()
