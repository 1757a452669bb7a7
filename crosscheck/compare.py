#!/usr/bin/env python3
"""Compares the listing of the Linux build with that of the Windows build over the same tree.

Lines are matched by path (the Windows path mapped to the POSIX form), and the five other fields
compared one by one, the padding of both set aside. Both builds write UTF-8 (the Windows programs'
manifest sets their code page to it). Differences named in the allow-list are reported but accepted; any
other difference fails the comparison.

    compare.py LINUX_LISTING LINUX_ROOT WINDOWS_LISTING WINDOWS_ROOT ALLOW_LIST TREE_NAME CRASHES

CRASHES names, a line each, the folders (relative to the tree) on which the Windows build did not
finish; each is a difference of the field "crash".
"""
import fnmatch
import sys

FIELDS = ("product", "company", "version", "date", "time")


def read_listing(path, root, separator, encoding):
    entries = {}
    with open(path, "rb") as listing:
        data = listing.read()
    for line in data.split(b"\r\n"):
        if not line:
            continue
        fields = line.split(b"\t")
        if len(fields) != 6:
            raise SystemExit("%s: a line without six fields: %r" % (path, line))
        full = fields[5].decode(encoding, "surrogateescape")
        prefix = root.lower()
        if not full.startswith(prefix):
            raise SystemExit("%s: path %r outside %r" % (path, full, prefix))
        relative = full[len(prefix):].lstrip(separator).replace(separator, "/")
        entries[relative] = [field.decode(encoding, "surrogateescape").rstrip(" ")
                             for field in fields[:5]]
    return entries


def read_allow_list(path, tree):
    allowed = []
    with open(path, encoding="utf-8") as allow:
        for line in allow:
            line = line.rstrip("\n")
            if not line or line.startswith("#"):
                continue
            name, pattern, field, reason = line.split("\t", 3)
            if name == tree:
                allowed.append((pattern, field, reason))
    return allowed


def main():
    linux_listing, linux_root, windows_listing, windows_root, allow_path, tree, crashes_path = sys.argv[1:8]
    linux = read_listing(linux_listing, linux_root, "/", "utf-8")
    windows = read_listing(windows_listing, windows_root, "\\", "utf-8")
    allowed = read_allow_list(allow_path, tree)
    used = set()

    def is_allowed(path, field):
        for index, (pattern, allowed_field, _) in enumerate(allowed):
            if fnmatch.fnmatch(path, pattern) and allowed_field in (field, "*"):
                used.add(index)
                return True
        return False

    failures = []
    accepted = []
    with open(crashes_path, encoding="utf-8") as crashes:
        for folder in filter(None, (line.rstrip("\n") for line in crashes)):
            record = "%s: the Windows build did not finish" % folder
            (accepted if is_allowed(folder + "/", "crash") else failures).append(record)
    for path in sorted(set(linux) | set(windows)):
        if path not in windows or path not in linux:
            where = "Linux" if path in linux else "Windows"
            record = "%s: listed only by the %s build" % (path, where)
            (accepted if is_allowed(path, "listed") else failures).append(record)
            continue
        for field, mine, theirs in zip(FIELDS, linux[path], windows[path]):
            if mine != theirs:
                record = "%s: %s differs: Linux %r, Windows %r" % (path, field, mine, theirs)
                (accepted if is_allowed(path, field) else failures).append(record)

    print("%s: Linux build listed %d, Windows build listed %d, %d differences allowed, %d not"
          % (tree, len(linux), len(windows), len(accepted), len(failures)))
    for record in accepted:
        print("  allowed: " + record)
    for record in failures:
        print("  DIFFERS: " + record)
    for index, (pattern, field, reason) in enumerate(allowed):
        # Entries for the inventory's own fields are used by compare_inventory.py.
        if index not in used and field in FIELDS + ("listed", "crash", "*"):
            print("  unused allow-list entry: %s %s (%s)" % (pattern, field, reason))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
