"""Real clients move files through the real program: ftplib in passive and active
mode, curl and lftp. The program runs as an unprivileged user when the tests run
as root, so active transfers prove they need no privileged port."""

import ftplib
import io
import os
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ftp_harness  # noqa: E402
from harness import expect, sha256_file  # noqa: E402

BIG = 200 * 1024 * 1024


def make_big(path):
    # Pseudo-random but cheap: a repeated random megabyte with a counter mixed in.
    seed = os.urandom(1 << 20)
    with open(path, "wb") as f:
        for i in range(BIG >> 20):
            f.write(i.to_bytes(4, "little") + seed[4:])


def ftplib_session(server, passive):
    ftp = server.connect(passive)
    payload = os.urandom(1_000_003)
    expect(ftp.storbinary("STOR up.bin", io.BytesIO(payload)) == "226 File received ok", "STOR")
    with open(os.path.join(server.share, "up.bin"), "rb") as f:
        expect(f.read() == payload, "stored bytes")

    out = io.BytesIO()
    expect(ftp.retrbinary("RETR up.bin", out.write) == "226 File sent ok", "RETR")
    expect(out.getvalue() == payload, "retrieved bytes")

    out = io.BytesIO()
    ftp.retrbinary("RETR up.bin", out.write, rest=1_000_000)
    expect(out.getvalue() == payload[1_000_000:], "REST then RETR")

    expect(ftp.storbinary("APPE up.bin", io.BytesIO(b"tail")) == "226 File received ok", "APPE")
    expect(os.path.getsize(os.path.join(server.share, "up.bin")) == len(payload) + 4, "APPE size")

    conn, _ = ftp.ntransfercmd("STOU")
    conn.sendall(b"unique")
    conn.close()
    final = ftp.voidresp()
    expect(final.startswith("250 '") and final.endswith("': file created."), final)
    name = final[5:-len("': file created.")].split("\\")[-1]
    with open(os.path.join(server.share, name), "rb") as f:
        expect(f.read() == b"unique", "STOU content")

    names = ftp.nlst()
    expect("up.bin" in names and name in names, names)
    lines = []
    ftp.retrlines("LIST", lines.append)
    expect(any(line.endswith(" up.bin") and line.startswith("-rw-") for line in lines), lines)
    ftp.quit()


def test_ftplib_passive(server):
    ftplib_session(server, True)


def test_ftplib_active(server):
    ftplib_session(server, False)


def test_abort_then_continue(server):
    path = os.path.join(server.share, "abort.bin")
    with open(path, "wb") as f:
        f.truncate(64 * 1024 * 1024)
    ftp = server.connect()
    conn = ftp.transfercmd("RETR abort.bin")
    conn.recv(1024)
    replies = []
    # As interactive clients abort (RFC 959 4.1.3): Telnet IP, then Telnet Synch with
    # its IAC sent urgent. An urgent byte used to leave the session deaf and spinning.
    ftp.sock.sendall(b"\xff\xf4")
    ftp.sock.send(b"\xff", socket.MSG_OOB)
    ftp.sock.sendall(b"\xf2ABOR\r\n")
    replies.append(ftp.getline())
    replies.append(ftp.getline())
    conn.close()
    expect(replies == ["501 Cannot RETR. ABORT requested by client",
                       "225 ABOR command successful."], replies)
    expect(ftp.sendcmd("NOOP") == "200 Ok. Parameter was ''.", "session goes on")
    # A new passive port asked for in mid-download ends the download; it used to
    # be reported sent whole.
    conn = ftp.transfercmd("RETR abort.bin")
    conn.recv(1024)
    ftp.putcmd("PASV")
    reply = ftp.getline()
    expect(reply == "501 Cannot RETR. Transfer aborted: a new data connection was requested",
           f"a cut download was answered {reply!r}")
    expect(ftp.getline().startswith("227 "), "PASV went unanswered")
    conn.close()
    # A client that ended its side of the data connection early was told "226 File
    # sent ok". Gone, it is told the download failed; having only stopped sending,
    # it still reads every byte.
    conn = ftp.transfercmd("RETR abort.bin")
    conn.recv(1024)
    conn.close()
    reply = ftp.getline()
    expect(reply.startswith("426 Connection closed; transfer aborted."),
           f"a download whose client left was answered {reply!r}")
    conn = ftp.transfercmd("RETR abort.bin")
    conn.shutdown(socket.SHUT_WR)
    got = 0
    while data := conn.recv(1 << 20):
        got += len(data)
    conn.close()
    expect(ftp.voidresp() == "226 File sent ok" and got == os.path.getsize(path),
           f"a half-closed download got {got} bytes")
    ftp.quit()


