#!/usr/bin/python3
"""Holds an exclusive fcntl record lock on a file until told to let go.

Usage: hold_file_lock.py FILE READY RELEASE
Creates READY once the lock is held, then waits (at most 60 s) for RELEASE
to exist, unlocks and exits.
"""
import fcntl
import os
import sys
import time


def main():
    path, ready, release = sys.argv[1:4]
    with open(path, "r+b") as f:
        fcntl.lockf(f, fcntl.LOCK_EX)
        open(ready, "w").close()
        deadline = time.monotonic() + 60
        while not os.path.exists(release) and time.monotonic() < deadline:
            time.sleep(0.01)
        fcntl.lockf(f, fcntl.LOCK_UN)


if __name__ == "__main__":
    main()
