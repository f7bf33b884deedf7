"""Takes the documentation's screenshots of the real program under a virtual X display in
a Chinese desktop language (LANG=zh_CN.UTF-8), its port 1 on the indicator simulator:

  docs/message-box.png    a message box with its OK button (the port missing at start)
  docs/exit-prompt.png    the Yes/No prompt on closing with unsaved rows
  docs/file-dialog.png    the file dialog of "查看"
  docs/store-failed.png   a failed store's message with its reason (a full disk)

The full disk is a small tmpfs in a mount namespace of its own (root only; skipped else).

usage: take_screenshots.py PROGRAM SIMULATOR PORT_PATH GRAB_WINDOW OUT_DIR
  PROGRAM is the test build of the program (its port 1 is PORT_PATH).
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from desktop import find_window, remove_stale_lock, start_xvfb  # noqa: E402

BOX_TITLE = "^地磅数据记录$"
VIEW_BUTTON = (140, 360)   # "查看" at 1680 twips from the left
SAVE_BUTTON = (220, 360)


class Run:
    def __init__(self, program, simulator, port, grab, out):
        self.program, self.simulator, self.port, self.grab, self.out = \
            program, simulator, port, grab, out
        self.xvfb, display = start_xvfb()
        self.env = dict(os.environ, DISPLAY=display, LANG="zh_CN.UTF-8", LC_ALL="zh_CN.UTF-8")
        self.env.pop("QT_QPA_PLATFORM", None)
        self.children = []

    def simulate(self):
        if os.path.lexists(self.port):
            os.remove(self.port)
        sim = subprocess.Popen([self.simulator, "--pty", "--link", self.port, "--mode", "stream",
                                "--fps", "4", "--lead-ms", "1500", "--seed", "5", "--quiet"],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        sim.stdout.readline()
        self.children.append(sim)

    def start(self, folder, wrapper=()):
        exe = os.path.join(folder, "weighbridge")
        if not wrapper:
            shutil.copy2(self.program, exe)
        app = subprocess.Popen(list(wrapper) + [exe], env=self.env, cwd=folder,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               start_new_session=True)
        self.children.append(app)
        return app

    def xdo(self, *args, timeout=20):
        return subprocess.run(["xdotool", *args], env=self.env, capture_output=True, text=True,
                              timeout=timeout).stdout.split()

    def box(self, title=BOX_TITLE):
        return self.xdo("search", "--sync", "--onlyvisible", "--name", title)[0]

    def click(self, window, at):
        self.xdo("mousemove", "--window", window, str(at[0]), str(at[1]), "click", "1")

    def shoot(self, window, name):
        time.sleep(0.8)  # drawn completely
        path = os.path.join(self.out, name)
        subprocess.run([self.grab, window, path], env=self.env, check=True)
        print("wrote", path)

    def close(self):
        for child in reversed(self.children):
            if child.poll() is None:
                try:
                    os.killpg(child.pid, signal.SIGKILL)
                except (PermissionError, ProcessLookupError):
                    child.kill()
                child.wait()
        self.children = []


def main():
    program, simulator, port, grab, out = (os.path.abspath(a) for a in sys.argv[1:6])
    work = tempfile.mkdtemp(prefix="weighbridge-shots-")
    run = Run(program, simulator, port, grab, out)
    try:
        # The port missing at start: the message box with its OK button.
        if os.path.lexists(port):
            os.remove(port)
        os.makedirs(os.path.join(work, "a"))
        run.start(os.path.join(work, "a"))
        run.shoot(run.box(), "message-box.png")
        run.close()

        # Rows recorded, then the window asked to close: the Yes/No prompt.
        os.makedirs(os.path.join(work, "b"))
        run.simulate()
        app = run.start(os.path.join(work, "b"))
        window = find_window(run.env)
        time.sleep(4)
        run.click(window, SAVE_BUTTON)  # a workbook for the dialog to list
        time.sleep(2)
        run.click(window, VIEW_BUTTON)
        time.sleep(2)
        dialog = [w for w in run.xdo("search", "--onlyvisible", "--pid", str(app.pid), "--name", ".")
                  if w != window]
        run.shoot(dialog[0], "file-dialog.png")
        run.xdo("key", "--window", dialog[0], "Escape")
        time.sleep(1)
        os.kill(app.pid, signal.SIGTERM)
        run.shoot(run.box("^保存信息$"), "exit-prompt.png")
        run.close()

        # A store into a full disk: the program's folder on a tmpfs with no room left.
        if os.geteuid() != 0:
            print("store-failed.png skipped: a tmpfs needs root")
            return 0
        folder = os.path.join(work, "c")
        os.makedirs(folder)
        size = os.path.getsize(program) + 64 * 1024
        script = "\n".join([
            "set -e",
            f"mount -t tmpfs -o size={size} none {folder}",
            f"cp {program} {folder}/weighbridge",
            f"dd if=/dev/zero of={folder}/.filler bs=4k 2>/dev/null || true",
            f"exec {folder}/weighbridge",
        ])
        run.simulate()
        run.start(folder, wrapper=("unshare", "-m", "--propagation", "private", "sh", "-c",
                                   script, "--"))
        window = find_window(run.env)
        time.sleep(5)
        run.click(window, SAVE_BUTTON)
        run.shoot(run.box(), "store-failed.png")
        run.close()
        return 0
    finally:
        run.close()
        run.xvfb.kill()
        run.xvfb.wait()
        if os.path.lexists(port):
            os.remove(port)
        remove_stale_lock(port)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
