#!/usr/bin/env python3
"""Power cuts at every step: the real window (power_cut) runs scenarios of rows and stores in a
folder while the file-system recorder (fs_recorder, loaded with LD_PRELOAD) logs every call
that changes the folder. For every prefix of a scenario's calls, this script builds the disks
a power cut right after that call could leave, starts the window on each (the journal's rows
taken back), stores, starts once more, and checks the day's workbook.

What survives a cut:
  - Data written to a file is on the disk once a sync of that file (fsync, fdatasync) returned
    0. Writes not yet synced may be all there, none there, or torn (every write before the
    last one there and half of the last one); and, the disk keeping no order among them, the
    last one there without the ones before it. A sync that failed leaves the writes it was to
    bring to the disk uncertain for good: later syncs do not vouch for them (the kernel may
    have dropped them).
  - A name made, changed or removed in the folder (create, rename, link, unlink) is on the
    disk once a sync of the folder returned 0 (a failed one leaves them uncertain until one
    succeeds: the file system commits names in order). Before that each such change may or
    may not have happened: with up to four of them pending every combination is tried (applied in
    the order they were made), with more every prefix of them.
  - Besides the variants for every file at once, each file with uncertain data is also tried
    alone with none of its pending data while the others have all, and the other way round,
    torn while the others have none, and with only its last pending write.

The rule checked in each disk: a row counts as durable once the first sync of the journal
after the write that held it returned 0 (and when the journal says its rows are on the disk,
every row written to it must have had that sync); a row that a store said it stored
("数据保存成功！") counts from then on; the rows a scenario finds in a journal at its start
count from the start. Rows the operator discarded (否 to the question on closing) must not
come back once the window has closed. After the restart's store every durable row is in the
day's workbook exactly once, no row is there twice, no row comes from nowhere, and every file
the scenario found (an office's day's file, a damaged journal) still exists byte for byte
under some name. And a row held in memory only (its journal write or sync failed) is told to
the operator.

Faults: the clean runs of two scenarios are repeated with each of their syncs failing in
turn (EIO) and each of their journal writes (ENOSPC); a row's write is refused once, the disk
is full from the second row on, and the copy of a damaged journal is refused (ENOSPC from its
link or its creation).

usage: power_cut.py DRIVER RECORDER [--only NAME] [--keep DIR] [--quick]
"""
import argparse
import collections
import errno
import hashlib
import itertools
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import zlib

JOURNAL = ".weighbridge-held-rows"
DAY = "2010-8-4"
O_ACCMODE, O_CREAT, O_TRUNC, O_TMPFILE = 0o3, 0o100, 0o1000, 0o20200000
FOLDER = "."  # the folder itself, as the recorder's fault rules name it


# --- the disk model ------------------------------------------------------------------------

class Inode:
    """A file's data: the bytes it started with and every change since, each marked durable
    ("d"), pending ("p", not yet synced) or uncertain ("x", its sync failed)."""

    def __init__(self, name, data=b""):
        self.name = name  # the name it was first known by
        self.base = data
        self.ops = []  # [[("w", offset, bytes) | ("t", length) | ("set", bytes), status]]
        self.rows = set()  # rows written to it and not yet synced

    def content(self, variant):
        data = bytearray(self.base)
        pending = [i for i, (_, st) in enumerate(self.ops) if st == "p"]
        last = pending[-1] if pending else -1
        for i, (op, st) in enumerate(self.ops):
            half = False
            if st == "p" and (variant == "none" or variant == "last" and i != last):
                continue
            if st == "x" and variant != "all":
                continue
            if st == "p" and variant == "torn" and i == last:
                half = True
            apply(data, op, half)
        return bytes(data)

    def dirty(self):
        return any(st != "d" for _, st in self.ops)


