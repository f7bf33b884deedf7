#!/usr/bin/env python3
"""Measures whether the tests catch real faults: applies each mutation of a list to the
source tree, one at a time, rebuilds, runs the tests, and counts the mutations that make a
test fail ("killed") against those that pass ("survived"). The tree is restored after each
mutation, also when the run is interrupted.

usage: tools/mutate.py [--build DIR] [--list FILE] [--ctest ARGS] [--only NAME] [--check]
                       [--root DIR] [--no-baseline] [--targets NAMES] [--skip-unit]
                       [--run COMMAND ... [--target TARGET ...]]
  --only   only the mutations whose name matches this regular expression
  --check  only report the blocks whose text is no longer found exactly once
  --build  a configured build folder (default build/)
  --list   the mutation list (default tools/mutations.txt)
  --ctest  arguments for ctest, e.g. "-L unit" (default: every test but the long proofs)
  --root   the source tree to mutate (default: the one this tool is in), to run the same
           tool over another checkout, e.g. an older one to compare with
  --no-baseline  skip the first run of the tests on the unmutated tree (when it has just
           passed them)
  --targets  build only these targets, e.g. "power_cut wb_fs_recorder" (default: all)
  --skip-unit  do not run the unit tier first: the --ctest tests alone must catch each fault
  --run    instead of the tests, run each COMMAND (a shell command in the build folder) on
           every mutated tree, all at once, and count the faults each one catches on its own:
           to compare a long and a short run of a proof, e.g.
             --run "tests/proofs/soak --seconds 60" --run "tests/proofs/soak --seconds 20"
  --target build only these targets after each mutation (with --run)

The list holds blocks like

  === a short name of the fault
  file: src/link/frame.cpp
  --- exactly this text, found once in the file ...
      if (buf[position] != byte) {
  +++ ... becomes this
      if (buf[position] == byte) {

A mutation whose text is not found exactly once, or whose tree does not build, is reported
and left out of the figure.
"""
import argparse
import os
import re
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def parse(path):
    mutations, current, section = [], None, None
    with open(path, encoding="utf-8") as f:
        for raw in f:
            line = raw.rstrip("\n")
            if line.startswith("=== "):
                current = {"name": line[4:].strip(), "file": None, "old": [], "new": []}
                mutations.append(current)
                section = None
            elif current is None or line.startswith("#"):
                continue
            elif line.startswith("file: "):
                current["file"] = line[6:].strip()
            elif line.startswith("---"):
                section = "old"
            elif line.startswith("+++"):
                section = "new"
            elif section:
                current[section].append(line)
    for m in mutations:
        m["old"] = "\n".join(m["old"]).strip("\n")
        m["new"] = "\n".join(m["new"]).strip("\n")
    return mutations


def run(cmd, cwd, timeout):
    try:
        return subprocess.run(cmd, cwd=cwd, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, timeout=timeout).returncode
    except subprocess.TimeoutExpired:
        return -1


def check(mutations):
    stale = 0
    for m in mutations:
        try:
            with open(os.path.join(ROOT, m["file"] or ""), encoding="utf-8") as f:
                found = f.read().count(m["old"]) if m["old"] else 0
        except OSError:
            found = 0
        if found != 1:
            stale += 1
            print("text found %d times: %s (%s)" % (found, m["name"], m["file"]))
    print("%d mutations, %d to bring up to date" % (len(mutations), stale))
    return 1 if stale else 0


def build(args, timeout):
    targets = ["--target"] + args.target if args.target else []
    return run(["cmake", "--build", args.build] + targets, ROOT, timeout)


