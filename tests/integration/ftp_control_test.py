"""Python's ftplib drives the control-connection commands of the real program."""

import ftplib
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ftp_harness  # noqa: E402
from harness import expect  # noqa: E402
from ftp_harness import ftp_dir  # noqa: E402


def test_greeting_and_login(server):
    ftp = ftplib.FTP()
    welcome = ftp.connect("127.0.0.1", server.port, timeout=30)
    expect(welcome.startswith("220 Dravik Server FTP ("), welcome)
    expect(ftp.login(ftp_harness.USER, ftp_harness.PASSWORD) ==
           f"230 User {ftp_harness.USER} logged in.", "login reply")
    expect(ftp.sendcmd("SYST") == "215 UNIX Type: L8 Ornavel", "SYST")
    expect(ftp.quit() == "221 Goodbye.", "QUIT")


def test_navigation(server):
    ftp = server.connect()
    expect(ftp.pwd() == ftp_dir(server.share), ftp.pwd())
    ftp.mkd("sub")  # its reply quotes the host path with single quotes: nothing to parse
    expect(os.path.isdir(os.path.join(server.share, "sub")), "mkd on disk")
    ftp.cwd("sub")
    expect(ftp.pwd() == ftp_dir(server.share) + "sub/", ftp.pwd())
    ftp.cwd("..")
    expect(ftp.pwd() == ftp_dir(server.share), ftp.pwd())
    try:
        ftp.cwd("../x")
        raise AssertionError("dot notation accepted")
    except ftplib.error_perm as e:
        expect(str(e) == "501 CWD failed. Cannot accept relative path using dot notation", str(e))
    ftp.quit()


def test_file_commands(server):
    path = os.path.join(server.share, "a.txt")
    with open(path, "wb") as f:
        f.write(b"x" * 1234)
    server.give(path)
    ftp = server.connect()
    expect(ftp.size("a.txt") == 1234, "size")
    reply = ftp.rename("a.txt", "b.txt")
    expect(reply.startswith("250 File '") and reply.endswith("b.txt'."), reply)
    expect(os.path.exists(os.path.join(server.share, "b.txt")), "renamed on disk")
    mtime = int(os.stat(os.path.join(server.share, "b.txt")).st_mtime)
    expected = time.strftime("%Y%m%d%H%M%S", time.gmtime(mtime)) + ".000"
    expect(ftp.sendcmd("MDTM b.txt") == "213 " + expected, "MDTM gives UTC")
    expect(ftp.sendcmd("TYPE I") == "200 Type set to I.", "TYPE")
    expect(ftp.sendcmd("MODE S") == "200 MODE Ok", "MODE")
    expect(ftp.sendcmd("STRU F") == "200 Ok. STRU parameter 'F' ignored.", "STRU")
    expect(ftp.sendcmd("NOOP") == "200 Ok. Parameter was ''.", "NOOP")
    feat = ftp.sendcmd("FEAT")
    expect(feat.startswith("211-Extensions supported:\n  SIZE\n  MDTM\n  REST STREAM\n")
           and feat.endswith("\n  UTF8\n  AUTH TLS\n  PBSZ\n  PROT\n211 END"), repr(feat))
    try:
        ftp.sendcmd("SITE CHMOD 777 b.txt")
        raise AssertionError("SITE accepted")
    except ftplib.error_perm as e:
        expect(str(e) == "500 'SITE': command not understood.", str(e))
    ftp.quit()


def test_login_required(server):
    ftp = ftplib.FTP()
    ftp.connect("127.0.0.1", server.port, timeout=30)
    for cmd in ("PWD", "MDTM x"):
        try:
            ftp.sendcmd(cmd)
            raise AssertionError(cmd + " before login")
        except ftplib.error_perm as e:
            expect(str(e) == "530 Please login with USER and PASS.", str(e))
    expect(ftp.sendcmd("NOOP x") == "200 Ok. Parameter was 'x'.", "NOOP before login")
    ftp.close()


if __name__ == "__main__":
    ftp_harness.run([test_greeting_and_login, test_navigation, test_file_commands,
                     test_login_required], sys.argv[1])
