#!/usr/bin/env python3
"""Writes NEW as OLD after COUNT random edits: overwrites, insertions and
deletions of 4-64 KiB at random offsets (seeded, so runs compare alike).
Streams the file in 8 MiB pieces, so a gigabyte takes a second or two.

  bench/edit_file.py OLD NEW COUNT [SEED]
"""

import os
import random
import sys


def main():
    old, new, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
    rng = random.Random(int(sys.argv[4]) if len(sys.argv) > 4 else 1)
    size = os.path.getsize(old)
    offsets = sorted(rng.randrange(0, size - (64 << 10)) for _ in range(count))
    with open(old, "rb") as src, open(new, "wb") as dst:
        at = 0
        for offset in offsets:
            offset = max(offset, at)
            while at < offset:
                piece = src.read(min(8 << 20, offset - at))
                dst.write(piece)
                at += len(piece)
            n = rng.randrange(4 << 10, (64 << 10) + 1)
            kind = rng.choice(("overwrite", "insert", "delete"))
            if kind != "delete":
                dst.write(os.urandom(n))
            if kind != "insert":
                src.seek(n, os.SEEK_CUR)
                at += n
        while piece := src.read(8 << 20):
            dst.write(piece)


if __name__ == "__main__":
    main()
