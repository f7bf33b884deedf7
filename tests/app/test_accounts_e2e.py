"""Two operators' accounts taking turns on one office PC, end to end. The program (as it is
installed: port 1 is /dev/weighbridge-com1) sits in a folder laid out as the package lays out
/opt/weighbridge (root:dialout, setgid, 2775); two accounts in dialout, made here and removed
after, run it in turn under a virtual X display, each in a mount namespace of its own whose
/dev/weighbridge-com1 leads to the test's pseudo-terminal (root:dialout, 0660) and whose
/run/lock is a folder of the test's (root's, 1777, as /run/lock is):

1. the first account (umask 022) records rows and leaves by "退出"; the second (umask 077)
   starts without a box, records and leaves: every row stored once, the journal and the day's
   workbook 0664 and the folder's group;
2. the first account's run killed with SIGKILL while it holds rows (its lock then removed, as
   a restart of the computer would): the second account's start takes those rows back and
   stores them once;
3. a run as root killed with SIGKILL leaves its lock: an operator's start shows one box,
   naming the lock file, its owner root and how it is cleared, not the busy port's text;
   with the lock removed (as an administrator would) the scale reads again.

Nothing is left on the host: no account, no process, no lock in its /run/lock, no link in its
/dev. Exits 77 (skipped) where it cannot make accounts or mount namespaces (not root).

usage: test_accounts_e2e.py PROGRAM [--grab GRAB_WINDOW --shot PNG]
"""
import argparse
import fcntl
import grp
import os
import pwd
import shutil
import signal
import subprocess
import sys
import tempfile
import termios
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import isolated  # noqa: E402
from desktop import EXIT_BUTTON, click, lock_holder, start_xvfb  # noqa: E402
from recorder import JOURNAL, Line, frame, journal_rows, stored_rows  # noqa: E402

SKIP = 77
WINDOW_TITLE = "^地磅数据记录系统"
BOX_TITLE = "^地磅数据记录$"
BUSY = "端口已打开或正在被使用！"
PORT = "/dev/weighbridge-com1"
LOCK = "/run/lock/LCK..weighbridge-com1"


STARTED = time.monotonic()


def step(text):
    """A line of progress, for the log of a run that fails."""
    print("%5.1f s  %s" % (time.monotonic() - STARTED, text), flush=True)


class Office:
    """The folder, the accounts, the line and the display; everything made is undone by
    close()."""

    def __init__(self, program):
        self.accounts, self.runs, self.line, self.xvfb = [], [], None, None
        self.work = tempfile.mkdtemp(prefix="weighbridge-accounts-")
        try:
            self.lay_out(program)
        except BaseException:
            self.close()
            raise

    def lay_out(self, program):
        os.chmod(self.work, 0o755)
        self.dialout = grp.getgrnam("dialout").gr_gid
        self.folder = os.path.join(self.work, "opt", "weighbridge")
        os.makedirs(self.folder)
        os.chown(self.folder, 0, self.dialout)
        os.chmod(self.folder, 0o2775)
        self.program = os.path.join(self.folder, "weighbridge")
        shutil.copy2(program, self.program)
        os.chmod(self.program, 0o755)
        self.locks = os.path.join(self.work, "lock")
        os.mkdir(self.locks)
        os.chmod(self.locks, 0o1777)
        self.line = Line(None)
        os.chown(self.line.path, 0, self.dialout)
        os.chmod(self.line.path, 0o660)
        self.xvfb, self.display = start_xvfb(any_account=True)

    def kill(self, run):
        """Ends `run` with SIGKILL. A port opened for one program alone stays so until its
        device is closed by all; the test holds the line open, so it lets go of it itself."""
        run.kill()
        fcntl.ioctl(self.line.slave, termios.TIOCNXCL)

    def add_account(self, name):
        self.accounts.append(name)
        subprocess.run(["useradd", "--system", "--user-group", "--groups", "dialout",
                        "--no-create-home", "--home-dir", "/nonexistent",
                        "--shell", "/usr/sbin/nologin", name], check=True)
        # A home and a runtime folder of its own, inside the test's folder.
        home = os.path.join(self.work, "home-" + name)
        os.mkdir(home, 0o700)
        uid = pwd.getpwnam(name).pw_uid
        os.chown(home, uid, -1)
        return name

    def start(self, account=None, umask=0o022, box_first=False):
        """A run of the program, as `account` (None: root); its window is up unless a box
        comes `box_first`."""
        home = os.path.join(self.work, "home-" + (account or "root"))
        os.makedirs(home, 0o700, exist_ok=True)
        env = dict(os.environ, DISPLAY=self.display, LANG="zh_CN.UTF-8", HOME=home,
                   XDG_RUNTIME_DIR=home)
        for name in ("QT_QPA_PLATFORM", "XAUTHORITY", "LC_ALL"):
            env.pop(name, None)
        cmd = isolated.command(self.program, self.line.path, os.path.join(self.work, "hostdev"),
                               self.locks, account, umask)
        run = Run(env, cmd, not box_first)
        self.runs.append(run)
        return run

    def close(self):
        for run in self.runs:
            run.end()
        if self.xvfb:
            self.xvfb.terminate()
            self.xvfb.wait()
        if self.line:
            self.line.close()
        for name in self.accounts:
            # userdel refuses (8) while a process of the account is still going away.
            for _ in range(40):
                gone = subprocess.run(["userdel", name], stderr=subprocess.DEVNULL).returncode
                if gone in (0, 6):
                    break
                time.sleep(0.25)
            if subprocess.run(["getent", "group", name], stdout=subprocess.DEVNULL).returncode == 0:
                subprocess.run(["groupdel", name], stderr=subprocess.DEVNULL)
        shutil.rmtree(self.work, ignore_errors=True)


