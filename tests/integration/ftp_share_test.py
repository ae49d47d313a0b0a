"""Real clients against the share policy of the real program: a recursive
read-only tree where every login starts, and a writable drop folder beside it."""

import filecmp
import ftplib
import io
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ftp_harness  # noqa: E402
from ftp_harness import ftp_dir  # noqa: E402
from harness import drive_form, expect  # noqa: E402

SHARES = (("tree", True, False, True), ("drop", True, True, False))
TREE = {
    "a.txt": b"first file\n",
    "with space.txt": b"blanks in the name\n",
    "sub/b.bin": os.urandom(1_500_000),
    "sub/deep/c.txt": b"",
    "sub/deep/deeper/d.bin": os.urandom(70_000),
}


def make_tree(server):
    for rel, content in TREE.items():
        path = os.path.join(server.shares[0], rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content)


def same_trees(left, right):
    cmp = filecmp.dircmp(left, right)
    if cmp.left_only or cmp.right_only or cmp.funny_files:
        return False
    _, mismatch, errors = filecmp.cmpfiles(left, right, cmp.common_files, shallow=False)
    if mismatch or errors:
        return False
    return all(same_trees(os.path.join(left, d), os.path.join(right, d)) for d in cmp.common_dirs)


def test_lftp_mirror_copies_the_tree(server):
    local = os.path.join(server.root, "mirror")
    # Without TVFS in the FEAT reply lftp reaches a folder by walking its path from
    # "/", and "/" is no shared folder; told that whole paths work, it sends them.
    script = (f"set ssl:verify-certificate no; set net:max-retries 1; set net:timeout 20; "
              f"set ftp:use-tvfs yes; "
              f"open -u {ftp_harness.USER},{ftp_harness.PASSWORD} -p {server.port} 127.0.0.1; "
              f"mirror . {local}")
    r = subprocess.run(["lftp", "-c", script], capture_output=True, text=True, timeout=120)
    expect(r.returncode == 0, f"lftp mirror: {r.stderr}")
    expect(same_trees(server.shares[0], local), "mirrored tree differs from the share")


def test_upload_to_the_writable_share_arrives_intact(server):
    ftp = server.connect()
    ftp.cwd(ftp_dir(server.shares[1]))
    payload = os.urandom(2_000_003)
    expect(ftp.storbinary("STOR up.bin", io.BytesIO(payload)) == "226 File received ok", "STOR")
    with open(os.path.join(server.shares[1], "up.bin"), "rb") as f:
        expect(f.read() == payload, "uploaded bytes")
    server.wait_for_line("(127.0.0.1) Allow: Upload " +
                         drive_form(os.path.join(server.shares[1], "up.bin")))
    # A command cut at 255 bytes named another file and wrote over it.
    target = ftp_dir(server.shares[1]) + "k" * 240
    cut_name = os.path.basename(target[:255])
    with open(os.path.join(server.shares[1], cut_name), "wb") as f:
        f.write(b"PRECIOUS")
    expect(ftp.storbinary("STOR " + target, io.BytesIO(b"other")) == "226 File received ok",
           "STOR of a long path")
    with open(os.path.join(server.shares[1], cut_name), "rb") as f:
        expect(f.read() == b"PRECIOUS", "the file a cut path named was overwritten")
    with open(os.path.join(server.shares[1], "k" * 240), "rb") as f:
        expect(f.read() == b"other", "the long path's file")
    ftp.quit()


def test_upload_to_the_read_only_share_is_refused_and_logged(server):
    ftp = server.connect()
    try:
        ftp.storbinary("STOR nope.txt", io.BytesIO(b"nope"))
        raise AssertionError("upload to a read-only share accepted")
    except ftplib.error_perm as e:
        expect(str(e) == "501 Permission Denied", str(e))
    expect(not os.path.exists(os.path.join(server.share, "nope.txt")), "file made anyway")
    # The folder itself may be described where it may be listed.
    facts = ftp.sendcmd("MLST .").splitlines()
    expect(facts[1].startswith(" type=dir;") and facts[1].endswith(ftp_dir(server.share)[:-1]),
           f"MLST of the share's folder: {facts}")
    # The facts claim only what the read-only share allows; a mirroring client acts on them.
    perms = {name: facts["perm"] for name, facts in ftp.mlsd()}
    expect(perms.get("a.txt") == "r" and perms.get("sub") == "el" and "perm=el;" in facts[1],
           f"permission facts of a read-only share: {perms}, {facts[1]}")
    server.wait_for_line("(127.0.0.1) Deny: Upload " +
                         drive_form(os.path.join(server.share, "nope.txt")))
    try:
        ftp.cwd(ftp_dir(server.root))
        raise AssertionError("entered the folder above the shares")
    except ftplib.error_perm as e:
        expect(str(e) == "501 CWD failed. No permission", str(e))
    ftp.quit()


if __name__ == "__main__":
    ftp_harness.run([test_lftp_mirror_copies_the_tree,
                     test_upload_to_the_writable_share_arrives_intact,
                     test_upload_to_the_read_only_share_is_refused_and_logged],
                    sys.argv[1], prepare=make_tree, shares=SHARES)
