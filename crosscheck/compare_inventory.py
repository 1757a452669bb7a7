#!/usr/bin/env python3
"""Cross-checks quillet-inventory: the Linux build's records against the Windows build's (run
under Wine, so that Wine's version library reads the files), and each build's records against
the same build's listing of the same tree.

Records are matched by path relative to the tree (letter case set aside). Compared between the
builds: every value the file's version information and headers give (format, machine, managed,
the fixed record's versions, flags and type, the translation, and every string with its value),
the size, the build facts, and the signature's values (its verdict as SIGNATURE_VALUES says). Compared with the listing: each build's product and company names, cut and
collapsed as the listing does (50 and 255 bytes, whitespace runs shortened, the placeholder for
a blank), and the file version, must be what that build listed. A path the listing's allow-list
names for the tree is excused, reported but accepted.

    compare_inventory.py LINUX_RECORDS LINUX_LISTING LINUX_ROOT WINDOWS_RECORDS WINDOWS_LISTING
                         WINDOWS_ROOT ALLOW_LIST TREE_NAME CRASHES
"""
import fnmatch
import json
import sys

from compare import read_allow_list, read_listing

COMPARED = ("format", "machine", "managed", "file_version", "product_version", "file_flags",
            "file_type", "language", "code_page", "strings", "size", "compiled", "subsystem",
            "pdb_path", "pdb_id", "imphash", "assembly_name", "assembly_version")
# A signature's values but its verdict, which each build takes from its own trust: Wine's is no
# measure of Windows' (it has been seen to trust a file signed under an unknown root), so the
# Windows build's verdict is held to the Linux build's only where that one says the file is
# unsigned, malformed or changed after signing.
SIGNATURE_VALUES = ("digest_algorithm", "signer", "signer_subject", "issuer", "serial",
                    "thumbprint", "program_name", "signing_time", "catalog")
HELD_VERDICTS = ("unsigned", "malformed", "bad_digest")


def signature_differences(linux, windows):
    """What differs between two signature objects, as (key, Linux value, Windows value)."""
    if linux is None or windows is None:
        return [] if linux is windows else [("signature", linux, windows)]
    found = [(key, linux[key], windows[key]) for key in SIGNATURE_VALUES if linux[key] != windows[key]]
    if linux["status"] in HELD_VERDICTS and windows["status"] != linux["status"]:
        found.append(("status", linux["status"], windows["status"]))
    nested_linux, nested_windows = linux.get("nested", []), windows.get("nested", [])
    if len(nested_linux) != len(nested_windows):
        found.append(("nested", len(nested_linux), len(nested_windows)))
    for inner_linux, inner_windows in zip(nested_linux, nested_windows):
        found += [("nested " + key, a, b) for key, a, b in signature_differences(inner_linux, inner_windows)]
    return found
PLACEHOLDER = "!!! No Info !!!"
WHITESPACE = " \t\n\v\f\r"


def read_records(path, root, separator):
    records = {}
    prefix = root.lower()
    with open(path, encoding="utf-8", errors="surrogateescape") as lines:
        for line in lines:
            record = json.loads(line)
            full = record["path"]
            if not full.lower().startswith(prefix):
                raise SystemExit("%s: path %r outside %r" % (path, full, root))
            relative = full[len(prefix):].lstrip(separator).replace(separator, "/")
            records[relative.lower()] = record
    return records


def as_listed(value, limit):
    """A string value as the listing shows it."""
    data = (value or "").encode("utf-8", "surrogateescape")
    if len(data) > limit:
        # The cut moves back to the start of the character it would split.
        length = limit
        while length > 0 and (data[length] & 0xC0) == 0x80:
            length -= 1
        data = data[:length]
    text = data.decode("utf-8", "surrogateescape")
    collapsed = "".join(c for i, c in enumerate(text)
                        if not (c in WHITESPACE and i + 1 < len(text) and text[i + 1] in WHITESPACE))
    if all(c in WHITESPACE for c in collapsed):
        collapsed = PLACEHOLDER
    return "".join(" " if c in WHITESPACE else c for c in collapsed).rstrip(" ")


def against_listing(build, records, listing, excused, failures, accepted):
    listing = {path.lower(): fields for path, fields in listing.items()}
    for path in sorted(set(records) | set(listing)):
        record, fields = records.get(path), listing.get(path)
        if record is None or fields is None:
            problem = "%s: %s only in the %s build's %s" % (
                path, "recorded" if fields is None else "listed", build,
                "records" if fields is None else "listing")
            (accepted if excused(path) else failures).append(problem)
            continue
        # Names are found as the query finds them: ignoring letter case.
        strings = {name.lower(): value for name, value in (record["strings"] or {}).items()}
        shown = (as_listed(strings.get("productname"), 50), as_listed(strings.get("companyname"), 255),
                 record["file_version"] or PLACEHOLDER)
        if shown != tuple(fields[:3]):
            problem = "%s: the %s build's record shows %r where its listing shows %r" % (
                path, build, shown, tuple(fields[:3]))
            (accepted if excused(path) else failures).append(problem)


def main():
    (linux_records, linux_listing, linux_root, windows_records, windows_listing, windows_root,
     allow_path, tree, crashes_path) = sys.argv[1:10]
    linux = read_records(linux_records, linux_root, "/")
    windows = read_records(windows_records, windows_root, "\\")
    allowed = read_allow_list(allow_path, tree)
    with open(crashes_path, encoding="utf-8") as crashes:
        unfinished = [line.rstrip("\n") + "/" for line in crashes if line.strip()]

    def excused(path):
        return any(fnmatch.fnmatch(path, pattern.lower()) or path.startswith(pattern.lower())
                   for pattern, _, _ in allowed) or any(path.startswith(f.lower()) for f in unfinished)

    failures, accepted = [], []
    against_listing("Linux", linux, read_listing(linux_listing, linux_root, "/", "utf-8"), excused,
                    failures, accepted)
    against_listing("Windows", windows, read_listing(windows_listing, windows_root, "\\", "utf-8"),
                    excused, failures, accepted)
    for path in sorted(set(linux) | set(windows)):
        if path not in linux or path not in windows:
            problem = "%s: recorded only by the %s build" % (path, "Linux" if path in linux else "Windows")
            (accepted if excused(path) else failures).append(problem)
            continue
        differences = [(key, linux[path][key], windows[path][key]) for key in COMPARED
                       if linux[path][key] != windows[path][key]]
        differences += signature_differences(linux[path]["signature"], windows[path]["signature"])
        for key, ours, theirs in differences:
            problem = "%s: %s differs: Linux %r, Windows %r" % (path, key, ours, theirs)
            (accepted if excused(path) else failures).append(problem)

    print("%s: the Linux build recorded %d files, the Windows build %d, %d differences excused, %d not"
          % (tree, len(linux), len(windows), len(accepted), len(failures)))
    for problem in failures:
        print("  DIFFERS: " + problem)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