def compare_runs(args):
    """Each mutation applied alone; every command of --run on the mutated tree, side by side
    (they are proofs that run for a given wall-clock time, not for processor time); a table of
    the faults each command catches."""
    os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")

    def run_all():
        procs = [subprocess.Popen(c, shell=True, cwd=args.build, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL) for c in args.run]
        return [p.wait() != 0 for p in procs]

    if build(args, 3600) != 0:
        sys.exit("the unmutated tree does not build")
    if any(run_all()):
        sys.exit("a command fails on the unmutated tree")
    caught = [0] * len(args.run)
    total = 0
    for m in parse(args.list):
        if args.only and not re.search(args.only, m["name"]):
            continue
        path = os.path.join(ROOT, m["file"] or "")
        with open(path, encoding="utf-8") as f:
            original = f.read()
        if not m["old"] or original.count(m["old"]) != 1:
            print("left out: %s (text found %d times)" % (m["name"], original.count(m["old"])))
            continue
        try:
            with open(path, "w", encoding="utf-8") as f:
                f.write(original.replace(m["old"], m["new"]))
            if build(args, 1800) != 0:
                print("left out: %s (does not build)" % m["name"])
                continue
            failed = run_all()
        finally:
            with open(path, "w", encoding="utf-8") as f:
                f.write(original)
            os.utime(path)
        total += 1
        caught = [c + f for c, f in zip(caught, failed)]
        print("%s  %s" % ("  ".join("killed  " if f else "SURVIVED" for f in failed), m["name"]),
              flush=True)
    build(args, 3600)
    for command, c in zip(args.run, caught):
        print("%d of %d mutations killed by: %s" % (c, total, command))
    return 0


def set_root(root):
    global ROOT
    ROOT = os.path.abspath(root)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--root", default=ROOT)
    p.add_argument("--no-baseline", action="store_true")
    p.add_argument("--build", default=None)
    p.add_argument("--list", default=None)
    p.add_argument("--ctest", default="-E soak|kill_proof|fuzz|e2e_locales")
    p.add_argument("--only")
    p.add_argument("--check", action="store_true")
    p.add_argument("--targets", help="build only these targets (space-separated)")
    p.add_argument("--skip-unit", action="store_true")
    p.add_argument("--run", action="append", default=[])
    p.add_argument("--target", action="append", default=[])
    args = p.parse_args()
    set_root(args.root)
    args.build = args.build or os.path.join(ROOT, "build")
    args.list = args.list or os.path.join(ROOT, "tools", "mutations.txt")
    if args.check:
        sys.exit(check(parse(args.list)))
    if args.run:
        sys.exit(compare_runs(args))
    # A killed mutation needs one failing test: the run stops there.
    env_ctest = ["ctest", "-j2", "--timeout", "300", "--stop-on-failure"] + args.ctest.split()
    unit_ctest = ["ctest", "-L", "unit", "--stop-on-failure"]
    os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")
    os.environ.setdefault("WEIGHBRIDGE_NOISE_SECONDS", "5")

    build = ["cmake", "--build", args.build]
    if args.targets:
        build += ["--target"] + args.targets.split()
    if run(build, ROOT, 3600) != 0:
        sys.exit("the unmutated tree does not build")
    if not args.no_baseline and run(env_ctest, args.build, 3600) != 0:
        sys.exit("the unmutated tree fails its tests")

    killed, survived, left_out = [], [], []
    for m in parse(args.list):
        if args.only and not re.search(args.only, m["name"]):
            continue
        path = os.path.join(ROOT, m["file"] or "")
        try:
            with open(path, encoding="utf-8") as f:
                original = f.read()
        except OSError:
            left_out.append((m["name"], "no file %s" % m["file"]))
            continue
        if not m["old"] or original.count(m["old"]) != 1:
            left_out.append((m["name"], "text found %d times" % original.count(m["old"])))
            continue
        start = time.time()
        try:
            with open(path, "w", encoding="utf-8") as f:
                f.write(original.replace(m["old"], m["new"]))
            if run(build, ROOT, 1800) != 0:
                left_out.append((m["name"], "does not build"))
                continue
            # The fast unit tier first: most faults in the cores fail there within seconds.
            failed = (not args.skip_unit and run(unit_ctest, args.build, 600) != 0) or run(
                env_ctest, args.build, 3600) != 0
        finally:
            with open(path, "w", encoding="utf-8") as f:
                f.write(original)
            os.utime(path)
        (killed if failed else survived).append(m["name"])
        print("%-8s %5.0f s  %s" % ("killed" if failed else "SURVIVED", time.time() - start,
                                     m["name"]), flush=True)

    run(build, ROOT, 3600)  # back to the real tree's binaries
    total = len(killed) + len(survived)
    for name, why in left_out:
        print("left out: %s (%s)" % (name, why))
    for name in survived:
        print("survived: %s" % name)
    if total:
        print("%d of %d mutations killed (%.0f %%)" % (len(killed), total,
                                                       100.0 * len(killed) / total))


if __name__ == "__main__":
    main()
