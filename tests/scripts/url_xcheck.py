#!/usr/bin/python3
"""Second opinions on addresses, URLs and response heads from Python's own
ipaddress, urllib.parse and http.client, for the C++ tests to compare with.

Reads one request per line on stdin and writes one answer line per request
(byte strings as hex, "-" for empty):
    ip HEX              -> "OK VERDICT RULE": 1 when the address may be
                           connected to, and which rule gave it (below)
    split HEX           -> "OK HOST PORT PATH" from urlsplit, or "FAIL ..."
    join BASE REF       -> "OK HOST PORT PATH" of urlsplit(urljoin(BASE, REF))
    head HEX            -> "OK STATUS HEAD_LEN LENGTH CHUNKED LOCATION CTYPE"
                           from http.client reading the bytes as a response

Address verdicts start from ipaddress's is_global and is_multicast; the
rules other than "python" are where the client's guard decides otherwise on
purpose, each named so the C++ test can list and justify it.
"""

import http.client
import io
import ipaddress
import os
import sys
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import crypto_xcheck  # noqa: E402  (the shared request loop)

BLOCK_192_0_0 = ipaddress.ip_network("192.0.0.0/24")
NAT64 = ipaddress.ip_network("64:ff9b::/96")
NAT64_LOCAL = ipaddress.ip_network("64:ff9b:1::/48")
IETF_2001 = ipaddress.ip_network("2001::/23")
DOC_2001 = ipaddress.ip_network("2001:db8::/32")


def v4_verdict(a):
    """(allowed, rule) for an IPv4 address."""
    if a.is_multicast:
        return 0, "v4-multicast"
    if a in BLOCK_192_0_0 and a.is_global:
        return 0, "v4-192.0.0.0/24"
    return int(a.is_global), "python"


def ip_verdict(raw):
    a = ipaddress.ip_address(raw)
    if a.version == 4:
        return v4_verdict(a)
    if a.ipv4_mapped is not None:
        v, rule = v4_verdict(a.ipv4_mapped)
        return v, "mapped:" + rule
    if a in NAT64:
        v, rule = v4_verdict(ipaddress.IPv4Address(raw[12:16]))
        return v, "nat64:" + rule
    if a.sixtofour is not None:
        v, rule = v4_verdict(a.sixtofour)
        return v, "6to4:" + rule
    if a.is_multicast:
        return 0, "v6-multicast"
    if a in IETF_2001 and a not in DOC_2001:
        return 1, "2001::/23"
    if a in NAT64_LOCAL:
        return 1, "64:ff9b:1::/48"
    return int(a.is_global), "python"


def word(b):
    return b.hex() if b else "-"


def text(b):
    """Bytes as a str of the same length: urllib.parse splits text, and
    reads bytes only when they are ASCII."""
    return b.decode("latin-1")


def split_words(url):
    r = urllib.parse.urlsplit(url)
    host = r.hostname or ""
    port = r.port
    if port is None:
        port = 443 if r.scheme.lower() == "https" else 80
    path = r.path or "/"
    # An empty query after "?" is kept, as the client's parser keeps it.
    if r.query or url.split("#", 1)[0].endswith("?"):
        path += "?" + r.query
    return [word(host.encode("latin-1")), str(port), word(path.encode("latin-1"))]


def head_words(raw):
    end = raw.find(b"\r\n\r\n")
    if end < 0:
        return "NOEND"

    class Sock:
        def makefile(self, mode, *args, **kw):
            return io.BufferedReader(io.BytesIO(raw))

    resp = http.client.HTTPResponse(Sock())
    try:
        resp.begin()
    except (http.client.HTTPException, ValueError):
        return "PARSE"
    msg = resp.msg
    location = (msg.get("Location") or "").encode("latin-1")
    length = msg.get("Content-Length")
    length = int(length) if length and length.strip().isdigit() else -1
    te = [t.strip().lower() for t in (msg.get("Transfer-Encoding") or "").split(",")]
    ctype = msg.get_content_type().encode() if msg.get("Content-Type") else b""
    return [str(resp.status), str(end + 4), str(length), str(int("chunked" in te)), word(location), word(ctype)]


def answer(op, args):
    try:
        if op == "ip" and len(args) == 1:
            v, rule = ip_verdict(bytes.fromhex(args[0]))
            return [str(v), rule]
        if op == "split" and len(args) == 1:
            return split_words(text(bytes.fromhex(args[0])))
        if op == "join" and len(args) == 2:
            base, ref = (text(b"" if a == "-" else bytes.fromhex(a)) for a in args)
            return split_words(urllib.parse.urljoin(base, ref))
        if op == "head" and len(args) == 1:
            return head_words(bytes.fromhex(args[0]))
    except ValueError:
        return "VALUE"
    return "OP"


def main():
    return crypto_xcheck.serve(answer)


if __name__ == "__main__":
    sys.exit(main())
