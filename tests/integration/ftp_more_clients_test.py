"""Clients we did not write, each at its own defaults, against the headless program:
lftp, curl, ftplib, ncftp, rclone, inetutils-ftp and tnftp. Each picks whole-path
CWD, EPSV/EPRT, MLSD, MFMT or REST STREAM from what FEAT and SYST say, so a wrong
or missing line there shows up here as a client that fails, falls back or quietly
loses file times. Files are compared by SHA-256 and, where a client keeps times,
by modification time to the second."""

import calendar
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ftp_harness  # noqa: E402
from ftp_harness import USER, PASSWORD, ftp_dir  # noqa: E402
from harness import expect, sha256_file  # noqa: E402

# MDTM, MLSD and MFMT speak UTC whatever the local zone. The program and the clients
# run half an hour off a whole-hour zone, so a local-time slip anywhere shows up.
os.environ["TZ"] = "IST-5:30"

SHARES = (("share", True, True, True), ("ro", True, False, True))
BASE_TIME = calendar.timegm((2021, 3, 4, 5, 6, 7))
# name: size. The files' times fall at seconds past the minute, so a client that
# only had a listing's minutes to go by cannot match them.
TREE = {
    "share/top.bin": 70_000,
    "share/sub/b.bin": 300_000,
    "share/sub/tiny.bin": 1,
    "share/sub/deep/c.bin": 120_000,
    "share/sub/deep/d.txt": 900,
    "share/sub/other/e.bin": 40_000,
    "ro/r.bin": 5_000,
}


def content(name, size):
    if name.endswith(".txt"):  # ncftp fetches these in ASCII mode
        text = os.urandom(size).hex()
        return "".join(text[i:i + 63] + "\n" for i in range(0, size, 64)).encode()[:size]
    # Starts with the bytes an ASCII-mode client would rewrite.
    return (b"\r\n\x00\n\r\x1a" + os.urandom(size))[:size]


def write(path, size, mtime):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(content(path, size))
    os.utime(path, (mtime, mtime))


def make_tree(server):
    for i, (rel, size) in enumerate(TREE.items()):
        write(os.path.join(server.root, rel), size, BASE_TIME + 3607 * i)


def snapshot(folder):
    """{relative path: (sha256, whole-second mtime)} for every file below folder."""
    found = {}
    for dirpath, _, filenames in os.walk(folder):
        for n in filenames:
            p = os.path.join(dirpath, n)
            found[os.path.relpath(p, folder)] = (sha256_file(p), int(os.stat(p).st_mtime))
    return found


def expect_same_tree(got, want, what):
    a, b = snapshot(got), snapshot(want)
    expect(a.keys() == b.keys(), f"{what}: files {sorted(a)} != {sorted(b)}")
    for rel in a:
        expect(a[rel][0] == b[rel][0], f"{what}: {rel} differs")
        expect(a[rel][1] == b[rel][1], f"{what}: {rel} time {a[rel][1]} != {b[rel][1]}")


def run(cmd, timeout=30, stdin="", env=None):
    r = subprocess.run(cmd, input=stdin, capture_output=True, text=True, timeout=timeout,
                       env=None if env is None else {**os.environ, **env})
    expect(r.returncode == 0, f"{cmd[0]} exited {r.returncode}: {r.stdout[-1500:]}"
                              f"{r.stderr[-1500:]}")
    return r


def local_dir(server, name):
    path = os.path.join(server.root, name)
    os.makedirs(path)
    return path


