#!/usr/bin/python3
"""The mutation check: do the tests catch the mistakes a developer could make?

The mutations are generated, not picked: the sources of tool/, formats/, mesh/ and files/ that
build on this host are read with clang (Debian's python3-clang-14), and every site of a fixed set
of operators gives one mutation each:

    comparison   < and <=, > and >= swapped; == and != swapped
    logical      && and || swapped
    constant     an integer literal one more than written
    flag         one operand dropped from a chain of |
    ignored      the condition of an if that calls a function forced false, the call still made
    negated      the condition of an if, a while or a ?: negated
    removed      an expression statement, a return without a value, a break or a continue, or a
                 whole if statement, taken out

One at a time, in a scratch copy of the project, a mutation is applied, the copy is built
incrementally with warnings as errors, and the tests run, the quick ones first, until one fails;
a mutation they all pass is tried last with the end-to-end cases under valgrind's memcheck, as
the memcheck preset runs them, in a second build of the copy made when first needed. Then the
file is restored. A mutation the tests fail on is caught; one they pass survived; one that does
not build is left out. A mutation that changes nothing a test could observe is listed
in scripts/equivalent-mutations.txt by its site (file, function, operator, the statement's text
and which of its like it is), with the reason, and is not run: a listing stays true as long as
its statement does.

    scripts/mutation-check.py                   every mutation
    scripts/mutation-check.py --sample N        N of them, drawn with the commit's sources as
                                                the seed
    scripts/mutation-check.py --workers 2       two copies side by side
    scripts/mutation-check.py --list            the mutations, without running them
    scripts/mutation-check.py --match TEXT      those whose site holds TEXT
    scripts/mutation-check.py --resume          all but those build/mutation/results.txt records
                                                as caught or not building

A mutation the tests do not catch yet is open work: scripts/surviving-mutations.txt lists each
by its site, with what a test would have to show. Run it as root, so that the tests that need
root run too. The check fails when a mutation survives that neither listing names, or when a
listing names a site that no longer exists; it names the listed survivors the tests now catch.
"""

import argparse
import collections
import hashlib
import json
import os
import queue
import random
import re
import shutil
import subprocess
import sys
import threading
import time

from clang import cindex

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WORK = os.path.join(ROOT, "build", "mutation")
EQUIVALENTS = os.path.join(ROOT, "scripts", "equivalent-mutations.txt")
SURVIVING = os.path.join(ROOT, "scripts", "surviving-mutations.txt")
FOLDERS = ("tool/", "formats/", "mesh/", "files/")
K = cindex.CursorKind
SWAPPED = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "==", "&&": "||",
           "||": "&&"}


def sources(commands):
    """The product's sources this host compiles, with their compile arguments."""
    out = {}
    for entry in commands:
        path = os.path.relpath(os.path.join(entry["directory"], entry["file"]), ROOT)
        if path.startswith(FOLDERS) and path.endswith(".cpp"):
            arguments = entry["command"].split()[1:]
            kept, skip = [], False
            for argument in arguments:
                if skip:
                    skip = False
                elif argument in ("-o", "-c"):
                    skip = argument == "-o"
                elif not argument.startswith(("-f", "-W")) and not argument.endswith(".cpp"):
                    kept.append(argument)
            out[path] = kept + ["-std=c++17"]
    return out


class Site:
    """Where mutations are made: the text of one file, and the offsets of its cursors."""

    def __init__(self, path, text):
        self.path, self.text = path, text

    def span(self, cursor):
        return cursor.extent.start.offset, cursor.extent.end.offset

    def inside(self, cursor):
        start, end = cursor.extent.start, cursor.extent.end
        return (start.file is not None and end.file is not None
                and os.path.samefile(start.file.name, os.path.join(ROOT, self.path))
                and os.path.samefile(end.file.name, os.path.join(ROOT, self.path))
                and 0 <= start.offset < end.offset <= len(self.text))


HEADED = (K.IF_STMT, K.WHILE_STMT, K.FOR_STMT, K.CXX_FOR_RANGE_STMT, K.SWITCH_STMT)


def statement_of(stack):
    """The innermost whole statement around the cursor at the top of `stack`: one that stands in
    a block, or the head of an if, a loop or a switch whose head holds the cursor."""
    for depth in range(len(stack) - 1, 0, -1):
        cursor, parent = stack[depth], stack[depth - 1]
        if cursor.kind in HEADED and depth + 1 < len(stack):
            return cursor
        if parent.kind in (K.COMPOUND_STMT, K.TRANSLATION_UNIT, K.NAMESPACE, K.STRUCT_DECL):
            return cursor
    return stack[-1]


