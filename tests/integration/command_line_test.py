"""The program's command line and what it says on standard error at start-up: the
options, the summary of started servers (with the ports actually bound), where
definitions are looked for (--servers, the configuration folder of an installed
copy) and a definition file that begins with a UTF-8 byte order mark."""

import ftplib
import http.client
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

from harness import Program, drive_form, expect

BOM = b"\xef\xbb\xbf"
SUMMARY = re.compile(
    r"^Started (.+) \((FTP|Web) Server\) on port (\d+): (\w+)://127\.0\.0\.1:(\d+)/$")


def headless_env(**extra):
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    env.update(extra)
    return env


def run_once(binary, *args):
    return subprocess.run([binary, *args], env=headless_env(), capture_output=True, text=True,
                          timeout=30)


def definition(name, type_, port, share_lines):
    return ["[Info]", f"Name={name}", "Banner=", f"Type={type_}",
            f"Directories={1 if type_ == 0 else 0}", f"Files={1 if type_ == 1 else 0}",
            "Username=", "Password=", f"Port={port}", "Limit=0", "Active=1", "Multiple=1",
            "Tray=1"] + share_lines


class Launched(Program):
    """A copy of the program started with options and an environment of our choice;
    the definitions are written by the test beforehand."""

    def launch(self, args=(), env=None):
        cmd = [self.exe, *args]
        if os.geteuid() == 0:
            self.uid = 20000 + os.getpid() % 30000
            for dirpath, _, filenames in os.walk(self.root):
                for p in [dirpath] + [os.path.join(dirpath, n) for n in filenames]:
                    os.chown(p, self.uid, self.uid, follow_symlinks=False)
            cmd = ["setpriv", f"--reuid={self.uid}", f"--regid={self.uid}",
                   "--clear-groups"] + cmd
        self.stdout = open(os.path.join(self.root, "stdout.log"), "w+")
        self.stderr = open(os.path.join(self.root, "stderr.log"), "w+")
        self.proc = subprocess.Popen(cmd, cwd=self.root, env=env or headless_env(),
                                     stdout=self.stdout, stderr=self.stderr)

    def wait_for_error_lines(self, pattern, count=1, timeout=15):
        """Waits until count lines of standard error match pattern; returns them."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            lines = [l for l in self.errors().splitlines() if re.search(pattern, l)]
            if len(lines) >= count:
                return lines
            if self.proc.poll() is not None:
                break
            time.sleep(0.05)
        raise AssertionError(f"no {count} stderr line(s) matching {pattern!r}; stderr:\n"
                             f"{self.errors()}\nstdout:\n{self.output()}")


def test_options(binary):
    # Answered before the instance check, so these hold even beside a running copy.
    for option in ("--help", "--help --servers=/nowhere"):
        result = run_once(binary, *option.split())
        expect(result.returncode == 0, f"{option}: exit {result.returncode}")
        expect(result.stdout.startswith("Usage: dravik-server") and "--servers" in result.stdout
               and "README.md" in result.stdout and result.stderr == "",
               f"{option}: {result.stdout!r} {result.stderr!r}")

    result = run_once(binary, "--version")
    expect(result.returncode == 0 and re.fullmatch(r"Dravik Server \d+\.\d+\.\d+\n", result.stdout),
           f"--version: {result.returncode} {result.stdout!r}")

    for bad in (["--bogus"], ["-x"], ["--servers"], ["--servers="], ["--help=yes"], ["stray"]):
        result = run_once(binary, *bad)
        expect(result.returncode == 2 and result.stdout == ""
               and len(result.stderr.splitlines()) == 1,
               f"{bad}: exit {result.returncode}, stderr {result.stderr!r}")

    # A folder that can never be made is a failure, not an empty list of servers. Run
    # as a copy of its own: it gets that far only when no other copy holds the lock.
    with Launched(binary, "dravik-cli-") as program:
        program.launch(["--servers", "/dev/null/Servers"])
        code = program.proc.wait(15)
        expect(code == 1 and "/dev/null/Servers" in program.errors(),
               f"uncreatable --servers: {code} {program.errors()!r}")


def test_summary_with_bound_ports_and_bom(binary):
    # Port=0 makes the system pick: the summary must give the port really listened
    # on. The FTP definition starts with a byte order mark, as some editors save it.
    with Launched(binary, "dravik-cli-") as program:
        shared = os.path.join(program.root, "share")
        os.mkdir(shared)
        with open(os.path.join(shared, "a.txt"), "w") as f:
            f.write("hello\n")
        ftp = definition("Music", 0, 0, ["[Directory.0]", f"Path={drive_form(shared)}",
                                         "Description=d", "AccessR=1", "AccessW=0",
                                         "Recursive=1"])
        web = definition("Photos", 1, 0, ["[File.0]",
                                          f"Path={drive_form(os.path.join(shared, 'a.txt'))}",
                                          "Description=a"])
        servers = os.path.join(program.root, "Servers")
        with open(os.path.join(servers, "music.server"), "wb") as f:
            f.write(BOM + "\r\n".join(ftp).encode() + b"\r\n")
        with open(os.path.join(servers, "photos.server"), "w") as f:
            f.write("\n".join(web) + "\n")
        program.launch()

        lines = program.wait_for_error_lines(r"^Started ", count=2)
        seen = {}
        for line in lines:
            m = SUMMARY.match(line)
            expect(m and m.group(3) == m.group(5) and m.group(3) != "0", f"summary line {line!r}")
            seen[m.group(1)] = (m.group(2), m.group(4), int(m.group(3)))
        expect(seen.keys() == {"Music", "Photos"}, f"summary names {seen}")
        expect(seen["Music"][:2] == ("FTP", "ftp") and seen["Photos"][:2] == ("Web", "http"),
               f"summary types {seen}")

        with ftplib.FTP() as client:
            greeting = client.connect("127.0.0.1", seen["Music"][2], timeout=10)
            expect(greeting.startswith("220"), f"FTP greeting {greeting!r}")
        conn = http.client.HTTPConnection("127.0.0.1", seen["Photos"][2], timeout=10)
        conn.request("GET", "/")
        status = conn.getresponse().status
        conn.close()
        expect(status == 200, f"web page answered {status}")

        # Standard output is for activity lines only: nothing of the summary there.
        expect("127.0.0.1:" not in program.output(), "summary leaked onto standard output")


def test_require_tls_without_certificate(binary):
    # Such a server refuses every login, so the summary must say so rather than link.
    with Launched(binary, "dravik-cli-") as program:
        servers = os.path.join(program.root, "Servers")
        with open(os.path.join(servers, "locked.server"), "w") as f:
            f.write("\n".join(definition("Locked", 1, 0, []) + ["RequireTls=1"]) + "\n")
        for name in ("tls-cert.pem", "tls-key.pem"):
            with open(os.path.join(servers, name), "w") as f:
                f.write("not a certificate\n")
        program.launch()
        line = program.wait_for_error_lines(r"^Locked |^Started ")[0]
        expect(line.startswith("Locked refuses logins in clear and has no usable certificate: ")
               and "tls-cert.pem" in line and "://" not in line, f"summary {line!r}")


def test_unusable_surroundings(binary):
    # An answer that cannot be written is a failure, not a success.
    with open("/dev/full", "w") as full:
        result = subprocess.run([binary, "--version"], env=headless_env(), stdout=full,
                                stderr=subprocess.PIPE, text=True, timeout=30)
    expect(result.returncode == 1 and result.stderr.strip(), f"--version to a full disk: "
           f"{result.returncode} {result.stderr!r}")

    with Launched(binary, "dravik-cli-") as program:
        # A display left named by a closed session: said once, and served headless,
        # with standard output closed: the lock file the program opens next must not
        # take its number and collect the activity lines.
        with open(os.path.join(program.root, "Servers", "page.server"), "w") as f:
            f.write("\n".join(definition("Page", 1, 0, [])) + "\n")
        runtime = tempfile.mkdtemp(prefix="dravik-run-")
        try:
            env = headless_env(DISPLAY=":59998", XDG_RUNTIME_DIR=runtime)
            program.stderr = open(os.path.join(program.root, "stderr.log"), "w+")
            program.proc = subprocess.Popen(["sh", "-c", 'exec "$0" >&-', program.exe],
                                            cwd=program.root, env=env, stderr=program.stderr)
            lines = program.wait_for_error_lines(r"display|^Started ", count=2)
            expect(lines[0] == "cannot reach the display :59998; running headless",
                   f"display line {lines!r}")
            locks = [os.path.join(runtime, n) for n in os.listdir(runtime) if n.endswith(".lock")]
            expect(locks and all(os.path.getsize(p) == 0 for p in locks),
                   f"activity went into the lock file: {locks}")
        finally:
            shutil.rmtree(runtime, ignore_errors=True)


def test_servers_and_headless_options(binary):
    with Launched(binary, "dravik-cli-") as program:
        # An active definition beside the program must be left alone under --servers.
        with open(os.path.join(program.root, "Servers", "beside.server"), "w") as f:
            f.write("\n".join(definition("Beside", 1, 0, [])) + "\n")
        chosen = os.path.join(program.root, "elsewhere", "Servers")
        # A display that does not exist: only --headless keeps the program off it.
        program.launch(["--headless", "--servers", os.path.relpath(chosen, program.root)],
                       env=headless_env(DISPLAY=":59999"))
        line = program.wait_for_error_lines(r"^No server definition found")[0]
        expect(chosen in line and '"Defining a server by hand"' in line, f"empty line {line!r}")
        # The line is printed only when the folder read held nothing: the definition
        # beside the program was not read.
        expect(os.path.isdir(chosen), "--servers folder was not made")


def test_installed_copy_uses_config_folder(binary):
    with Launched(binary, "dravik-cli-") as program:
        config = tempfile.mkdtemp(prefix="dravik-xdg-")
        try:
            os.chmod(config, 0o755)
            servers = os.path.join(config, "dravik-server", "Servers")
            os.makedirs(servers)
            with open(os.path.join(servers, "page.server"), "w") as f:
                f.write("\n".join(definition("Installed", 1, 0, [])) + "\n")
            shutil.rmtree(os.path.join(program.root, "Servers"))
            if os.geteuid() == 0:
                uid = 20000 + os.getpid() % 30000
                for dirpath, _, filenames in os.walk(config):
                    for p in [dirpath] + [os.path.join(dirpath, n) for n in filenames]:
                        os.chown(p, uid, uid)
            os.chmod(program.root, 0o555)
            # The walk in launch() hands the folder to the program's user; it still
            # may not write there.
            program.launch(env=headless_env(XDG_CONFIG_HOME=config))
            note = program.wait_for_error_lines(r"cannot be written")
            expect(len(note) == 1 and servers in note[0], f"fallback note {note!r}")
            started = program.wait_for_error_lines(r"^Started Installed \(Web Server\)")
            expect(SUMMARY.match(started[0]), f"summary {started!r}")
            expect(not os.path.exists(os.path.join(program.root, "Servers")),
                   "a Servers folder appeared beside the read-only program")
            program.proc.terminate()
            program.proc.wait(10)

            # Nowhere to keep definitions is a failure, not a program serving nothing.
            program.launch(env=headless_env(XDG_CONFIG_HOME="/dev/null/config"))
            code = program.proc.wait(15)
            expect(code == 1 and "/dev/null/config/dravik-server/Servers" in program.errors(),
                   f"uncreatable fallback folder: {code} {program.errors()!r}")
        finally:
            os.chmod(program.root, 0o755)
            shutil.rmtree(config, ignore_errors=True)


def main(binary):
    test_options(binary)
    test_summary_with_bound_ports_and_bom(binary)
    test_servers_and_headless_options(binary)
    test_unusable_surroundings(binary)
    test_require_tls_without_certificate(binary)
    test_installed_copy_uses_config_folder(binary)
    print("PASS")


if __name__ == "__main__":
    main(sys.argv[1])
