"""The real program under Chinese and decimal-comma locales: for the same readings it writes
the same cells (serial numbers, gross, tare, net and the row counter; dates and times keep
the locale's own forms), continues its own day's workbook over two runs, and reads the tare
"1500.5" as 1500.5 everywhere.

usage: test_locales_e2e.py PROGRAM SIMULATOR PORT_PATH
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
from desktop import (EXIT_BUTTON, RECORD_BUTTON, SAVE_BUTTON, TARE_BOX, clean_up, click,  # noqa: E402
                     find_window, start_xvfb)

LOCALES = ["zh_CN.UTF-8", "de_DE.UTF-8", "ru_RU.UTF-8"]


def one_run(exe, simulator, port, display, locale, weight):
    """Starts the program in `locale` on a scale reading `weight` (the answer to its one
    query, recorded as it arrives); types the tare 1500.5, records the reading again with
    "记录", saves and leaves with "退出"."""
    if os.path.lexists(port):
        os.remove(port)
    sim = subprocess.Popen(
        [simulator, "--pty", "--link", port, "--mode", "answer", "--weight", weight,
         "--decimals", "1", "--quiet"],
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        sim.stdout.readline()
        env = dict(os.environ, DISPLAY=display, LANG=locale, LC_ALL=locale)
        env.pop("QT_QPA_PLATFORM", None)
        app = subprocess.Popen([exe], env=env, cwd=os.path.dirname(exe),
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        window = find_window(env)
        time.sleep(1.5)
        click(env, window, TARE_BOX)
        subprocess.run(["xdotool", "type", "--delay", "50", "1500.5"], env=env, check=True,
                       timeout=10)
        time.sleep(0.3)
        click(env, window, RECORD_BUTTON)
        time.sleep(0.3)
        click(env, window, SAVE_BUTTON)
        time.sleep(0.5)
        click(env, window, EXIT_BUTTON)
        code = app.wait(timeout=20)
        assert code == 0, "%s: exit status %d: %s" % (locale, code, app.stderr.read().decode())
    finally:
        sim.terminate()
        sim.wait()


def cells_of(folder, locale):
    books = glob.glob(os.path.join(folder, "*.xls"))
    assert len(books) == 1, "%s: day's workbooks %r" % (locale, books)
    book = xlrd.open_workbook(books[0])
    assert book.nsheets == 1, "%s: sheets %r" % (locale, book.sheet_names())
    sheet = book.sheet_by_index(0)
    # Every cell but the date and the time, whose forms are the locale's.
    return [[sheet.cell(r, c).ctype, sheet.cell_value(r, c)] for r in range(sheet.nrows)
            for c in ((7,) if r == 0 else (0, 3, 4, 5, 6))]


def main():
    program, simulator, port = sys.argv[1:4]
    xvfb, display = start_xvfb()
    work = tempfile.mkdtemp(prefix="weighbridge-locales-")
    try:
        found = {}
        for locale in LOCALES:
            folder = os.path.join(work, locale)
            os.mkdir(folder)
            exe = os.path.join(folder, "weighbridge")
            shutil.copy2(program, exe)
            one_run(exe, simulator, port, display, locale, "2000.0")
            one_run(exe, simulator, port, display, locale, "3000.0")
            found[locale] = cells_of(folder, locale)
        want = [[2, 5.0],                                   # H1
                [2, 1.0], [0, ""], [2, 2000.0], [2, 0.0], [2, 0.0],
                [2, 2.0], [0, ""], [2, 2000.0], [2, 1500.5], [2, 499.5],
                [2, 3.0], [0, ""], [2, 3000.0], [2, 0.0], [2, 0.0],
                [2, 4.0], [0, ""], [2, 3000.0], [2, 1500.5], [2, 1499.5]]
        for locale in LOCALES:
            assert found[locale] == want, "%s wrote %r" % (locale, found[locale])
        print("%d passed, 0 failed: the same cells under %s" % (len(LOCALES), ", ".join(LOCALES)))
    finally:
        clean_up(xvfb, port, work)


if __name__ == "__main__":
    main()