def statement_text(text, cursor):
    """A statement's text on one line; for an if, a loop or a switch, its head alone."""
    end = cursor.extent.end.offset
    if cursor.kind in HEADED:
        children = list(cursor.get_children())
        body = children[1] if cursor.kind in (K.IF_STMT, K.SWITCH_STMT) and len(children) > 1 \
            else children[-1]
        end = body.extent.start.offset
    return squeeze(text[cursor.extent.start.offset:end])


def function_of(stack):
    for cursor in reversed(stack):
        if cursor.kind in (K.FUNCTION_DECL, K.CXX_METHOD, K.CONSTRUCTOR, K.FUNCTION_TEMPLATE):
            return cursor.spelling
    return "(file scope)"


def squeeze(text):
    return " ".join(text.split())


def literal_plus_one(token):
    match = re.fullmatch(r"(0[xX][0-9a-fA-F']+|0[0-7']*|[1-9][0-9']*)([uUlL]*)", token)
    if not match:
        return None
    digits, suffix = match.group(1).replace("'", ""), match.group(2)
    if digits.lower().startswith("0x"):
        return f"0x{int(digits, 16) + 1:X}{suffix}"
    if len(digits) > 1 and digits.startswith("0"):
        return f"0{int(digits, 8) + 1:o}{suffix}"
    return f"{int(digits) + 1}{suffix}"


def operator_between(site, cursor):
    """The operator token of a binary operator: the text between its two operands."""
    children = list(cursor.get_children())
    if len(children) != 2:
        return None
    left_end = children[0].extent.end.offset
    right_start = children[1].extent.start.offset
    if not left_end < right_start:
        return None
    return left_end, right_start, site.text[left_end:right_start].strip()


def or_operands(cursor, site):
    """The operands of a chain a | b | c, left to right."""
    found = operator_between(site, cursor)
    if found is None or found[2] != "|":
        return [cursor]
    left, right = cursor.get_children()
    return or_operands(left, site) + [right]


