"""Someone who may write into a share swaps a name for a link to outside it, over
and over, while a real client reads, writes and lists that name: nothing outside
the share may be read, written or listed, whatever the timing.
TRIES=10000 python3 swap_test.py BINARY measures the figure by hand."""

import ctypes
import ftplib
import io
import multiprocessing
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ftp_harness  # noqa: E402
from harness import expect  # noqa: E402

TRIES = int(os.environ.get("TRIES", "300"))
SECRET = b"outside the share"


def swap(a, b, stop):
    libc = ctypes.CDLL(None)
    for _ in range(50_000_000):  # bounded, though stop comes first
        if stop.is_set():
            return
        libc.renameat2(-100, a.encode(), -100, b.encode(), 2)  # AT_FDCWD, RENAME_EXCHANGE


def prepare(server):
    outside = os.path.join(server.root, "outside")
    os.makedirs(os.path.join(outside, "dir"))
    os.makedirs(os.path.join(server.share, "d"))
    for path, content in (("outside/secret.txt", SECRET), ("outside/dir/outside-name", SECRET),
                          ("share/f.txt", b"inside"), ("share/d/inside-name", b"inside")):
        with open(os.path.join(server.root, path), "wb") as f:
            f.write(content)
    os.symlink(os.path.join(outside, "secret.txt"), os.path.join(server.share, "flink"))
    os.symlink(os.path.join(outside, "dir"), os.path.join(server.share, "dlink"))


def swapping(server, a, b, action):
    """action(ftp) TRIES times while a and b change places; counts its answers."""
    stop = multiprocessing.Event()
    swapper = multiprocessing.Process(
        target=swap, args=(os.path.join(server.share, a), os.path.join(server.share, b), stop))
    swapper.start()
    ftp, answers = server.connect(), {}
    try:
        for _ in range(TRIES):
            try:
                answer = action(ftp)
            except (ftplib.error_perm, ftplib.error_temp):
                answer = "refused"  # while the link stood there
            answers[answer] = answers.get(answer, 0) + 1
    finally:
        stop.set()
        swapper.join(10)
        if swapper.is_alive():
            swapper.kill()
        ftp.close()
    return answers


def test_downloads_never_read_outside(server):
    def retr(ftp):
        out = io.BytesIO()
        ftp.retrbinary("RETR f.txt", out.write)
        return "escaped" if out.getvalue() == SECRET else "served"
    answers = swapping(server, "f.txt", "flink", retr)
    expect("escaped" not in answers and "served" in answers, f"downloads: {answers}")


def test_uploads_never_write_outside(server):
    answers = swapping(server, "f.txt", "flink",
                       lambda ftp: ftp.storbinary("STOR f.txt", io.BytesIO(b"written")))
    with open(os.path.join(server.root, "outside", "secret.txt"), "rb") as f:
        expect(f.read() == SECRET and "226 File received ok" in answers, f"uploads: {answers}")


def test_listings_never_show_outside(server):
    def nlst(ftp):
        return "escaped" if any("outside-name" in n for n in ftp.nlst("d")) else "listed"
    answers = swapping(server, "d", "dlink", nlst)
    expect("escaped" not in answers and "listed" in answers, f"listings: {answers}")


if __name__ == "__main__":
    ftp_harness.run([test_downloads_never_read_outside, test_uploads_never_write_outside,
                     test_listings_never_show_outside],
                    sys.argv[1], prepare=prepare)
