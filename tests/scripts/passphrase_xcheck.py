#!/usr/bin/python3
"""Second derivation of the passphrase word list, and the chi-square bounds its
uniformity test uses, for the C++ tests to check against.

A word is a consonant-vowel syllable followed by a different one; the words are
listed with the first syllable as the major key and the second as the minor
key, syllables themselves ordered by consonant, then vowel. Words on the
blocked list are left out of the allowed list.

Reads one request per line on stdin and writes one answer line per request:
    all                 -> "OK" and every word, blocked or not, in order
    allowed             -> "OK" and the allowed words in order
    blocked             -> "OK" and the blocked words
    chisq DF ALPHA      -> "OK LOW HIGH": the chi-square statistic with DF degrees
                           of freedom falls below LOW, or above HIGH, with
                           probability ALPHA each (Wilson-Hilferty approximation)
"""

import itertools
import os
import statistics
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import crypto_xcheck  # noqa: E402  (the request loop the cross-check scripts share)

CONSONANTS = "bdfgklmnprstvz"
VOWELS = "aeiou"
BLOCKED = """bite boba bolu dumo gode kake kaki kike kuli kulo mafe maso mona nazi
nega nigo pede pedo pene pine pipe pito polo puta pute rabo rape sado sida tare
teta tuta vaga zobi""".split()


def all_words():
    syllables = [c + v for c, v in itertools.product(CONSONANTS, VOWELS)]
    return [a + b for a, b in itertools.product(syllables, repeat=2) if a != b]


def chisq_bounds(df, alpha):
    z = statistics.NormalDist().inv_cdf(1 - alpha)
    k = 2 / (9 * df)
    return df * (1 - k - z * k ** 0.5) ** 3, df * (1 - k + z * k ** 0.5) ** 3


def answer(op, args):
    if op == "all":
        return all_words()
    if op == "allowed":
        blocked = set(BLOCKED)
        return [w for w in all_words() if w not in blocked]
    if op == "blocked":
        return list(BLOCKED)
    if op == "chisq" and len(args) == 2:
        low, high = chisq_bounds(int(args[0]), float(args[1]))
        return ["%.6f" % low, "%.6f" % high]
    raise ValueError("unknown op " + op)


def main():
    assert len(all_words()) == 4830 and len(set(BLOCKED)) == 34
    assert all(w in all_words() for w in BLOCKED)
    return crypto_xcheck.serve(answer)


if __name__ == "__main__":
    sys.exit(main())
