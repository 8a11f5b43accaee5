#!/usr/bin/python3
"""Independent answers for the markdown and text helpers, for the C++ tests to
check against: Python's unicodedata, Python's codecs, and Debian's cmark-gfm
program.

Reads one request per line on stdin and writes one answer line per request:
    translit CP          -> "OK " and the lower-case ASCII base letters, "-" for none
    undouble HEX         -> "OK " and the repaired bytes in hex, or "FAIL NONE"
    cmark HEX            -> "OK " and the normalised document (below) in hex
Byte strings are hex. Served by crypto_xcheck's request loop.

The normalised document is the common ground of both parsers: blocks joined
by " / ", each a kind ("P", "H<level>", "Q", "C", "UL", "OL", "T<columns>", "R")
and a colon, then spans as "<style hex>:<text>" (">url" appended for links)
joined by "|", adjacent spans of equal style and URL merged; list items and
table cells are each wrapped in brackets. Style bits: 1 strong, 2 emphasis,
4 code, 8 link, 0x10 strikethrough, 0x20 image.
"""

import os
import subprocess
import sys
import unicodedata
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import crypto_xcheck  # noqa: E402  (the request loop)

# Letters NFKD leaves whole: what the transliteration table gives them.
TRANSLIT_EXCEPTIONS = {
    0xC6: "ae", 0xE6: "ae", 0xDE: "th", 0xFE: "th", 0xDF: "ss",
    0x132: "ij", 0x133: "ij", 0x152: "oe", 0x153: "oe",
    0xD0: "d", 0xF0: "d", 0x110: "d", 0x111: "d", 0xD8: "o", 0xF8: "o",
    0x131: "i", 0x138: "k", 0x141: "l", 0x142: "l", 0x149: "n", 0x14A: "n", 0x14B: "n",
    0x166: "t", 0x167: "t", 0x17F: "s",
    0xD7: "", 0xF7: "",          # multiplication and division signs: no entry
    0x126: "h", 0x127: "h",      # H with stroke: base letter h, which NFKD does not split off
}


def translit(cp):
    if cp in TRANSLIT_EXCEPTIONS:
        return TRANSLIT_EXCEPTIONS[cp]
    d = unicodedata.normalize("NFKD", chr(cp))
    return "".join(c for c in d if c.isascii() and c.isalpha()).lower()


def undouble(b):
    try:
        latin = b.decode("utf-8").encode("latin-1")
    except (UnicodeDecodeError, UnicodeEncodeError):
        return None
    if all(c < 0x80 for c in latin):
        return None
    try:
        latin.decode("utf-8")
    except UnicodeDecodeError:
        return None
    return latin


STYLE = {"strong": 1, "emph": 2, "strikethrough": 0x10}
NS = "{http://commonmark.org/xml/1.0}"


def tag(e):
    return e.tag[len(NS):] if e.tag.startswith(NS) else e.tag


def spans(node, style=0, url=None, out=None):
    out = [] if out is None else out
    for c in node:
        t = tag(c)
        if t == "text":
            out.append((style, c.text or "", url))
        elif t in ("softbreak", "linebreak"):
            out.append((style, "\n", url))
        elif t == "code":
            out.append((style | 4, c.text or "", url))
        elif t in STYLE:
            spans(c, style | STYLE[t], url, out)
        elif t == "link":
            spans(c, style | 8, c.get("destination"), out)
        elif t == "image":
            spans(c, style | 0x20, c.get("destination"), out)
        elif t == "paragraph":
            if out:
                out.append((style, "\n", url))
            spans(c, style, url, out)
        else:
            out.append((style, "<%s>" % t, url))
    return out


def show(sp):
    merged = []
    for s in sp:
        if merged and merged[-1][0] == s[0] and merged[-1][2] == s[2]:
            merged[-1] = (s[0], merged[-1][1] + s[1], s[2])
        elif s[1]:
            merged.append(s)
    return "|".join("%x:%s%s" % (s, t, ">" + u if u is not None else "") for s, t, u in merged)


def block(e):
    t = tag(e)
    if t == "paragraph":
        return "P:" + show(spans(e))
    if t == "heading":
        return "H%s:" % e.get("level") + show(spans(e))
    if t == "block_quote":
        return "Q:" + show(spans(e))
    if t == "code_block":
        return "C:" + (e.text or "").rstrip("\n")
    if t == "list":
        kind = "UL:" if e.get("type") == "bullet" else "OL:"
        return kind + "".join("[" + show(spans(item)) + "]" for item in e)
    if t == "thematic_break":
        return "R"
    if t == "table":
        rows = [r for r in e if tag(r) in ("table_header", "table_row")]
        cols = len(list(rows[0])) if rows else 0
        return "T%d:" % cols + "".join("[" + show(spans(c)) + "]" for r in rows for c in r)
    return "<%s>" % t


def cmark(text):
    out = subprocess.run(["cmark-gfm", "-e", "strikethrough", "-e", "table", "-e", "autolink", "-t", "xml"],
                         input=text, stdout=subprocess.PIPE, check=True).stdout
    root = ET.fromstring(out)
    return " / ".join(block(b) for b in root)


def answer(op, args):
    if op == "translit" and len(args) == 1:
        return [translit(int(args[0], 0)) or "-"]
    if op == "undouble" and len(args) == 1:
        r = undouble(bytes.fromhex(args[0]))
        return "NONE" if r is None else [r.hex() or "-"]
    if op == "cmark" and len(args) == 1:
        return [cmark(bytes.fromhex(args[0])).encode("utf-8").hex() or "-"]
    raise ValueError("unknown op " + op)


def main():
    return crypto_xcheck.serve(answer)


if __name__ == "__main__":
    sys.exit(main())
