"""The real program end to end: started under a virtual X display with its port on a
pseudo-terminal fed by the indicator simulator, it records the simulator's readings; a
click on "退出" ends the process, and the day's workbook holds every recorded row.

usage: test_exit_e2e.py PROGRAM SIMULATOR PORT_PATH
"""
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import time

import xlrd

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from desktop import EXIT_BUTTON, clean_up, find_window, start_xvfb  # noqa: E402


def expected_rows(log_path):
    """Gross weights the program must record: each correct, positive, non-zero reading
    whose frame differs from the one before it."""
    rows, previous = [], None
    with open(log_path) as log:
        for line in log:
            if line.startswith("#") or not line.strip():
                continue
            _, frame, weight, state = line.rstrip("\n").split("\t")
            if state != "ok":
                continue
            if frame != previous and weight not in ("none",) and float(weight) > 0:
                rows.append(float(weight))
            previous = frame
    return rows


def main():
    program, simulator, port = sys.argv[1:4]
    work = tempfile.mkdtemp(prefix="weighbridge-e2e-")
    xvfb = None
    try:
        # The program keeps its workbooks beside itself.
        exe = os.path.join(work, "weighbridge")
        shutil.copy2(program, exe)
        log = os.path.join(work, "frames.log")
        if os.path.lexists(port):
            os.remove(port)
        sim = subprocess.Popen(
            [simulator, "--pty", "--link", port, "--mode", "stream", "--fps", "10",
             "--lead-ms", "1500", "--seed", "11", "--decimals", "1", "--count", "40",
             "--log", log, "--quiet"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        sim.stdout.readline()  # the pty is there once its path is printed
        xvfb, display = start_xvfb()
        env = dict(os.environ, DISPLAY=display)
        env.pop("QT_QPA_PLATFORM", None)
        app = subprocess.Popen([exe], env=env, cwd=work,
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        window = find_window(env)
        sim.wait(timeout=30)
        time.sleep(0.5)
        assert app.poll() is None, "the program ended by itself"
        x, y = EXIT_BUTTON
        subprocess.run(["xdotool", "mousemove", "--window", window, str(x), str(y),
                        "click", "1"], env=env, check=True, timeout=10)
        code = app.wait(timeout=20)
        assert code == 0, "exit status %d: %s" % (code, app.stderr.read().decode())

        books = glob.glob(os.path.join(work, "*.xls"))
        assert len(books) == 1, "day's workbooks: %r" % books
        sheet = xlrd.open_workbook(books[0]).sheet_by_name("Sheet1")
        want = expected_rows(log)
        got = [sheet.cell_value(r, 4) for r in range(1, sheet.nrows)]
        assert want, "the simulator sent no reading to record"
        assert got == want, "rows %r, readings %r" % (got, want)
        assert sheet.cell_value(0, 7) == sheet.nrows, "row counter %r" % sheet.cell_value(0, 7)
        assert [sheet.cell_value(r, 0) for r in range(1, sheet.nrows)] == \
            list(range(1, sheet.nrows))
        print("1 passed, 0 failed: %d rows recorded and saved on exit" % len(got))
    finally:
        clean_up(xvfb, port, work)


if __name__ == "__main__":
    main()
