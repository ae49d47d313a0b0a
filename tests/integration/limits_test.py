"""Strangers must not be able to hold a server or guess its password at leisure.
Real clients against the real binary: first with short limits (the timeouts and
the pause after a wrong password), then with the default ones under abuse (a
thousand idle connections, a password-guessing loop, a slow-header flood), while
a well-behaved client from another address must still be served within a second."""

import base64
import ftplib
import http.client
import os
import resource
import selectors
import socket
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ftp_harness import PASSWORD, USER, Server  # noqa: E402
from harness import expect  # noqa: E402
from web_harness import WebServer  # noqa: E402

AUTH = {"Authorization": "Basic " + base64.b64encode(b"bob:pw").decode()}
WRONG = {"Authorization": "Basic " + base64.b64encode(b"bob:guess").decode()}


def ftp_error(call):
    try:
        call()
    except (ftplib.Error, EOFError, OSError) as e:
        return str(e)
    return ""


def timed(call):
    start = time.monotonic()
    result = call()
    return result, time.monotonic() - start


def ftp_short_limits(binary):
    # Four seconds: time for three guesses, a second each, before the login deadline.
    with Server(binary, extra_info=["IdleTimeout=4"]) as server:
        idle = server.connect()
        time.sleep(4.5)
        reply = ftp_error(lambda: idle.voidcmd("NOOP"))
        expect(reply.startswith("421 Timeout (4 seconds)"), f"idle session got {reply!r}")
        server.wait_for_line("Idle timeout after 4 seconds")

        guesser = ftplib.FTP()
        guesser.connect("127.0.0.1", server.port, timeout=10)
        reply, took = timed(lambda: ftp_error(lambda: guesser.login(USER, "wrong")))
        expect(reply.startswith("530") and took >= 0.9, f"first guess: {reply!r} in {took:.2f} s")
        ftp_error(lambda: guesser.login(USER, "wrong"))
        ftp_error(lambda: guesser.login(USER, "wrong"))
        reply = ftp_error(lambda: guesser.login(USER, PASSWORD))
        expect(reply.startswith("421 Too many failed logins."), f"after three: {reply!r}")


def ftp_client_limit(binary):
    # Turned away by the server's own limit (Multiple=0: one client), a client left
    # no activity line.
    with Server(binary, multiple=False) as server:
        first = server.connect()
        second = ftplib.FTP()
        reply = ftp_error(lambda: second.connect("127.0.0.1", server.port, timeout=10))
        expect(reply.startswith("421 Too many users connected."), f"second client got {reply!r}")
        server.wait_for_line("(127.0.0.1) Deny: Too many users connected (limit 1)")
        first.quit()


def web_short_limits(binary):
    files = [("a.txt", b"web file\n", "A file")]
    with WebServer(binary, files=files, username="bob", password="pw",
                   extra_info=["IdleTimeout=2"]) as server:
        def get(headers):
            conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=10)
            conn.request("GET", "/", headers=headers)
            return conn.getresponse().status
        status, took = timed(lambda: get({}))
        expect(status == 401 and took < 0.5, f"no credentials: {status} in {took:.2f} s")
        status, took = timed(lambda: get(WRONG))
        expect(status == 401 and took >= 0.9, f"wrong credentials: {status} in {took:.2f} s")
        expect(get(AUTH) == 200, "right credentials refused")

        # A client that ends its sending side after the request still reads: the
        # delayed 401 used to be lost with the connection.
        half = socket.create_connection(("127.0.0.1", server.port), timeout=5)
        half.sendall(b"GET / HTTP/1.0\r\nAuthorization: " + WRONG["Authorization"].encode() +
                     b"\r\n\r\n")
        half.shutdown(socket.SHUT_WR)
        answer = half.makefile("rb").read()
        expect(answer.startswith(b"HTTP/1.0 401 "), f"half-closed client got {answer[:40]!r}")

        # A request without a path gets no answer; it must not hold its connection.
        pathless = socket.create_connection(("127.0.0.1", server.port), timeout=10)
        pathless.sendall(b"GET\r\n\r\n")
        answer, took = timed(lambda: pathless.recv(100))
        expect(answer == b"" and took < 4, f"pathless request: {answer!r} after {took:.1f} s")
        server.wait_for_line("Request not answered within 2 seconds")

        trickle = socket.create_connection(("127.0.0.1", server.port), timeout=5)
        trickle.sendall(b"GET / HTTP/1.1\r\n")
        ended = False
        for _ in range(10):
            time.sleep(0.5)
            try:
                trickle.sendall(b"X")
                ended = trickle.recv(100, socket.MSG_DONTWAIT) == b""
            except BlockingIOError:
                continue
            except OSError:
                ended = True
            if ended:
                break
        expect(ended, "a trickled header kept its connection")
        server.wait_for_line("Request header not complete within 2 seconds")


