#!/usr/bin/env python3
"""The straightforward way to compare two listings in Python, against which quillet-compare is
measured: both loaded into dictionaries keyed by path, then walked.

    compare_peer.py OLD NEW
"""
import sys


def load(path):
    entries = {}
    with open(path, "rb") as listing:
        for line in listing.read().split(b"\r\n"):
            if line:
                fields = line.split(b"\t")
                entries[fields[5]] = [field.rstrip(b" ") for field in fields[:3]]
    return entries


def main():
    old, new = load(sys.argv[1]), load(sys.argv[2])
    out = sys.stdout.buffer
    for path, (product, company, version) in new.items():
        before = old.get(path)
        if before is None:
            out.write(b"added\t%s\t\t%s\t\t%s\t\t%s\n" % (path, version, product, company))
        elif before != [product, company, version]:
            out.write(b"changed\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n"
                      % (path, before[2], version, before[0], product, before[1], company))
    for path, (product, company, version) in old.items():
        if path not in new:
            out.write(b"removed\t%s\t%s\t\t%s\t\t%s\t\n" % (path, version, product, company))
    return 0


if __name__ == "__main__":
    sys.exit(main())
