"""The real program driven from outside for the proofs of held rows: its port on a
pseudo-terminal the proof writes reply frames into, its folder a temp folder, its window on a
virtual X display, its clock (test build only) moved through the file test-clock-offset."""
import datetime
import glob
import os
import shutil
import signal
import subprocess
import time
import tty
import zlib

import xlrd

from desktop import (ask_to_close, click, find_window, lock_holder, port_lock_path,
                     remove_stale_lock)

JOURNAL = ".weighbridge-held-rows"
QUERY = bytes.fromhex("024142303303")


def frame(counts, bad=False):
    """A 14-byte reply frame carrying `counts` kg (no decimals); `bad`: a failing check."""
    body = b"AB+" + b"%06d" % counts + b"0"
    x = 0
    for b in body:
        x ^= b
    if bad:
        x ^= 0x5A
    return b"\x02" + body + b"%02X" % x + b"\x03"


class Line:
    """A pseudo-terminal standing in for the indicator, linked at the program's port path
    (`port`; None: the test links its device, `path`, itself)."""

    def __init__(self, port):
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        self.path = os.ttyname(self.slave)
        self.port = port
        if port:
            if os.path.lexists(port):
                os.remove(port)
            os.symlink(self.path, port)

    def wait_query(self, timeout=20):
        """Waits for the program's query: its port is open and its input emptied."""
        got = b""
        deadline = time.monotonic() + timeout
        os.set_blocking(self.master, False)
        while QUERY not in got:
            if time.monotonic() > deadline:
                raise AssertionError("no query on the line (got %r)" % got)
            try:
                got += os.read(self.master, 64)
            except BlockingIOError:
                time.sleep(0.01)

    def send(self, data):
        os.write(self.master, data)

    def close(self):
        if self.port:
            if os.path.lexists(self.port):
                os.remove(self.port)
            remove_stale_lock(self.port)
        os.close(self.master)
        os.close(self.slave)


def port_lock(port):
    """The lock file of the port at `port`, and the process id written in it (None when there
    is no such file)."""
    return port_lock_path(port), lock_holder(port)


def find_box(env, title, timeout=10):
    """The window id of a box titled `title`."""
    out = subprocess.run(["xdotool", "search", "--sync", "--name", "^%s$" % title],
                         env=env, capture_output=True, text=True, timeout=timeout).stdout.split()
    return out[0]


class Program:
    """One run of the program in `work`, on display `env`."""

    def __init__(self, exe, work, env, line):
        self.work, self.env, self.line = work, env, line
        self.proc = subprocess.Popen([exe], env=env, cwd=work, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE)
        self.window = find_window(env)
        line.wait_query()

    def holds_lock(self):
        return port_lock(self.line.port)[1] == self.proc.pid

    def click(self, point):
        click(self.env, self.window, point)

    def box(self, timeout=10, title="地磅数据记录"):
        """The window id of a message box (titled with the application's title unless
        `title` is given)."""
        return find_box(self.env, title, timeout)

    def answer_box(self, box, key="Return"):
        """Return takes a box's default button; "n" and "y" answer 否 and 是."""
        subprocess.run(["xdotool", "windowfocus", "--sync", box, "key", key],
                       env=self.env, check=True, timeout=10)

    def ask_to_close(self):
        ask_to_close(self.env, self.window)

    def wait(self, timeout):
        return self.proc.wait(timeout=timeout)

    def kill(self, sig=signal.SIGKILL):
        self.proc.send_signal(sig)

    def alive(self):
        return self.proc.poll() is None


def set_clock(work, offset):
    """The test build's clock runs `offset` seconds ahead of the host's."""
    path = os.path.join(work, "test-clock-offset")
    with open(path + ".new", "w") as f:
        f.write("%.3f\n" % offset)
    os.replace(path + ".new", path)


def offset_for(target):
    """The clock offset that makes the program's clock read `target` (a local datetime) now."""
    return (target - datetime.datetime.now()).total_seconds()


def next_hour(after=None):
    t = (after or datetime.datetime.now()) + datetime.timedelta(hours=1)
    return t.replace(minute=0, second=0, microsecond=0)


def journal_rows(work):
    """Gross weights of the row lines in the journal whose check value matches."""
    path = os.path.join(work, JOURNAL)
    if not os.path.exists(path):
        return []
    rows = []
    with open(path, "rb") as f:
        for line in f.read().split(b"\n"):
            body, _, check = line.rpartition(b"\t")
            if not body.startswith(b"R\t") or len(check) != 8:
                continue
            if int(check, 16) != zlib.crc32(body):
                continue
            rows.append(body.split(b"\t")[4].decode().strip())
    return rows


def stored_rows(work):
    """Gross weights of every data row of every day's workbook in `work`, in order."""
    rows = []
    for path in sorted(glob.glob(os.path.join(work, "*.xls"))):
        if "-damaged-" in path:
            continue
        book = xlrd.open_workbook(path)
        for sheet in book.sheets():
            for r in range(1, sheet.nrows):
                v = sheet.cell_value(r, 4)
                rows.append(("%g" % v) if isinstance(v, float) else str(v).strip())
    return rows


def copy_program(program, work):
    exe = os.path.join(work, "weighbridge")
    shutil.copy2(program, exe)
    return exe
