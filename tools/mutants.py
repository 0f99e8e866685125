#!/usr/bin/env python3
"""Applies one-line mutants to the program, one at a time, and runs ctest against each: a
mutant that no test kills shows a gap in the tests.

    tools/mutants.py                     every mutant, against the tests of HEAD
    tools/mutants.py --tests REF         ... against the tests as they were at REF
    tools/mutants.py --only 3,7          only these mutants (numbers as listed)
    tools/mutants.py --list              list the mutants and stop

The work happens in a temporary worktree of HEAD (tests/ taken from REF when asked), built as
tools/test.sh builds it; run tools/test.sh once first so that everything is installed. A
mutant whose program does not build counts as neither killed nor survived. Exits 1 when a
mutant survives.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

# (file, the line as it stands (a unique part of it), the mutated part, what it breaks)
MUTANTS = [
]


def run(argv, cwd, log, timeout=None):
    with open(log, "a") as out:
        try:
            return subprocess.run(argv, cwd=cwd, stdout=out, stderr=subprocess.STDOUT,
                                  stdin=subprocess.DEVNULL, timeout=timeout).returncode
        except subprocess.TimeoutExpired:
            return -1


def build(tree, log):
    """Builds the three targets and the native tests the way tools/test.sh does."""
    steps = [["cmake", "--build", "--preset", "win32"], ["cmake", "--build", "--preset", "win64"],
             ["cmake", "--build", "--preset", "native"]]
    return all(run(step, tree, log) == 0 for step in steps)


def configure(tree, log):
    win64 = os.path.join(tree, "build", "win64", "Dravik.exe")
    steps = [["cmake", "--preset", "win32"], ["cmake", "--preset", "win64"],
             ["cmake", "--preset", "native", "-DBUILD_TESTING=ON", f"-DDRAVIK_WIN64_EXE={win64}"]]
    return all(run(step, tree, log) == 0 for step in steps) and build(tree, log)


def tests_pass(tree, log):
    ctest = ["ctest", "--test-dir", "build/native", "-j", str(os.cpu_count() or 2),
             "--stop-on-failure", "--timeout", "900"]
    return run(ctest, tree, log, timeout=3600) == 0


def apply(tree, mutant):
    path, original, mutated, _ = mutant
    full = os.path.join(tree, path)
    with open(full) as f:
        text = f.read()
    if text.count(original) != 1:
        sys.exit(f"mutant of {path}: {original!r} occurs {text.count(original)} times")
    with open(full, "w") as f:
        f.write(text.replace(original, mutated))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tests", help="take tests/ from this commit")
    parser.add_argument("--only", help="comma list of mutant numbers")
    parser.add_argument("--list", action="store_true")
    options = parser.parse_args()
    chosen = range(1, len(MUTANTS) + 1)
    if options.only:
        chosen = [int(n) for n in options.only.split(",")]
    if options.list:
        for n in chosen:
            path, original, mutated, what = MUTANTS[n - 1]
            print(f"{n:3} {path}: {what}")
        return 0

    root = subprocess.run(["git", "rev-parse", "--show-toplevel"], capture_output=True,
                          text=True, check=True).stdout.strip()
    work = tempfile.mkdtemp(prefix="dravik-mutants-")
    tree = os.path.join(work, "tree")
    log = os.path.join(work, "log.txt")
    subprocess.run(["git", "-C", root, "worktree", "add", "--detach", tree, "HEAD"], check=True,
                   stdout=subprocess.DEVNULL)
    survivors, killed, stillborn = [], [], []
    try:
        if options.tests:
            shutil.rmtree(os.path.join(tree, "tests"))
            subprocess.run(["git", "-C", tree, "checkout", options.tests, "--", "tests"],
                           check=True)
        print(f"building in {tree} (log: {log})", flush=True)
        if not configure(tree, log) or not tests_pass(tree, log):
            print("the unmutated program does not build or pass its tests", file=sys.stderr)
            return 2
        for n in chosen:
            mutant = MUTANTS[n - 1]
            apply(tree, mutant)
            if not build(tree, log):
                outcome, bucket = "does not build", stillborn
            elif tests_pass(tree, log):
                outcome, bucket = "SURVIVED", survivors
            else:
                outcome, bucket = "killed", killed
            bucket.append(n)
            print(f"{n:3} {outcome:14} {mutant[0]}: {mutant[3]}", flush=True)
            subprocess.run(["git", "-C", tree, "checkout", "--", mutant[0]], check=True)
    finally:
        subprocess.run(["git", "-C", root, "worktree", "remove", "--force", tree],
                       stdout=subprocess.DEVNULL)
    print(f"{len(killed)} killed, {len(survivors)} survived {survivors or ''}, "
          f"{len(stillborn)} did not build")
    shutil.rmtree(work, ignore_errors=True)
    return 1 if survivors else 0


if __name__ == "__main__":
    sys.exit(main())