class Run:
    def __init__(self, env, cmd, window):
        self.env = env
        self.proc = subprocess.Popen(cmd, env=env, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE, start_new_session=True)
        self.window = self.find_window() if window else None

    def shows(self, timeout=40):
        """What the start shows first: ("window", id) for the main window, ("box", id) for a
        message box."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for kind, title in (("box", BOX_TITLE), ("window", WINDOW_TITLE)):
                found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", title],
                                       env=self.env, capture_output=True, text=True).stdout.split()
                if found:
                    return kind, found[0]
            if self.proc.poll() is not None:
                raise AssertionError("the program ended: " + self.proc.stderr.read().decode())
            time.sleep(0.1)
        names = [subprocess.run(["xdotool", "getwindowname", w], env=self.env, capture_output=True,
                                text=True).stdout.strip()
                 for w in subprocess.run(["xdotool", "search", "--name", "."], env=self.env,
                                         capture_output=True, text=True).stdout.split()]
        raise AssertionError("nothing showed in %d s; windows: %r" % (timeout, names))

    def find_window(self):
        """The main window once it shows; a box that comes instead fails with its text."""
        kind, window = self.shows()
        if kind == "box":
            raise AssertionError("a box instead of the window: " + self.box_text(window))
        return window

    def boxes(self, wait=0.0):
        """The message boxes showing after up to `wait` seconds."""
        deadline = time.monotonic() + wait
        while True:
            found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", BOX_TITLE],
                                   env=self.env, capture_output=True, text=True).stdout.split()
            if found or time.monotonic() >= deadline:
                return found
            time.sleep(0.1)

    def box_text(self, box):
        """The text of a message box: its label selected and copied."""
        xdo = ["xdotool"]
        subprocess.run(xdo + ["windowfocus", "--sync", box], env=self.env, check=True)
        subprocess.run(xdo + ["mousemove", "--window", box, "100", "20", "click", "--repeat", "3",
                              "--delay", "50", "1"], env=self.env, check=True)
        subprocess.run(xdo + ["key", "--clearmodifiers", "ctrl+a", "ctrl+c"], env=self.env,
                       check=True)
        time.sleep(0.3)
        return subprocess.run(["xclip", "-o", "-selection", "clipboard"], env=self.env,
                              capture_output=True, text=True, timeout=10).stdout

    def answer(self, box):
        subprocess.run(["xdotool", "windowfocus", "--sync", box, "key", "Return"], env=self.env,
                       check=True, timeout=10)

    def leave(self):
        """"退出": stores the rows and ends with status 0."""
        click(self.env, self.window, EXIT_BUTTON)
        code = self.proc.wait(timeout=20)
        assert code == 0, "exit status %d: %s" % (code, self.proc.stderr.read().decode())

    def kill(self):
        os.killpg(self.proc.pid, signal.SIGKILL)
        self.proc.wait()

    def end(self):
        if self.proc.poll() is None:
            self.kill()


def record(office, weights):
    """Sends a reading per weight; each becomes a row in the journal."""
    before = len(journal_rows(office.folder))
    for n, w in enumerate(weights, 1):
        office.line.send(frame(w))
        deadline = time.monotonic() + 10
        while len(journal_rows(office.folder)) < before + n:
            assert time.monotonic() < deadline, "reading %d was not recorded" % w
            time.sleep(0.05)


def check_shared(office, name):
    st = os.stat(os.path.join(office.folder, name))
    assert st.st_mode & 0o7777 == 0o664 and st.st_gid == office.dialout, \
        "%s: mode %o, group %d" % (name, st.st_mode & 0o7777, st.st_gid)


def day_file(office):
    books = [f for f in os.listdir(office.folder) if f.endswith(".xls")]
    assert len(books) == 1, books
    return books[0]


def turns(office, first, second):
    """Steps 1 and 2: the accounts take turns; a crash of one is taken up by the other."""
    run = office.start(first, 0o022)
    office.line.wait_query()
    record(office, [1001, 1002, 1003])
    run.leave()
    step("the first account recorded 3 rows and left")

    run = office.start(second, 0o077)
    office.line.wait_query()
    assert not run.boxes(wait=1.5), "a box at the second account's start"
    check_shared(office, JOURNAL)  # as the first account left them
    check_shared(office, day_file(office))
    record(office, [2001, 2002])
    assert not run.boxes(), "a box while the second account records"
    run.leave()
    step("the second account recorded 2 rows and left")
    assert stored_rows(office.folder) == ["1001", "1002", "1003", "2001", "2002"], \
        stored_rows(office.folder)
    assert os.stat(os.path.join(office.folder, day_file(office))).st_uid == \
        pwd.getpwnam(second).pw_uid
    check_shared(office, day_file(office))

    run = office.start(first, 0o022)
    office.line.wait_query()
    record(office, [3001, 3002])
    office.kill(run)
    step("the first account's run killed with 2 rows held")
    os.remove(os.path.join(office.locks, os.path.basename(LOCK)))  # the computer restarted
    run = office.start(second, 0o077)
    office.line.wait_query()
    assert not run.boxes(wait=1.5), "a box at the start after the first account's crash"
    run.leave()
    stored = stored_rows(office.folder)
    assert stored == ["1001", "1002", "1003", "2001", "2002", "3001", "3002"], stored
    assert journal_rows(office.folder) == []


def stale_lock(office, operator, grab, shot):
    """Step 3: root's killed run, then an operator's start; then the lock removed."""
    run = office.start()
    office.line.wait_query()
    office.kill(run)
    lock = os.path.join(office.locks, os.path.basename(LOCK))
    assert os.stat(lock).st_uid == 0, "no lock of root's left by its killed run"
    step("root's run killed")

    run = office.start(operator, box_first=True)  # the port is opened before the window shows
    kind, box = run.shows()
    assert kind == "box", "the window came up without a box"
    boxes = run.boxes()
    assert boxes == [box], "boxes at the operator's start: %r" % boxes
    if shot:
        time.sleep(0.8)
        subprocess.run([grab, boxes[0], shot], check=True,
                       env=dict(run.env, XDG_RUNTIME_DIR=os.path.join(office.work, "home-root")))
    text = run.box_text(boxes[0])
    assert BUSY not in text, text
    for part in (LOCK, "“root”", "已不再运行", "重新启动计算机", "管理员删除"):
        assert part in text, "%r is not in the box's text: %r" % (part, text)
    step("the box shows: " + text.replace("\n", " "))
    run.answer(boxes[0])
    run.window = run.find_window()
    office.line.send(frame(4001))
    time.sleep(1)
    assert journal_rows(office.folder) == [], "a reading was taken with the port closed"
    run.leave()
    assert os.path.exists(lock)

    os.remove(lock)  # as an administrator would
    run = office.start(operator)
    office.line.wait_query()
    assert not run.boxes(wait=1.5), "a box once the lock was removed"
    record(office, [4002])
    run.leave()
    assert stored_rows(office.folder)[-1] == "4002"
    assert os.listdir(office.locks) == [], os.listdir(office.locks)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("program")
    parser.add_argument("--grab", help="grab_window, for --shot")
    parser.add_argument("--shot", help="a PNG of the stale lock's box")
    args = parser.parse_args()
    if not isolated.available() or shutil.which("useradd") is None:
        print("skipped: making accounts and mount namespaces needs root")
        return SKIP
    host_link = os.path.lexists(PORT)
    suffix = "%d" % (os.getpid() % 100000)
    office = Office(os.path.abspath(args.program))
    try:
        first = office.add_account("wbtest-a" + suffix)
        second = office.add_account("wbtest-b" + suffix)
        turns(office, first, second)
        stale_lock(office, first, args.grab, args.shot and os.path.abspath(args.shot))
    finally:
        office.close()
    # (Another program's lock may come and go meanwhile: only the test's runs count.)
    assert lock_holder(PORT) not in {run.proc.pid for run in office.runs}, \
        "a lock of the test's runs in the host's /run/lock"
    assert os.path.lexists(PORT) == host_link, "the host's /dev changed"
    for name in (first, second):
        assert subprocess.run(["getent", "passwd", name],
                              stdout=subprocess.DEVNULL).returncode != 0, name + " is left"
    print("1 passed, 0 failed: two accounts took turns, 8 rows stored once, "
          "the stale lock named and cleared")
    return 0


if __name__ == "__main__":
    sys.exit(main())
