"""The real binary on a display of its own (Xvfb) with a notification area (trayer):
with a definition listed it starts hidden behind its tray icon, stays up, shows its
main window when a second launch hands over (that launch exits 0 at once), and ends
with exit code 0 on SIGTERM, leaving the definitions' Active flags as they were."""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

TITLE = "Dravik Server version 1.0"

DEFINITION = """[Server]
Name=Parked
Type=1
Active=0
Tray=1
Port=0
DirectoryCount=0
FileCount=0
"""


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def wait_until(condition, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.05)
    return condition()


def free_display():
    for number in range(91, 200):
        if not os.path.exists(f"/tmp/.X{number}-lock") and \
                not os.path.exists(f"/tmp/.X11-unix/X{number}"):
            return number
    fail("no free X display number")


def start_xvfb():
    if not shutil.which("Xvfb"):
        fail("Xvfb is not installed (scripts/setup.sh installs it)")
    number = free_display()
    xvfb = subprocess.Popen(["Xvfb", f":{number}", "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if not wait_until(lambda: os.path.exists(f"/tmp/.X11-unix/X{number}") or xvfb.poll() is not None, 10) \
            or xvfb.poll() is not None:
        fail(f"Xvfb :{number} did not start")
    return xvfb, f":{number}"


def window_tree(env):
    return subprocess.run(["xwininfo", "-root", "-tree"], env=env, capture_output=True, text=True,
                          timeout=10).stdout


def tray_icon_embedded(env):
    """True when a window of the program sits inside trayer's panel."""
    inside_panel = False
    for line in window_tree(env).splitlines():
        if '("panel" "trayer")' in line:
            inside_panel = True
        elif inside_panel and '("dravik-server"' in line:
            return True
    return False


def start_tray_host(env):
    tray = subprocess.Popen(["trayer", "--expand", "true", "--transparent", "false"], env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if not wait_until(lambda: '("panel" "trayer")' in window_tree(env) or tray.poll() is not None, 10) \
            or tray.poll() is not None:
        fail("trayer did not come up")
    return tray


def main(binary):
    for tool in ("xwininfo", "trayer"):
        if not shutil.which(tool):
            fail(f"{tool} is not installed (scripts/setup.sh installs it)")
    xvfb, display = start_xvfb()
    root = tempfile.mkdtemp(prefix="dravik-desktop-")
    first = tray = None
    try:
        program = os.path.join(root, "dravik-server")
        shutil.copy2(binary, program)
        servers = os.path.join(root, "Servers")
        os.mkdir(servers)
        definition = os.path.join(servers, "parked.server")
        with open(definition, "w") as f:
            f.write(DEFINITION)
        runtime = os.path.join(root, "runtime")
        os.mkdir(runtime, 0o700)
        env = {k: v for k, v in os.environ.items() if k not in ("WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
        env.update(DISPLAY=display, XDG_RUNTIME_DIR=runtime)
        tray = start_tray_host(env)

        log = open(os.path.join(root, "first.log"), "w+")
        first = subprocess.Popen([program], cwd=root, env=env, stdout=log, stderr=subprocess.STDOUT)
        if wait_until(lambda: first.poll() is not None, 3):
            log.seek(0)
            fail(f"the program ended at once with code {first.returncode} (another instance of this "
                 f"user running?): {log.read()!r}")

        if not wait_until(lambda: tray_icon_embedded(env), 10):
            fail("no tray icon in the notification area:\n" + window_tree(env))
        if TITLE in window_tree(env):
            fail("the main window showed at start although a definition is listed")

        started = time.monotonic()
        second = subprocess.run([program], cwd=root, env=env, capture_output=True, timeout=30)
        if second.returncode != 0:
            fail(f"second launch exited {second.returncode}: {second.stderr!r}")
        if time.monotonic() - started > 5:
            fail("second launch took more than five seconds")
        if first.poll() is not None:
            fail(f"the first instance ended after the second launch (code {first.returncode})")
        if not wait_until(lambda: TITLE in window_tree(env), 10):
            fail("the second launch did not bring up the main window:\n" + window_tree(env))

        first.send_signal(signal.SIGTERM)
        try:
            code = first.wait(timeout=15)
        except subprocess.TimeoutExpired:
            fail("SIGTERM did not end the program")
        if code != 0:
            log.seek(0)
            fail(f"exit code {code} after SIGTERM: {log.read()!r}")
        with open(definition) as f:
            if "Active=0" not in f.read():
                fail("the idle definition was changed")
        print("ok")
    finally:
        for process in (first, tray):
            if process is not None and process.poll() is None:
                process.kill()
                process.wait()
        xvfb.terminate()
        try:
            xvfb.wait(timeout=10)
        except subprocess.TimeoutExpired:
            xvfb.kill()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main(sys.argv[1])
