"""Whether the program gives memory back after a flood of connections that begin a
TLS handshake and never finish it, measured on the real headless program: many
clients send a ClientHello, read nothing and hang up. Resident memory is printed
before the flood, at its peak, and every few seconds for a minute after the last
connection closed, with its ratio to the level before.

    python3 bench/tls_flood_bench.py build/dravik-server [connections] [seconds]
        (default 5000 connections, 60 seconds)

Exits non-zero when memory is not back within 20 % of its level before the flood by
the end. Needs an open-file limit above the number of connections.
"""

import os
import resource
import socket
import ssl
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "integration"))
from web_harness import WebServer  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from flood_bench import rss_kb  # noqa: E402


def settled_rss(pid, quiet=1.0, limit=60.0):
    """Resident memory once it has not changed for `quiet` seconds."""
    last, since, start = rss_kb(pid), time.monotonic(), time.monotonic()
    while time.monotonic() - since < quiet and time.monotonic() - start < limit:
        time.sleep(0.1)
        now = rss_kb(pid)
        if now != last:
            last, since = now, time.monotonic()
    return last


def client_hello():
    """The bytes of one ClientHello; every connection sends the same, since the
    server never learns that they were sent before."""
    context = ssl.create_default_context()
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    tls = context.wrap_bio(incoming, outgoing, server_side=False)
    try:
        tls.do_handshake()
    except ssl.SSLWantReadError:
        pass
    return outgoing.read()


def mb(kb):
    return f"{kb / 1024:.1f} MB"


def main(binary, connections, seconds):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < connections + 100:
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, connections + 100), hard))
    hello = client_hello()
    # No cap per address: every connection comes from 127.0.0.1.
    with WebServer(binary, files=[("a.txt", b"probe\n", "A file")],
                   extra_info=("MaxPerAddress=0",)) as server:
        pid = server.proc.pid
        # A few finished requests first, so the level before counts a warmed-up server.
        for _ in range(20):
            with socket.create_connection(("127.0.0.1", server.port), timeout=30) as s:
                s.sendall(f"GET {server.link_of(0)} HTTP/1.0\r\n\r\n".encode())
                while s.recv(65536):
                    pass
        before = settled_rss(pid)
        print(f"before: {mb(before)}", flush=True)

        flood = []
        start = time.monotonic()
        try:
            for _ in range(connections):
                s = socket.create_connection(("127.0.0.1", server.port), timeout=30)
                s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
                s.sendall(hello)
                flood.append(s)
            peak = settled_rss(pid)
            print(f"peak with {len(flood)} half-open handshakes "
                  f"(opened in {time.monotonic() - start:.1f} s): {mb(peak)}", flush=True)
        finally:
            for s in flood:
                s.close()
        closed = time.monotonic()
        after = rss_kb(pid)
        while time.monotonic() - closed < seconds:
            time.sleep(5)
            after = rss_kb(pid)
            print(f"  {time.monotonic() - closed:4.0f} s after closing: {mb(after)} "
                  f"({after / before:.2f} of before)", flush=True)
        ratio = after / before
        print(f"before {mb(before)}, peak {mb(peak)}, {seconds} s after {mb(after)}: "
              f"{ratio:.2f} of before", flush=True)
        return 0 if ratio <= 1.2 else 1


if __name__ == "__main__":
    args = sys.argv[1:]
    sys.exit(main(args[0], int(args[1]) if len(args) > 1 else 5000,
                  int(args[2]) if len(args) > 2 else 60))
