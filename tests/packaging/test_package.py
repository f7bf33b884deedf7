"""The Debian package end to end: built with cpack from the build tree, its contents and
dependencies read back with dpkg-deb, checked by lintian (no errors), unpacked into a
temporary root with dpkg -x, and the unpacked program started under a virtual X display
with /dev/weighbridge-com1 linked to the indicator simulator's pseudo-terminal: its window
comes up and its query arrives on the line.

The start runs in a mount namespace of its own, with a /dev that holds only what the
program needs and a /run/lock of its own, so the device link and the port's lock file are the
program's alone and gone with it. Exits 77 (skipped) where such a namespace cannot be made.

usage: test_package.py BUILD_DIR SIMULATOR
"""
import glob
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import isolated  # noqa: E402
from desktop import find_window, lock_holder, start_xvfb  # noqa: E402

SKIP = 77
PROGRAM = "opt/weighbridge/weighbridge"
CONTENTS = [
    PROGRAM,
    "lib/udev/rules.d/60-weighbridge.rules",
    "usr/share/applications/weighbridge.desktop",
    "usr/share/icons/hicolor/scalable/apps/weighbridge.svg",
    "usr/share/doc/weighbridge/copyright",
    "usr/share/doc/weighbridge/changelog.gz",
]
# Packages the program needs that no library dependency brings in, and its libraries.
DEPENDS = ["qt6-qpa-plugins", "fonts-wqy-zenhei", "qt6-translations-l10n", "libqt6widgets6",
           "libqt6serialport6", "libfreexl1"]
# The program reads and writes its compound files itself: libgsf is the tests' alone.
NOT_DEPENDS = ["libgsf-1-114"]


def build_package(build, out):
    subprocess.run(["cpack", "-G", "DEB", "--config", os.path.join(build, "CPackConfig.cmake"),
                    "-B", out], check=True, stdout=subprocess.DEVNULL, cwd=build)
    debs = glob.glob(os.path.join(out, "*.deb"))
    assert len(debs) == 1, debs
    return debs[0]


def check_package(deb):
    listing = subprocess.run(["dpkg-deb", "-c", deb], check=True, capture_output=True,
                             text=True).stdout
    paths = {line.split()[-1].lstrip("./") for line in listing.splitlines()}
    for wanted in CONTENTS:
        assert wanted in paths, f"{wanted} is not in the package:\n{listing}"
    depends = subprocess.run(["dpkg-deb", "-f", deb, "Depends"], check=True,
                             capture_output=True, text=True).stdout
    names = {alt.split()[0] for dep in depends.split(",") for alt in dep.split("|")}
    for wanted in DEPENDS:
        assert wanted in names, f"{wanted} is not a dependency: {depends}"
    for unwanted in NOT_DEPENDS:
        assert unwanted not in names, f"{unwanted} is a dependency: {depends}"
    if shutil.which("lintian"):
        run = subprocess.run(["lintian", "--fail-on", "error", deb], capture_output=True,
                             text=True)
        assert run.returncode == 0, "lintian reports errors:\n" + run.stdout + run.stderr
        for line in run.stdout.splitlines():
            print("lintian:", line)
    else:
        raise AssertionError("lintian is not installed (scripts/setup.sh installs it)")


def start_installed(root, simulator, work):
    """Starts the unpacked program with port 1 on the simulator, and ends it once its window
    is up and its query has reached the simulator; its process number."""
    log = os.path.join(work, "frames.log")
    sim = subprocess.Popen([simulator, "--pty", "--mode", "answer", "--log", log, "--quiet"],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    pty = sim.stdout.readline().decode().strip()
    xvfb, display = start_xvfb()
    program = os.path.join(root, PROGRAM)
    env = dict(os.environ, DISPLAY=display, LANG="zh_CN.UTF-8")
    env.pop("QT_QPA_PLATFORM", None)
    app = None
    try:
        # The program's /dev and /run/lock are its namespace's: the SIGKILL that ends it
        # leaves its port lock there, not on the host.
        app = subprocess.Popen(isolated.command(program, pty, os.path.join(work, "hostdev")),
                               env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                               start_new_session=True)
        window = find_window(env, timeout=30)
        assert window, "the window did not come up"
        deadline = time.time() + 20
        while time.time() < deadline:
            if os.path.exists(log) and any(not l.startswith("#") for l in open(log)):
                break
            assert app.poll() is None, "the program ended: " + app.stderr.read().decode()
            time.sleep(0.1)
        else:
            raise AssertionError("no query reached the simulator on /dev/weighbridge-com1")
        return app.pid
    finally:
        if app is not None and app.poll() is None:
            os.killpg(app.pid, signal.SIGKILL)
            app.wait()
        sim.kill()
        sim.wait()
        xvfb.kill()
        xvfb.wait()


def main():
    build, simulator = (os.path.abspath(a) for a in sys.argv[1:3])
    work = tempfile.mkdtemp(prefix="weighbridge-package-")
    try:
        deb = build_package(build, os.path.join(work, "out"))
        check_package(deb)
        root = os.path.join(work, "root")
        subprocess.run(["dpkg", "-x", deb, root], check=True)
        if not isolated.available():
            print("package checked; the start is skipped: no mount namespace here")
            return SKIP
        pid = start_installed(root, simulator, work)
        assert lock_holder("/dev/weighbridge-com1") != pid, "the killed program's lock is left"
        print("package built, checked and started: window up, query on /dev/weighbridge-com1")
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
