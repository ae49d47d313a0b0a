"""How much one abusive connection costs everybody else, measured on the real
headless program:

- a flood of bare LF bytes on one web connection: how long a second client waits
  for a small file while the server takes the flood in (the worst of many probes);
- the same on an FTP control connection whose client reads the replies: how long
  another session waits for the reply to NOOP;
- commands sent to the FTP control connection by a client that never reads the
  replies: how far the program's resident memory grows, and how much of the flood
  the server took before it stopped reading.

    python3 bench/flood_bench.py build/dravik-server [flood MB ...]   (default 2 4)
"""

import os
import socket
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "integration"))
from ftp_harness import PASSWORD, USER, Server  # noqa: E402
from web_harness import WebServer  # noqa: E402

MB = 1 << 20


def rss_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def probe(server):
    """Seconds for one complete GET of the shared file on a new connection."""
    start = time.monotonic()
    with socket.create_connection(("127.0.0.1", server.port), timeout=300) as s:
        s.sendall(f"GET {server.link_of(0)} HTTP/1.0\r\n\r\n".encode())
        while s.recv(65536):
            pass
    return time.monotonic() - start


def unread_bytes(server_port, client_port):
    """Bytes the server has not read yet on the connection from client_port, from the
    kernel's table of TCP sockets."""
    with open("/proc/net/tcp") as f:
        for row in f.readlines()[1:]:
            fields = row.split()
            local, remote = fields[1], fields[2]
            if (int(local.split(":")[1], 16) == server_port and
                    int(remote.split(":")[1], 16) == client_port):
                return int(fields[4].split(":")[1], 16)
    return 0


def web_flood(binary, megabytes):
    with WebServer(binary, files=[("a.txt", b"probe\n", "A file")]) as server:
        quiet = min(probe(server) for _ in range(20))
        flood = socket.create_connection(("127.0.0.1", server.port), timeout=300)
        flood_port = flood.getsockname()[1]
        done = threading.Event()

        def send():
            flood.sendall(b"\n" * (megabytes * MB))
            done.set()
        sender = threading.Thread(target=send)
        start = time.monotonic()
        sender.start()
        worst = 0.0
        taken_in = None
        # Probes until the server has read the whole flood, and a few more.
        while time.monotonic() - start < 600:
            took = probe(server)
            worst = max(worst, took)
            if taken_in is None and done.is_set() and unread_bytes(server.port, flood_port) == 0:
                taken_in = time.monotonic() - start
            if taken_in is not None and time.monotonic() - start > taken_in + 0.2:
                break
            time.sleep(0.002)
        sender.join()
        flood.close()
        return quiet, worst, taken_in


def ftp_flood(binary, megabytes):
    """LF bytes on one control connection whose client does read the replies:
    the worst wait of another logged-in session for NOOP while they come in."""
    with Server(binary) as server:
        other = socket.create_connection(("127.0.0.1", server.port), timeout=300)
        replies = other.makefile("rb")
        replies.readline()

        def command(text):
            start = time.monotonic()
            other.sendall(text + b"\r\n")
            replies.readline()
            return time.monotonic() - start
        command(f"USER {USER}".encode())
        command(f"PASS {PASSWORD}".encode())
        quiet = min(command(b"NOOP") for _ in range(20))
        flood = socket.create_connection(("127.0.0.1", server.port), timeout=300)

        def drain():
            try:
                while flood.recv(MB):
                    pass
            except OSError:
                pass
        reader = threading.Thread(target=drain)
        reader.start()
        done = threading.Event()

        def send():
            flood.sendall(b"\n" * (megabytes * MB))
            done.set()
        sender = threading.Thread(target=send)
        sender.start()
        worst = 0.0
        while not done.is_set():
            worst = max(worst, command(b"NOOP"))
        for _ in range(50):
            worst = max(worst, command(b"NOOP"))
        sender.join()
        flood.shutdown(socket.SHUT_RDWR)
        reader.join()
        flood.close()
        return quiet, worst


def ftp_unread(binary, megabytes, line, login):
    with Server(binary) as server:
        s = socket.create_connection(("127.0.0.1", server.port), timeout=10)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
        s.recv(1000)  # the greeting
        if login:
            s.sendall(f"USER {USER}\r\nPASS {PASSWORD}\r\n".encode())
            time.sleep(0.3)
        time.sleep(0.2)
        before = rss_kb(server.proc.pid)
        payload = line * (megabytes * MB // len(line))
        s.settimeout(3)
        sent = 0
        try:
            while sent < len(payload):
                sent += s.send(payload[sent:sent + MB])
        except socket.timeout:
            pass
        # Until the server has settled: memory unchanged for a second.
        last, stable_since = rss_kb(server.proc.pid), time.monotonic()
        while time.monotonic() - stable_since < 1.0:
            time.sleep(0.1)
            now = rss_kb(server.proc.pid)
            if now != last:
                last, stable_since = now, time.monotonic()
        growth = last - before
        s.close()
        return sent, growth


def main(binary, sizes):
    for mb in sizes:
        quiet, worst, taken_in = web_flood(binary, mb)
        print(f"web: {mb} MB of LF on one connection: another client waited at worst "
              f"{worst * 1000:.1f} ms (best {quiet * 1000:.1f} ms without the flood); "
              f"the server read the flood in {taken_in:.2f} s", flush=True)
    for mb in sizes:
        quiet, worst = ftp_flood(binary, mb)
        print(f"ftp: {mb} MB of LF on one control connection (replies read): another "
              f"session's NOOP waited at worst {worst * 1000:.1f} ms "
              f"(best {quiet * 1000:.1f} ms without the flood)", flush=True)
    for line, login in ((b"X\r\n", False), (b"FEAT\r\n", True)):
        sent, growth = ftp_unread(binary, 20, line, login)
        what = line.decode().strip() + (" after login" if login else " before login")
        print(f"ftp: 20 MB of {what}, replies unread: server took {sent / MB:.1f} MB, "
              f"RSS grew {growth / 1024:.1f} MB", flush=True)


if __name__ == "__main__":
    main(sys.argv[1], [int(a) for a in sys.argv[2:]] or [2, 4])
