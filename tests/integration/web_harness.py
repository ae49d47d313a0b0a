"""Runs the headless dravik-server with one Web definition for the web tests.

The binary is copied into a fresh folder with a Servers folder beside it, as a
user would lay it out, and the shared files are made in a folder next to it.
When the tests run as root the program runs under a throw-away unprivileged user
id, which is how people run it and gives each test its own single-instance lock
so tests can run side by side.
"""

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def drive_form(path):
    """/tmp/x -> C:\\tmp\\x, the form definitions store."""
    return "C:" + path.replace("/", "\\")


def web_path(path):
    """/tmp/x y -> /C/tmp/x%20y, what a browser sends for the page's link."""
    return "/C" + path.replace(" ", "%20")


def fail(message):
    raise SystemExit("FAIL: " + message)


class WebServer:
    """files: list of (name, content bytes or size in bytes, description)."""

    def __init__(self, binary, name="Test share", files=(), username="", password=""):
        self.root = tempfile.mkdtemp(prefix="dravik-web-")
        os.chmod(self.root, 0o755)
        self.share = os.path.join(self.root, "shared files")
        os.mkdir(self.share)
        os.mkdir(os.path.join(self.root, "Servers"))
        self.exe = os.path.join(self.root, "dravik-server")
        shutil.copy(binary, self.exe)
        self.port = free_port()
        self.paths = []
        lines = [
            "[Info]", f"Name={name}", "Banner=", "Type=1", "Directories=0",
            f"Files={len(files)}", f"Username={username}", f"Password={password}",
            f"Port={self.port}", "Limit=0", "Active=1", "Multiple=1", "Tray=0",
        ]
        for i, (fname, content, description) in enumerate(files):
            path = os.path.join(self.share, fname)
            self._write(path, content)
            self.paths.append(path)
            lines += [f"[File.{i}]", f"Path={drive_form(path)}", f"Description={description}"]
        self.definition = os.path.join(self.root, "Servers", "260101120000000.server")
        with open(self.definition, "w") as f:
            f.write("\n".join(lines) + "\n")
        self.uid = None
        cmd = [self.exe]
        if os.geteuid() == 0:
            self.uid = 20000 + os.getpid() % 30000
            for dirpath, _, filenames in os.walk(self.root):
                for p in [dirpath] + [os.path.join(dirpath, n) for n in filenames]:
                    os.chown(p, self.uid, self.uid)
            cmd = ["setpriv", f"--reuid={self.uid}", f"--regid={self.uid}",
                   "--clear-groups"] + cmd
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        self.stdout = open(os.path.join(self.root, "stdout.log"), "w+")
        self.stderr = open(os.path.join(self.root, "stderr.log"), "w+")
        self.proc = subprocess.Popen(cmd, cwd=self.root, env=env, stdout=self.stdout,
                                     stderr=self.stderr)
        self.wait_for_line("Web Server Started on ")

    @staticmethod
    def _write(path, content):
        with open(path, "wb") as f:
            if isinstance(content, int):
                block = os.urandom(1 << 20)
                left = content
                while left > 0:
                    f.write(block[:min(left, len(block))])
                    left -= len(block)
            else:
                f.write(content)

    def url(self, path="/"):
        return f"http://127.0.0.1:{self.port}{path}"

    def link_of(self, index):
        return web_path(self.paths[index])

    def output(self):
        self.stdout.flush()
        with open(self.stdout.name) as f:
            return f.read()

    def errors(self):
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
        fail(f"no {count} line(s) with {text!r}; stdout:\n{self.output()}\n"
             f"stderr:\n{self.errors()}")

    def stop(self):
        code = None
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                code = self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.stdout.close()
        self.stderr.close()
        shutil.rmtree(self.root, ignore_errors=True)
        return code

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
