"""What the activity log says of uploads that do not go through, with ftplib against
the real program: one turned away because a download holds its file, and one cut by
a full disk (a one-megabyte tmpfs, so only where the test may mount one)."""

import ftplib
import hashlib
import io
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ftp_harness  # noqa: E402
from harness import drive_form, expect  # noqa: E402


def upload_error(ftp, name, payload):
    try:
        return ftp.storbinary("STOR " + name, io.BytesIO(payload))
    except ftplib.Error as e:
        return str(e)
    except OSError:  # the server ended the data connection while the client still sent
        try:
            return ftp.getresp()
        except ftplib.Error as e:
            return str(e)


def lines_about(server, path):
    return [l for l in server.output().splitlines() if drive_form(path) in l]


def test_upload_over_a_file_being_downloaded(server):
    path = os.path.join(server.share, "held.bin")
    # Far more than the kernel's buffers hold, so the download is still running.
    with open(path, "wb") as f:
        f.write(os.urandom(1 << 20))
        f.truncate(64 << 20)
    server.give(path)
    with open(path, "rb") as f:
        before = hashlib.sha256(f.read()).digest()
    reader = server.connect()
    held = reader.transfercmd("RETR held.bin")
    held.recv(1000)  # and reads no more: the download holds the file
    reply = upload_error(server.connect(), "held.bin", b"new bytes")
    expect(reply.startswith("426 ") and "File is busy" in reply, f"busy upload: {reply!r}")
    server.wait_for_line("Deny: Upload " + drive_form(path) + " (file is busy)")
    uploads = [l for l in lines_about(server, path) if "Upload" in l]
    expect(len(uploads) == 1, f"a busy upload is one line, got {uploads}")
    with open(path, "rb") as f:
        expect(hashlib.sha256(f.read()).digest() == before, "the busy file was changed")
    held.close()


def mount_small_disk(path):
    """A one-megabyte tmpfs at path; None, or why there is none."""
    if os.geteuid() != 0:
        return "needs root to mount a small tmpfs"
    r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m,mode=0777", "tmpfs", path],
                       capture_output=True, text=True)
    return r.returncode and "mount failed: " + r.stderr.strip()


def test_upload_cut_by_a_full_disk(server):
    # The line counted whole writes only: a write the disk took part of was left
    # out, and the line said up to a megabyte less than the file held.
    why = mount_small_disk(server.shares[1])
    if why:
        print(f"skip test_upload_cut_by_a_full_disk: {why}")
        return
    path = os.path.join(server.shares[1], "big.bin")
    try:
        ftp = server.connect()
        ftp.cwd(ftp_harness.ftp_dir(server.shares[1]))
        reply = upload_error(ftp, "big.bin", os.urandom(3 << 20))
        expect(reply.startswith("426 "), f"upload to a full disk: {reply!r}")
        line = server.wait_for_line("Upload incomplete: " + drive_form(path))[0]
        logged = int(re.search(r"\((\d+) bytes\)$", line).group(1))
        on_disk = os.path.getsize(path)
        expect(logged == on_disk > 0, f"logged {logged} bytes, the file holds {on_disk}")
    finally:
        # Gone before the program's folder is removed.
        subprocess.run(["umount", "-l", server.shares[1]], capture_output=True)


if __name__ == "__main__":
    ftp_harness.run([test_upload_over_a_file_being_downloaded, test_upload_cut_by_a_full_disk],
                    sys.argv[1],
                    shares=(("share", True, True, True), ("full", True, True, True)))