def generate(path, arguments, index):
    with open(os.path.join(ROOT, path), encoding="utf-8") as source:
        text = source.read()
    site = Site(path, text)
    unit = index.parse(os.path.join(ROOT, path), args=arguments)
    errors = [d for d in unit.diagnostics if d.severity >= cindex.Diagnostic.Error]
    if errors:
        sys.exit(f"{path}: clang cannot read it: {errors[0]}")
    mutations = []

    def add(stack, operator, start, end, replacement, what):
        context = statement_text(text, statement_of(stack))
        mutations.append({"file": path, "function": function_of(stack), "operator": operator,
                          "statement": context[:160], "what": what, "start": start, "end": end,
                          "to": replacement})

    def walk(cursor, stack, parent_is_or):
        stack = stack + [cursor]
        if cursor.kind != K.TRANSLATION_UNIT and not site.inside(cursor):
            return
        start, end = site.span(cursor) if cursor.kind != K.TRANSLATION_UNIT else (0, 0)
        if text.startswith("assert(", start):
            return  # a check of the caller's promise, compiled out of every build the tests run
        is_or = False
        if cursor.kind == K.BINARY_OPERATOR:
            found = operator_between(site, cursor)
            if found is not None:
                left_end, right_start, operator = found
                if operator in ("&&", "||"):
                    # Both sides bracketed, so that the swapped operator binds as written.
                    add(stack, "logical", start, end,
                        f"(({text[start:left_end]}) {SWAPPED[operator]} ({text[right_start:end]}))",
                        f"{operator} becomes {SWAPPED[operator]}")
                elif operator in SWAPPED:
                    add(stack, "comparison", left_end, right_start, f" {SWAPPED[operator]} ",
                        f"{operator} becomes {SWAPPED[operator]}")
                if operator == "|":
                    is_or = True
                    if not parent_is_or:
                        operands = or_operands(cursor, site)
                        for dropped, operand in enumerate(operands):
                            kept = [text[o.extent.start.offset:o.extent.end.offset]
                                    for i, o in enumerate(operands) if i != dropped]
                            dropped_text = squeeze(text[operand.extent.start.offset:
                                                        operand.extent.end.offset])
                            add(stack, "flag", start, end, "(" + " | ".join(kept) + ")",
                                f"{dropped_text} dropped")
        elif cursor.kind == K.INTEGER_LITERAL:
            token = text[start:end]
            plus_one = literal_plus_one(token)
            if plus_one is not None:
                add(stack, "constant", start, end, plus_one, f"{token} becomes {plus_one}")
        elif cursor.kind in (K.IF_STMT, K.WHILE_STMT, K.CONDITIONAL_OPERATOR):
            children = list(cursor.get_children())
            condition = next((c for c in children if c.kind.is_expression()), None)
            if condition is not None and site.inside(condition):
                c_start, c_end = site.span(condition)
                original = text[c_start:c_end]
                add(stack, "negated", c_start, c_end, f"!({original})",
                    f"condition {squeeze(original)} negated")
                calls = [c for c in condition.walk_preorder() if c.kind == K.CALL_EXPR
                         and c.referenced is not None and not c.spelling.startswith("operator")]
                if cursor.kind == K.IF_STMT and calls:
                    add(stack, "ignored", c_start, c_end,
                        f"(static_cast<void>({original}), false)",
                        f"the check of {calls[0].spelling}() ignored")
        if cursor.kind == K.COMPOUND_STMT:
            for child in cursor.get_children():
                if not site.inside(child) or text.startswith("assert(", child.extent.start.offset):
                    continue
                removable = (child.kind.is_expression() or child.kind in
                             (K.BREAK_STMT, K.CONTINUE_STMT, K.IF_STMT)
                             or (child.kind == K.RETURN_STMT and
                                 not list(child.get_children())))
                if removable:
                    c_start, c_end = site.span(child)
                    if child.kind == K.IF_STMT:
                        add(stack + [child], "removed", c_start, c_end, "{}", "if removed")
                    else:
                        add(stack + [child], "removed", c_start, c_end, "static_cast<void>(0)",
                            "statement removed")
        for child in cursor.get_children():
            walk(child, stack, is_or)

    walk(unit.cursor, [], False)
    # A site's key: its file, function, operator, statement and what changes, and which of the
    # mutations with that much in common it is, so that a key outlives moved lines.
    seen = collections.Counter()
    for m in mutations:
        base = f"{m['file']} | {m['function']} | {m['operator']} | {m['statement']} | {m['what']}"
        seen[base] += 1
        m["key"] = base + (f" | #{seen[base]}" if seen[base] > 1 else "")
    return mutations


def read_listing(path):
    """A listing of sites: blocks of a key line ("site: ...") and a reason ("why: ...")."""
    out = {}
    if not os.path.exists(path):
        return out
    key = None
    with open(path, encoding="utf-8") as listing:
        for number, line in enumerate(listing, 1):
            line = line.rstrip("\n")
            if not line.strip() or line.startswith("#"):
                continue
            if line.startswith("site: "):
                key = line[len("site: "):]
            elif line.startswith("why: ") and key is not None:
                out[key] = line[len("why: "):]
                key = None
            else:
                sys.exit(f"{os.path.basename(path)}:{number}: expected 'site: ...' then 'why: ...'")
    return out


def run(command, **options):
    return subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **options)


def copy_sources(source):
    """A scratch copy of the tracked files. Only files whose content changed are written, each
    with a fresh time, so that a build left from an earlier run is brought up to date."""
    files = subprocess.run(["git", "ls-files", "-z"], cwd=ROOT, check=True,
                           capture_output=True).stdout.decode().split("\0")
    for name in filter(None, files):
        original_path, copy = os.path.join(ROOT, name), os.path.join(source, name)
        with open(original_path, "rb") as original:
            content = original.read()
        if os.path.exists(copy):
            with open(copy, "rb") as existing:
                if existing.read() == content:
                    continue
        os.makedirs(os.path.dirname(copy), exist_ok=True)
        with open(copy, "wb") as written:
            written.write(content)
        shutil.copymode(original_path, copy)


# The tests in order of cost, each stage stopping at its first failure.
STAGES = [["-L", "unit|cli", "-j2"], ["-L", "system", "-E", "^EveryFileSystem"],
          ["-R", "^EveryFileSystem"]]
RESULTS = os.path.join(WORK, "results.txt")


def caught(build, env):
    for stage in STAGES:
        if run(["ctest", "--test-dir", build, "--stop-on-failure", "-Q", "--timeout", "60"]
               + stage, env=env).returncode != 0:
            return True
    return False


