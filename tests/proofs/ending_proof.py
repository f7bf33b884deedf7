"""The held rows at the end of a run and across the hour, the real program under a virtual X
display, its port on a pseudo-terminal the proof writes reply frames into:

  sigterm      rows held, SIGTERM, with no box open and with "仪表连接失败！" open: the
               program ends with status 0 within 5 s, the rows are in the day's workbook, the
               journal is empty and the port's lock file is gone; "退出" also removes the lock.
  hour-box     rows held, the box open across hh:00:00 and answered at hh:00:05: the time
               line changes every second while the box is open, nothing is stored before the
               answer, and the rows are stored by hh:00:07.
  clock-jump   rows held at hh:30, the clock set forward to hh+1:20 (no tick in the new
               hour's first 20 minutes): the rows are stored within 2 s.
  suspended    rows held, the process stopped (SIGSTOP) across hh:00:00 and resumed at
               hh:00:03: the rows are stored within 2 s.
  second-start a second start in the same folder while the first runs: it says so in a box
               and ends with status 0, leaving the journal and the port alone; the first
               one's 退出 stores the three rows once. A start after a run killed with
               SIGKILL takes its lock over and recovers its row.
  close-in-box the window's close asked for while "仪表连接失败！" is open: once the box is
               answered the save prompt follows, and 是 stores the row.
  thanks-term  close, 是, and SIGTERM while the thanks box is open: the three rows once.
  no-at-hour   the save prompt open across hh:00:00 and answered 否 at hh:00:05: no
               workbook, and nothing comes back at the next start.

usage: ending_proof.py PROGRAM PORT_PATH [CASE ...]
"""
import datetime
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from desktop import EXIT_BUTTON, start_xvfb  # noqa: E402
from recorder import (Line, Program, copy_program, find_box, frame,  # noqa: E402
                      journal_rows, next_hour, offset_for, port_lock, set_clock, stored_rows)

ALL = ["sigterm", "hour-box", "clock-jump", "suspended", "second-start", "close-in-box",
       "thanks-term", "no-at-hour"]


def feed(prog, weights):
    for w in weights:
        prog.line.send(frame(w))
        time.sleep(0.15)
    deadline = time.monotonic() + 5
    while len(journal_rows(prog.work)) < len(weights):
        assert time.monotonic() < deadline, "rows not recorded: %r" % journal_rows(prog.work)
        time.sleep(0.05)


def wait_stored(work, weights, seconds):
    """Seconds until the day's workbook holds `weights`; fails after `seconds`."""
    start = time.monotonic()
    while True:
        try:
            if stored_rows(work) == [str(w) for w in weights]:
                return time.monotonic() - start
        except Exception:  # a workbook being replaced
            pass
        assert time.monotonic() - start < seconds, "stored %r, expected %r" % (
            stored_rows(work), weights)
        time.sleep(0.05)


