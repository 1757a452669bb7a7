#!/usr/bin/env python3
"""A peer for the benchmark: walks a tree and reads product name, company name and file version of
each .exe, .dll and .ocx file with Debian's python3-pefile, as a user scripting it would.

    pefile_peer.py DIRECTORY
"""
import os
import sys

import pefile


def first_translation_strings(pe):
    for info in getattr(pe, "FileInfo", None) or []:
        for entry in info:
            if getattr(entry, "Key", b"") == b"StringFileInfo":
                for table in entry.StringTable:
                    return table.entries
    return {}


def describe(path):
    try:
        pe = pefile.PE(path, fast_load=True)
        pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    except pefile.PEFormatError:
        return None
    if not hasattr(pe, "VS_FIXEDFILEINFO"):
        return None
    fixed = pe.VS_FIXEDFILEINFO[0]
    version = "%d.%d.%d.%d" % (fixed.FileVersionMS >> 16, fixed.FileVersionMS & 0xFFFF,
                               fixed.FileVersionLS >> 16, fixed.FileVersionLS & 0xFFFF)
    strings = first_translation_strings(pe)
    product = strings.get(b"ProductName", b"").decode("utf-8", "replace")
    company = strings.get(b"CompanyName", b"").decode("utf-8", "replace")
    return product, company, version


def main():
    listed = 0
    for directory, subdirectories, names in os.walk(sys.argv[1]):
        subdirectories[:] = [name for name in subdirectories if not name.startswith(".")]
        for name in names:
            if os.path.splitext(name)[1].lower() not in (".exe", ".dll", ".ocx"):
                continue
            path = os.path.join(directory, name)
            result = describe(path)
            if result:
                listed += 1
                print("\t".join(result + (path,)))
    print("%d listed" % listed, file=sys.stderr)


if __name__ == "__main__":
    main()
