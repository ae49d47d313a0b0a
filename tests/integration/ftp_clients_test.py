"""The ways real clients name folders and resume transfers: curl with each of its
CWD methods, lftp's everyday commands, urllib's ftp:// URLs, wget and ftplib's
listing arguments, against a recursive writable share where every login starts
and a flat (not recursive) share beside it."""

import ftplib
import io
import os
import subprocess
import sys
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ftp_harness  # noqa: E402
from ftp_harness import USER, PASSWORD, ftp_dir  # noqa: E402
from harness import expect, sha256_file  # noqa: E402

SHARES = (("share", True, True, True), ("flat", True, True, False))
TREE = {
    "share/a.txt": b"alpha\n",
    "share/with space.txt": b"blanks\n",
    "share/sub/b.bin": os.urandom(300_000),
    "share/sub/deep/c.txt": b"deep\n",
    "flat/f.txt": b"flat\n",
    "flat/inner/hidden.txt": b"not recursive\n",
}
SUB = ["b.bin", "deep"]


def make_tree(server):
    for rel, content in TREE.items():
        path = os.path.join(server.root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content)


def names(text):
    return sorted(n for n in text.replace("\r", "").split("\n") if n not in ("", ".", ".."))


def run(cmd, timeout=30):
    r = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
    expect(r.returncode == 0, f"{cmd[0]} exited {r.returncode}: {r.stderr}")
    return r.stdout


def curl(*args):
    return run(["curl", "-sS", "--max-time", "20", *args])


def lftp(server, commands):
    return run(["lftp", "-c", f"set ssl:verify-certificate no; set net:max-retries 1; "
                    f"set net:timeout 10; "
                f"set ftp:use-tvfs yes; open -u {USER},{PASSWORD} -p {server.port} "
                f"127.0.0.1; {commands}"], timeout=60)


def test_curl_cwd_methods(server):
    for method in ("singlecwd", "nocwd", "multicwd"):
        m = ["--ftp-method", method]
        # Without CWD curl lists a folder with "NLST sub", which once answered
        # with the login folder's names.
        expect(names(curl(*m, "-l", server.url("sub/"))) == SUB, f"{method} -l sub/")
        expect(curl(*m, server.url("sub/deep/c.txt")) == "deep\n", f"{method} download")
        expect(names(curl(*m, "--ftp-port", "-", "-l", server.url("sub/"))) == SUB,
               f"{method} active -l sub/")

    src = os.path.join(server.root, "src.bin")
    with open(src, "wb") as f:
        f.write(os.urandom(200_000))
    curl("--ftp-create-dirs", "-T", src, server.url("new/newer/up.bin"))
    up = os.path.join(server.share, "new", "newer", "up.bin")
    expect(sha256_file(up) == sha256_file(src), "upload into folders curl made")

    # An upload cut short, then resumed: curl asks SIZE and appends the rest.
    with open(src, "rb") as f, open(up, "wb") as out:
        out.write(f.read(70_000))
    curl("-C", "-", "-T", src, server.url("new/newer/up.bin"))
    expect(sha256_file(up) == sha256_file(src), "resumed upload")

    curl("-Q", "RNFR a.txt", "-Q", "RNTO renamed.txt", "-l", server.url())
    expect(os.path.exists(os.path.join(server.share, "renamed.txt")), "quoted rename")


