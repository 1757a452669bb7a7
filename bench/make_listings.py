#!/usr/bin/env python3
"""Writes two listings as quillet writes them, for the benchmark of quillet-compare: LINES lines
each (default 1,000,000, some 170 MB), the second with one line in a hundred changed, one in two
hundred removed and as many added. The same arguments always give the same files.

    make_listings.py OLD NEW [LINES]
"""
import random
import sys

PRODUCTS = ["Widget Suite", "Acme Office", "Northwind Viewer", "Contoso Runtime", "Fabrikam Drivers"]
COMPANIES = ["Acme Corporation", "Northwind Traders", "Contoso Ltd.", "Fabrikam, Inc."]


def line(random_, index, version_bump=0):
    product = random_.choice(PRODUCTS)
    company = random_.choice(COMPANIES)
    version = "%d.%d.%d.%d" % (random_.randrange(20), random_.randrange(10),
                               random_.randrange(30000) + version_bump, random_.randrange(100))
    path = "/mnt/win/program files/vendor%d/component%d/file%d.dll" % (index // 1000, index // 10, index)
    return "%-60s\t%-40s\t%-15s\t15.03.2024\t12:34:56\t%s\r\n" % (product, company, version, path)


def main():
    old_path, new_path = sys.argv[1], sys.argv[2]
    count = int(sys.argv[3]) if len(sys.argv) > 3 else 1000000
    with open(old_path, "w", newline="") as old, open(new_path, "w", newline="") as new:
        for index in range(count):
            text = line(random.Random(index), index)
            old.write(text)
            if index % 200 == 7:
                continue  # removed
            new.write(line(random.Random(index), index, 1) if index % 100 == 3 else text)
            if index % 200 == 11:
                new.write(line(random.Random(-index), count + index))  # added
    return 0


if __name__ == "__main__":
    sys.exit(main())
