#!/usr/bin/env python3
"""The mutation check: do the tests catch the mistakes a developer could make?

Each mutation in scripts/mutations.txt is one small, plausible mistake: in one file, one piece of
text that occurs there exactly once, replaced by another. One at a time, in a scratch copy of the
project, a mutation is applied, the copy is built incrementally with warnings as errors and the
whole test suite runs; then the file is restored. A mutation the suite fails on is caught; one it
passes survived. The check fails when a mutation survives, when its text no longer occurs exactly
once (so that the list cannot silently rot as the code changes), or when a mutation does not
build (the list holds only mistakes that compile). Mutations known to change nothing a test could
observe are listed with "equivalent:" and a reason, and are only checked for their text.

    scripts/mutation-check.py [NAME_PART]    (only the mutations whose name holds NAME_PART)

Run it as root, so that the tests that need root run too.
"""

import os
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WORK = os.path.join(ROOT, "build", "mutation")
SOURCE = os.path.join(WORK, "source")
BUILD = os.path.join(WORK, "build")


def parse(path):
    """The mutations: dictionaries with name, file, from, to and, for equivalent ones, why."""
    mutations, current, last = [], {}, None
    with open(path, encoding="utf-8") as listing:
        for number, line in enumerate(listing, 1):
            line = line.rstrip("\n")
            if line.startswith("#"):
                continue
            if not line.strip():
                if current:
                    mutations.append(current)
                current = {}
                continue
            key, separator, value = line.partition(": ")
            if separator and key in ("name", "file", "from", "to", "equivalent"):
                current[key] = value
                current.setdefault("line", number)
                last = key
            elif current and last in ("from", "to"):
                current[last] += "\n" + line  # a text of several lines goes on as it stands
            else:
                sys.exit(f"mutations.txt:{number}: expected 'name|file|from|to|equivalent: ...'")
    if current:
        mutations.append(current)
    for m in mutations:
        for key in ("name", "file", "from", "to"):
            if key not in m:
                sys.exit(f"mutations.txt:{m['line']}: the mutation has no '{key}'")
    return mutations


def run(command, **options):
    return subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **options)


def main():
    mutations = parse(os.path.join(ROOT, "scripts", "mutations.txt"))
    if len(sys.argv) > 1:
        mutations = [m for m in mutations if sys.argv[1] in m["name"]]
    if os.geteuid() != 0:
        print("note: not root, so the tests that need root skip and catch nothing")

    # A scratch copy of the tracked files. Only files whose content changed are written, each
    # with a fresh time, so that a build left from an earlier run is brought up to date.
    files = subprocess.run(["git", "ls-files", "-z"], cwd=ROOT, check=True,
                           capture_output=True).stdout.decode().split("\0")
    for name in filter(None, files):
        source, copy = os.path.join(ROOT, name), os.path.join(SOURCE, name)
        with open(source, "rb") as original:
            content = original.read()
        if os.path.exists(copy):
            with open(copy, "rb") as existing:
                if existing.read() == content:
                    continue
        os.makedirs(os.path.dirname(copy), exist_ok=True)
        with open(copy, "wb") as written:
            written.write(content)
        shutil.copymode(source, copy)
    configure = ["cmake", "-S", SOURCE, "-B", BUILD, "-DCMAKE_BUILD_TYPE=Release",
                 "-DBUILD_TESTING=ON", "-DGANTREL_WERROR=ON"]
    if run(configure).returncode != 0 or run(["cmake", "--build", BUILD]).returncode != 0:
        sys.exit("the unmutated copy does not build")
    test = ["ctest", "--test-dir", BUILD, "--stop-on-failure", "-Q"]
    if run(test).returncode != 0:
        sys.exit("the unmutated copy fails its tests")

    fates = {"caught": 0, "survived": 0, "stale": 0, "does not build": 0, "equivalent": 0}
    start = time.monotonic()
    for m in mutations:
        path = os.path.join(SOURCE, m["file"])
        with open(path, encoding="utf-8") as source:
            original = source.read()
        occurrences = original.count(m["from"])
        if occurrences != 1:
            fate = "stale"
            detail = f"its text occurs {occurrences} times in {m['file']}"
        elif "equivalent" in m:
            fate, detail = "equivalent", m["equivalent"]
        else:
            with open(path, "w", encoding="utf-8") as source:
                source.write(original.replace(m["from"], m["to"]))
            if run(["cmake", "--build", BUILD]).returncode != 0:
                fate, detail = "does not build", ""
            else:
                caught = run(test).returncode != 0
                fate, detail = ("caught", "") if caught else ("survived", "")
            with open(path, "w", encoding="utf-8") as source:
                source.write(original)
        fates[fate] += 1
        print(f"{fate:>14}  {m['file']}: {m['name']}" + (f" ({detail})" if detail else ""),
              flush=True)

    # Leave the copy built as it was, for the next run.
    run(["cmake", "--build", BUILD])
    tried = fates["caught"] + fates["survived"]
    print(f"\nscore: {fates['caught']} of {tried} mutations caught"
          f" ({fates['equivalent']} equivalent, left out), in {time.monotonic() - start:.0f} s")
    failed = fates["survived"] + fates["stale"] + fates["does not build"]
    print(f"{fates['caught']} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
