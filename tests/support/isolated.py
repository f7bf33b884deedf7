"""A run of the program in a mount namespace of its own (root only), so that what it leaves
behind is not the host's: a /dev that holds only the basic devices, the pseudo-terminals and
the link /dev/weighbridge-com1 to the test's line, and a /run/lock of its own for the serial
port's lock file (a tmpfs that goes with the namespace, or a folder of the test's that keeps a
lock from one run to the next)."""
import os
import shlex
import subprocess


def available():
    """Whether this test may make mount namespaces (root, and unshare allowed)."""
    return os.geteuid() == 0 and subprocess.run(["unshare", "-m", "true"]).returncode == 0


def command(program, line, hostdev, lock_dir=None, account=None, umask=None):
    """The command that starts `program` with port 1 on the pseudo-terminal `line`. `hostdev`
    is an empty folder where the host's /dev is kept within the namespace; `lock_dir` the
    folder that stands for /run/lock (a fresh tmpfs when None); `account` the account the
    program runs as (its own groups with it), with the umask `umask`."""
    q = shlex.quote
    script = [
        "set -e",
        f"mkdir -p {q(hostdev)} && mount --rbind /dev {q(hostdev)}",
        "mount -t tmpfs -o mode=755 none /dev",
        "for n in null zero random urandom tty ptmx; do",
        f"  touch /dev/$n && mount --bind {q(hostdev)}/$n /dev/$n",
        "done",
        f"mkdir /dev/pts /dev/shm && mount --bind {q(hostdev)}/pts /dev/pts",
        "mount -t tmpfs -o mode=1777 none /dev/shm",
        f"ln -s {q(line)} /dev/weighbridge-com1",
        # /var/lock leads to /run/lock on Debian; where it is a folder of its own, it too.
        "for d in /run/lock /var/lock; do",
        "  if [ -d $d ] && [ ! -L $d ]; then",
        (f"    mount --bind {q(lock_dir)} $d" if lock_dir
         else "    mount -t tmpfs -o mode=1777 none $d"),
        "  fi",
        "done",
    ]
    if umask is not None:
        script.append("umask %03o" % umask)
    run = [program]
    if account:
        run = ["setpriv", f"--reuid={account}", f"--regid={account}", "--init-groups", "--"] + run
    script.append("exec " + " ".join(q(a) for a in run))
    return ["unshare", "-m", "--propagation", "private", "sh", "-c", "\n".join(script)]
