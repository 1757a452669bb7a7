#!/usr/bin/env python3
"""Checks that the test suite notices mistakes in the code: applies single-token mutations to
src/ one at a time (a comparison flipped, a bound moved by one, && for ||, a constant changed,
true for false), rebuilds, runs every test, and counts the mutants the tests kill.

    tools/mutation_check.py [--build DIR] [--count N] [--seed S]

The mutants are a seeded random sample of every place such a mutation applies in the POSIX build's
code (src/platform/windows is not built here). A mutant that does not compile is not counted.
Each file is restored after its mutant, also when the run is interrupted.
"""
import argparse
import random
import re
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# (pattern, replacement) pairs, each applied at one match at a time.
MUTATIONS = [
    (r"<=", "<"), (r">=", ">"), (r"(?<![<>=!])<(?![<=])", "<="), (r"(?<![<>=!-])>(?![>=])", ">="),
    (r"==", "!="), (r"!=", "=="), (r"&&", "||"), (r"\|\|", "&&"),
    (r"\btrue\b", "false"), (r"\bfalse\b", "true"),
    (r"(?<![\w.])([1-9]\d*)(?![\w.'])", None),  # a decimal constant moved by one
    (r"\+ 1\b", "- 1"), (r"- 1\b", "+ 1"),
]


def candidate_sites(files):
    sites = []
    for path in files:
        lines = path.read_text().splitlines(keepends=True)
        for number, line in enumerate(lines):
            code = line.split("//")[0]
            if code.lstrip().startswith(("#", "*")) or "static_assert" in code:
                continue
            for pattern, replacement in MUTATIONS:
                for match in re.finditer(pattern, code):
                    if "template" in code or "#include" in code:
                        continue
                    if replacement is None:
                        new = str(int(match.group(1)) + 1)
                    else:
                        new = replacement
                    sites.append((path, number, match.start(), match.end(), new))
    return sites


def run(command, timeout):
    try:
        return subprocess.run(command, cwd=ROOT, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=timeout).returncode
    except subprocess.TimeoutExpired:
        return "timeout"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--count", type=int, default=30)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    files = sorted(p for p in (ROOT / "src").rglob("*") if p.suffix in (".cpp", ".h")
                   and "windows" not in p.parts)
    sites = candidate_sites(files)
    random.Random(args.seed).shuffle(sites)
    killed = survived = 0
    survivors = []
    for path, number, start, end, new in sites:
        if killed + survived >= args.count:
            break
        original = path.read_text()
        lines = original.splitlines(keepends=True)
        line = lines[number]
        lines[number] = line[:start] + new + line[end:]
        where = "%s:%d: %s -> %s" % (path.relative_to(ROOT), number + 1, line[start:end], new)
        try:
            path.write_text("".join(lines))
            if run(["cmake", "--build", args.build, "-j", "2"], 600) != 0:
                continue  # does not compile: not a mutant of the behaviour
            result = run(["ctest", "--test-dir", args.build, "-j", "2", "--timeout", "120",
                          "--stop-on-failure"], 1800)
        finally:
            path.write_text(original)
        if result == 0:
            survived += 1
            survivors.append(where)
            print("SURVIVED", where, flush=True)
        else:
            killed += 1
            print("killed  ", where, flush=True)
    run(["cmake", "--build", args.build, "-j", "2"], 600)
    total = killed + survived
    print("%d of %d mutants killed (%.0f%%)" % (killed, total, 100.0 * killed / max(total, 1)))
    for where in survivors:
        print("  survived:", where)
    return 0


if __name__ == "__main__":
    sys.exit(main())