def region(fbfile, x, y, w, h):
    """Pixels of a rectangle of the screen, from Xvfb's XWD frame buffer file."""
    with open(fbfile, "rb") as f:
        data = f.read()
    head = [int.from_bytes(data[i:i + 4], "big") for i in range(0, 100, 4)]
    header_size, ncolors, bpp, stride = head[0], head[19], head[11], head[12]
    base = header_size + 12 * ncolors
    return b"".join(data[base + (y + r) * stride + x * bpp // 8:
                         base + (y + r) * stride + (x + w) * bpp // 8] for r in range(h))


def run_case(case, program, port, env, fbfile):
    work = tempfile.mkdtemp(prefix="weighbridge-end-")
    line = Line(port)
    try:
        exe = copy_program(program, work)
        if case == "sigterm":
            for how in ["no box", "box open", "退出"]:
                for f in os.listdir(work):
                    if f != "weighbridge":
                        os.remove(os.path.join(work, f))
                prog = Program(exe, work, env, line)
                assert prog.holds_lock(), "no lock file of the program for its port"
                weights = [1000 + i for i in range(5)]
                feed(prog, weights)
                if how == "box open":
                    line.send(frame(2222, bad=True))
                    prog.box()
                started = time.monotonic()
                if how == "退出":
                    prog.click(EXIT_BUTTON)
                else:
                    prog.kill(signal.SIGTERM)
                code = prog.wait(5)
                took = time.monotonic() - started
                assert code == 0, "exit status %d" % code
                assert stored_rows(work) == [str(w) for w in weights], stored_rows(work)
                assert journal_rows(work) == [], "journal not emptied"
                lock, pid = port_lock(port)
                assert pid is None, "port lock %s left behind (process %s)" % (lock, pid)
                print("sigterm/%s: ended with 0 after %.2f s, %d rows stored, journal empty, "
                      "lock %s removed" % (how, took, len(weights),
                                           os.path.basename(lock)))
        elif case == "hour-box":
            boundary = next_hour()
            set_clock(work, offset_for(boundary) - 9)
            t0 = time.monotonic()  # program time = boundary - 9 s + elapsed
            prog = Program(exe, work, env, line)
            feed(prog, [3001, 3002, 3003])
            line.send(frame(3333, bad=True))
            box = prog.box()
            # Keep the box away from the time line so the line can be seen.
            subprocess.run(["xdotool", "windowmove", box, "380", "20"], env=env, check=True)
            geo = subprocess.run(["xdotool", "getwindowgeometry", prog.window], env=env,
                                 capture_output=True, text=True).stdout
            pos = geo.split("Position:")[1].split()[0].split(",")
            wx, wy = int(pos[0]), int(pos[1])
            # Time line: 480 twips from the left, 4560 down, 15 twips a pixel.
            shots = []
            while time.monotonic() - t0 < 9 + 5:  # until hh:00:05
                shots.append(region(fbfile, wx + 32, wy + 304, 250, 24))
                time.sleep(1.0)
            assert prog.alive()
            assert stored_rows(work) == [], "stored while the box was open"
            changes = sum(1 for a, b in zip(shots, shots[1:]) if a != b)
            assert changes >= len(shots) - 2, "time line changed %d times in %d s" % (
                changes, len(shots) - 1)
            answered = time.monotonic()
            prog.answer_box(box)
            took = wait_stored(work, [3001, 3002, 3003], 2.0)
            del answered
            print("hour-box: box open from hh:59:53 to hh:00:05, time line changed %d times "
                  "in %d s while open, nothing stored before the answer, rows stored %.2f s "
                  "after it" % (changes, len(shots) - 1, took))
            prog.kill(signal.SIGTERM)
            prog.wait(5)
        elif case == "clock-jump":
            half = next_hour().replace(minute=30) - datetime.timedelta(hours=1)
            set_clock(work, offset_for(half))
            prog = Program(exe, work, env, line)
            feed(prog, [4001, 4002])
            time.sleep(1.2)
            assert stored_rows(work) == []
            set_clock(work, offset_for(half + datetime.timedelta(minutes=50)))
            took = wait_stored(work, [4001, 4002], 2.0)
            print("clock-jump: clock set from hh:30 to hh+1:20, rows stored %.2f s later" % took)
            prog.kill(signal.SIGTERM)
            prog.wait(5)
        elif case == "suspended":
            boundary = next_hour()
            set_clock(work, offset_for(boundary) - 8)
            t0 = time.monotonic()
            prog = Program(exe, work, env, line)
            feed(prog, [5001, 5002])
            while time.monotonic() - t0 < 7:
                time.sleep(0.05)
            prog.kill(signal.SIGSTOP)
            time.sleep(4.0)  # hh:59:59 to hh:00:03: no tick at hh:00:00
            assert stored_rows(work) == []
            prog.kill(signal.SIGCONT)
            took = wait_stored(work, [5001, 5002], 2.0)
            print("suspended: stopped from hh:59:59 to hh:00:03, rows stored %.2f s after "
                  "resuming" % took)
            prog.kill(signal.SIGTERM)
            prog.wait(5)
        elif case == "second-start":
            prog = Program(exe, work, env, line)
            feed(prog, [6001, 6002, 6003])
            second = subprocess.Popen([exe], env=env, cwd=work, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.PIPE)
            box = find_box(env, "地磅数据记录")
            prog.answer_box(box)
            code = second.wait(5)
            assert code == 0, "the second start ended with %s: %s" % (
                code, second.stderr.read().decode(errors="replace")[-3000:])
            assert prog.holds_lock(), "the second start touched the port"
            assert journal_rows(work) == ["6001", "6002", "6003"], journal_rows(work)
            prog.click(EXIT_BUTTON)
            assert prog.wait(5) == 0
            assert stored_rows(work) == ["6001", "6002", "6003"], stored_rows(work)
            # A run killed leaves its lock behind: the next start takes it over.
            killed = Program(exe, work, env, line)
            feed(killed, [6004])
            killed.kill()
            killed.wait(5)
            again = Program(exe, work, env, line)
            again.click(EXIT_BUTTON)
            assert again.wait(5) == 0
            assert stored_rows(work) == ["6001", "6002", "6003", "6004"], stored_rows(work)
            print("second-start: the second start ended by itself, three rows stored once; "
                  "the lock of a killed run was taken over")
        elif case == "close-in-box":
            prog = Program(exe, work, env, line)
            feed(prog, [7001])
            line.send(frame(7777, bad=True))
            box = prog.box()
            prog.ask_to_close()
            time.sleep(0.5)
            assert prog.alive()
            prog.answer_box(box)
            prompt = prog.box(title="保存信息")
            prog.answer_box(prompt, "y")
            thanks = prog.box(title="消息")
            assert stored_rows(work) == ["7001"], stored_rows(work)
            prog.answer_box(thanks)
            assert prog.wait(5) == 0
            print("close-in-box: the close asked under the box was taken up once it was "
                  "answered; 是 stored the row")
        elif case == "thanks-term":
            prog = Program(exe, work, env, line)
            feed(prog, [8001, 8002, 8003])
            prog.ask_to_close()
            prog.answer_box(prog.box(title="保存信息"), "y")
            prog.box(title="消息")
            prog.kill(signal.SIGTERM)
            assert prog.wait(5) == 0
            assert stored_rows(work) == ["8001", "8002", "8003"], stored_rows(work)
            assert journal_rows(work) == []
            print("thanks-term: SIGTERM under the thanks box, three rows stored once")
        elif case == "no-at-hour":
            boundary = next_hour()
            set_clock(work, offset_for(boundary) - 8)
            t0 = time.monotonic()  # program time = boundary - 8 s + elapsed
            prog = Program(exe, work, env, line)
            feed(prog, [9001, 9002])
            prog.ask_to_close()
            prompt = prog.box(title="保存信息")
            while time.monotonic() - t0 < 8 + 5:  # until hh:00:05
                time.sleep(0.1)
            prog.answer_box(prompt, "n")
            assert prog.wait(5) == 0
            assert stored_rows(work) == [], stored_rows(work)
            again = Program(exe, work, env, line)
            time.sleep(0.5)
            assert journal_rows(work) == []
            again.click(EXIT_BUTTON)
            again.wait(5)
            assert stored_rows(work) == [], stored_rows(work)
            print("no-at-hour: 否 at hh:00:05 after the prompt opened at hh:59:5x: nothing "
                  "stored, nothing recovered")
    finally:
        line.close()
        shutil.rmtree(work, ignore_errors=True)


def main():
    program, port = sys.argv[1:3]
    cases = sys.argv[3:] or ALL
    fbdir = tempfile.mkdtemp(prefix="weighbridge-fb-")
    xvfb, display = start_xvfb(fbdir)
    env = dict(os.environ, DISPLAY=display)
    env.pop("QT_QPA_PLATFORM", None)
    try:
        for case in cases:
            run_case(case, program, port, env, os.path.join(fbdir, "Xvfb_screen0"))
        print("%d passed, 0 failed" % len(cases))
    finally:
        xvfb.terminate()
        xvfb.wait()
        shutil.rmtree(fbdir, ignore_errors=True)


if __name__ == "__main__":
    main()