def curl(*args):
    return subprocess.run(["curl", "-sS", "--max-time", "300", *args],
                          capture_output=True, text=True)


def test_curl_big_file_both_ways(server):
    src = os.path.join(server.root, "big.src")
    make_big(src)
    digest = sha256_file(src)
    r = curl("-T", src, server.url("big.up"))
    expect(r.returncode == 0, r.stderr)
    expect(sha256_file(os.path.join(server.share, "big.up")) == digest, "upload SHA-256")

    back = os.path.join(server.root, "big.back")
    r = curl("-o", back, server.url("big.up"))
    expect(r.returncode == 0, r.stderr)
    expect(sha256_file(back) == digest, "download SHA-256")

    # A download cut short and resumed gives the same bytes.
    part = os.path.join(server.root, "big.part")
    with open(back, "rb") as f, open(part, "wb") as out:
        out.write(f.read(12_345_678))
    r = curl("-C", "-", "-o", part, server.url("big.up"))
    expect(r.returncode == 0, r.stderr)
    expect(sha256_file(part) == digest, "resumed download SHA-256")


def test_curl_active_and_append(server):
    path = os.path.join(server.share, "log.txt")
    with open(path, "wb") as f:
        f.write(b"first\n")
    server.give(path)
    src = os.path.join(server.root, "more.txt")
    with open(src, "wb") as f:
        f.write(b"second\n")
    r = curl("--append", "-T", src, server.url("log.txt"))
    expect(r.returncode == 0, r.stderr)
    with open(path, "rb") as f:
        expect(f.read() == b"first\nsecond\n", "appended")
    r = curl("-P", "127.0.0.1", server.url("log.txt"))
    expect(r.returncode == 0 and r.stdout == "first\nsecond\n", r.stderr)


def test_lftp_passive_and_active(server):
    for name in ("a.bin", "b.bin"):
        with open(os.path.join(server.root, name), "wb") as f:
            f.write(os.urandom(3_000_000))
    for passive, name in (("on", "a.bin"), ("off", "b.bin")):
        # The login lands in the share; lftp reaches an absolute path by walking
        # it from "/", which lies outside every share.
        script = (f"set ssl:verify-certificate no; set ftp:passive-mode {passive}; "
                  f"set net:max-retries 1; "
                  f"set net:timeout 20; open -u {ftp_harness.USER},{ftp_harness.PASSWORD} "
                  f"-p {server.port} 127.0.0.1; "
                  f"put {os.path.join(server.root, name)} -o {name}; "
                  f"get {name} -o {os.path.join(server.root, name + '.back')}")
        r = subprocess.run(["lftp", "-c", script], capture_output=True, text=True, timeout=120)
        expect(r.returncode == 0, f"lftp passive-mode {passive}: {r.stderr}")
        digest = sha256_file(os.path.join(server.root, name))
        expect(sha256_file(os.path.join(server.share, name)) == digest, "lftp upload " + passive)
        expect(sha256_file(os.path.join(server.root, name + ".back")) == digest,
               "lftp download " + passive)


def test_noop_answered_beside_a_bulk_download(server):
    # A download now moves a mebibyte per step straight from the file; each
    # connection's share of a loop turn is bounded, so another session's command
    # must not wait behind a gibibyte.
    big = os.path.join(server.share, "gib.bin")
    with open(big, "wb") as f:
        f.truncate(1 << 30)
    server.give(big)
    bulk = subprocess.Popen(["curl", "-sS", "--max-time", "120", "--limit-rate", "300M",
                             "-o", "/dev/null", server.url("gib.bin")])
    try:
        time.sleep(0.5)
        ftp = server.connect()
        worst = 0.0
        for _ in range(20):
            start = time.monotonic()
            ftp.voidcmd("NOOP")
            worst = max(worst, time.monotonic() - start)
        ftp.quit()
        expect(bulk.poll() is None, "the download ended before the NOOPs were measured")
        expect(worst < 0.5, f"a NOOP beside the download took {worst:.3f} s")
        expect(bulk.wait(150) == 0, "the bulk download failed")
    finally:
        if bulk.poll() is None:
            bulk.kill()
            bulk.wait()


if __name__ == "__main__":
    ftp_harness.run([test_ftplib_passive, test_ftplib_active, test_abort_then_continue,
                     test_curl_big_file_both_ways, test_curl_active_and_append,
                     test_lftp_passive_and_active, test_noop_answered_beside_a_bulk_download],
                    sys.argv[1])
