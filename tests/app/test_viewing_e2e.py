"""Each viewing a process of its own, the real program under a virtual X display, its port on
a pseudo-terminal:

- "查看" and a chosen workbook open a viewer window that belongs to another process, which
  holds none of the recorder's files (its port, its journal, its lock);
- a second viewing of the same file is a second window and a second process;
- a workbook that crashes the viewer (the test build's viewer fails on a first sheet named
  "viewer-crash") ends that viewing only: the recorder keeps its port and records the next
  reading, the other viewings stay;
- "退出" ends the recorder with status 0 and both viewer windows stay open, their
  processes running; a new recorder then starts in the same folder beside them (viewings take
  no lock), and closing a viewer window ends its process.

usage: test_viewing_e2e.py PROGRAM PORT_PATH
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

import xlwt

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from desktop import EXIT_BUTTON, ask_to_close, start_xvfb  # noqa: E402
from recorder import JOURNAL, Line, Program, copy_program, frame, journal_rows  # noqa: E402

VIEW_BUTTON = (140, 360)  # "查看" at 1680 twips from the left


def write_book(path, first_sheet):
    book = xlwt.Workbook(encoding="utf-8")
    sheet = book.add_sheet(first_sheet)
    for c, text in enumerate(["序号", "日期", "时间", "车号", "毛重", "皮重", "净重"]):
        sheet.write(0, c, text)
    sheet.write(1, 0, 1)
    sheet.write(1, 3, "浙A12345")
    book.save(path)


def xdo(env, *args, timeout=20):
    return subprocess.run(["xdotool", *args], env=env, capture_output=True, text=True,
                          timeout=timeout).stdout.split()


def viewer_windows(env, name):
    """The mapped viewer windows of the file `name`, with the process id of each."""
    found = xdo(env, "search", "--onlyvisible", "--name", "^%s \\[只读\\]$" % name)
    return {w: int(xdo(env, "getwindowpid", w)[0]) for w in found}


def wait_for(what, condition, seconds=20):
    deadline = time.monotonic() + seconds
    while True:
        value = condition()
        if value:
            return value
        assert time.monotonic() < deadline, "timed out waiting for " + what
        time.sleep(0.1)


def alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().split(") ")[1][0] not in "ZX"
    except FileNotFoundError:
        return False


def open_files(pid):
    names = []
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            names.append(os.readlink("/proc/%d/fd/%s" % (pid, fd)))
        except OSError:
            pass
    return names


def click(prog, point):
    """A click on the recorder's window, raised first over the viewer windows (a bare X
    server stacks every new window on top, at the same place)."""
    subprocess.run(["xdotool", "windowraise", prog.window], env=prog.env, check=True, timeout=10)
    prog.click(point)


def view(prog, path):
    """Clicks "查看" and chooses `path` in the file dialog."""
    click(prog, VIEW_BUTTON)
    dialog = wait_for("the file dialog", lambda: [
        w for w in xdo(prog.env, "search", "--onlyvisible", "--name", ".")
        if w != prog.window and xdo(prog.env, "getwindowpid", w) == [str(prog.proc.pid)]])[0]
    subprocess.run(["xdotool", "windowfocus", "--sync", dialog, "type", "--delay", "10", path],
                   env=prog.env, check=True, timeout=30)
    subprocess.run(["xdotool", "windowfocus", "--sync", dialog, "key", "Return"],
                   env=prog.env, check=True, timeout=10)


def main():
    program, port = sys.argv[1:3]
    work = tempfile.mkdtemp(prefix="weighbridge-view-")
    xvfb, display = start_xvfb()
    env = dict(os.environ, DISPLAY=display, LANG="zh_CN.UTF-8", LC_ALL="zh_CN.UTF-8")
    env.pop("QT_QPA_PLATFORM", None)
    line = Line(port)
    viewers = {}
    try:
        exe = copy_program(program, work)
        day = os.path.join(work, "2026-12-7.xls")
        crash = os.path.join(work, "crash.xls")
        write_book(day, "sheet1")
        write_book(crash, "viewer-crash")
        prog = Program(exe, work, env, line)

        view(prog, day)
        viewers = wait_for("the viewer window", lambda: viewer_windows(env, "2026-12-7.xls"))
        first = next(iter(viewers.values()))
        assert first != prog.proc.pid, "the viewer is a window of the recorder's process"
        held = [f for f in open_files(first) if f.startswith(work) or "/dev/pts/" in f
                or "LCK.." in f or f.endswith(JOURNAL)]
        assert not held, "the viewing holds the recorder's files: %r" % held
        view(prog, day)
        viewers = wait_for("a second viewer window",
                           lambda: len(viewer_windows(env, "2026-12-7.xls")) == 2
                           and viewer_windows(env, "2026-12-7.xls"))
        assert len(set(viewers.values())) == 2, "two viewings in one process: %r" % viewers
        print("viewing: two viewings of one file, two windows of two processes")

        view(prog, crash)
        crashed = wait_for("the failing viewer", lambda: viewer_windows(env, "crash.xls"))
        crashed_pid = next(iter(crashed.values()))
        wait_for("the failing viewer to crash", lambda: not alive(crashed_pid), 10)
        assert prog.alive(), "the recorder ended with its viewer"
        assert prog.holds_lock(), "the recorder lost its port"
        line.send(frame(5001))
        wait_for("the next reading recorded", lambda: journal_rows(work) == ["5001"], 5)
        assert viewer_windows(env, "2026-12-7.xls") == viewers, "the other viewings ended"
        print("viewing: a viewer that crashed took nothing with it; the next reading recorded")

        click(prog, EXIT_BUTTON)
        assert prog.wait(10) == 0, "exit status: %s" % prog.proc.stderr.read().decode()
        time.sleep(1)
        assert viewer_windows(env, "2026-12-7.xls") == viewers, "viewings ended with the recorder"
        assert all(alive(pid) for pid in viewers.values())
        again = Program(exe, work, env, line)
        assert again.alive() and again.holds_lock(), "a viewing kept the folder's lock"
        click(again, EXIT_BUTTON)
        assert again.wait(10) == 0
        window, pid = next(iter(viewers.items()))
        ask_to_close(env, window)
        wait_for("the closed viewing to end", lambda: not alive(pid), 10)
        del viewers[window]
        assert viewer_windows(env, "2026-12-7.xls") == viewers
        print("viewing: both viewings outlived the recorder; a closed one ended its process")
        print("3 passed, 0 failed")
    finally:
        for pid in viewers.values():
            if alive(pid):
                os.kill(pid, 9)
        xvfb.terminate()
        xvfb.wait()
        line.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
