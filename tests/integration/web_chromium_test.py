"""Headless Chromium opens the listing page of a web server on a high port and
sees its title and the link of every shared file."""

import os
import shutil
import subprocess
import sys
import tempfile

from web_harness import WebServer, fail


def chromium():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        path = shutil.which(name)
        if path:
            return path
    fail("no Chromium on this machine (scripts/setup.sh installs it)")


def dump_dom(url):
    profile = tempfile.mkdtemp(prefix="dravik-chromium-")
    try:
        result = subprocess.run(
            [chromium(), "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
             "--disable-background-networking", "--disable-component-update",
             "--disable-sync", "--disable-quic", f"--user-data-dir={profile}",
             "--dump-dom", url],
            capture_output=True, text=True, timeout=120)
    finally:
        shutil.rmtree(profile, ignore_errors=True)
    if result.returncode != 0:
        fail(f"chromium exited {result.returncode}: {result.stderr[-2000:]}")
    return result.stdout


def main(binary):
    files = [("notes.txt", b"hello\n", "Some notes"), ("photo one.jpg", 2048, "A photo")]
    with WebServer(binary, name="Holiday", files=files) as server:
        if server.port < 1024:
            fail(f"port {server.port} is not a high port")
        dom = dump_dom(server.url("/"))
        if "<title>Web Server (Holiday)</title>" not in dom:
            fail("title missing from the page:\n" + dom)
        for i, (_, _, description) in enumerate(files):
            href = server.link_of(i)[1:].replace("%20", " ")
            if f'href="{href}"' not in dom and f'href="{server.link_of(i)[1:]}"' not in dom:
                fail(f"no link to {href} in:\n{dom}")
            if f"<b>{description}</b>" not in dom:
                fail(f"no description {description!r} in:\n{dom}")
        if "Size: 2,048 bytes" not in dom:
            fail("size of the photo missing:\n" + dom)
        server.wait_for_line(") GET /")
    print("ok")


if __name__ == "__main__":
    main(sys.argv[1])
