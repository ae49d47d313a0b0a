"""Anyone on the network can reach a server, so no sequence of bytes may stop it,
hang it or touch a file outside its shares. A few seconds of seeded random command
sequences and raw garbage go to an FTP and a web server; afterwards both must still
serve a real client, and the folder beside the share must be exactly as it was."""

import ftplib
import http.client
import os
import random
import socket
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ftp_harness import PASSWORD, USER, Server  # noqa: E402
from web_harness import WebServer, fail  # noqa: E402

SECONDS = 4
# The flood comes from an address of its own: its wrong passwords get that address
# blocked, as they should, and the real client afterwards must not pay for it.
FLOOD_FROM = ("127.0.0.2", 0)

FTP_COMMANDS = [b"USER ann", b"USER x", b"PASS secret", b"PASS", b"CWD ", b"CDUP", b"PWD",
                b"LIST ", b"NLST ", b"RETR ", b"STOR ", b"APPE ", b"STOU", b"REST ", b"PASV",
                b"PORT 127,0,0,1,4,1", b"PORT 1,2,3", b"ABOR", b"DELE ", b"RNFR ", b"RNTO ",
                b"MKD ", b"RMD ", b"SIZE ", b"MDTM ", b"TYPE I", b"TYPE X", b"FEAT", b"QUIT",
                b"\xff\xf4\xff\xf2ABOR", b"OVER", b"NOOP ", b"RE$T 5", b"SYST", b"MODE S"]
FTP_ARGS = [b"", b"a.txt", b"sub", b"..", b"/C:/", b"/", b"\\\\server\\share", b"D:x",
            b"C:\\a:b", b"*", b"*.*", b"%s%n%x%d", b"a\x00b", b"A" * 3000,
            b"../outside/secret.txt", b"sub/../../outside", b"./x", b"\xff\xff\xff",
            b"/C:" + os.sep.encode() + b"etc/passwd", b"-99999999999999999999"]
LINE_ENDS = [b"\r\n", b"\n", b"\r", b""]


def random_bytes(rng, most):
    return bytes(rng.getrandbits(8) for _ in range(rng.randint(0, most)))


def ftp_session(rng, port):
    with socket.create_connection(("127.0.0.1", port), timeout=0.05,
                                  source_address=FLOOD_FROM) as s:
        for _ in range(rng.randint(1, 30)):
            line = rng.choice(FTP_COMMANDS)
            if line.endswith(b" "):
                line += rng.choice(FTP_ARGS)
            if rng.random() < 0.1:
                line = random_bytes(rng, 400)
            s.sendall(line + rng.choice(LINE_ENDS))
            if rng.random() < 0.3:
                try:
                    s.recv(65536)
                except socket.timeout:
                    pass


def web_session(rng, port, auth):
    requests = [
        b"GET / HTTP/1.1\r\nAuthorization: Basic " + auth + b"\r\n\r\n",
        b"GET / HTTP/1.0\r\nConnection: keep-alive\r\nauthorization: basic " + auth + b"\r\n\r\n",
        b"HEAD / HTTP/1.0\r\n\r\n",
        b"POST / HTTP/1.0\r\nContent-Length: 5\r\n\r\nhello",
        b"POST / HTTP/1.0\r\nContent-Length: -5\r\n\r\n",
        b"POST / HTTP/1.0\r\nContent-Length: 99999999999999999999\r\n\r\n",
        b"GET /%2e%2e/%2e%2e/etc/passwd HTTP/1.0\r\n\r\n",
        b"GET /C/%2e%2e/etc/passwd HTTP/1.0\r\nAuthorization: Basic " + auth + b"\r\n\r\n",
        b"GET /" + b"A" * 70000 + b" HTTP/1.0\r\n\r\n",
        b"GET / HTTP/1.0\r\nAuthorization: Basic " + b"=" * 50 + b"\r\n\r\n",
        b"GET / HTTP/1.0\r\nAuthorization: Basic\r\n\r\n",
        b"GET %zz%0 HTTP/1.0\r\n\r\n",
        b"OPTIONS * HTTP/1.0\r\n\r\n",
        b"\r\n\r\n\r\n",
    ]
    with socket.create_connection(("127.0.0.1", port), timeout=0.05,
                                  source_address=FLOOD_FROM) as s:
        for _ in range(rng.randint(1, 4)):
            request = rng.choice(requests)
            if rng.random() < 0.2:
                request = random_bytes(rng, 600)
            s.sendall(request)
        try:
            s.recv(65536)
        except socket.timeout:
            pass


def flood(session, seconds):
    rng = random.Random(20261207)
    sessions = 0
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            session(rng)
        except ConnectionRefusedError:
            fail(f"the server stopped listening after {sessions} sessions")
        except OSError:
            pass  # the server may close a session we are still writing to
        sessions += 1
    return sessions


def snapshot(folder):
    """Every folder and file under folder with its content, except the program's own
    logs and definition (the definition is rewritten at start)."""
    found = {}
    for dirpath, dirnames, filenames in os.walk(folder):
        for name in dirnames:
            found[os.path.relpath(os.path.join(dirpath, name), folder)] = None
        for name in filenames:
            path = os.path.join(dirpath, name)
            rel = os.path.relpath(path, folder)
            if rel.endswith(".log") or rel.startswith("Servers" + os.sep):
                continue
            with open(path, "rb") as f:
                found[rel] = f.read()
    return found


def ftp_survives(binary):
    server = Server(binary, shares=(("share", True, False, True),))
    outside = os.path.join(server.root, "outside")
    os.mkdir(outside)
    with open(os.path.join(outside, "secret.txt"), "w") as f:
        f.write("secret")
    os.mkdir(os.path.join(server.share, "sub"))
    with open(os.path.join(server.share, "a.txt"), "w") as f:
        f.write("shared")
    before = snapshot(server.root)
    with server:
        count = flood(lambda rng: ftp_session(rng, server.port), SECONDS)
        print(f"ftp: {count} sessions")
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", server.port, timeout=10)
        ftp.login(USER, PASSWORD)
        lines = []
        ftp.retrlines("RETR a.txt", lines.append)
        if lines != ["shared"]:
            fail(f"after the flood RETR gave {lines!r}")
        ftp.quit()
        after = snapshot(server.root)
        if after != before:
            fail(f"the flood changed files: {sorted(set(after) ^ set(before))} "
                 f"{[k for k in after if k in before and after[k] != before[k]]}")


def web_survives(binary):
    import base64
    auth = base64.b64encode(b"bob:pw")
    files = [("a.txt", b"web file\n", "A file")]
    with WebServer(binary, files=files, username="bob", password="pw") as server:
        count = flood(lambda rng: web_session(rng, server.port, auth), SECONDS)
        print(f"web: {count} sessions")
        conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=10)
        conn.request("GET", server.link_of(0), headers={"Authorization": "Basic " + auth.decode()})
        answer = conn.getresponse()
        body = answer.read()
        if answer.status != 200 or body != b"web file\n":
            fail(f"after the flood the download gave {answer.status} {body!r}")


def main(binary):
    ftp_survives(binary)
    web_survives(binary)
    print("ok")


if __name__ == "__main__":
    main(sys.argv[1])
