"""The measuring half of compare-peers.sh: takes servers that are already running
(vsftpd and nginx as the peers, this program as "ours"), measures every row round
by round with peer and program side by side, and prints one table of medians.

The CPU figures are the servers' own: utime+stime of the server process and all
its descendants, plus what the reaped ones left in cutime+cstime, so vsftpd's
process per session and nginx's workers are counted as fully as our one process.
vsftpd's session processes outlive their parents, and an orphan's CPU would go to
init: vsftpd is therefore started under `compare_peers.py --reaper`, which adopts
and reaps them.

The encrypted rows accept any certificate (all servers share one self-signed
certificate) and name the protocol and cipher each server chose above the table,
since a ratio between different ciphers would say little.
"""

import argparse
import ctypes
import fcntl
import ftplib
import math
import os
import re
import signal
import socket
import ssl
import statistics
import subprocess
import sys
import threading
import time
from functools import partial

HOST = "127.0.0.1"
GB = 1e9
MIB = 1 << 20
TICK = os.sysconf("SC_CLK_TCK")
F_SETPIPE_SZ = 1031


def process_table():
    """pid -> (parent pid, clock ticks spent by it and by its reaped children)."""
    table = {}
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open(f"/proc/{name}/stat") as f:
                # The command name may hold spaces and brackets: split after its last ')'.
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue  # ended while we looked
        table[int(name)] = (int(fields[1]), sum(int(x) for x in fields[11:15]))
    return table


def reaper(cmd):
    """Runs cmd as a child subreaper: descendants orphaned on the way are adopted
    here and reaped, so their CPU time stays in this process's cutime+cstime.
    SIGTERM and SIGINT go to every child; ends when none is left."""
    pr_set_child_subreaper = 36
    if ctypes.CDLL(None, use_errno=True).prctl(pr_set_child_subreaper, 1, 0, 0, 0) != 0:
        sys.exit("compare_peers: cannot become a subreaper")
    main_pid = os.fork()
    if main_pid == 0:
        try:
            os.execvp(cmd[0], cmd)
        finally:
            os._exit(127)

    def forward(sig, _frame):
        for pid, (parent, _) in process_table().items():
            if parent == os.getpid():
                try:
                    os.kill(pid, sig)
                except ProcessLookupError:
                    pass
    signal.signal(signal.SIGTERM, forward)
    signal.signal(signal.SIGINT, forward)
    code = 1
    while True:
        try:
            pid, status = os.wait()
        except ChildProcessError:
            break
        if pid == main_pid:
            code = os.waitstatus_to_exitcode(status)
    sys.exit(code)


class Server:
    def __init__(self, name, pid, port, path=""):
        self.name, self.pid, self.port, self.path = name, pid, port, path
        self.idle = len(self.tree()[0])

    def tree(self):
        """(pids of the server's process tree, CPU seconds they have spent)."""
        table = process_table()
        children = {}
        for pid, (parent, _) in table.items():
            children.setdefault(parent, []).append(pid)
        found, total, todo = [], 0, [self.pid]
        while todo:
            pid = todo.pop()
            if pid in table:
                found.append(pid)
                total += table[pid][1]
                todo += children.get(pid, [])
        return found, total / TICK

    def cpu(self):
        return self.tree()[1]

    def settle(self):
        """A server that forks per session has a session's CPU in its totals only
        once the session is reaped: waits (briefly) until the tree is as at idle."""
        deadline = time.monotonic() + 5
        while len(self.tree()[0]) > self.idle and time.monotonic() < deadline:
            time.sleep(0.02)


def measured(server, run):
    """(wall seconds, result of run, server CPU seconds) for one run against server."""
    server.settle()
    cpu = server.cpu()
    start = time.monotonic()
    result = run()
    wall = time.monotonic() - start
    server.settle()
    return wall, result, server.cpu() - cpu


def run_tool(cmd, timeout=120):
    done = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
    if done.returncode != 0:
        raise RuntimeError(f"{cmd[0]} exit {done.returncode}: {done.stderr.strip()[:200]}")
    return done.stdout


class ResumingFtpTls(ftplib.FTP_TLS):
    """FTP_TLS whose data connections resume the control connection's TLS session,
    which vsftpd (require_ssl_reuse) and this program both insist on; the standard
    class opens a fresh session on each."""

    def ntransfercmd(self, cmd, rest=None):
        conn, size = ftplib.FTP.ntransfercmd(self, cmd, rest)
        if self._prot_p:
            conn = self.context.wrap_socket(conn, server_hostname=self.host,
                                            session=self.sock.session)
        return conn, size


