#!/usr/bin/python3
"""IMA ADPCM from Python's own audioop module, for the voice-codec tests to
compare our encoder and decoder with. audioop starts from predictor 0 and step
index 0 as our streams do, and puts the first code of a byte in its high half,
ours in its low half; the answers are in our order.

Reads one request per line on stdin and writes one answer line per request:
    encode SAMPLES_PATH      (16-bit little-endian samples, an even count)
        -> "OK CODES" (hex, our nibble order)
    decode CODES COUNT        (hex, our nibble order)
        -> "OK SAMPLES" (hex, 16-bit little-endian)
"""

import os
import sys
import warnings

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import crypto_xcheck  # noqa: E402  (the shared request loop)

with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    import audioop  # noqa: E402


def swap_halves(data):
    return bytes(((x & 15) << 4) | (x >> 4) for x in data)


def answer(op, a):
    if op == "encode":
        with open(a[0], "rb") as f:
            samples = f.read()
        codes, _ = audioop.lin2adpcm(samples, 2, None)
        return [swap_halves(codes).hex()]
    if op == "decode":
        codes = swap_halves(bytes.fromhex(a[0]))
        samples, _ = audioop.adpcm2lin(codes, 2, None)
        return [samples[: 2 * int(a[1])].hex()]
    raise ValueError("unknown op " + op)


if __name__ == "__main__":
    sys.exit(crypto_xcheck.serve(answer))