def apply(data, op, half=False):
    if op[0] == "w":
        _, offset, bytes_ = op
        if half:
            if len(bytes_) < 2:
                return
            bytes_ = bytes_[: len(bytes_) // 2]
        if len(data) < offset:
            data.extend(b"\0" * (offset - len(data)))
        data[offset:offset + len(bytes_)] = bytes_
    elif op[0] == "t":
        if half:
            return
        del data[op[1]:]
        if len(data) < op[1]:
            data.extend(b"\0" * (op[1] - len(data)))
    else:
        data[:] = op[1]


def journal_rows(data):
    """The gross weights of the row lines in journal bytes."""
    rows = []
    for line in data.split(b"\n"):
        fields = line.split(b"\t")
        if fields[0] == b"R" and len(fields) == 8:
            try:
                rows.append(int(float(fields[4])))
            except ValueError:
                pass
    return rows


class Disk:
    """The folder as the program sees it, and what of it a cut would keep."""

    def __init__(self, initial):
        self.inodes = []
        self.base_names = {}
        for name, data in sorted(initial.items()):
            self.base_names[name] = self.new_inode(name, data)
        self.names = dict(self.base_names)  # as the program sees them now
        # [[("set", name, inode) | ("del", name) | ("mv", from, to, inode), status]]
        self.dirops = []
        self.fds = {}  # descriptor -> inode, or FOLDER
        self.confirmed = set()
        self.written = set()  # rows a journal write took
        self.sync_failed = {}  # rows whose first sync failed -> the call
        self.now = 0  # the call being applied
        self.unseen = collections.Counter()  # bytes a sync found that no logged write made
        self.problems = []

    def new_inode(self, name, data=b""):
        self.inodes.append(Inode(name, data))
        return len(self.inodes) - 1

    def inode(self, fd):
        ino = self.fds.get(fd)
        if ino is None or ino == FOLDER:
            self.problems.append("a call on descriptor %d the recorder did not see opened" % fd)
            return None
        return self.inodes[ino]

    def open(self, fd, flags, name):
        if name == FOLDER:
            self.fds[fd] = FOLDER
            return
        if name in self.names:
            ino = self.names[name]
            if flags & O_TRUNC and flags & O_ACCMODE:
                self.inodes[ino].ops.append([("t", 0), "p"])
        elif flags & O_CREAT:
            ino = self.new_inode(name)
            self.dirops.append([("set", name, ino), "p"])
            self.names[name] = ino
        else:
            self.problems.append("%s opened but not in the folder" % name)
            return
        self.fds[fd] = ino

    def tmpfile(self, fd):
        self.fds[fd] = self.new_inode("<unnamed>")

    def write(self, fd, offset, data):
        node = self.inode(fd)
        if node is None:
            return
        node.ops.append([("w", offset, data), "p"])
        if node.name.startswith(JOURNAL):
            node.rows.update(journal_rows(data))
            self.written.update(journal_rows(data))

    def truncate(self, fd, length):
        node = self.inode(fd)
        if node is not None:
            node.ops.append([("t", length), "p"])

    def sync(self, fd, ok, snapshot):
        if self.fds.get(fd) == FOLDER:
            # Names are metadata the file system commits in order: a later sync of the folder
            # that succeeds vouches for the changes an earlier failed one left uncertain.
            for op in self.dirops:
                if op[1] != "d":
                    op[1] = "d" if ok else "x"
            return
        node = self.inode(fd)
        if node is None:
            return
        if snapshot is not None:
            now = node.content("all")
            if now != snapshot:
                self.unseen[node.name] += 1
                node.ops.append([("set", snapshot), "p"])
        for op in node.ops:
            if op[1] == "p":
                op[1] = "d" if ok else "x"
        if ok:
            # A row truncated away before the sync was never on the disk.
            self.confirmed |= node.rows & set(journal_rows(node.content("all")))
        else:
            self.sync_failed.update(dict.fromkeys(node.rows, self.now))
        node.rows = set()

    def rename(self, src, dst):
        if src not in self.names:
            self.problems.append("%s renamed but not in the folder" % src)
            return
        ino = self.names.pop(src)
        self.names[dst] = ino
        self.dirops.append([("mv", src, dst, ino), "p"])

    def link(self, fd, src, dst):
        ino = self.fds.get(fd) if fd >= 0 else self.names.get(src)
        if ino is None or ino == FOLDER:
            self.problems.append("a link to %s from a file not seen" % dst)
            return
        self.names[dst] = ino
        self.dirops.append([("set", dst, ino), "p"])

    def unlink(self, name):
        if self.names.pop(name, None) is not None:
            self.dirops.append([("del", name), "p"])

    def close(self, fd):
        self.fds.pop(fd, None)

    # The disks a cut now could leave: (label, {name: bytes}).
    def cut(self):
        optional = [i for i, (_, st) in enumerate(self.dirops) if st != "d"]
        if len(optional) <= 4:
            choices = [set(c) for k in range(len(optional) + 1)
                       for c in itertools.combinations(optional, k)]
        else:
            choices = [set(optional[:k]) for k in range(len(optional) + 1)]
        dirty = [i for i, node in enumerate(self.inodes) if node.dirty()]
        data_variants = [("none", {}), ("all", {}), ("torn", {}), ("kept", {})]
        for i in dirty:
            name = self.inodes[i].name
            others_none = {j: "none" for j in dirty if j != i}
            data_variants.append(("all but %s" % name, {i: "none"}))
            data_variants.append(("none but %s" % name, others_none | {i: "all"}))
            data_variants.append(("none but %s torn" % name, others_none | {i: "torn"}))
            data_variants.append(("only the last write of %s" % name, {i: "last"}))
        for chosen in choices:
            names = dict(self.base_names)
            for i, (op, st) in enumerate(self.dirops):
                if st == "d" or i in chosen:
                    if op[0] == "set":
                        names[op[1]] = op[2]
                    elif op[0] == "del":
                        names.pop(op[1], None)
                    else:
                        if names.get(op[1]) == op[3]:
                            del names[op[1]]
                        names[op[2]] = op[3]
            skipped = len(optional) - len(chosen)
            order = "" if chosen == set(optional[: len(chosen)]) else " (out of order)"
            for label, per_inode in data_variants:
                base = label if label in ("none", "all", "torn", "kept") else "all"
                files = {name: self.inodes[ino].content(per_inode.get(ino, base))
                         for name, ino in names.items()}
                yield ("names: %d of %d pending changes left out%s; data: %s"
                       % (skipped, len(optional), order, label)), files


# --- the log -------------------------------------------------------------------------------

def unhex(text):
    return b"" if text == "-" else bytes.fromhex(text)


def parse_log(path):
    records = []
    with open(path, encoding="ascii") as f:
        for line in f:
            parts = line.split()
            if len(parts) >= 2:
                records.append(parts[1:])
    return records


def name_in(folder, path_hex):
    path = unhex(path_hex).decode("utf-8", "surrogateescape")
    if path == folder:
        return FOLDER
    return path[len(folder) + 1:] if path.startswith(folder + "/") else None


class Run:
    """One recorded run of a scenario, walked call by call."""

    def __init__(self, name, scenario, faults, folder, initial, records, precious):
        self.name, self.scenario, self.faults = name, scenario, faults
        self.folder, self.initial, self.records = folder, initial, records
        self.precious = precious  # {label: sha1} of files that must survive
        self.all_rows = set()
        self.initial_rows = set(journal_rows(initial.get(JOURNAL, b"")))
        self.initial_rows -= damaged_rows(initial.get(JOURNAL, b""))
        for r in records:
            if r[0] == "mark":
                text = unhex(r[1]).decode()
                if text.startswith("row "):
                    self.all_rows.add(int(text[4:]))
        self.all_rows |= set(journal_rows(initial.get(JOURNAL, b"")))

    def untold(self, disk):
        """Rows held in memory only (their journal write failed or was not made, or their sync
        failed) of which the operator was not told: (call index, rows), or None. A row a store
        put at risk and then stored needs no word."""
        risk = dict(disk.sync_failed)  # row -> the call from which it was in memory only
        told, store, exempt = False, None, set()
        for index, r in enumerate(self.records):
            if r[0] != "mark":
                continue
            text = unhex(r[1]).decode()
            if text.startswith("box ") and "数据日志" in text:
                told = True
            elif text.startswith("row ") and int(text[4:]) not in disk.written:
                risk.setdefault(int(text[4:]), index)
            elif text.startswith("store-begin "):
                store = index
            elif text.startswith("store-ok ") and store is not None:
                exempt |= {int(g) for g in text[9:].split(",")
                           if g and store < risk.get(int(g), -1)}
        rows = sorted(set(risk) - exempt)
        return None if told or not rows else (min(risk[g] for g in rows), rows)

    def walk(self):
        """Yields (index, call, required rows, discarded rows, disk) after every call."""
        disk = Disk(self.initial)
        stored = set()
        discarding = set()
        self.discarded = set()  # rows the operator discarded: they must not come back
        boxes = []
        for index, r in enumerate(self.records):
            op = r[0]
            disk.now = index
            if op == "open":
                name = name_in(self.folder, r[3])
                if name is not None:
                    disk.open(int(r[1]), int(r[2]), name)
            elif op == "tmpfile":
                disk.tmpfile(int(r[1]))
            elif op == "close":
                disk.close(int(r[1]))
            elif op == "write":
                if int(r[3]) > 0:
                    disk.write(int(r[1]), int(r[2]), unhex(r[5]))
            elif op == "trunc":
                if int(r[3]) == 0:
                    disk.truncate(int(r[1]), int(r[2]))
            elif op == "sync":
                disk.sync(int(r[1]), int(r[2]) == 0, None if r[4] == "-" else unhex(r[4]))
            elif op == "rename":
                if int(r[1]) == 0:
                    src, dst = name_in(self.folder, r[3]), name_in(self.folder, r[4])
                    if src is None or dst is None:
                        disk.problems.append("a rename across the folder's edge")
                    else:
                        disk.rename(src, dst)
            elif op == "link":
                if int(r[1]) == 0:
                    disk.link(int(r[3]), name_in(self.folder, r[4]), name_in(self.folder, r[5]))
            elif op == "unlink":
                if int(r[1]) == 0:
                    disk.unlink(name_in(self.folder, r[3]))
            elif op == "mark":
                text = unhex(r[1]).decode()
                if text.startswith("store-ok "):
                    stored |= {int(g) for g in text[9:].split(",") if g}
                elif text.startswith("discard-begin "):
                    discarding = {int(g) for g in text[14:].split(",") if g}
                elif text.startswith("discarded "):
                    self.discarded |= discarding
                elif text.startswith("box "):
                    boxes.append(text[4:])
                elif text == "settled":
                    # The journal said every row written to it so far is on the disk.
                    journal = disk.names.get(JOURNAL)
                    unsynced = sorted(disk.inodes[journal].rows) if journal is not None else []
                    if unsynced:
                        disk.problems.append("rows %s written to the journal, said to be on "
                                             "the disk after call %d, never synced"
                                             % (unsynced, index + 1))
            required = (self.initial_rows | disk.confirmed | stored) - discarding
            yield index, r, required, frozenset(self.discarded), disk


# The errors the fault rules inject.
FAULTS = (errno.EIO, errno.ENOSPC)


def damaged_rows(data):
    """Rows of journal lines whose check value (CRC-32 of the line before its last tab) does
    not match: they cannot come back."""
    damaged = set()
    for line in data.split(b"\n"):
        body, _, check = line.rpartition(b"\t")
        if line.startswith(b"R\t") and check != b"%08X" % zlib.crc32(body):
            damaged |= set(journal_rows(line))
    return damaged


def sha1(data):
    return hashlib.sha1(data).hexdigest()


def state_key(files):
    h = hashlib.sha1()
    for name in sorted(files):
        h.update(name.encode("utf-8", "surrogateescape") + b"\0")
        h.update(hashlib.sha1(files[name]).digest())
    return h.hexdigest()


# --- running the window --------------------------------------------------------------------

class Harness:
    def __init__(self, driver, recorder, work):
        self.driver, self.recorder, self.work = driver, recorder, work
        self.results = {}  # state key -> the replay's findings
        self.pending = {}  # state key -> folder, not yet replayed
        self.count = 0

    def env(self, extra=None):
        env = dict(os.environ)
        env.setdefault("QT_QPA_PLATFORM", "offscreen")
        env.update(extra or {})
        return env

    def record(self, runs):
        """Records the runs [(tag, scenario, faults)] in one process of the window; returns
        their (folder, the files it started with, the logged calls)."""
        lines, out = [], []
        for tag, scenario, faults in runs:
            base = os.path.join(self.work, "run-" + tag)
            os.makedirs(base)
            folder = os.path.join(os.path.realpath(base), "folder")
            log = os.path.join(base, "calls.log")
            lines.append("\t".join([scenario, folder, log, faults]))
            out.append((folder, log))
        plan = os.path.join(self.work, "plan-%s.txt" % runs[0][0])
        with open(plan, "w", encoding="utf-8") as f:
            f.write("\n".join(lines) + "\n")
        subprocess.run([self.driver, "record", plan], check=True,
                       env=self.env({"LD_PRELOAD": self.recorder}),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        recorded = []
        for folder, log in out:
            initial = {n: open(os.path.join(folder + ".initial", n), "rb").read()
                       for n in os.listdir(folder + ".initial")}
            recorded.append((folder, initial, parse_log(log) if os.path.exists(log)
                             else []))
        return recorded

    def want(self, files):
        key = state_key(files)
        if key in self.results or key in self.pending:
            return key
        self.count += 1
        folder = os.path.join(self.work, "states", "%06d" % self.count)
        os.makedirs(folder)
        for name, data in files.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
        self.pending[key] = folder
        return key

    def replay_pending(self):
        if not self.pending:
            return
        keys = list(self.pending)
        folders = [self.pending[k] for k in keys]
        out = subprocess.run([self.driver, "replay"] + folders, check=True, env=self.env(),
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout
        lines = out.decode().splitlines()
        if len(lines) != len(keys):
            sys.exit("the replay answered %d of %d folders" % (len(lines), len(keys)))
        for key, folder, line in zip(keys, folders, lines):
            result = json.loads(line)
            result["hashes"] = {sha1(open(os.path.join(folder, n), "rb").read())
                                for n in os.listdir(folder)
                                if os.path.isfile(os.path.join(folder, n))}
            self.results[key] = result
            shutil.rmtree(folder)
        self.pending = {}


def check(run, result, required, discarded):
    """What is wrong with one replayed disk: {"lost": [...], "twice": [...], ...}."""
    counts = collections.Counter(int(g) for g in result["rows"])
    found = {}
    back = sorted(g for g in discarded if counts[g] > 0)
    if back:
        found["discarded, stored"] = back
    lost = sorted(g for g in required if counts[g] == 0)
    twice = sorted(g for g, c in counts.items() if c > 1)
    strange = sorted(g for g in counts if g not in run.all_rows)
    missing = sorted(label for label, digest in run.precious.items()
                     if digest not in result["hashes"])
    if lost:
        found["lost"] = lost
    if twice:
        found["twice"] = twice
    if strange:
        found["from nowhere"] = strange
    if missing:
        found["file gone"] = missing
    if result["error"]:
        found["workbook unreadable"] = result["error"]
    return found


def describe(call):
    op = call[0]
    if op in ("open", "tmpfile", "write", "trunc", "sync", "close"):
        return " ".join(call[:4]) if op != "write" else "write fd %s at %s, %s bytes" % (
            call[1], call[2], call[3])
    if op in ("rename", "link", "unlink"):
        names = [unhex(a).decode("utf-8", "replace").rsplit("/", 1)[-1] for a in call[3:]
                 if len(a) > 8]
        return "%s %s (%s)" % (op, " -> ".join(names), "ok" if call[1] == "0" else "failed")
    if op == "mark":
        return "mark " + unhex(call[1]).decode()[:60]
    return " ".join(call)


# --- the plan ------------------------------------------------------------------------------

SCENARIOS = ["rows", "stores", "in_place", "copy_first", "set_aside", "damaged_journal",
             "discarded"]
# The scenarios run again with a fault in each of their syncs and journal writes in turn.
SWEPT = ("stores", "in_place", "damaged_journal")


def rule_name(name):
    """The recorder's rule glob for a file of that name (a day's temporary file by its kind)."""
    if name.startswith("." + DAY + ".xls."):
        return "." + DAY + ".xls.*"
    if name.startswith("held-rows-damaged-"):
        return "held-rows-damaged-*"
    return name


def fault_runs(records, folder):
    """One run per sync of the clean run (failing with EIO) and per journal write (ENOSPC)."""
    runs = []
    fd_names, seen = {}, collections.Counter()
    for r in records:
        if r[0] == "open":
            fd_names[r[1]] = name_in(folder, r[3])
        elif r[0] == "tmpfile":
            fd_names[r[1]] = "<unnamed>"
        elif r[0] in ("sync", "write") and r[1] in fd_names:
            glob = rule_name(fd_names[r[1]])
            kind = r[0]
            seen[(kind, glob)] += 1
            n = seen[(kind, glob)]
            if kind == "sync":
                runs.append("sync:%s:%d:EIO" % (glob, n))
            elif glob.startswith(JOURNAL) or glob.startswith("held-rows-damaged-"):
                runs.append("write:%s:%d:ENOSPC" % (glob, n))
    return runs


def main():
    p = argparse.ArgumentParser()
    p.add_argument("driver")
    p.add_argument("recorder")
    p.add_argument("--only", help="run only the runs whose name contains this")
    p.add_argument("--keep", help="keep the logs and states in this folder")
    p.add_argument("--quick", action="store_true", help="the clean runs only")
    p.add_argument("--details", type=int, default=6, help="kinds of failure shown per run")
    args = p.parse_args()
    started = time.time()
    # The disks are built by this script: a memory file system spares the real syncs of the
    # runs, which are most of the time on a real disk.
    shm = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    work = args.keep or tempfile.mkdtemp(prefix="power_cut-", dir=shm)
    if args.keep:
        shutil.rmtree(work, ignore_errors=True)
        os.makedirs(work)
    harness = Harness(os.path.abspath(args.driver), os.path.abspath(args.recorder), work)

    plan = [(s, s, "") for s in SCENARIOS]
    plan.append(("journal_error, a row's write refused (ENOSPC)", "journal_error",
                 "write:%s:2:ENOSPC" % JOURNAL))
    plan.append(("journal_error, the disk full from the second row (ENOSPC)", "journal_error",
                 "write:%s:2+:ENOSPC" % JOURNAL))
    plan.append(("damaged_journal, its copy refused (ENOSPC from link)", "damaged_journal",
                 "link:held-rows-damaged-*:1:ENOSPC"))
    plan.append(("damaged_journal, its copy refused (ENOSPC from create)", "damaged_journal",
                 "create:held-rows-damaged-*:1:ENOSPC"))

    # The runs: recorded in two batches (the second holds the faults the first one's clean
    # runs lead to), then every disk of every run replayed, then each run checked. A clean
    # run of a swept scenario is recorded for its faults even when --only leaves it out.
    def shown(name):
        return not args.only or args.only in name

    runs = []
    batch = [item for item in plan
             if shown(item[0]) or not item[2] and item[1] in SWEPT and not args.quick]
    first = True
    while batch:
        tags = ["%03d" % (len(runs) + i + 1) for i in range(len(batch))]
        recorded = harness.record([(t, sc, f) for t, (_, sc, f) in zip(tags, batch)])
        sweeps = []
        for (name, scenario, faults), (folder, initial, records) in zip(batch, recorded):
            precious = {}
            if scenario in ("copy_first", "set_aside"):
                precious["the day's file as found"] = sha1(initial[DAY + ".xls"])
            if scenario == "damaged_journal":
                precious["the damaged journal as found"] = sha1(initial[JOURNAL])
            run = Run(name, scenario, faults, folder, initial, records, precious)
            run.shown = shown(name)
            runs.append(run)
            if first and not faults and not args.quick and scenario in SWEPT:
                sweeps += [item for item in (("%s, %s" % (scenario, rule), scenario, rule)
                                             for rule in fault_runs(records, folder))
                           if shown(item[0])]
        batch, first = sweeps, False

    for run in runs:
        run.checks = []  # (index, call, variant, required, discarded, key)
        run.disk = None
        if run.shown:
            for i, call, required, discarded, disk in run.walk():
                run.disk = disk
                for variant, files in disk.cut():
                    run.checks.append((i, call, variant, frozenset(required), discarded,
                                       harness.want(files)))
        if len(harness.pending) > 400:
            harness.replay_pending()
    harness.replay_pending()

    totals = collections.Counter()
    by_scenario = collections.OrderedDict()
    distinct_by_scenario = {}
    failed_runs = 0
    for run in runs:
        if not run.shown:
            continue
        name, faults, records, disk, checks = (run.name, run.faults, run.records, run.disk,
                                               run.checks)
        failures = []
        lost_rows, twice_rows = set(), set()
        for i, call, variant, required, discarded, key in checks:
            found = check(run, harness.results[key], required, discarded)
            if found:
                failures.append((i, call, variant, found))
                lost_rows |= set(found.get("lost", []))
                twice_rows |= set(found.get("twice", []))
        problems = list(disk.problems) if disk else ["nothing was recorded"]
        untold = run.untold(disk) if disk else None
        if untold:
            problems.append("rows %s held in memory only from call %d on, and the operator "
                            "was not told" % (untold[1], untold[0] + 1))
        unseen = {n: c for n, c in disk.unseen.items() if n.startswith(JOURNAL)} if disk else {}
        distinct = len({c[-1] for c in checks})
        totals["runs"] += 1
        totals["calls"] += len(records)
        totals["states"] += len(checks)
        totals["failing states"] += len(failures)
        totals["rows lost"] += len(lost_rows)
        totals["rows stored twice"] += len(twice_rows)
        mine = by_scenario.setdefault(run.scenario, collections.Counter())
        mine.update({"runs": 1, "calls": len(records), "states": len(checks),
                     "failing": len(failures), "lost": len(lost_rows),
                     "twice": len(twice_rows)})
        distinct_by_scenario.setdefault(run.scenario, set()).update(c[-1] for c in checks)
        ok = not failures and not problems and not unseen
        failed_runs += 0 if ok else 1
        fired = not faults or any(r[0] == "create-refused" or r[0] in ("write", "sync", "link",
                                                                         "rename")
                                  and "-1" in r[1:4] for r in records)
        if not fired:
            faults += ", did not fire"
        print("%-4s %s%s: %d calls, %d disks (%d distinct), %d failing, rows lost %d, "
              "rows stored twice %d" % ("ok" if ok else "FAIL", name,
                                        "" if not faults else " [%s]" % faults, len(records),
                                        len(checks), distinct, len(failures), len(lost_rows),
                                        len(twice_rows)))
        for problem in problems[:3]:
            print("     " + problem)
        for n, c in unseen.items():
            print("     the recorder missed writes to %s (%d syncs found other bytes)" % (n, c))
        # One line per kind of failure: where it first shows, and in how many disks.
        groups = collections.OrderedDict()
        for i, call, variant, found in failures:
            what = "; ".join("%s %s" % (k, v) for k, v in found.items())
            groups.setdefault(what, []).append((i, call, variant))
        for what, where in list(groups.items())[: args.details]:
            in_order = [w for w in where if "out of order" not in w[2]]
            i, call, variant = (in_order or where)[0]
            print("     %s: first after call %d (%s), %s; in %d disks"
                  % (what, i + 1, describe(call), variant, len(where)))
        sys.stdout.flush()

    print("by scenario (its clean run and its fault runs):")
    for scenario, c in by_scenario.items():
        print("  %-16s %2d runs, %4d calls, %5d disks (%3d distinct), %d failing, rows lost %d, "
              "rows stored twice %d" % (scenario, c["runs"], c["calls"], c["states"],
                                        len(distinct_by_scenario[scenario]), c["failing"],
                                        c["lost"], c["twice"]))
    print("%d runs, %d calls, %d disks (%d distinct) started on, %d failing; rows lost %d, "
          "rows stored twice %d; %.0f s" % (totals["runs"], totals["calls"], totals["states"],
                                            len(harness.results), totals["failing states"],
                                            totals["rows lost"], totals["rows stored twice"],
                                            time.time() - started))
    if not args.keep:
        shutil.rmtree(work, ignore_errors=True)
    return 1 if failed_runs else 0


if __name__ == "__main__":
    sys.exit(main())