def served_quickly(what, call):
    _, took = timed(call)
    expect(took < 1.0, f"{what}: the well-behaved client waited {took:.2f} s")


def ftp_abuse(binary):
    with Server(binary) as server:
        idle = [socket.create_connection(("127.0.0.1", server.port), timeout=5,
                                         source_address=("127.0.0.2", 0)) for _ in range(1000)]
        served_quickly("1000 idle connections", lambda: server.connect().nlst())
        server.wait_for_line("Deny: Too many connections from this address", count=900)

        def guess():
            ftp = ftplib.FTP(source_address=("127.0.0.3", 0))
            ftp.connect("127.0.0.1", server.port, timeout=10)
            for _ in range(3):
                ftp_error(lambda: ftp.login(USER, "guess"))
        # Opened before the block, it must not go on guessing once the block is on.
        early = ftplib.FTP(source_address=("127.0.0.3", 0))
        early.connect("127.0.0.1", server.port, timeout=10)
        guessers = [threading.Thread(target=guess) for _ in range(4)]
        for t in guessers:
            t.start()
        time.sleep(0.3)
        served_quickly("a guessing loop", lambda: server.connect().nlst())
        for t in guessers:
            t.join(20)
        blocked = socket.create_connection(("127.0.0.1", server.port), timeout=5,
                                           source_address=("127.0.0.3", 0))
        banner = blocked.makefile("rb").readline()
        expect(banner == b"421 Too many failed logins from your address; try again later.\r\n",
               f"a blocked address got {banner!r}")
        server.wait_for_line("(127.0.0.3) Deny: Address blocked for 10 minutes")
        reply = ftp_error(lambda: early.login(USER, PASSWORD))
        expect(reply.startswith("421 Too many failed logins from your address"),
               f"a session opened before the block logged in: {reply!r}")
        for s in idle + [blocked]:
            s.close()


class SilentFlood(threading.Thread):
    """Keeps per_source silent connections open from each source address and opens
    a new one as soon as one is cut; a refused one is tried again 50 ms later."""

    def __init__(self, port, sources, per_source=20):
        super().__init__(daemon=True)
        self.port, self.sources, self.per_source = port, sources, per_source
        self.selector = selectors.DefaultSelector()
        self.full = threading.Event()
        self.done = threading.Event()
        self.cut = 0

    def open(self, source):
        try:
            s = socket.create_connection(("127.0.0.1", self.port), timeout=5,
                                         source_address=(source, 0))
        except OSError:
            return False
        s.setblocking(False)
        self.selector.register(s, selectors.EVENT_READ, source)
        return True

    def run(self):
        waiting = [src for src in self.sources for _ in range(self.per_source)]
        while not self.done.is_set():
            waiting = [src for src in waiting if not self.open(src)]
            if not waiting:
                self.full.set()
            for key, _ in self.selector.select(0.05):
                try:
                    data = key.fileobj.recv(4096)
                except OSError:
                    data = b""
                if data and b"421 " not in data:
                    continue  # the greeting
                self.cut += b"Login timeout" in data
                self.selector.unregister(key.fileobj)
                key.fileobj.close()
                if b"Login timeout" in data and self.open(key.data):
                    continue
                waiting.append(key.data)
        for key in list(self.selector.get_map().values()):
            key.fileobj.close()

    def __enter__(self):
        self.start()
        expect(self.full.wait(20), "the flood did not get its connections")
        return self

    def __exit__(self, *exc):
        self.done.set()
        self.join(10)


def ftp_silent_flood(binary):
    # Five addresses hold all 100 slots without logging in and take each back as it
    # is cut; once they are ten seconds old, a client from a sixth still gets in.
    sources = [f"127.0.0.{i}" for i in range(2, 7)]
    with Server(binary) as server, SilentFlood(server.port, sources) as flood:
        time.sleep(10.5)
        for _ in range(3):
            server.connect().quit()
            time.sleep(0.5)  # the flood takes the slot back
        lines = server.wait_for_line("Login timeout: slot given to a new client", count=3)
        expect(all(line.split("(")[1].split(")")[0] in sources for line in lines),
               f"a slot was taken from the newcomer's side: {lines}")
        expect(flood.cut >= 3, f"the flood saw {flood.cut} of its connections cut")