def test_lftp_defaults(server):
    # Only bounds on retrying, and the self-made certificate taken: nothing that
    # changes how lftp talks to the server.
    def lftp(commands):
        return run(["lftp", "-c", f"set ssl:verify-certificate no; set net:max-retries 1; "
                    f"set net:timeout 10; "
                    f"open -u {USER},{PASSWORD} -p {server.port} 127.0.0.1; {commands}"],
                   timeout=60).stdout

    # Without TVFS in FEAT lftp walks an absolute path from "/", which is not shared.
    deep = ftp_dir(server.share) + "sub/deep/"
    out = lftp(f"cd {deep}; cls -1; echo ==; cd ../other; cls -1; echo ==; "
               f"cd /C:{server.shares[1]}; cls -1")
    here, other, ro = out.split("==\n")
    expect(here.split() == ["c.bin", "d.txt"], here)
    expect(other.split() == ["e.bin"], other)
    expect(ro.split() == ["r.bin"], ro)

    down = local_dir(server, "down")
    write(os.path.join(server.share, "sub", ".hidden"), 40, BASE_TIME)
    lftp(f"mirror sub {down}/sub")
    expect_same_tree(down + "/sub", server.share + "/sub", "lftp mirror")

    up = local_dir(server, "up")
    # Names that begin with a dot travel too: left out of MLSD, they were taken for
    # gone, and a mirror deleted or sent them again.
    for i, rel in enumerate(("u1.bin", "x/u2.bin", "x/y/u3.bin", ".env", ".git/HEAD")):
        write(os.path.join(up, rel), 50_000 + i, BASE_TIME - 86_400 * (i + 1) - 1)
    lftp(f"mirror -R {up} up")
    expect_same_tree(server.share + "/up", up, "lftp mirror -R")


def test_curl_epsv_and_eprt(server):
    def curl(*args):
        return run(["curl", "-v", "-sS", "--max-time", "20", *args]).stderr

    got = os.path.join(server.root, "got.bin")
    log = curl("-o", got, server.url("sub/b.bin"))
    expect("> EPSV" in log and "< 229 " in log and "> PASV" not in log, log)
    expect(sha256_file(got) == sha256_file(server.share + "/sub/b.bin"), "EPSV download")

    log = curl("--ftp-port", "127.0.0.1", "-o", got, server.url("sub/deep/c.bin"))
    expect("> EPRT |1|127.0.0.1|" in log and "> PORT" not in log, log)
    expect(sha256_file(got) == sha256_file(server.share + "/sub/deep/c.bin"), "EPRT download")

    log = curl("--ftp-port", "127.0.0.1", "-T", got, server.url("eprt.bin"))
    expect("> EPRT |1|127.0.0.1|" in log and "> PORT" not in log, log)
    expect(sha256_file(server.share + "/eprt.bin") == sha256_file(got), "EPRT upload")


def test_ftplib_mlsd(server):
    ftp = server.connect()

    def listing(path):
        return {n: f for n, f in ftp.mlsd(path) if f.get("type", "").lower() not in
                ("cdir", "pdir")}

    sub = listing("sub")
    expect(sorted(sub) == ["b.bin", "deep", "other", "tiny.bin"], sub)
    for name in ("b.bin", "tiny.bin"):
        facts, st = sub[name], os.stat(os.path.join(server.share, "sub", name))
        expect(facts["type"].lower() == "file" and int(facts["size"]) == st.st_size, facts)
        modify = calendar.timegm(tuple(int(facts["modify"][i:j]) for i, j in
                                       ((0, 4), (4, 6), (6, 8), (8, 10), (10, 12), (12, 14))))
        expect(modify == int(st.st_mtime), f"{name} modify {facts['modify']}")
        # Nothing is ever deleted over FTP; a "d" would have clients offer it.
        expect({"r", "w"} <= set(facts["perm"]) and "d" not in facts["perm"], facts)
    expect(sub["deep"]["type"].lower() == "dir" and {"e", "l"} <= set(sub["deep"]["perm"]),
           sub["deep"])

    # A file and a folder the program may not write: a client that reads perm
    # offers no upload, rename or delete there.
    ro = server.shares[1]
    os.chmod(os.path.join(ro, "r.bin"), 0o444)
    os.mkdir(os.path.join(ro, "locked"), 0o555)
    entries = listing(ftp_dir(ro))
    expect("r" in entries["r.bin"]["perm"] and not set("adfw") & set(entries["r.bin"]["perm"]),
           entries["r.bin"])
    expect("e" in entries["locked"]["perm"] and not set("cmp") & set(entries["locked"]["perm"]),
           entries["locked"])
    ftp.quit()


def test_ncftp_get_recursive(server):
    local = local_dir(server, "local")
    # ncftp keeps its bookmarks and history under $HOME.
    out = run(["ncftp", "-u", USER, "-p", PASSWORD, "-P", str(server.port), "127.0.0.1"],
              stdin=f"lcd {local}\nget -R sub\nquit\n", timeout=60,
              env={"HOME": local_dir(server, "home")}).stdout
    expect_same_tree(local + "/sub", server.share + "/sub", "ncftp get -R: " + out[-800:])


