#!/usr/bin/env python3
"""Holds the build facts of quillet-inventory's records against python3-pefile's reading of the
same files (tests/support/pefile_facts.py): the header's time stamp, the subsystem, the CodeView
record's program database and identity, and the import hash.

    compare_pefile.py RECORDS PEFILE_FACTS TREE_NAME
"""
import json
import sys

KEYS = ("compiled", "subsystem", "pdb_path", "pdb_id", "imphash")


def main():
    records_path, facts_path, tree = sys.argv[1:4]
    with open(records_path, encoding="utf-8", errors="surrogateescape") as lines:
        records = {json.loads(line)["path"]: json.loads(line) for line in lines}
    differences, compared = [], 0
    with open(facts_path, encoding="utf-8", errors="surrogateescape") as lines:
        for line in lines:
            facts = json.loads(line)
            record = records.get(facts["path"])
            if record is None:
                differences.append("%s: read by pefile, not recorded" % facts["path"])
                continue
            compared += 1
            differences += ["%s: %s: pefile %r, Quillet %r" % (facts["path"], key, facts[key], record[key])
                            for key in KEYS if facts[key] != record[key]]
    print("%s: the build facts of %d files against pefile's, %d differences" % (tree, compared, len(differences)))
    for difference in differences:
        print("  DIFFERS: " + difference)
    return 1 if differences or compared == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