def web_abuse(binary):
    files = [("a.txt", b"web file\n", "A file")]
    with WebServer(binary, files=files, username="bob", password="pw") as server:
        slow = []
        for _ in range(300):
            s = socket.create_connection(("127.0.0.1", server.port), timeout=5,
                                         source_address=("127.0.0.4", 0))
            s.sendall(b"GET / HTTP/1.1\r\nHost: x")
            slow.append(s)

        def get():
            conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=10)
            conn.request("GET", server.link_of(0), headers=AUTH)
            answer = conn.getresponse()
            expect(answer.read() == b"web file\n", "download failed under the flood")
        served_quickly("a slow-header flood", get)
        for s in slow:
            s.close()

        # Opened before its address was blocked, a connection gets nothing after.
        early = socket.create_connection(("127.0.0.1", server.port), timeout=10,
                                         source_address=("127.0.0.5", 0))

        def guess():
            conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=10,
                                              source_address=("127.0.0.5", 0))
            conn.request("GET", "/", headers=WRONG)
            conn.getresponse().read()
        guessers = [threading.Thread(target=guess) for _ in range(10)]
        for t in guessers:
            t.start()
        for t in guessers:
            t.join(20)
        server.wait_for_line("(127.0.0.5) Deny: Address blocked for 10 minutes")
        early.sendall(b"GET / HTTP/1.0\r\nAuthorization: " + AUTH["Authorization"].encode() +
                      b"\r\n\r\n")
        answer = early.makefile("rb").read()
        expect(answer == b"", f"a connection opened before the block got {answer[:30]!r}")


def read_slowly(sock):
    """About 1 MB/s, steadily: the kernel's send buffer (megabytes) takes longer than
    the one-second limit to drain, so the server writes nothing for a while."""
    got = 0
    while data := sock.recv(65536):
        got += len(data)
        time.sleep(0.06)
    return got


def slow_readers(binary):
    size = 6 << 20
    web = WebServer(binary, files=[("big.bin", size, "Big")], extra_info=["IdleTimeout=1"])
    with web:
        conn = socket.create_connection(("127.0.0.1", web.port), timeout=30)
        conn.sendall(f"GET {web.link_of(0)} HTTP/1.0\r\n\r\n".encode())
        got = read_slowly(conn)
        expect(got > size, f"a slow web reader was cut off after {got} bytes")
    with Server(binary, extra_info=["IdleTimeout=1"]) as server:
        with open(os.path.join(server.share, "big.bin"), "wb") as f:
            f.truncate(size)
        ftp = server.connect()
        data = ftp.transfercmd("RETR big.bin")
        got = read_slowly(data)
        data.close()
        reply = ftp_error(ftp.voidresp)
        expect(got == size and not reply, f"a slow FTP reader got {got} bytes, {reply!r}")


def stalled_readers(binary):
    # A reader that stops is cut at the limit, within a second of it: the peer's
    # buffers filling right after the send stopped once counted as reading, and
    # doubled the time; looks a quarter of the limit apart then cut it a quarter late.
    limit, size = 8, 6 << 20
    took = {}

    def ftp():
        with Server(binary, extra_info=[f"IdleTimeout={limit}"]) as server:
            with open(os.path.join(server.share, "big.bin"), "wb") as f:
                f.truncate(size)
            session = server.connect()
            data = session.transfercmd("RETR big.bin")
            data.recv(1000)
            reply, took["ftp"] = timed(lambda: ftp_error(session.voidresp))
            data.close()
            expect(reply.startswith("426 "), f"a stalled FTP reader was answered {reply!r}")

    def web():
        with WebServer(binary, files=[("big.bin", size, "Big")],
                       extra_info=[f"IdleTimeout={limit}"]) as server:
            conn = socket.create_connection(("127.0.0.1", server.port), timeout=30)
            conn.sendall(f"GET {server.link_of(0)} HTTP/1.0\r\n\r\n".encode())
            conn.recv(1000)
            _, took["web"] = timed(lambda: server.wait_for_line(
                f"Answer not read for {limit} seconds", timeout=3 * limit))
            conn.close()

    threads = [threading.Thread(target=t) for t in (ftp, web)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(6 * limit)
    for engine in ("ftp", "web"):
        seconds = took.get(engine)
        expect(seconds is not None and limit - 0.1 < seconds < limit + 1.5,
               f"a stalled {engine} reader was cut after {seconds} s (limit {limit} s)")


def main(binary):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 4096)), hard))
    for test in (ftp_short_limits, ftp_client_limit, web_short_limits, slow_readers,
                 stalled_readers, ftp_abuse, web_abuse, ftp_silent_flood):
        test(binary)
        print(f"ok   {test.__name__}")


if __name__ == "__main__":
    main(sys.argv[1])
