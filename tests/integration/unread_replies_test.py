"""A client that sends commands and never reads the replies must not make the
program queue them without bound: the server stops reading from it, so the client's
sending stalls, the program's memory stays put, and other clients are still served.
(42 MB of commands, no login needed, once grew the program by 294 MB.)"""

import os
import socket
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ftp_harness  # noqa: E402
from ftp_harness import PASSWORD, USER  # noqa: E402
from harness import expect  # noqa: E402

MB = 1 << 20
FLOOD = 20 * MB


def rss_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS for the program")


def flood(port, line, login):
    """Sends up to FLOOD bytes of line without reading a reply; returns the socket
    (still open) and how much the server let through before sending stalled."""
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    s.recv(1000)  # the greeting
    if login:
        s.sendall(f"USER {USER}\r\nPASS {PASSWORD}\r\n".encode())
    payload = line * (MB // len(line))
    s.settimeout(2)
    sent = 0
    try:
        while sent < FLOOD:
            sent += s.send(payload)
    except socket.timeout:
        pass
    return s, sent


def test_unread_replies_stop_the_reading(server):
    pid = server.proc.pid
    before = rss_kb(pid)
    anonymous, sent_before_login = flood(server.port, b"X\r\n", login=False)
    logged_in, sent_after_login = flood(server.port, b"FEAT\r\n", login=True)
    grown = (rss_kb(pid) - before) / 1024
    expect(sent_before_login < FLOOD, "the server read every command sent before login")
    expect(sent_after_login < FLOOD, "the server read every command sent after login")
    expect(grown < 16, f"the program grew by {grown:.1f} MB")
    ftp = server.connect()
    expect(ftp.sendcmd("NOOP") == "200 Ok. Parameter was ''.", "another client was not served")
    ftp.quit()
    anonymous.close()
    logged_in.close()


if __name__ == "__main__":
    ftp_harness.run([test_unread_replies_stop_the_reading], sys.argv[1])
