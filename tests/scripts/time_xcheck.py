#!/usr/bin/python3
"""Time-format cross-checks on Python's datetime and email.utils.

One request a line on stdin, one answer line each ("OK" and the words):
  fmt T OFFSET     -> HTTP date (email.utils.format_datetime, usegmt), RFC 2822
                      date (email.utils.format_datetime) and RFC 3339 stamp
                      (datetime.isoformat) of epoch second T shown at zone
                      OFFSET seconds; the HTTP date is always UTC. Words are
                      joined by "|" in place of spaces; "-" where datetime
                      cannot represent the date.
  http HEX         -> epoch seconds of the text (hex of its bytes, "-" for
                      none) read as an
                      IMF-fixdate, or "-" when it is not one.
  rfc3339 HEX      -> epoch seconds of the text read as an RFC 3339 stamp with
                      whole seconds and a "Z", numeric or missing zone, or "-".
The parsers take the shape from a byte pattern and leave every range check
(month lengths, leap years, hours, zone limits) and the calendar arithmetic to
datetime.
"""
import datetime
import email.utils
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import crypto_xcheck  # noqa: E402  (the request/answer loop)

UTC = datetime.timezone.utc
EPOCH = datetime.datetime(1970, 1, 1, tzinfo=UTC)
DAYS = [b"Mon", b"Tue", b"Wed", b"Thu", b"Fri", b"Sat", b"Sun"]
MONTHS = [b"Jan", b"Feb", b"Mar", b"Apr", b"May", b"Jun", b"Jul", b"Aug", b"Sep", b"Oct", b"Nov", b"Dec"]

HTTP_RE = re.compile(rb"\A([A-Za-z]{3}), ([0-9]{2}) ([A-Za-z]{3}) ([0-9]{4}) ([0-9]{2}):([0-9]{2}):([0-9]{2}) GMT\Z")
RFC3339_RE = re.compile(
    rb"\A([0-9]{4})-([0-9]{2})-([0-9]{2})[Tt ]([0-9]{2}):([0-9]{2}):([0-9]{2})(|[Zz]|[+-][0-9]{2}:[0-9]{2})\Z")


def words(text):
    return text.replace(" ", "|")


def fmt(t, off):
    out = []
    try:
        utc = EPOCH + datetime.timedelta(seconds=t)
        out.append(words(email.utils.format_datetime(utc, usegmt=True)))
    except (OverflowError, ValueError):
        out.append("-")
    try:
        local = (EPOCH + datetime.timedelta(seconds=t)).astimezone(datetime.timezone(datetime.timedelta(seconds=off)))
        out.append(words(email.utils.format_datetime(local)))
        out.append(local.isoformat())
    except (OverflowError, ValueError):
        out += ["-", "-"]
    return out


def epoch(dt):
    return str((dt - EPOCH) // datetime.timedelta(seconds=1))


def parse_http(b):
    m = HTTP_RE.match(b)
    if not m or m.group(3) not in MONTHS:
        return "-"
    try:
        dt = datetime.datetime(int(m.group(4)), MONTHS.index(m.group(3)) + 1, int(m.group(2)), int(m.group(5)),
                               int(m.group(6)), int(m.group(7)), tzinfo=UTC)
    except ValueError:
        return "-"
    if DAYS[dt.weekday()] != m.group(1):
        return "-"
    return epoch(dt)


def parse_rfc3339(b):
    m = RFC3339_RE.match(b)
    if not m:
        return "-"
    zone = m.group(7)
    try:
        tz = UTC
        if len(zone) == 6:
            delta = datetime.timedelta(hours=int(zone[1:3]), minutes=int(zone[4:6]))
            if int(zone[4:6]) > 59:
                return "-"
            tz = datetime.timezone(-delta if zone[:1] == b"-" else delta)
        dt = datetime.datetime(*(int(m.group(i)) for i in range(1, 7)), tzinfo=tz)
    except ValueError:
        return "-"
    return epoch(dt)


def unhex(word):
    return b"" if word == "-" else bytes.fromhex(word)


def answer(op, a):
    if op == "fmt":
        return fmt(int(a[0]), int(a[1]))
    if op == "http":
        return [parse_http(unhex(a[0]))]
    if op == "rfc3339":
        return [parse_rfc3339(unhex(a[0]))]
    raise ValueError("unknown op " + op)


if __name__ == "__main__":
    sys.exit(crypto_xcheck.serve(answer))