def trusting_context():
    context = ssl.create_default_context()
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    return context


def expect_size(got, want, what):
    if got != want:
        raise RuntimeError(f"{what}: {got} bytes, expected {want}")
    return got


class Bench:
    def __init__(self, args):
        self.args = args
        self.data = args.data
        self.big = os.path.getsize(os.path.join(self.data, "big.bin"))
        self.one = os.path.getsize(os.path.join(self.data, "one.bin"))
        self.mid = os.path.getsize(os.path.join(self.data, "mid.bin"))
        self.upload_size = os.path.getsize(args.upload)

    def ftp_url(self, server, name):
        return f"ftp://{self.args.user}:{self.args.password}@{HOST}:{server.port}/{name}"

    def login(self, server, timeout=60):
        ftp = ftplib.FTP()
        ftp.connect(HOST, server.port, timeout=timeout)
        ftp.login(self.args.user, self.args.password)
        return ftp

    def login_tls(self, server, timeout=60):
        """Logged in after AUTH TLS, with PROT P: every data connection encrypted."""
        ftp = ResumingFtpTls(context=trusting_context())
        ftp.connect(HOST, server.port, timeout=timeout)
        ftp.login(self.args.user, self.args.password)  # sends AUTH TLS first
        ftp.prot_p()
        return ftp

    def negotiated(self, server, kind):
        """'protocol cipher' a Python client gets from server (kind 'ftps' or 'https')."""
        if kind == "ftps":
            with self.login_tls(server, timeout=10) as ftp:
                ftp.retrlines("LIST", lambda _line: None)  # the data connection resumes
                tls = ftp.sock
                return f"{tls.version()} {tls.cipher()[0]}"
        with socket.create_connection((HOST, server.port), timeout=10) as raw, \
                trusting_context().wrap_socket(raw) as tls:
            return f"{tls.version()} {tls.cipher()[0]}"

    # --- FTP downloads of the big file -------------------------------------------

    # Encrypted rows move the middle-sized file, so a whole run stays short.

    def retr_curl(self, server, tls=False):
        name, size = ("mid.bin", self.mid) if tls else ("big.bin", self.big)
        out = run_tool(["curl", "-sS", "--fail", *(["--ssl-reqd", "-k"] if tls else []),
                        "-o", "/dev/null", "-w", "%{size_download}", self.ftp_url(server, name)])
        return expect_size(int(out), size, "curl RETR" + (" over TLS" if tls else ""))

    def retr_ftplib(self, server, tls=False):
        name, size = ("mid.bin", self.mid) if tls else ("big.bin", self.big)
        got = 0
        with (self.login_tls if tls else self.login)(server) as ftp:
            def count(block):
                nonlocal got
                got += len(block)
            ftp.retrbinary(f"RETR {name}", count, blocksize=MIB)
        return expect_size(got, size, "ftplib RETR" + (" over TLS" if tls else ""))

    def retr_lftp(self, server):
        # cat -b streams in binary mode to a pipe we count, so nothing lands on disk.
        script = (f"set ftp:ssl-allow no; set net:max-retries 1; set net:timeout 30; "
                  f"open -u {self.args.user},{self.args.password} -p {server.port} {HOST}; "
                  f"cat -b big.bin")
        proc = subprocess.Popen(["lftp", "-c", script], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        try:  # a wide pipe, so counting here holds lftp back as little as it can
            fcntl.fcntl(proc.stdout, F_SETPIPE_SZ, MIB)
        except OSError:
            pass
        got = 0
        while block := proc.stdout.read1(MIB):
            got += len(block)
        err = proc.stderr.read().decode(errors="replace")
        if proc.wait(60) != 0:
            raise RuntimeError(f"lftp exit {proc.returncode}: {err.strip()[:200]}")
        return expect_size(got, self.big, "lftp RETR")

    # --- FTP uploads -------------------------------------------------------------

    def stored(self, name):
        """Checks an upload landed whole, then removes it so the disk stays small."""
        path = os.path.join(self.data, name)
        try:
            size = os.path.getsize(path)
        except OSError:
            size = -1
        finally:
            if os.path.exists(path):
                os.remove(path)
        return expect_size(size, self.upload_size, f"uploaded {name}")

    def stor_curl(self, server, tls=False):
        name = f"up-curl{'-tls' if tls else ''}-{server.name}.bin"
        run_tool(["curl", "-sS", "--fail", *(["--ssl-reqd", "-k"] if tls else []),
                  "-T", self.args.upload, self.ftp_url(server, name)])
        return name

    def stor_ftplib(self, server, tls=False):
        name = f"up-ftplib{'-tls' if tls else ''}-{server.name}.bin"
        with (self.login_tls if tls else self.login)(server) as ftp, \
                open(self.args.upload, "rb") as f:
            ftp.storbinary(f"STOR {name}", f, blocksize=MIB)
        return name

    # --- HTTP --------------------------------------------------------------------

    def http_get(self, server, tls=False):
        name, size = ("mid.bin", self.mid) if tls else ("big.bin", self.big)
        scheme = "https" if tls else "http"
        out = run_tool(["curl", "-sS", "--fail", *(["-k"] if tls else []), "-o", "/dev/null",
                        "-w", "%{size_download}", f"{scheme}://{HOST}:{server.port}{server.path}{name}"])
        return expect_size(int(out), size, "curl GET" + (" over TLS" if tls else ""))

    def http_small(self, server):
        """Requests per second from 50 connections that each carry one request."""
        out = run_tool(["wrk", "-t2", "-c50", f"-d{self.args.small_seconds}s", "--timeout", "5s",
                        "-H", "Connection: close",
                        f"http://{HOST}:{server.port}{server.path}small.bin"],
                       timeout=self.args.small_seconds + 30)
        rate = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
        bad = re.search(r"Non-2xx or 3xx responses:\s+(\d+)", out)
        errors = re.search(r"Socket errors:.*", out)
        if bad:
            raise RuntimeError(f"wrk: {bad.group(1)} non-2xx responses")
        return rate, errors.group(0) if errors else ""

    # --- Many sessions at once ---------------------------------------------------

    def sessions(self, server, count=100, timeout=15):
        """Seconds per session (connect, log in, LIST, RETR 1 MiB, QUIT), all started
        at once: (p50, p99, failures). A failed session counts as infinitely slow,
        so failures push the percentiles up instead of vanishing from them. A
        session with no reply for timeout seconds is past even a third SYN retry."""
        gate = threading.Barrier(count)
        times, failures = [], []

        def one():
            stage = "start"
            try:
                gate.wait(30)
                start = time.monotonic()
                stage = "connect"
                ftp = ftplib.FTP()
                ftp.connect(HOST, server.port, timeout=timeout)
                with ftp:
                    stage = "login"
                    ftp.login(self.args.user, self.args.password)
                    stage = "LIST"
                    lines = []
                    ftp.retrlines("LIST", lines.append)
                    stage = "RETR"
                    got = 0

                    def count_bytes(block):
                        nonlocal got
                        got += len(block)
                    ftp.retrbinary("RETR one.bin", count_bytes, blocksize=64 * 1024)
                    stage = "QUIT"
                if not lines or got != self.one:
                    raise RuntimeError(f"{len(lines)} listing lines, {got} bytes")
                times.append(time.monotonic() - start)
            except Exception as e:  # each failure is counted and shown, the rest go on
                failures.append(f"{stage}: {type(e).__name__}: {e}")
                times.append(math.inf)

        threads = [threading.Thread(target=one) for _ in range(count)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        times.sort()
        return times[len(times) // 2], times[math.ceil(0.99 * len(times)) - 1], failures


class Results:
    def __init__(self):
        self.values = {}
        self.notes = {}

    def add(self, row, side, value):
        self.values.setdefault((row, side), []).append(value)

    def note(self, row, side, text):
        self.notes.setdefault((row, side), set()).add(text)

    def median(self, row, side):
        got = self.values.get((row, side))
        return statistics.median(got) if got else None


def transfer(results, label, server, side, run, size, finish=None):
    """One throughput run: records GB/s and server CPU seconds per GB."""
    try:
        wall, result, cpu = measured(server, lambda: run(server))
        if finish:
            finish(result)
        results.add(label, side, size / wall / GB)
        results.add("CPU " + label, side, cpu / (size / GB))
    except Exception as e:
        results.note(label, side, str(e))


def pairs(peers, ours, kind, flip):
    pair = [("peer", peers[kind]), ("ours", ours[kind])]
    return pair[::-1] if flip else pair


def tls_round(bench, results, peers, ours, flip):
    ftp_pair = pairs(peers, ours, "ftps", flip)
    for label, run in (("FTPS RETR 256 MiB curl", partial(bench.retr_curl, tls=True)),
                       ("FTPS RETR 256 MiB ftplib", partial(bench.retr_ftplib, tls=True))):
        for side, server in ftp_pair:
            transfer(results, label, server, side, run, bench.mid)
    for label, run in (("FTPS STOR 256 MiB curl", partial(bench.stor_curl, tls=True)),
                       ("FTPS STOR 256 MiB ftplib", partial(bench.stor_ftplib, tls=True))):
        for side, server in ftp_pair:
            transfer(results, label, server, side, run, bench.upload_size,
                     finish=bench.stored)
    for side, server in pairs(peers, ours, "https", flip):
        transfer(results, "HTTPS GET 256 MiB curl", server, side, partial(bench.http_get, tls=True),
                 bench.mid)


def one_round(bench, results, peers, ours, flip):
    ftp_pair = pairs(peers, ours, "ftp", flip)
    web_pair = pairs(peers, ours, "web", flip)
    for label, run in (("FTP RETR 1 GiB curl", bench.retr_curl),
                       ("FTP RETR 1 GiB ftplib", bench.retr_ftplib),
                       ("FTP RETR 1 GiB lftp", bench.retr_lftp)):
        for side, server in ftp_pair:
            transfer(results, label, server, side, run, bench.big)
    for label, run in (("FTP STOR 256 MiB curl", bench.stor_curl),
                       ("FTP STOR 256 MiB ftplib", bench.stor_ftplib)):
        for side, server in ftp_pair:
            transfer(results, label, server, side, run, bench.upload_size,
                     finish=bench.stored)
    for side, server in web_pair:
        transfer(results, "HTTP GET 1 GiB curl", server, side, bench.http_get, bench.big)
    for side, server in web_pair:
        try:
            rate, errors = bench.http_small(server)
            results.add("HTTP 4 KiB, 50 conns", side, rate)
            if errors:
                results.note("HTTP 4 KiB, 50 conns", side, errors)
        except Exception as e:
            results.note("HTTP 4 KiB, 50 conns", side, str(e))
    for side, server in ftp_pair:
        p50, p99, failures = bench.sessions(server)
        results.add("FTP 100 sessions p50", side, p50 * 1000)
        results.add("FTP 100 sessions p99", side, p99 * 1000)
        if failures:
            stages = sorted({f.split(":")[0] for f in failures})
            results.note("FTP 100 sessions", side,
                         f"{len(failures)}/100 failed (in {', '.join(stages)}; "
                         f"e.g. {failures[0]})")


# (row, unit, higher is better, goal for ours / peer)
ROWS = [
    ("FTP RETR 1 GiB curl", "GB/s", True, 1.0),
    ("FTP RETR 1 GiB ftplib", "GB/s", True, 1.0),
    ("FTP RETR 1 GiB lftp", "GB/s", True, 1.0),
    ("FTP STOR 256 MiB curl", "GB/s", True, 1.0),
    ("FTP STOR 256 MiB ftplib", "GB/s", True, 1.0),
    ("HTTP GET 1 GiB curl", "GB/s", True, 1.0),
    ("HTTP 4 KiB, 50 conns", "req/s", True, 1.0),
    ("FTP 100 sessions p50", "ms", False, 1.0),
    ("FTP 100 sessions p99", "ms", False, 1.0),
    ("CPU FTP RETR 1 GiB curl", "s/GB", False, 1.5),
    ("CPU FTP RETR 1 GiB ftplib", "s/GB", False, 1.5),
    ("CPU FTP RETR 1 GiB lftp", "s/GB", False, 1.5),
    ("CPU FTP STOR 256 MiB curl", "s/GB", False, 1.5),
    ("CPU FTP STOR 256 MiB ftplib", "s/GB", False, 1.5),
    ("CPU HTTP GET 1 GiB curl", "s/GB", False, 1.5),
]

TLS_ROWS = [
    ("FTPS RETR 256 MiB curl", "GB/s", True, 1.0),
    ("FTPS RETR 256 MiB ftplib", "GB/s", True, 1.0),
    ("FTPS STOR 256 MiB curl", "GB/s", True, 1.0),
    ("FTPS STOR 256 MiB ftplib", "GB/s", True, 1.0),
    ("HTTPS GET 256 MiB curl", "GB/s", True, 1.0),
    ("CPU FTPS RETR 256 MiB curl", "s/GB", False, 1.5),
    ("CPU FTPS RETR 256 MiB ftplib", "s/GB", False, 1.5),
    ("CPU FTPS STOR 256 MiB curl", "s/GB", False, 1.5),
    ("CPU FTPS STOR 256 MiB ftplib", "s/GB", False, 1.5),
    ("CPU HTTPS GET 256 MiB curl", "s/GB", False, 1.5),
]


def figure(value, unit):
    if value is None:
        return "failed"
    if value == math.inf:
        return "timed out"
    if unit == "req/s":
        return f"{value:,.0f} {unit}"
    if unit == "ms":
        return f"{value:.1f} {unit}"
    return f"{value:.3f} {unit}"


def table(results, rows):
    lines = [f"{'row':<29} {'peer':>14} {'ours':>14} {'ours/peer':>9}  {'goal':<7} met"]
    lines.append("-" * len(lines[0]))
    for entry in rows:
        if entry is None:  # between groups
            lines.append("")
            continue
        row, unit, higher, goal = entry
        peer, ours = results.median(row, "peer"), results.median(row, "ours")
        ratio = ours / peer if peer and ours is not None else None
        if ratio is not None and math.isnan(ratio):
            ratio = None  # both sides failed
        if ratio is None:
            met = "?"
        else:
            met = "yes" if (ratio >= goal if higher else ratio <= goal) else "no"
        goal_text = (">= " if higher else "<= ") + f"{goal:.1f}"
        ratio_text = f"{ratio:.2f}" if ratio is not None and ratio != math.inf else "-"
        lines.append(f"{row:<29} {figure(peer, unit):>14} {figure(ours, unit):>14} "
                     f"{ratio_text:>9}  {goal_text:<7} {met}")
    notes = [f"  {row} [{side}]: {'; '.join(sorted(texts))}"
             for (row, side), texts in sorted(results.notes.items())]
    if notes:
        lines += ["", "Notes (errors or oddities seen in some rounds):"] + notes
    return "\n".join(lines)


def main():
    if sys.argv[1:2] == ["--reaper"]:
        reaper(sys.argv[2:])
    p = argparse.ArgumentParser()
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--small-seconds", type=int, default=4)
    p.add_argument("--user", required=True)
    p.add_argument("--password", required=True)
    p.add_argument("--data", required=True, help="the folder every server shares")
    p.add_argument("--upload", required=True, help="the file clients upload")
    p.add_argument("--vsftpd", required=True, help="PORT:PID")
    p.add_argument("--nginx", required=True, help="PORT:PID")
    p.add_argument("--ours-ftp", type=int, required=True)
    p.add_argument("--ours-web", type=int, required=True)
    p.add_argument("--ours-pid", type=int, required=True)
    p.add_argument("--ours-web-path", required=True, help="URL path of the shared folder")
    p.add_argument("--vsftpd-tls", required=True, help="PORT:PID of the vsftpd requiring TLS")
    p.add_argument("--nginx-tls", type=int, required=True, help="nginx's ssl port")
    p.add_argument("--only", choices=("all", "plain", "tls"), default="all")
    args = p.parse_args()

    vs_port, vs_pid = map(int, args.vsftpd.split(":"))
    ng_port, ng_pid = map(int, args.nginx.split(":"))
    vst_port, vst_pid = map(int, args.vsftpd_tls.split(":"))
    peers = {"ftp": Server("vsftpd", vs_pid, vs_port),
             "web": Server("nginx", ng_pid, ng_port, path="/"),
             "ftps": Server("vsftpd", vst_pid, vst_port),
             "https": Server("nginx", ng_pid, args.nginx_tls, path="/")}
    ours = {"ftp": Server("ours", args.ours_pid, args.ours_ftp),
            "web": Server("ours", args.ours_pid, args.ours_web, path=args.ours_web_path)}
    # One port each for plain and encrypted: the first byte tells them apart.
    ours["ftps"], ours["https"] = ours["ftp"], ours["web"]
    bench, results = Bench(args), Results()
    plain, tls = args.only in ("all", "plain"), args.only in ("all", "tls")
    if tls:
        for kind, peer, what in (("ftps", "vsftpd", "FTPS"), ("https", "nginx", "HTTPS")):
            chosen = []
            for name, server in ((peer, peers[kind]), ("ours", ours[kind])):
                try:
                    chosen.append(f"{name} {bench.negotiated(server, kind)}")
                except Exception as e:  # the rows then fail with the reason too
                    chosen.append(f"{name} failed: {type(e).__name__}: {e}")
            print(f"{what} negotiated: {'; '.join(chosen)}")
        print()
    for r in range(args.rounds):
        start = time.monotonic()
        if plain:
            one_round(bench, results, peers, ours, flip=r % 2 == 1)
        if tls:
            tls_round(bench, results, peers, ours, flip=r % 2 == 1)
        print(f"round {r + 1}/{args.rounds}: {time.monotonic() - start:.0f} s", file=sys.stderr,
              flush=True)
    print(table(results, (ROWS if plain else []) + ([None] if plain and tls else []) +
                (TLS_ROWS if tls else [])))


if __name__ == "__main__":
    main()
