"""The kill proof: the real program runs under a virtual X display with its port on a
pseudo-terminal fed by the indicator simulator at the line's full rate, "保存" is clicked
every few tens of milliseconds, and the process is killed with SIGKILL, over and over: at a
random instant, or a random few milliseconds after a store has begun writing (a new file
under a temporary name, or a day's file written in place). After the
first round the day's workbook is replaced by a large one that someone edited in a
spreadsheet application (a bold, coloured header, a column width, merged cells with a note,
a formula column), so that a store takes long enough to be hit and every store goes through
the record-level editor. After every kill each workbook in the program's folder must open
in xlrd, the row counter in H1 of each sheet must match the sheet's rows, the serial numbers
must run 1, 2, 3, ... without a gap across the sheets, no row stored before may be gone,
and the edits must be there.

usage: kill_proof.py PROGRAM SIMULATOR PORT_PATH [--kills N] [--seed S] [--rows R]
"""
import argparse
import glob
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import xlrd
import xlwt

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from desktop import SAVE_BUTTON, find_window, remove_stale_lock, start_xvfb  # noqa: E402

RECORD = ".weighbridge-saved-header"  # a save in place's headers, marked until it ends


def writes_begun(work, before):
    """How long a store that has begun writing since the day's files had the times `before`
    may still write (seconds): a new file under a temporary name longer than a save in
    place; None when none has."""
    if glob.glob(os.path.join(work, ".*.xls.??????")):
        return 0.02
    return 0.006 if day_times(work) != before else None


def day_times(work):
    return {p: os.stat(p).st_mtime_ns for p in glob.glob(os.path.join(work, "*.xls"))}


def cut_off(work):
    """Whether the kill left a write unfinished: a temporary file, or a save in place whose
    header was recorded and not yet written (the record still marked)."""
    if glob.glob(os.path.join(work, ".*.xls.??????")):
        return True
    try:
        with open(os.path.join(work, RECORD), "rb") as f:
            return f.read(8) == b"WBHEAD2\n"
    except OSError:
        return False

CAPTIONS = ["序号", "日期", "时间", "车号", "毛重", "皮重", "净重"]


def day_books(folder):
    return sorted(p for p in glob.glob(os.path.join(folder, "*.xls")) if "-damaged-" not in p)


def check_book(path):
    """Rows of the workbook after the header rows; raises AssertionError on any fault."""
    book = xlrd.open_workbook(path)
    serial = 0
    for number in range(1, book.nsheets + 1):
        sheet = book.sheet_by_index(number - 1)
        assert sheet.name.lower() == "sheet%d" % number, "%s: sheet %r" % (path, sheet.name)
        assert [sheet.cell_value(0, c) for c in range(7)] == CAPTIONS, "%s: captions" % path
        counter = int(float(sheet.cell_value(0, 7)))
        assert counter == sheet.nrows, "%s sheet%d: H1 says %d, the sheet has %d rows" % (
            path, number, counter, sheet.nrows)
        for r in range(1, sheet.nrows):
            serial += 1
            got = int(float(sheet.cell_value(r, 0)))
            assert got == serial, "%s sheet%d row %d: serial %d, expected %d" % (
                path, number, r + 1, got, serial)
    return serial


NOTE = "备注：本表由办公室编辑"
WIDTH = 5000


