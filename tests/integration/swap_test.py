"""Someone who may write into a share swaps a name for a link to outside it, over
and over, while a real client reads, writes and lists that name: no byte outside
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
RENAME_EXCHANGE = 2
SECRET = b"outside the share"


def swap(a, b, stop):
    """Exchanges the two names until told to stop (bounded all the same)."""
    libc = ctypes.CDLL(None, use_errno=True)
    at_fdcwd = -100
    for _ in range(50_000_000):
        if stop.is_set():
            return
        libc.renameat2(at_fdcwd, a.encode(), at_fdcwd, b.encode(), RENAME_EXCHANGE)


def prepare(server):
    outside = os.path.join(server.root, "outside")
    os.makedirs(os.path.join(outside, "dir"))
    with open(os.path.join(outside, "secret.txt"), "wb") as f:
        f.write(SECRET)
    with open(os.path.join(outside, "dir", "outside-name"), "wb") as f:
        f.write(SECRET)
    with open(os.path.join(server.share, "f.txt"), "wb") as f:
        f.write(b"inside")
    os.symlink(os.path.join(outside, "secret.txt"), os.path.join(server.share, "flink"))
    os.makedirs(os.path.join(server.share, "d"))
    with open(os.path.join(server.share, "d", "inside-name"), "wb") as f:
        f.write(b"inside")
    os.symlink(os.path.join(outside, "dir"), os.path.join(server.share, "dlink"))


def swapping(server, a, b, action):
    """Runs action(ftp) TRIES times while a and b (in the share) change places."""
    stop = multiprocessing.Event()
    swapper = multiprocessing.Process(
        target=swap, args=(os.path.join(server.share, a), os.path.join(server.share, b), stop))
    swapper.start()
    ftp = server.connect()
    try:
        for _ in range(TRIES):
            action(ftp)
    finally:
        stop.set()
        swapper.join(10)
        if swapper.is_alive():
            swapper.kill()
        ftp.close()


def test_downloads_never_read_outside(server):
    escapes, served = [], []

    def retr(ftp):
        out = io.BytesIO()
        try:
            ftp.retrbinary("RETR f.txt", out.write)
        except (ftplib.error_perm, ftplib.error_temp):
            return  # refused while the link stood there
        (escapes if out.getvalue() == SECRET else served).append(1)
    swapping(server, "f.txt", "flink", retr)
    expect(not escapes, f"{len(escapes)} of {TRIES} downloads read the file outside the share")
    expect(served, "no download went through at all")


def test_uploads_never_write_outside(server):
    stored = []

    def stor(ftp):
        try:
            ftp.storbinary("STOR f.txt", io.BytesIO(b"written"))
            stored.append(1)
        except (ftplib.error_perm, ftplib.error_temp):
            pass
    swapping(server, "f.txt", "flink", stor)
    expect(stored, "no upload went through at all")
    with open(os.path.join(server.root, "outside", "secret.txt"), "rb") as f:
        expect(f.read() == SECRET, "an upload wrote into the file outside the share")


def test_listings_never_show_outside(server):
    escapes, shown = [], []

    def nlst(ftp):
        try:
            names = ftp.nlst("d")
        except (ftplib.error_perm, ftplib.error_temp):
            return
        (escapes if any("outside-name" in n for n in names) else shown).append(1)
    swapping(server, "d", "dlink", nlst)
    expect(not escapes, f"{len(escapes)} of {TRIES} listings showed the folder outside the share")
    expect(shown, "no listing went through at all")


if __name__ == "__main__":
    ftp_harness.run([test_downloads_never_read_outside, test_uploads_never_write_outside,
                     test_listings_never_show_outside],
                    sys.argv[1], prepare=prepare)