def test_lftp_everyday_commands(server):
    local = os.path.join(server.root, "local")
    os.makedirs(os.path.join(local, "tree", "x"))
    for rel, content in (("m1.txt", b"one\n"), ("m2.txt", b"two\n"),
                         ("tree/t.txt", b"t\n"), ("tree/x/y.bin", os.urandom(50_000))):
        with open(os.path.join(local, rel), "wb") as f:
            f.write(content)
    big = os.path.join(local, "big.bin")
    with open(big, "wb") as f:
        f.write(os.urandom(400_000))
    # Halves left by an interrupted upload and download, for put -c and get -c.
    with open(big, "rb") as f:
        head = f.read(150_000)
    for half in (os.path.join(server.share, "big.bin"), os.path.join(local, "back.bin")):
        with open(half, "wb") as f:
            f.write(head)
        server.give(half)

    out = lftp(server, f"ls sub/; echo ==; cls -1 /C:{server.shares[1]}/; echo ==; "
                       f"glob echo *.txt")
    sub, flat, globbed = out.split("==\n")
    expect(sorted(line.split()[-1] for line in sub.splitlines()
                  if line.split()[-1] not in (".", "..")) == SUB, sub)
    prefix = f"/C:{server.shares[1]}/"
    expect(sorted(p[len(prefix):] for p in flat.split()) == ["f.txt", "inner/"], flat)
    expect(globbed.split() == ["a.txt", "with", "space.txt"], globbed)

    lftp(server, f"lcd {local}; mput m*.txt; put -c big.bin; "
                 f"get -c big.bin -o back.bin; mirror -R tree tree")
    for rel in ("m1.txt", "m2.txt", "big.bin", "tree/t.txt", "tree/x/y.bin"):
        expect(sha256_file(os.path.join(server.share, rel)) == sha256_file(os.path.join(local, rel)),
               "lftp upload " + rel)
    expect(sha256_file(os.path.join(local, "back.bin")) == sha256_file(big), "lftp get -c")


def test_urllib_and_wget(server):
    with urllib.request.urlopen(server.url("sub/deep/c.txt"), timeout=20) as r:
        expect(r.read() == b"deep\n", "urllib file")
    with urllib.request.urlopen(server.url("with%20space.txt"), timeout=20) as r:
        expect(r.read() == b"blanks\n", "urllib file with a blank")
    with urllib.request.urlopen(server.url("sub/"), timeout=20) as r:
        listing = r.read().decode()
    expect(sorted(line.split()[-1] for line in listing.splitlines()
                  if line.split()[-1] not in (".", "..")) == SUB, listing)

    local = os.path.join(server.root, "wget")
    os.mkdir(local)
    run(["wget", "-q", "-t", "1", "-T", "10", "-r", "-np", "-nH", "-P", local, server.url("sub/")])
    for rel in ("sub/b.bin", "sub/deep/c.txt"):
        expect(sha256_file(os.path.join(local, rel)) == sha256_file(os.path.join(server.share, rel)),
               "wget -r " + rel)
    part = os.path.join(local, "part.bin")
    with open(os.path.join(server.share, "sub", "b.bin"), "rb") as f:
        whole = f.read()
    with open(part, "wb") as f:
        f.write(whole[:1000])
    run(["wget", "-q", "-t", "1", "-T", "10", "--no-passive-ftp", "-c", "-O", part,
         server.url("sub/b.bin")])
    expect(sha256_file(part) == sha256_file(os.path.join(server.share, "sub", "b.bin")), "wget -c")


def test_ftplib_listing_arguments(server):
    for passive in (True, False):
        ftp = server.connect(passive)
        expect(sorted(n for n in ftp.nlst("sub") if n not in (".", "..")) == SUB, "nlst sub")
        expect(ftp.nlst("sub/b.bin") == ["b.bin"], "nlst of a file")
        lines = []
        ftp.dir(ftp_dir(server.share) + "sub/deep/", lines.append)
        expect([line for line in lines if line.endswith(" c.txt")], lines)
        # The flat share shows its own files but keeps its subfolder shut.
        expect("f.txt" in ftp.nlst(ftp_dir(server.shares[1])), "nlst of the flat share")
        try:
            ftp.nlst(ftp_dir(server.shares[1]) + "inner")
            raise AssertionError("listed a folder of a share that is not recursive")
        except ftplib.error_perm as e:
            expect(str(e) == "550 Failed: No permission.", str(e))
        payload = b"one\ntwo\r\nthree"
        expect(ftp.storlines("STOR lines.txt", io.BytesIO(payload)) == "226 File received ok",
               "storlines")
        with open(os.path.join(server.share, "lines.txt"), "rb") as f:
            expect(f.read() == b"one\r\ntwo\r\nthree\r\n", "stored as sent")
        ftp.quit()


if __name__ == "__main__":
    ftp_harness.run([test_curl_cwd_methods, test_lftp_everyday_commands, test_urllib_and_wget,
                     test_ftplib_listing_arguments], sys.argv[1], prepare=make_tree, shares=SHARES)
