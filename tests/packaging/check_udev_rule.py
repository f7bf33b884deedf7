"""The package's udev rule through `udevadm test`: the file parses without a complaint, a
serial line that is no USB adapter (a virtual console) gets no /dev/weighbridge-com1, and a
local rule of the kind the rule's comment shows, naming that line, does get the link.

udevadm runs in a mount namespace of its own with empty /dev and /run, so nothing of the
host's devices is touched. (It refuses a made-up sysfs, so USB adapters themselves cannot be
simulated here.) Exits 77 (skipped) where that namespace cannot be made.

usage: check_udev_rule.py RULES_FILE
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

SKIP = 77
DEVICE = "/sys/class/tty/tty1"


def udevadm_test(rules_dir):
    script = "\n".join([
        "set -e",
        "mount -t tmpfs none /run && mkdir -p /run/udev",
        "mount -t tmpfs none /dev && mknod -m 666 /dev/null c 1 3 && mknod /dev/tty1 c 4 1",
        f"mount --bind {rules_dir} /etc/udev/rules.d",
        f"udevadm test --action=add {DEVICE} 2>&1",
    ])
    return subprocess.run(["unshare", "-m", "sh", "-c", script], capture_output=True, text=True)


def main():
    rules = os.path.abspath(sys.argv[1])
    if os.geteuid() != 0 or shutil.which("udevadm") is None or not os.path.exists(DEVICE):
        print("skipped: needs root, udevadm and", DEVICE)
        return SKIP
    with open(rules, encoding="utf-8") as f:
        text = f.read()
    # The pinning example of the comment, turned to the virtual console.
    example = re.search(r'^#\s+(SUBSYSTEM=="tty", ATTRS\{serial\}=="[^"]+", .*)$', text, re.M)
    if example is None:
        print("FAIL: the comment shows no rule pinning an adapter by ATTRS{serial}")
        return 1
    pin = re.sub(r'ATTRS\{serial\}=="[^"]+"', 'KERNEL=="tty1"', example.group(1))

    failures = []
    with tempfile.TemporaryDirectory(prefix="weighbridge-udev-") as work:
        shutil.copy(rules, os.path.join(work, "60-weighbridge.rules"))
        alone = udevadm_test(work)
        if "60-weighbridge.rules" not in alone.stdout:
            print("skipped: udevadm did not run in a namespace of its own:",
                  (alone.stdout + alone.stderr)[-400:])
            return SKIP
        for line in alone.stdout.splitlines():
            if "60-weighbridge.rules" in line and "Reading rules file" not in line:
                failures.append("udevadm complains: " + line)
        if re.search(r"^DEVLINKS=.*weighbridge-com1", alone.stdout, re.M):
            failures.append("a virtual console got the link")
        with open(os.path.join(work, "61-weighbridge-local.rules"), "w") as f:
            f.write(pin + "\n")
        pinned = udevadm_test(work)
        if not re.search(r"^DEVLINKS=.*/dev/weighbridge-com1", pinned.stdout, re.M):
            failures.append("the local rule made no link:\n" + pinned.stdout[-1500:])
    for failure in failures:
        print("FAIL:", failure)
    print("udev rule:", "bad" if failures else "parses, links only what it should")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
