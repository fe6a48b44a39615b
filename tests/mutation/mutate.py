#!/usr/bin/env python3
"""Helper of run-mutations.sh: reads mutations.txt, applies one mutation, picks the tests that
can see a file, reads ctest's list of failed tests, and summarises a results file.

  mutate.py list MUTATIONS [ID...]          id, file and test groups, one mutation a line
  mutate.py apply MUTATIONS ID SRC          applies ID in the tree SRC; exit 3: does not apply
  mutate.py tests BUILD GROUP...            ctest's numbers of the groups' tests, for ctest -I
  mutate.py names BUILD                     every test with its group, one a line
  mutate.py rerun CTEST_LOG                 ctest -I numbers of the failed tests to run again
  mutate.py failed CTEST_LOG [RERUN_LOG]    killers, then tests that passed on the rerun
  mutate.py report RESULTS [TESTS]          kill matrix and summary as Markdown
"""
import collections
import json
import os
import re
import subprocess
import sys

# Test groups, by the executable that runs the tests.
GROUPS = {
    "os": ["os_tests"],
    "engine": ["capture_tests"],
    "cli": ["cli_tests"],
    "reliability": ["reliability_tests"],
    "window": ["app_tests", "sudo_window_tests"],
    "folder": ["folder_tests"],
    "platform": ["platform_tests"],
}
# The groups that can see a file, by its top folder. The dialog templates in res/ also make
# the folder chooser, so res/ runs the folder tests as well.
BY_FOLDER = {
    "capture": ["engine", "cli", "reliability"],
    "os": ["os", "engine", "cli", "reliability", "platform", "folder", "window"],
    "cli": ["cli", "reliability"],
    "app": ["window"],
    "res": ["window", "folder"],
    "folder": ["folder"],
    "platform": ["platform", "folder", "window"],
}
FIELDS = ("id", "file", "from", "to", "why", "tests")


def parse(path):
    mutations, current, last = [], {}, None
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if line.startswith("#"):
                continue
            if not line.strip():
                if current:
                    mutations.append(current)
                current, last = {}, None
                continue
            if line.startswith("|"):
                if last is None:
                    sys.exit(f"{path}:{number}: '|' line without a field above it")
                current[last] += "\n" + line[1:]
                continue
            key, sep, value = line.partition(":")
            if not sep or key not in FIELDS:
                sys.exit(f"{path}:{number}: expected one of {', '.join(FIELDS)}")
            current[key], last = value.strip(), key
    if current:
        mutations.append(current)
    seen = set()
    for m in mutations:
        missing = [k for k in ("id", "file", "from", "to", "why") if k not in m]
        if missing or not m["from"]:
            sys.exit(f"{path}: mutation {m.get('id', '?')}: missing {', '.join(missing) or 'from'}")
        if m["id"] in seen:
            sys.exit(f"{path}: mutation {m['id']} given twice")
        seen.add(m["id"])
        m["groups"] = m["tests"].split() if m.get("tests") else \
            BY_FOLDER.get(m["file"].split("/")[0], [])
        if not m["groups"] or any(g not in GROUPS for g in m["groups"]):
            sys.exit(f"{path}: mutation {m['id']}: no known test groups")
    return mutations


def cmd_list(path, *ids):
    mutations = parse(path)
    known = {m["id"] for m in mutations}
    for wanted in ids:
        if wanted not in known:
            sys.exit(f"unknown mutation: {wanted}")
    for m in mutations:
        if not ids or m["id"] in ids:
            print(f"{m['id']}\t{m['file']}\t{' '.join(m['groups'])}")


def cmd_apply(path, wanted, src):
    m = next(m for m in parse(path) if m["id"] == wanted)
    target = os.path.join(src, m["file"])
    try:
        with open(target, encoding="utf-8", newline="") as f:
            text = f.read()
    except OSError as e:
        print(f"{m['file']}: {e.strerror}")
        return 3
    count = text.count(m["from"])
    if count != 1:
        print(f"{m['file']}: the snippet occurs {count} times")
        return 3
    with open(target, "w", encoding="utf-8", newline="") as f:
        f.write(text.replace(m["from"], m["to"]))
    return 0


def ctest_tests(build):
    out = subprocess.run(["ctest", "--test-dir", build, "--show-only=json-v1"],
                         check=True, capture_output=True, text=True).stdout
    group_of = {exe: g for g, exes in GROUPS.items() for exe in exes}
    for number, test in enumerate(json.loads(out)["tests"], 1):
        exe = os.path.basename(test.get("command", ["?"])[0])
        yield number, test["name"], group_of.get(exe)


