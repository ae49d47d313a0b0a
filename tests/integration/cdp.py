"""Headless Chromium driven through its DevTools protocol over a pair of pipes
(--remote-debugging-pipe): the browser reads commands on its fd 3 and writes
answers and events on its fd 4, each one JSON text ended by a NUL byte. No
websocket and no port are involved, so nothing else on the machine can talk to it.
"""

import collections
import fcntl
import json
import os
import select
import shutil
import signal
import subprocess
import tempfile
import time

FLAGS = [
    "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync",
    "--disable-quic", "--remote-debugging-pipe",
]


class CdpError(Exception):
    pass


def chromium_path():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        path = shutil.which(name)
        if path:
            return path
    raise CdpError("no Chromium on this machine (scripts/setup.sh installs it)")


def _as_fd3_and_fd4(commands, events):
    """Runs in the child before exec: puts the pipe ends where Chromium expects
    them, through copies above 4 in case either end already is 3 or 4."""
    def setup():
        c = fcntl.fcntl(commands, fcntl.F_DUPFD_CLOEXEC, 10)
        e = fcntl.fcntl(events, fcntl.F_DUPFD_CLOEXEC, 10)
        os.dup2(c, 3)
        os.dup2(e, 4)
    return setup


class Chromium:
    """One browser with a fresh profile, in a process group of its own so that
    close() can end its helper processes too."""

    def __init__(self, *flags):
        self.profile = tempfile.mkdtemp(prefix="dravik-chromium-")
        to_browser_r, self._to_browser = os.pipe()
        self._from_browser, from_browser_w = os.pipe()
        self.log = open(os.path.join(self.profile, "chromium.log"), "w+")
        try:
            self.proc = subprocess.Popen(
                [chromium_path(), *FLAGS, *flags, f"--user-data-dir={self.profile}",
                 "about:blank"],
                stdin=subprocess.DEVNULL, stdout=self.log, stderr=self.log,
                close_fds=False, start_new_session=True,
                preexec_fn=_as_fd3_and_fd4(to_browser_r, from_browser_w))
        finally:
            os.close(to_browser_r)
            os.close(from_browser_w)
        self._buffer = b""
        self._next_id = 0
        self._events = collections.deque()

    def send(self, method, params=None, session=None):
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self._to_browser, json.dumps(message).encode() + b"\0")
        return self._next_id

    def call(self, method, params=None, session=None, timeout=30):
        """Sends a command and returns its result; events that arrive meanwhile
        are kept for wait_event."""
        wanted = self.send(method, params, session)
        deadline = time.monotonic() + timeout
        while True:
            message = self._read(deadline, f"an answer to {method}")
            if message.get("id") == wanted:
                if "error" in message:
                    raise CdpError(f"{method}: {message['error']}")
                return message["result"]
            if "method" in message:
                self._events.append(message)

    def wait_event(self, method, matches=lambda params: True, timeout=30):
        """Returns the params of the first event named method that matches,
        dropping the other events on the way."""
        deadline = time.monotonic() + timeout
        while True:
            while self._events:
                event = self._events.popleft()
                if event["method"] == method and matches(event["params"]):
                    return event["params"]
            message = self._read(deadline, f"the event {method}")
            if "method" in message:
                self._events.append(message)

    def _read(self, deadline, what):
        while b"\0" not in self._buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                raise CdpError(f"Chromium sent no {what} in time")
            ready, _, _ = select.select([self._from_browser], [], [], left)
            if ready:
                chunk = os.read(self._from_browser, 1 << 16)
                if not chunk:
                    raise CdpError(f"Chromium closed its pipe while we waited for {what}; "
                                   f"its log:\n{self.output()[-3000:]}")
                self._buffer += chunk
        text, _, self._buffer = self._buffer.partition(b"\0")
        return json.loads(text)

    def output(self):
        self.log.flush()
        with open(self.log.name, errors="replace") as f:
            return f.read()

    def close(self):
        """Asks the browser to quit, then ends its process group whatever the
        answer, and removes the profile."""
        try:
            self.send("Browser.close")
            self.proc.wait(10)
        except (OSError, subprocess.TimeoutExpired):
            pass
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.proc.wait()
        os.close(self._to_browser)
        os.close(self._from_browser)
        self.log.close()
        shutil.rmtree(self.profile, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
