"""`cmake --install` stages the program where a desktop and systemd find it: the
binary, a menu entry that desktop-file-validate accepts and whose icon is installed,
and a user unit that runs the installed binary headless, wherever the prefix is."""

import configparser
import filecmp
import os
import shutil
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree


def fail(message):
    raise SystemExit("FAIL: " + message)


def install(build_dir, prefix, destdir):
    result = subprocess.run(["cmake", "--install", build_dir, "--prefix", prefix],
                            env={**os.environ, "DESTDIR": destdir},
                            capture_output=True, text=True, timeout=120)
    if result.returncode != 0:
        fail(f"cmake --install exited {result.returncode}: {result.stderr}")


def read_ini(path):
    # The unit's ExecStart and the entry's Exec are plain strings: no interpolation.
    parser = configparser.ConfigParser(interpolation=None, strict=True)
    parser.optionxform = str
    with open(path) as f:
        parser.read_file(f)
    return parser


def check_staged(binary, destdir, prefix):
    staged = destdir + prefix
    exe = os.path.join(staged, "bin", "dravik-server")
    if not os.access(exe, os.X_OK) or not filecmp.cmp(exe, binary, shallow=False):
        fail(f"{exe} is not the built program")

    entry = os.path.join(staged, "share", "applications", "dravik-server.desktop")
    result = subprocess.run(["desktop-file-validate", entry], capture_output=True, text=True)
    if result.returncode != 0 or result.stdout.strip():
        fail(f"desktop-file-validate: {result.stdout}{result.stderr}")
    desktop = read_ini(entry)["Desktop Entry"]
    for key in ("Name", "Comment", "Exec", "Icon"):
        if not desktop.get(key):
            fail(f"the menu entry has no {key}")
    if desktop["Exec"].split()[0] != "dravik-server":
        fail(f"the menu entry runs {desktop['Exec']!r}")
    if not {"Network", "FileTransfer"} <= set(desktop["Categories"].strip(";").split(";")):
        fail(f"categories {desktop['Categories']!r}")
    icon = os.path.join(staged, "share", "icons", "hicolor", "scalable", "apps",
                        desktop["Icon"] + ".svg")
    if not os.path.isfile(icon):
        fail(f"the menu entry's icon {desktop['Icon']!r} is not installed as {icon}")
    if ElementTree.parse(icon).getroot().tag != "{http://www.w3.org/2000/svg}svg":
        fail("the icon is not an SVG picture")

    unit = os.path.join(staged, "lib", "systemd", "user", "dravik-server.service")
    if not os.path.isfile(unit):
        fail(f"no user unit at {unit}")
    service = read_ini(unit)["Service"]
    if service.get("ExecStart") != f"{prefix}/bin/dravik-server --headless":
        fail(f"the unit runs {service.get('ExecStart')!r} under prefix {prefix}")
    if "WantedBy" not in read_ini(unit)["Install"]:
        fail("the unit cannot be enabled: no WantedBy")


def main(binary):
    if not shutil.which("desktop-file-validate"):
        fail("desktop-file-validate is not installed (scripts/setup.sh installs it)")
    build_dir = os.path.dirname(os.path.abspath(binary))
    with tempfile.TemporaryDirectory(prefix="dravik-install-") as root:
        # The prefix is chosen when installing, not when configuring: both must land.
        for prefix in ("/usr", "/opt/dravik"):
            destdir = os.path.join(root, prefix.strip("/").replace("/", "-"))
            install(build_dir, prefix, destdir)
            check_staged(binary, destdir, prefix)
    print("ok")


if __name__ == "__main__":
    main(sys.argv[1])
