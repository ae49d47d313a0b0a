"""Whether a normal FTP client still gets in while five addresses keep all 100 slots
of a Multiple=1 server open without logging in, and open a new connection as soon as
one is cut (the login deadline cuts them all each minute, a newcomer one at a time).

The flood starts, gets its 100 connections and, after `head start` seconds, a normal
client from 127.0.0.1 logs in `logins` times, evenly over `span` seconds; each login
is one attempt (connect, USER, PASS, QUIT), no retries.

    python3 bench/slot_flood_bench.py build/dravik-server [logins span head-start]
                                                          (default 27 130 11)
"""

import ftplib
import os
import resource
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "integration"))
from ftp_harness import PASSWORD, USER, Server  # noqa: E402
from limits_test import SilentFlood  # noqa: E402


def login(port):
    ftp = ftplib.FTP()
    try:
        ftp.connect("127.0.0.1", port, timeout=10)
        ftp.login(USER, PASSWORD)
        ftp.quit()
        return "ok"
    except (ftplib.Error, EOFError, OSError) as e:
        return str(e).splitlines()[0] if str(e) else type(e).__name__


def main(binary, logins=27, span=130.0, head_start=11.0):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 4096)), hard))
    sources = [f"127.0.0.{i}" for i in range(2, 7)]
    with Server(binary) as server, SilentFlood(server.port, sources) as flood:
        time.sleep(head_start)
        start = time.monotonic()
        served = 0
        for i in range(logins):
            time.sleep(max(0.0, start + i * span / logins - time.monotonic()))
            result = login(server.port)
            served += result == "ok"
            print(f"{time.monotonic() - start:6.1f} s  {result}", flush=True)
        given = server.output().count("slot given to a new client")
        timeouts = server.output().count(") Login timeout\n")
    print(f"served {served} of {logins} over {span:.0f} s; slots given to a newcomer: {given}; "
          f"login deadlines reached: {timeouts}; flood connections cut: {flood.cut}")


if __name__ == "__main__":
    main(sys.argv[1], *(float(a) if "." in a else int(a) for a in sys.argv[2:]))
