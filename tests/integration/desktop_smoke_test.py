"""The real binary on a display of its own (Xvfb) with a window manager (openbox) and a
notification area (trayer).

First launch, no definitions: the main window shows at once, and right away its row
menu opens at the pointer, a drag of its caption moves it by the drag's distance, and
the wizard opened from it draws its buttons in the skin's 11-pixel font with room for
their labels.

Second launch, with definitions: it starts hidden behind its tray icon, stays up, shows
its main window when a further launch hands over (that launch exits 0 at once); a click
on a row selects it without scrolling the grid sideways, and the selection stays on
its server when the list is rebuilt with a server ahead of it. It ends with exit code
0 on SIGTERM, leaving the untouched definitions' Active flags as they were.

The program writes what Qt knows of its windows to the file named by DRAVIK_UI_PROBE;
where windows really are comes from the X server."""

import json
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

TITLE = "Dravik Server version 1.0"

DEFINITION = """[Info]
Name=Parked
Type=1
Active=0
Tray=1
Port=0
Directories=0
Files=0
"""
DEFINITION_ALPHA = DEFINITION.replace("Name=Parked", "Name=Alpha").replace("Tray=1", "Tray=0")

SKIN_PIXEL_SIZE = 11
NEAR = 3  # pixels of slack for "at the pointer" and "by the drag's distance"


def definition_gamma():
    """A server that Start/Stop really starts: on a port nobody holds."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    return DEFINITION.replace("Name=Parked", "Name=Gamma").replace("Tray=1", "Tray=0") \
        .replace("Port=0", f"Port={port}")


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


def start_xvfb():
    """Xvfb picks a free display number itself and tells it through a pipe, so runs
    side by side never race for the same one."""
    if not shutil.which("Xvfb"):
        fail("Xvfb is not installed (scripts/setup.sh installs it)")
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
                             "-nolisten", "tcp"], pass_fds=(write_end,),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    number = b""
    with os.fdopen(read_end, "rb") as announced:
        ready, _, _ = select.select([announced], [], [], 10)
        if ready:
            number = announced.readline().strip()
    if not number or xvfb.poll() is not None:
        xvfb.kill()
        xvfb.wait()
        fail("Xvfb did not start")
    return xvfb, ":" + number.decode()


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


def start_window_manager(env):
    wm = subprocess.Popen(["openbox", "--sm-disable"], env=env,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def managing():
        return "window id" in subprocess.run(["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"], env=env,
                                             capture_output=True, text=True, timeout=10).stdout
    if not wait_until(lambda: managing() or wm.poll() is not None, 10) or wm.poll() is not None:
        fail("openbox did not come up")
    return wm


def xdo(env, *args):
    return subprocess.run(["xdotool", *map(str, args)], env=env, capture_output=True, text=True,
                          timeout=10).stdout


def viewable_windows(env):
    return set(xdo(env, "search", "--onlyvisible", "--classname", "dravik-server").split())


def x_geometry(env, window):
    """Where the X server has the window: (x, y, width, height) on the root."""
    info = subprocess.run(["xwininfo", "-id", window], env=env, capture_output=True, text=True,
                          timeout=10).stdout
    values = [int(re.search(rf"{label}:\s+(-?\d+)", info).group(1))
              for label in ("Absolute upper-left X", "Absolute upper-left Y", "Width", "Height")]
    return tuple(values)


def main_window_id(env):
    ids = xdo(env, "search", "--onlyvisible", "--name", "^" + re.escape(TITLE) + "$").split()
    return ids[0] if ids else None


class Probe:
    def __init__(self, path):
        self.path = path

    def window(self, name):
        """The visible window of that object name as the program sees it, or None."""
        try:
            with open(self.path) as f:
                windows = json.load(f)["windows"]
        except (OSError, ValueError):
            return None
        return next((w for w in windows if w["name"] == name and w["visible"]), None)

    def grid(self):
        """The main window's grid; empty while the window is not showing."""
        main = self.window("fMain")
        return next((g for g in main["grids"] if g["name"] == "grid"), {}) if main else {}


def click_at(env, x, y, button=1):
    xdo(env, "mousemove", x, y)
    xdo(env, "click", button)


def centre_of(window_xy, place):
    return window_xy[0] + place["x"] + place["width"] // 2, window_xy[1] + place["y"] + place["height"] // 2


