"""Runs the headless dravik-server with one Web definition for the web tests.

The shared files are made in a folder next to the program; see harness.py for
how the program is laid out and run.
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import Program, drive_form  # noqa: E402


def web_path(path):
    """/tmp/x y -> /C/tmp/x%20y, what a browser sends for the page's link."""
    return "/C" + path.replace(" ", "%20")


def fail(message):
    raise SystemExit("FAIL: " + message)


class WebServer(Program):
    """files: list of (name, content bytes or size in bytes, description); a name
    may hold slashes to put the file in folders below the shared one."""

    def __init__(self, binary, name="Test share", files=(), username="", password="",
                 extra_info=()):
        super().__init__(binary, "dravik-web-")
        self.share = os.path.join(self.root, "shared files")
        os.mkdir(self.share)
        self.paths = []
        lines = [
            "[Info]", f"Name={name}", "Banner=", "Type=1", "Directories=0",
            f"Files={len(files)}", f"Username={username}", f"Password={password}",
            f"Port={self.port}", "Limit=0", "Active=1", "Multiple=1", "Tray=0",
            *extra_info,
        ]
        for i, (fname, content, description) in enumerate(files):
            path = os.path.join(self.share, fname)
            self._write(path, content)
            self.paths.append(path)
            lines += [f"[File.{i}]", f"Path={drive_form(path)}", f"Description={description}"]
        self.start(lines, "Web Server Started on ")

    @staticmethod
    def _write(path, content):
        os.makedirs(os.path.dirname(path), exist_ok=True)
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