# The memcheck preset's settings, and what its end-to-end cases need built.
MEMCHECK = ["-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DBUILD_TESTING=ON", "-DGANTREL_WERROR=ON",
            "-DGANTREL_STATIC=OFF", "-DGANTREL_STATIC_CXX_RUNTIME=OFF", "-DGANTREL_MEMCHECK=ON"]
MEMCHECK_TARGETS = ["--target", "gantrel", "gantrel_cli_tests"]


def passes_under_memcheck(build, env):
    return run(["cmake", "--build", build] + MEMCHECK_TARGETS).returncode == 0 and run(
        ["ctest", "--test-dir", build, "--stop-on-failure", "-Q", "--timeout", "120", "-L", "cli",
         "-j2"], env=env).returncode == 0


def write_text(path, text):
    with open(path, "w", encoding="utf-8") as written:
        written.write(text)


def fate_under_memcheck(path, original, mutated, source, build, env):
    """The fate of a mutation the other tests pass. The memcheck build is made on first need, from
    the unmutated copy, which must pass; a failed build then counts as a failure of the cases."""
    if not os.path.exists(os.path.join(build, "CMakeCache.txt")):
        write_text(path, original)
        ready = (run(["cmake", "-S", source, "-B", build] + MEMCHECK).returncode == 0
                 and passes_under_memcheck(build, env))
        write_text(path, mutated)
        if not ready:
            print("the unmutated copy fails its end-to-end cases under memcheck", flush=True)
            os._exit(1)
    return "survived" if passes_under_memcheck(build, env) else "caught"


def prepare(worker):
    """Worker `worker`'s copy, built; its source and build folders."""
    source = os.path.join(WORK, f"source-{worker}")
    build = os.path.join(WORK, f"build-{worker}")
    copy_sources(source)
    configure = ["cmake", "-S", source, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                 "-DBUILD_TESTING=ON", "-DGANTREL_WERROR=ON", "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON"]
    if run(configure).returncode != 0 or run(["cmake", "--build", build]).returncode != 0:
        sys.exit("the unmutated copy does not build")
    return source, build


def try_mutation(m, source, build):
    path = os.path.join(source, m["file"])
    with open(path, encoding="utf-8") as original_file:
        original = original_file.read()
    mutated = original[:m["start"]] + m["to"] + original[m["end"]:]
    write_text(path, mutated)
    # The tests' scratch folders go to one of this copy's own, emptied after each mutation: a run
    # ended at its time limit never removes its own. Under /tmp, so that the user nobody can reach
    # it wherever the project is.
    scratch = os.path.join("/tmp", "gantrel-mutation-" + os.path.basename(build))
    os.makedirs(scratch, exist_ok=True)
    os.chmod(scratch, 0o755)
    env = dict(os.environ, TMPDIR=scratch)
    if run(["cmake", "--build", build]).returncode != 0:
        fate = "does not build"
    else:
        fate = "caught" if caught(build, env) else "survived"
        # A test that timed out leaves the runs it started in groups of their own, and a mutation
        # that loops would keep them busy: every program of this copy is ended.
        run(["pkill", "-KILL", "-f", re.escape(build + "/")])
        if fate == "survived":
            fate = fate_under_memcheck(path, original, mutated, source, build + "-memcheck", env)
    shutil.rmtree(scratch, ignore_errors=True)
    write_text(path, original)
    return fate