def test_rclone_copy_and_sync(server):
    obscured = run(["rclone", "obscure", PASSWORD]).stdout.strip()
    remote = f":ftp,host=127.0.0.1,port={server.port},user={USER},pass={obscured}:"

    def rclone(*args):
        return run(["rclone", "--config", "/dev/null", "--retries", "1",
                    "--low-level-retries", "1", "--contimeout", "10s", "--timeout", "20s",
                    *args], timeout=60)

    down, up = local_dir(server, "down"), local_dir(server, "up")
    for i, rel in enumerate(("u1.bin", "x/u2.bin", "x/y/u3.bin", "x/y/u4.bin")):
        write(os.path.join(up, rel), 30_000 + i, BASE_TIME - 86_400 * (i + 1) - 1)
    rclone("copy", remote + "sub", down)
    rclone("copy", up, remote + "up")
    expect_same_tree(down, server.share + "/sub", "rclone copy down")
    expect_same_tree(server.share + "/up", up, "rclone copy up")

    # Same-size rewrites are seen only through their times, so sync must read
    # them from the server (MLSD) and, going up, set them there (MFMT).
    def change(root, gone, rewritten, added, mtime, owner):
        os.remove(os.path.join(root, gone))
        path = os.path.join(root, rewritten)
        write(path, os.path.getsize(path), mtime)
        write(os.path.join(root, added), 777, mtime)
        for p in (path, os.path.join(root, added)):
            owner(p)

    change(server.share + "/sub", "deep/d.txt", "b.bin", "deep/new.bin", BASE_TIME + 11,
           server.give)
    change(up, "x/u2.bin", "x/y/u3.bin", "x/new.bin", BASE_TIME + 13, lambda p: None)
    rclone("sync", remote + "sub", down)
    expect_same_tree(down, server.share + "/sub", "rclone sync down")
    rclone("check", remote + "sub", down)

    # Nothing is ever deleted over FTP, so syncing up leaves the file the client
    # dropped as it was; everything else matches.
    kept = os.path.join(server.share, "up", "x", "u2.bin")
    before = (sha256_file(kept), os.stat(kept).st_mtime)
    rclone("sync", up, remote + "up")
    expect((sha256_file(kept), os.stat(kept).st_mtime) == before, "a refused DELE took effect")
    os.remove(kept)
    expect_same_tree(server.share + "/up", up, "rclone sync up")
    rclone("check", up, remote + "up")


def test_inetutils_ftp_binary(server):
    # No "binary" command: the client takes binary mode from the SYST it sends
    # before logging in, or rewrites line ends as it receives.
    want = sha256_file(server.share + "/sub/b.bin")
    for mode in ("-p", "-A"):
        got = os.path.join(server.root, f"got{mode}.bin")
        out = run(["inetutils-ftp", "-n", "-v", mode, "127.0.0.1", str(server.port)],
                  stdin=f"user {USER} {PASSWORD}\ncd sub\nget b.bin {got}\nbye\n").stdout
        expect(os.path.exists(got) and sha256_file(got) == want, f"inetutils-ftp {mode}: {out}")


def test_tnftp_resumes_cut_download(server):
    with open(server.share + "/sub/b.bin", "rb") as f:
        whole = f.read()
    # Zeros where the first part came from: a client that starts over instead of
    # resuming at the offset would write the real bytes over them.
    cut = os.path.join(server.root, "cut.bin")
    with open(cut, "wb") as f:
        f.write(bytes(123_457))
    run(["tnftp", "-R", "-o", cut, server.url("sub/b.bin")])
    with open(cut, "rb") as f:
        expect(f.read() == bytes(123_457) + whole[123_457:], "tnftp -R did not resume")


if __name__ == "__main__":
    ftp_harness.run([test_lftp_defaults, test_curl_epsv_and_eprt, test_ftplib_mlsd,
                     test_ncftp_get_recursive, test_rclone_copy_and_sync,
                     test_inetutils_ftp_binary, test_tnftp_resumes_cut_download],
                    sys.argv[1], prepare=make_tree, shares=SHARES)