def show_servers_page(env, probe, where):
    main = probe.window("fMain")
    tab = next(t for t in main["tabs"] if t["text"] == "Servers")
    click_at(env, *centre_of(where, tab["place"]))


def open_row_menu(env, probe, where, row):
    """Right-clicks the text of a grid row; returns the pointer and the menu's X geometry."""
    place = probe.grid()["rows"][row]
    pointer = (where[0] + place["x"] + 200, where[1] + place["y"] + place["height"] // 2)
    before = viewable_windows(env)
    click_at(env, *pointer, button=3)
    menus = []
    if not wait_until(lambda: menus.extend(viewable_windows(env) - before) or menus, 10):
        fail("no menu opened on a right-click on the grid")
    return pointer, x_geometry(env, menus[0])


def check_first_screen(env, probe):
    """Right after start-up, before the window manager has moved the window once."""
    window = main_window_id(env)
    where = x_geometry(env, window)
    show_servers_page(env, probe, where)
    if not wait_until(lambda: probe.grid().get("rows"), 10):
        fail("the Servers page did not show")
    pointer, menu = open_row_menu(env, probe, where, 0)
    if abs(menu[0] - pointer[0]) > NEAR or abs(menu[1] - pointer[1]) > NEAR:
        fail(f"the row menu opened at {menu[:2]}, the pointer was at {pointer}")
    xdo(env, "key", "Escape")

    grab = (where[0] + where[2] // 2, where[1] + 8)
    wanted = (where[0] + 60, where[1] + 40)
    # On a loaded machine a press can reach the program after the motion that
    # followed it, and then nothing moves; a hand would drag again. A drag that
    # moves the window must move it by the drag distance, the first time.
    for pause in (0.5, 1.0, 2.0):
        xdo(env, "mousemove", *grab)
        xdo(env, "mousedown", 1)
        # Paced as a hand would: the window manager takes the pointer over only once
        # the program has seen the press, and motion before that moves nothing.
        time.sleep(pause)
        for step in range(1, 11):
            xdo(env, "mousemove", grab[0] + 6 * step, grab[1] + 4 * step)
            time.sleep(0.03)
        xdo(env, "mouseup", 1)
        if wait_until(lambda: x_geometry(env, window)[:2] != where[:2], 3):
            break
    if not wait_until(lambda: all(abs(a - b) <= NEAR for a, b in zip(x_geometry(env, window), wanted)), 10):
        fail(f"a caption drag by (60, 40) moved the window from {where[:2]} to {x_geometry(env, window)[:2]}")

    # An instant click (press and release at once, as remote desktops send it) left
    # the window following the pointer with no button held.
    moved_to = x_geometry(env, window)
    xdo(env, "mousemove", moved_to[0] + moved_to[2] // 2, moved_to[1] + 8)
    xdo(env, "click", 1)
    time.sleep(0.5)
    xdo(env, "mousemove", moved_to[0] + 150, moved_to[1] + 120)
    time.sleep(0.5)
    if x_geometry(env, window)[:2] != moved_to[:2]:
        xdo(env, "key", "Escape")
        fail(f"a click on the caption left the window following the pointer to {x_geometry(env, window)[:2]}")


def check_wizard_font(env, probe):
    where = x_geometry(env, main_window_id(env))
    new = next(b for b in probe.window("fMain")["buttons"] if b["name"] == "bNew")
    click_at(env, *centre_of(where, new["place"]))
    if not wait_until(lambda: probe.window("fNewServer"), 10):
        fail("New Server... did not open the wizard")
    buttons = {b["name"]: b for b in probe.window("fNewServer")["buttons"]}
    for name in ("bAddFile", "bAddPath", "bRemoveSel", "bNext", "bCancel"):
        button = buttons[name]
        if button["pixelSize"] != SKIN_PIXEL_SIZE:
            fail(f"wizard button {name} is drawn {button['pixelSize']} px high, not {SKIN_PIXEL_SIZE}")
        if button["textWidth"] + 4 > button["width"]:
            fail(f"the label of wizard button {name} needs {button['textWidth']} px of {button['width']}")
    xdo(env, "key", "Escape")
    if not wait_until(lambda: not probe.window("fNewServer"), 10):
        fail("Escape did not close the wizard")


def check_row_selection(env, probe, servers):
    where = x_geometry(env, main_window_id(env))
    show_servers_page(env, probe, where)
    if not wait_until(lambda: len(probe.grid().get("rows", [])) == 2, 10):
        fail(f"the Servers page did not list two servers: {probe.grid()}")
    # Pressed near the view's right edge, as a user reaching for the row's end does, a
    # click that wobbles a pixel or two is where Qt starts scrolling sideways.
    row = probe.grid()["rows"][1]
    x, y = where[0] + row["x"] + row["width"] - 6, where[1] + row["y"] + 8
    xdo(env, "mousemove", x, y)
    xdo(env, "mousedown", 1)
    for step in range(1, 4):
        xdo(env, "mousemove", x + step, y)
        time.sleep(0.1)
    xdo(env, "mouseup", 1)
    if not wait_until(lambda: probe.grid().get("selectedRow") == 1, 10):
        fail("a click on the second row did not select it")
    grid = probe.grid()
    if grid["scrollX"] != 0 or grid["column0X"] != 0:
        fail(f"a click on a row scrolled the grid sideways: {grid}")

    # A server listed ahead of the selected one; Start/Stop rebuilds the list.
    with open(os.path.join(servers, "a.server"), "w") as f:
        f.write(DEFINITION_ALPHA)
    open_row_menu(env, probe, where, 1)
    xdo(env, "key", "Down", "Down", "Down", "Return")
    if not wait_until(lambda: len(probe.grid().get("rows", [])) == 3, 10):
        fail("Start/Stop did not rebuild the list")
    selected = probe.window("fMain")["selectedFile"]
    if not selected.endswith("c.server"):
        fail(f"after the rebuild the selection is on {selected!r}, not on the same server (c.server)")


def launch(program, root, env, name):
    log = open(os.path.join(root, name + ".log"), "w+")
    process = subprocess.Popen([program], cwd=root, env=env, stdout=log, stderr=subprocess.STDOUT)
    if wait_until(lambda: process.poll() is not None, 3):
        log.seek(0)
        fail(f"the program ended at once with code {process.returncode} (another instance of this "
             f"user running?): {log.read()!r}")
    return process, log


def terminate(process, log):
    process.send_signal(signal.SIGTERM)
    try:
        code = process.wait(timeout=15)
    except subprocess.TimeoutExpired:
        fail("SIGTERM did not end the program")
    if code != 0:
        log.seek(0)
        fail(f"exit code {code} after SIGTERM: {log.read()!r}")


def main(binary):
    for tool in ("xwininfo", "xprop", "trayer", "openbox", "xdotool"):
        if not shutil.which(tool):
            fail(f"{tool} is not installed (scripts/setup.sh installs it)")
    xvfb, display = start_xvfb()
    root = tempfile.mkdtemp(prefix="dravik-desktop-")
    first = tray = wm = None
    try:
        program = os.path.join(root, "dravik-server")
        shutil.copy2(binary, program)
        servers = os.path.join(root, "Servers")
        os.mkdir(servers)
        runtime = os.path.join(root, "runtime")
        os.mkdir(runtime, 0o700)
        probe = Probe(os.path.join(root, "probe.json"))
        env = {k: v for k, v in os.environ.items()
               if k not in ("WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "QT_SCALE_FACTOR")}
        env.update(DISPLAY=display, XDG_RUNTIME_DIR=runtime, DRAVIK_UI_PROBE=probe.path)
        wm = start_window_manager(env)
        tray = start_tray_host(env)

        first, log = launch(program, root, env, "first")
        if not wait_until(lambda: main_window_id(env) and probe.window("fMain"), 10):
            fail("without definitions the main window did not show at start:\n" + window_tree(env))
        check_first_screen(env, probe)
        check_wizard_font(env, probe)
        terminate(first, log)

        definition = os.path.join(servers, "b.server")
        with open(definition, "w") as f:
            f.write(DEFINITION)
        with open(os.path.join(servers, "c.server"), "w") as f:
            f.write(definition_gamma())
        first, log = launch(program, root, env, "second")
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
        if not wait_until(lambda: main_window_id(env) and probe.window("fMain"), 10):
            fail("the second launch did not bring up the main window:\n" + window_tree(env))
        check_row_selection(env, probe, servers)

        terminate(first, log)
        with open(definition) as f:
            if "Active=0" not in f.read():
                fail("the idle definition was changed")
        print("ok")
    finally:
        for process in (first, tray, wm):
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