def main():
    parser = argparse.ArgumentParser(description="The mutation check.")
    parser.add_argument("--sample", help="how many mutations to try, drawn with the commit as "
                        "the seed; 'all' or a number")
    parser.add_argument("--list", action="store_true", help="list the mutations and stop")
    parser.add_argument("--match", help="only the mutations whose key holds this text")
    parser.add_argument("--resume", action="store_true", help="skip the mutations that "
                        "build/mutation/results.txt records as caught or not building")
    parser.add_argument("--workers", type=int, default=1,
                        help="how many copies try mutations side by side")
    options = parser.parse_args()

    # Listing needs only the compile commands, which the ci preset's build has; trying needs
    # built copies, and takes its commands from the first.
    listed = os.path.join(ROOT, "build", "ci", "compile_commands.json")
    if options.list and os.path.exists(listed):
        builds, commands_path, copy = [], listed, ROOT
    else:
        builds = [prepare(worker) for worker in range(options.workers)]
        commands_path = os.path.join(builds[0][1], "compile_commands.json")
        copy = builds[0][0]
    with open(commands_path, encoding="utf-8") as commands:
        units = sources([dict(entry, directory=entry["directory"].replace(copy, ROOT),
                              file=entry["file"].replace(copy, ROOT),
                              command=entry["command"].replace(copy, ROOT))
                         for entry in json.load(commands)])
    index = cindex.Index.create()
    mutations = []
    for path in sorted(units):
        mutations += generate(path, units[path], index)
    equivalents = read_listing(EQUIVALENTS)
    surviving = read_listing(SURVIVING)
    keys = {m["key"] for m in mutations}
    stale = [key for key in list(equivalents) + list(surviving) if key not in keys]
    if options.match:
        mutations = [m for m in mutations if options.match in m["key"]]
    total = len(mutations)
    if options.sample not in (None, "all"):
        # Seeded from the commit's trees of the mutated folders: the sample moves with the code
        # under test, and stays put while only the tests or the listings change.
        trees = subprocess.run(["git", "rev-parse"] + [f"HEAD:{f.rstrip('/')}" for f in FOLDERS],
                               cwd=ROOT, capture_output=True, text=True).stdout.split()
        seed = int(hashlib.sha256(" ".join(trees).encode()).hexdigest()[:16], 16)
        count = min(int(options.sample), len(mutations))
        mutations = sorted(random.Random(seed).sample(mutations, count),
                           key=lambda m: (m["file"], m["start"]))
        print(f"a sample of {count} of the {total} mutations, seeded from the commit's "
              f"{', '.join(FOLDERS)}")
    if options.list:
        for m in mutations:
            mark = ("equivalent" if m["key"] in equivalents else
                    "surviving" if m["key"] in surviving else "")
            print(f"{mark:>10}  {m['key']}")
        print(f"{len(mutations)} mutations, {len(equivalents)} listed as equivalent, "
              f"{len(surviving)} as surviving")
        return 0
    if os.geteuid() != 0:
        print("note: not root, so the tests that need root skip and catch nothing")
    if run(["ctest", "--test-dir", builds[0][1], "--stop-on-failure", "-Q"]).returncode != 0:
        sys.exit("the unmutated copy fails its tests")

    fates = collections.Counter()
    known = {}
    if options.resume and os.path.exists(RESULTS):
        with open(RESULTS, encoding="utf-8") as results:
            for line in results:
                fate, _, key = line.rstrip("\n").partition("  site: ")
                known[key] = fate.strip()
        # Survivors are tried again, since the tests may have grown.
        known = {key: fate for key, fate in known.items() if fate != "survived"}
    # Every fate is added to the record; the last one of a site counts.
    os.makedirs(WORK, exist_ok=True)
    results = open(RESULTS, "a", encoding="utf-8")
    pending = queue.Queue()
    for m in mutations:
        if m["key"] in equivalents:
            fates["equivalent"] += 1
        elif m["key"] in known:
            fates[known[m["key"]]] += 1
        else:
            pending.put(m)
    lock = threading.Lock()
    unlisted, caught_though_listed = [], []
    start = time.monotonic()

    def work(source, build):
        while True:
            try:
                m = pending.get_nowait()
            except queue.Empty:
                return
            fate = try_mutation(m, source, build)
            with lock:
                fates[fate] += 1
                results.write(f"{fate:>14}  site: {m['key']}\n")
                results.flush()
                if fate == "survived" and m["key"] not in surviving:
                    unlisted.append(m["key"])
                    print(f"      survived  site: {m['key']}", flush=True)
                elif fate == "caught" and m["key"] in surviving:
                    caught_though_listed.append(m["key"])
                done = sum(fates.values())
                if done % 50 == 0:
                    print(f"{done} of {len(mutations)}", flush=True)

    workers = [threading.Thread(target=work, args=build) for build in builds]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    results.close()
    tried = fates["caught"] + fates["survived"]
    print(f"\nscore: {fates['caught']} of {tried} mutations caught ({fates['equivalent']} listed "
          f"as equivalent, {fates['does not build']} that do not build left out), "
          f"in {time.monotonic() - start:.0f} s")
    if fates["survived"] > len(unlisted):
        print(f"{fates['survived'] - len(unlisted)} survived that "
              "scripts/surviving-mutations.txt lists as not caught yet")
    for key in caught_though_listed:
        print(f"caught now, so no longer to be listed as surviving: {key}")
    for key in stale:
        print(f"stale listing (no such site): {key}")
    return 1 if unlisted or stale else 0


if __name__ == "__main__":
    sys.exit(main())
