"""Runs the headless dravik-server with one definition, for the integration tests.

The binary is copied into a fresh folder with a Servers folder beside it, as a
user would lay it out. When the tests run as root the program runs under a
throw-away unprivileged user id: that is how people run it, and it proves active
transfers need no privileged port. Each copy also gets a runtime folder of its
own (XDG_RUNTIME_DIR), which holds its single-instance lock: tests run side by
side, and beside a copy the user runs, without meeting each other.
"""

import ctypes
import hashlib
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time


def die_with_parent():
    """Runs in the child before exec: SIGKILL when the test script ends."""
    libc = ctypes.CDLL(None, use_errno=True)
    PR_SET_PDEATHSIG = 1
    libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)


def free_port():
    """A port free now, below the range the system hands out to outgoing connections:
    a port from that range, free a moment ago, was often some client's by the time
    the program bound it, with tests running side by side."""
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            low = int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        low = 32768
    candidates = list(range(10000, max(low, 10001)))
    random.shuffle(candidates)
    for port in candidates[:200]:
        with socket.socket() as s:
            try:
                s.bind(("127.0.0.1", port))
                return port
            except OSError:
                continue
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def expect(cond, what):
    """Fails the running test with what, unless cond holds."""
    if not cond:
        raise AssertionError(what)


def sha256_file(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def drive_form(path):
    """/tmp/x -> C:\\tmp\\x, the form definitions store."""
    return "C:" + path.replace("/", "\\")


class Program:
    """One copy of the program in a folder of its own. Subclasses make their files
    under root, then call start() with the definition's lines."""

    def __init__(self, binary, prefix):
        self.root = tempfile.mkdtemp(prefix=prefix)
        os.chmod(self.root, 0o755)
        os.mkdir(os.path.join(self.root, "Servers"))
        self.exe = os.path.join(self.root, "dravik-server")
        shutil.copy(binary, self.exe)
        self.port = free_port()
        self.definition = os.path.join(self.root, "Servers", "260101120000000.server")
        self.uid = None
        self.proc = None
        self.runtime = None

    def start(self, lines, started):
        """Writes the definition, launches the program and waits for the activity
        line that contains started."""
        with open(self.definition, "w") as f:
            f.write("\n".join(lines) + "\n")
        cmd = [self.exe]
        # mkdtemp makes it 0700, as the program demands of a runtime folder.
        self.runtime = self.runtime or tempfile.mkdtemp(prefix="dravik-runtime-")
        # The copy dies with this script, even when the test runner kills it, so a
        # failed run leaves nothing behind to meet the next one.
        preexec = die_with_parent
        if os.geteuid() == 0:
            self.uid = 20000 + os.getpid() % 30000
            for dirpath, _, filenames in os.walk(self.root):
                for p in [dirpath] + [os.path.join(dirpath, n) for n in filenames]:
                    os.chown(p, self.uid, self.uid, follow_symlinks=False)
            os.chown(self.runtime, self.uid, self.uid)
            # A change of user clears the parent-death signal; setpriv sets it after.
            cmd = ["setpriv", f"--reuid={self.uid}", f"--regid={self.uid}",
                   "--clear-groups", "--pdeathsig=KILL"] + cmd
            preexec = None
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        env["XDG_RUNTIME_DIR"] = self.runtime
        self.stdout = open(os.path.join(self.root, "stdout.log"), "w+")
        self.stderr = open(os.path.join(self.root, "stderr.log"), "w+")
        self.proc = subprocess.Popen(cmd, cwd=self.root, env=env, stdout=self.stdout,
                                     stderr=self.stderr, preexec_fn=preexec)
        try:
            self.wait_for_line(started)
        except BaseException:
            # A start that never said so must not leave the program running.
            sys.stderr.write("--- dravik-server output ---\n" + self.output() + self.errors())
            self.stop()
            raise

    def give(self, path):
        """Hands a file the test made to the program's user."""
        if self.uid is not None:
            os.chown(path, self.uid, self.uid, follow_symlinks=False)

    def output(self):
        """Standard output: one activity line each."""
        self.stdout.flush()
        with open(self.stdout.name) as f:
            return f.read()

    def errors(self):
        """Standard error: the texts of message boxes."""
        with open(self.stderr.name) as f:
            return f.read()

    def wait_for_line(self, text, count=1, timeout=15):
        """Waits until text appears in count activity lines; returns the lines."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            lines = [l for l in self.output().splitlines() if text in l]
            if len(lines) >= count:
                return lines
            if self.proc.poll() is not None:
                break
            time.sleep(0.05)
        raise SystemExit(f"FAIL: no {count} line(s) with {text!r}; stdout:\n{self.output()}\n"
                         f"stderr:\n{self.errors()}")

    def stop(self):
        """Ends the program with SIGTERM and removes its folder; returns the exit
        code, or None when it had already ended or had to be killed."""
        code = None
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                code = self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        for f in (getattr(self, "stdout", None), getattr(self, "stderr", None)):
            if f:
                f.close()
        shutil.rmtree(self.root, ignore_errors=True)
        if self.runtime:
            shutil.rmtree(self.runtime, ignore_errors=True)
        return code

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if exc[0] is not None and self.proc:
            sys.stderr.write("--- dravik-server output ---\n" + self.output() + self.errors())
        self.stop()
