"""A virtual X display for tests that drive the real program's window."""
import contextlib
import ctypes
import os
import shutil
import subprocess


def start_xvfb(fbdir=None, any_account=False):
    """Starts Xvfb on a free display number; returns the process and the DISPLAY value. With
    `fbdir` the screen is also kept as an XWD image in the file Xvfb_screen0 there; with
    `any_account` programs of every account on this machine may use it, and it is not reset
    when the last of them ends (a program started just then found no display)."""
    read_fd, write_fd = os.pipe()
    extra = (["-fbdir", fbdir] if fbdir else []) + (["-ac", "-noreset"] if any_account else [])
    xvfb = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "640x480x24", "-nolisten", "tcp"]
        + extra,
        pass_fds=[write_fd], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_fd)
    number = b""
    while not number.endswith(b"\n"):
        chunk = os.read(read_fd, 16)
        if not chunk:
            raise RuntimeError("Xvfb did not start")
        number += chunk
    os.close(read_fd)
    return xvfb, ":" + number.decode().strip()


def clean_up(xvfb, port, work):
    """Ends the display and removes the port's link, a lock of it left behind and the work
    folder of a run."""
    if xvfb:
        xvfb.terminate()
        xvfb.wait()
    if os.path.lexists(port):
        os.remove(port)
    remove_stale_lock(port)
    shutil.rmtree(work, ignore_errors=True)


def port_lock_path(port):
    """The lock file the serial port layer keeps for the device at `port`."""
    name = port[len("/dev/"):] if port.startswith("/dev/") else port
    return "/run/lock/LCK.." + name.replace("/", "_")


def lock_holder(port):
    """The process named in the lock file of the port at `port`; None without one."""
    try:
        with open(port_lock_path(port)) as f:
            return int(f.readline().split()[0])
    except (OSError, ValueError, IndexError):
        return None


def remove_stale_lock(port):
    """Removes the lock of the test port `port` (a path in the build tree, so its lock is the
    tests' own) when its process has ended: a program killed with SIGKILL leaves its lock in
    the host's /run/lock."""
    pid = lock_holder(port)
    try:
        if pid is not None:
            os.kill(pid, 0)
    except ProcessLookupError:
        with contextlib.suppress(FileNotFoundError):
            os.remove(port_lock_path(port))


def find_window(env, title="地磅数据记录系统", timeout=20):
    """The X window id of the program's main window, once it is mapped."""
    out = subprocess.run(["xdotool", "search", "--sync", "--name", title], env=env,
                         capture_output=True, text=True, timeout=timeout).stdout.split()
    return out[0]


# Button middles in pixels: the buttons sit 5160 twips down, 855 by 495 twips, 15 twips a pixel.
RECORD_BUTTON = (60, 360)  # "记录" at 480 twips from the left
SAVE_BUTTON = (220, 360)   # "保存" at 2880 twips from the left
EXIT_BUTTON = (300, 360)   # "退出" at 4080 twips from the left

# The tare box's middle: 1920 twips from the left, 1440 down, 2895 by 495 twips.
TARE_BOX = (224, 112)


def click(env, window, point):
    """A left click at `point` (pixels) inside the program's window."""
    subprocess.run(["xdotool", "mousemove", "--window", window, str(point[0]), str(point[1]),
                    "click", "1"], env=env, check=True, timeout=10)


class _ClientMessage(ctypes.Structure):
    """Xlib's XClientMessageEvent, padded to the size of an XEvent."""
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong),
                ("message_type", ctypes.c_ulong), ("format", ctypes.c_int),
                ("data", ctypes.c_long * 5), ("pad", ctypes.c_long * 12)]


def ask_to_close(env, window):
    """What a window manager does for the title bar's close button: a WM_DELETE_WINDOW
    message to the window (a bare Xvfb has no window manager)."""
    x11 = ctypes.cdll.LoadLibrary("libX11.so.6")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XInternAtom.restype = ctypes.c_ulong
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                               ctypes.c_void_p]
    x11.XFlush.argtypes = [ctypes.c_void_p]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    display = x11.XOpenDisplay(env["DISPLAY"].encode())
    if not display:
        raise RuntimeError("cannot open display %s" % env["DISPLAY"])
    event = _ClientMessage()
    event.type = 33  # ClientMessage
    event.window = int(window)
    event.message_type = x11.XInternAtom(display, b"WM_PROTOCOLS", 0)
    event.format = 32
    event.data[0] = x11.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
    x11.XSendEvent(display, int(window), 0, 0, ctypes.byref(event))
    x11.XFlush(display)
    x11.XCloseDisplay(display)
