#!/usr/bin/python3
"""A second link-preview extractor, built on Python's html.parser (tags,
attributes, positions) and html.unescape (the named entities), for the C++
tests to compare with on real pages.

Reads one request per line on stdin and writes one answer line per request:
    page PATH_HEX   -> "OK RESULT TITLE DESCRIPTION IMAGE" (fields as hex,
                       "-" when empty), or "FAIL" and a word

The rules transcribed here: the first <title> (while no title is set) takes
the raw text up to the next "</title" (case-insensitive) or, without one, the
rest of the page, which ends the scan; <meta> takes its key from "property",
else "name" (79 bytes), its value from "content" (1024 bytes); og:title and
og:description replace, og:image and og:image:secure_url replace (last
wins), description fills an empty description. Decoding: the five named
entities and numeric references (";" within 12 bytes of "&"; 0, surrogates
and values past U+10FFFF stay literal), blanks folded to one space between
visible characters, other controls dropped, ill-formed UTF-8 replaced by
U+FFFD the way Python's decoder does, fields cut before the first character
that does not fit whole.
"""

import html
import html.parser
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import crypto_xcheck  # noqa: E402  (the shared request loop)

TITLE_CAP, DESC_CAP, IMAGE_CAP = 201, 501, 1025
KEY_MAX, CONTENT_MAX, ENTITY_SPAN = 79, 1024, 12
RAW_BLANKS = "\t\n\v\f\r "
REF_BLANKS = (9, 10, 13, 32)
ENTITY = re.compile(r"&(amp|lt|gt|quot|apos|#[0-9]+|#[xX][0-9a-fA-F]+);", re.IGNORECASE)
TITLE_CLOSE = re.compile(r"</title", re.IGNORECASE)


def units(raw):
    """The raw bytes as a list of characters (str) and None for a blank."""
    out = []
    text = raw.decode("latin-1")
    i = 0

    def plain(segment):
        for ch in segment.encode("latin-1").decode("utf-8", "replace"):
            if ch in RAW_BLANKS:
                out.append(None)
            elif ord(ch) >= 0x20:
                out.append(ch)

    start = 0
    while i < len(text):
        m = ENTITY.match(text, i) if text[i] == "&" else None
        if m and m.end() - i - 1 <= ENTITY_SPAN:
            body = m.group(1)
            if body[0] == "#":
                cp = int(body[2:], 16) if body[1] in "xX" else int(body[1:])
                if cp == 0 or cp > 0x10FFFF or 0xD800 <= cp <= 0xDFFF:
                    i += 1
                    continue
                ch = chr(cp)
            else:
                ch = html.unescape("&" + body.lower() + ";")
            plain(text[start:i])
            if ord(ch) in REF_BLANKS:
                out.append(None)
            elif ord(ch) >= 0x20:
                out.append(ch)
            i = start = m.end()
            continue
        i += 1
    plain(text[start:])
    return out


def decode(raw, cap):
    out = b""
    space = False
    for u in units(raw):
        if u is None:
            space = len(out) > 0
            continue
        b = u.encode("utf-8")
        need = len(b) + (1 if space else 0)
        if len(out) + need > cap - 1:
            break
        out += (b" " if space else b"") + b
        space = False
    return out


class Extractor(html.parser.HTMLParser):
    def __init__(self, page):
        super().__init__(convert_charrefs=False)
        self.page = page.decode("latin-1")
        self.lines = [0]
        for m in re.finditer("\n", self.page):
            self.lines.append(m.end())
        self.title = self.description = self.image = b""
        self.skip_to = 0
        self.done = False

    def position(self):
        line, col = self.getpos()
        return self.lines[line - 1] + col

    def handle_starttag(self, tag, attrs):
        if self.done or self.position() < self.skip_to:
            return
        tag_text = self.get_starttag_text()
        end = self.position() + len(tag_text)
        if tag == "title" and not self.title:
            m = TITLE_CLOSE.search(self.page, end)
            if not m:
                self.title = decode(self.page[end:].encode("latin-1"), TITLE_CAP)
                self.done = True
                return
            self.title = decode(self.page[end:m.start()].encode("latin-1"), TITLE_CAP)
            self.skip_to = m.start()
        elif tag == "meta":
            self.meta(raw_attributes(tag_text))

    handle_startendtag = handle_starttag

    def meta(self, attrs):
        key = attrs.get("property", attrs.get("name"))
        content = attrs.get("content")
        if key is None or content is None:
            return
        key = key[:KEY_MAX].lower()
        content = content[:CONTENT_MAX].encode("latin-1")
        if key == "og:title":
            self.title = decode(content, TITLE_CAP)
        elif key == "og:description":
            self.description = decode(content, DESC_CAP)
        elif key in ("og:image", "og:image:secure_url"):
            self.image = decode(content, IMAGE_CAP)
        elif key == "description" and not self.description:
            self.description = decode(content, DESC_CAP)


def raw_attributes(tag_text):
    """First value of each attribute as written (html.parser unescapes the
    values it hands over; the extractor decodes them by its own rules)."""
    attrs = {}
    pos = html.parser.tagfind_tolerant.match(tag_text, 1).end()
    for m in html.parser.attrfind_tolerant.finditer(tag_text, pos):
        name, value = m.group(1), m.group(3)
        if not name or value is None:
            continue
        if value[:1] in ("'", '"') and value[-1:] == value[:1] and len(value) >= 2:
            value = value[1:-1]
        attrs.setdefault(name.lower(), value)
    return attrs


def word(b):
    return b.hex() if b else "-"


def answer(op, args):
    if op != "page" or len(args) != 1:
        return "OP"
    with open(bytes.fromhex(args[0]), "rb") as f:
        page = f.read()
    p = Extractor(page)
    p.feed(p.page)
    p.close()
    result = 1 if (p.title or p.description or p.image) else 0
    return [str(result), word(p.title), word(p.description), word(p.image)]


def main():
    return crypto_xcheck.serve(answer)


if __name__ == "__main__":
    sys.exit(main())