def make_large(path, rows):
    """Replaces the day's workbook by one of `rows` rows in the program's layout, edited."""
    old = xlrd.open_workbook(path).sheet_by_index(0)
    date = old.cell_value(1, 1) if old.nrows > 1 else "2026/12/7"
    book = xlwt.Workbook(encoding="utf-8")
    sheet = book.add_sheet("Sheet1")
    head = xlwt.easyxf("font: bold on; pattern: pattern solid, fore_colour light_yellow")
    for c, caption in enumerate(CAPTIONS):
        sheet.write(0, c, caption, head)
    sheet.write(0, 7, str(rows + 1))
    sheet.col(3).width = WIDTH
    sheet.write_merge(0, 0, 9, 11, NOTE)
    for r in range(1, rows + 1):
        sheet.write(r, 0, str(r))
        sheet.write(r, 1, date)
        sheet.write(r, 2, "08:%02d:%02d" % (r // 60 % 60, r % 60))
        sheet.write(r, 3, "")
        sheet.write(r, 4, str(1000 + r % 40000))
        sheet.write(r, 5, "")
        sheet.write(r, 6, "")
        sheet.write(r, 8, xlwt.Formula("E%d*2" % (r + 1)))
    book.save(path + ".new")
    os.replace(path + ".new", path)


def check_edits(path, formula_type):
    """The edits of make_large() are all still there; a formula cell reads as the kind of
    value it read as at first."""
    book = xlrd.open_workbook(path, formatting_info=True)
    sheet = book.sheet_by_index(0)
    assert (0, 1, 9, 12) in sheet.merged_cells, "%s: the merged cells are gone" % path
    assert sheet.cell_value(0, 9) == NOTE, "%s: the note is gone" % path
    assert sheet.colinfo_map[3].width == WIDTH, "%s: the column width is gone" % path
    font = book.font_list[book.xf_list[sheet.cell_xf_index(0, 0)].font_index]
    assert font.bold, "%s: the header is no longer bold" % path
    assert sheet.cell_type(2, 8) == formula_type, "%s: the formula column is gone" % path


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("program")
    parser.add_argument("simulator")
    parser.add_argument("port")
    parser.add_argument("--kills", type=int, default=100)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--rows", type=int, default=50000)
    args = parser.parse_args()
    rng = random.Random(args.seed)

    work = tempfile.mkdtemp(prefix="weighbridge-kill-")
    xvfb = sim = None
    try:
        exe = os.path.join(work, "weighbridge")
        shutil.copy2(args.program, exe)
        if os.path.lexists(args.port):
            os.remove(args.port)
        sim = subprocess.Popen(
            [args.simulator, "--pty", "--link", args.port, "--mode", "stream", "--stay",
             "--seed", str(args.seed), "--decimals", "1", "--quiet"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        sim.stdout.readline()
        xvfb, display = start_xvfb()
        env = dict(os.environ, DISPLAY=display)
        env.pop("QT_QPA_PLATFORM", None)

        stored = 0          # rows known to be in the workbooks
        cut_writes = 0      # kills that left a write unfinished
        ended_early = 0
        made_large = args.rows == 0
        started = time.monotonic()
        for kill in range(args.kills):
            app = subprocess.Popen([exe], env=env, cwd=work,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            window = find_window(env)
            x, y = SAVE_BUTTON
            clicker = subprocess.Popen(
                ["xdotool", "mousemove", "--window", window, str(x), str(y),
                 "click", "--repeat", "100000", "--delay", "30", "1"],
                env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            # Half the kills come at a random instant, the other half a random few
            # milliseconds after a write of the day's workbook has begun.
            deadline = time.monotonic() + rng.uniform(0.3, 2.0)
            aim_at_write = kill % 2 == 1
            before = day_times(work)
            while time.monotonic() < deadline:
                window = writes_begun(work, before) if aim_at_write else None
                if window is not None:
                    time.sleep(rng.uniform(0, window))
                    break
                time.sleep(0.001)
            if app.poll() is not None:
                ended_early += 1
            app.send_signal(signal.SIGKILL)
            app.wait()
            clicker.kill()
            clicker.wait()

            cut_writes += cut_off(work)
            books = day_books(work)
            total = sum(check_book(b) for b in books)
            assert total >= stored, "kill %d: %d rows stored before, %d now" % (
                kill + 1, stored, total)
            stored = total
            if made_large and args.rows > 0:
                check_edits(books[0], formula_type)
            if not made_large and books:
                make_large(books[0], args.rows)
                stored = check_book(books[0])
                formula_type = xlrd.open_workbook(books[0]).sheet_by_index(0).cell_type(2, 8)
                made_large = True

        assert ended_early == 0, "the program ended by itself %d times" % ended_early
        print("kills %d, workbooks checked %d times, writes cut off %d, rows stored %d, "
              "all opened with counters matching, serials without gaps and the edits kept (%.0f s)" % (
                  args.kills, args.kills, cut_writes, stored, time.monotonic() - started))
        assert cut_writes > 0 or args.kills < 40, "no kill landed in a write"
    finally:
        if sim:
            sim.terminate()
            sim.wait()
        if xvfb:
            xvfb.terminate()
            xvfb.wait()
        if os.path.lexists(args.port):
            os.remove(args.port)
        remove_stale_lock(args.port)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