def cmd_tests(build, *groups):
    numbers = [str(n) for n, _, g in ctest_tests(build) if g in groups]
    if not numbers:
        sys.exit(f"no tests in groups {' '.join(groups)}")
    print("0,0,0," + ",".join(numbers))


def cmd_names(build):
    for _, name, group in ctest_tests(build):
        if group:
            print(f"{group}\t{name}")


def ctest_failures(log):
    """(number, name, reason) of each test in ctest's closing list of failed tests."""
    failed, listing = [], False
    with open(log, encoding="utf-8", errors="replace") as f:
        for line in f:
            if line.startswith("The following tests FAILED:"):
                listing = True
                continue
            hit = re.match(r"\s*(\d+) - (\S+) \((.+)\)\s*$", line) if listing else None
            if hit:
                failed.append(hit.groups())
            elif listing and line.strip():
                listing = False
    return failed


def cmd_rerun(log):
    # A second run of the tests that failed, except those that timed out: a timeout costs
    # too much to repeat and is never a flake of a few seconds.
    numbers = [n for n, _, why in ctest_failures(log) if why != "Timeout"]
    if numbers:
        print("0,0,0," + ",".join(numbers))


def cmd_failed(log, rerun=None):
    # Line 1: the killers, NAME or NAME(timeout); line 2: tests that failed once and passed on
    # the rerun, which kill nothing. Without a rerun log every failure counts.
    again = {name for _, name, _ in ctest_failures(rerun)} if rerun else None
    killers, flaky = [], []
    for _, name, why in ctest_failures(log):
        if why == "Timeout":
            killers.append(name + "(timeout)")
        elif again is None or name in again:
            killers.append(name)
        else:
            flaky.append(name)
    print(",".join(killers) or "-")
    print(",".join(flaky) or "-")


def cmd_report(results, tests=None):
    rows = []
    with open(results, encoding="utf-8") as f:
        header = f.readline().rstrip("\n").split("\t")
        for line in f:
            if line.strip():
                rows.append(dict(zip(header, line.rstrip("\n").split("\t"))))
    group_of = {}
    if tests and os.path.exists(tests):
        with open(tests, encoding="utf-8") as f:
            for line in f:
                group, name = line.rstrip("\n").split("\t")
                group_of[name] = group

    def killers(row):
        return [k.replace("(timeout)", "") for k in row["killers"].split(",")] \
            if row["killers"] != "-" else []

    kills, alone = collections.Counter(), collections.Counter()
    ran = set()
    for row in rows:
        groups = row["groups"].split(",")
        ran.update(name for name, group in group_of.items() if group in groups)
        k = killers(row)
        kills.update(k)
        if len(k) == 1:
            alone[k[0]] += 1
    status = collections.Counter(row["status"] for row in rows)

    def shown(row):
        # Instances of one parameterised test count as one name here; the TSV has them all.
        names = list(dict.fromkeys(re.sub(r"/[^/]*$", "/*", k) if k.count("/") == 2 else k
                                   for k in row["killers"].split(",")))
        more = f" +{len(names) - 5} more" if len(names) > 5 else ""
        return ", ".join(names[:5]) + more

    print("| id | file | status | killed by |")
    print("|---|---|---|---|")
    for row in rows:
        note = f" (flaky, passed on the rerun: {row['flaky']})" if row.get("flaky", "-") != "-" else ""
        print(f"| {row['id']} | {row['file']} | {row['status']} | {shown(row)}{note} |")
    print()
    print("Counts: " + ", ".join(f"{s} {status[s]}" for s in
                                 ("killed", "survived", "does-not-apply", "build-error")))
    print()
    print("Survivors: " + (" ".join(r["id"] for r in rows if r["status"] == "survived") or "none"))
    print()
    flaky = collections.Counter(n for row in rows if row.get("flaky", "-") != "-"
                                for n in row["flaky"].split(","))
    print("Flaky (failed, then passed on the rerun): " +
          (", ".join(f"{n} {c}x" for n, c in sorted(flaky.items())) or "none"))
    print()
    print("Per test: mutations killed, and killed by no other test.")
    print()
    print("| group | test | kills | kills alone |")
    print("|---|---|---|---|")
    order = list(GROUPS)
    for name in sorted(set(kills) | ran,
                       key=lambda n: (order.index(group_of[n]) if n in group_of else 99, n)):
        print(f"| {group_of.get(name, '?')} | {name} | {kills[name]} | {alone[name]} |")


def main(argv):
    commands = {"list": cmd_list, "apply": cmd_apply, "tests": cmd_tests, "names": cmd_names,
                "failed": cmd_failed, "rerun": cmd_rerun, "report": cmd_report}
    if len(argv) < 2 or argv[1] not in commands:
        sys.exit(__doc__)
    return commands[argv[1]](*argv[2:]) or 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
