"""Memory held by listings nobody reads: 50 FTP sessions each ask LIST of a
100 000-entry folder and never read the data connection. Prints the headless
program's RSS growth, in total and per session.

    python3 bench/listing_memory_bench.py build/dravik-server
"""

import ftplib
import os
import socket
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "integration"))
from ftp_harness import PASSWORD, USER, Server, ftp_dir  # noqa: E402

SESSIONS = 50
ENTRIES = 100_000


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def main(binary):
    server = Server(binary, extra_info=["MaxPerAddress=0"])
    many = os.path.join(server.share, "many")
    os.mkdir(many)
    for i in range(ENTRIES):
        open(os.path.join(many, f"entry-{i:06d}.dat"), "w").close()
    with server:
        time.sleep(0.5)
        before = rss_kib(server.proc.pid)
        held = []
        for _ in range(SESSIONS):
            ftp = ftplib.FTP()
            ftp.connect("127.0.0.1", server.port, timeout=30)
            ftp.login(USER, PASSWORD)
            ftp.cwd(ftp_dir(server.share))
            host, port = ftplib.parse227(ftp.sendcmd("PASV"))
            data = socket.create_connection((host, port))
            data.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            ftp.putcmd("LIST many")
            ftp.getresp()
            held.append((ftp, data))
        time.sleep(2)
        after = rss_kib(server.proc.pid)
        growth = (after - before) / 1024
        print(f"{SESSIONS} unread listings of {ENTRIES} entries: RSS +{growth:.1f} MiB "
              f"({growth / SESSIONS * 1024:.0f} KiB per session)")
        for ftp, data in held:
            data.close()
            ftp.close()


if __name__ == "__main__":
    main(sys.argv[1])
