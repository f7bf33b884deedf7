"""The journal proof: the real program records rows from reply frames written into its port
(a pseudo-terminal) under a virtual X display, "保存" is clicked now and then, and the process
is killed with SIGKILL at a random moment, over and over. Each restart takes the rows of the
journal back and a click on "保存" stores them. After every kill and every such store: each
row that was ever recorded (found in the journal or in the day's workbook) is in the workbook
or the journal, and no row is in the workbook twice; after the store following each restart
every recorded row is in the workbook exactly once and the journal is empty.

usage: journal_kill_proof.py PROGRAM PORT_PATH [--kills N] [--seed S]
"""
import argparse
import collections
import os
import random
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from desktop import SAVE_BUTTON, start_xvfb  # noqa: E402
from recorder import (JOURNAL, Line, Program, copy_program, frame, journal_rows,  # noqa: E402
                      stored_rows)


def twice(rows):
    return [r for r, n in collections.Counter(rows).items() if n > 1]


def wait_journal_empty(work, timeout=10):
    path = os.path.join(work, JOURNAL)
    deadline = time.monotonic() + timeout
    while os.path.getsize(path) != 0:
        assert time.monotonic() < deadline, "the store did not empty the journal"
        time.sleep(0.02)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("program")
    parser.add_argument("port")
    parser.add_argument("--kills", type=int, default=100)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    rng = random.Random(args.seed)

    work = tempfile.mkdtemp(prefix="weighbridge-journal-")
    line = Line(args.port)
    xvfb = None
    try:
        exe = copy_program(args.program, work)
        xvfb, display = start_xvfb()
        env = dict(os.environ, DISPLAY=display)
        env.pop("QT_QPA_PLATFORM", None)

        recorded = set()
        weight = 0
        recovered_total = 0
        dropped_after_store = 0  # kills that left a stored journal behind (commit line)
        started = time.monotonic()
        for kill in range(args.kills):
            prog = Program(exe, work, env, line)
            held = journal_rows(work)
            recovered_total += len(held)
            # The next store after the restart: every recorded row exactly once.
            prog.click(SAVE_BUTTON)
            wait_journal_empty(work)
            stored = stored_rows(work)
            assert not twice(stored), "kill %d: stored twice: %r" % (kill, twice(stored))
            assert set(stored) == recorded, "kill %d: recorded but not stored: %r" % (
                kill, sorted(recorded - set(stored)))

            # Rows, a store now and then, and the kill at a random moment.
            deadline = time.monotonic() + rng.uniform(0.2, 1.5)
            save_at = time.monotonic() + rng.uniform(0, 1.5) if rng.random() < 0.5 else None
            while time.monotonic() < deadline:
                weight += 1
                line.send(frame(weight))
                if save_at and time.monotonic() > save_at:
                    prog.click(SAVE_BUTTON)
                    save_at = None
                time.sleep(rng.uniform(0.005, 0.04))
            time.sleep(rng.uniform(0, 0.03))
            assert prog.alive(), "the program ended by itself"
            prog.kill()
            prog.wait(10)

            journal = journal_rows(work)
            stored = stored_rows(work)
            assert not twice(stored), "after kill %d: stored twice: %r" % (kill, twice(stored))
            recorded |= set(journal) | set(stored)
            if set(journal) & set(stored):
                dropped_after_store += 1

        prog = Program(exe, work, env, line)
        prog.click(SAVE_BUTTON)
        wait_journal_empty(work)
        stored = stored_rows(work)
        assert not twice(stored) and set(stored) == recorded
        prog.kill()
        prog.wait(10)
        print("kills %d, rows recorded %d, stored exactly once %d, taken back from the journal "
              "at restarts %d, kills that left stored rows in the journal %d (%.0f s)" % (
                  args.kills, len(recorded), len(stored), recovered_total, dropped_after_store,
                  time.monotonic() - started))
    finally:
        if xvfb:
            xvfb.terminate()
            xvfb.wait()
        line.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
