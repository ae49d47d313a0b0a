"""curl downloads a 100 MiB shared file from the headless program: every byte
arrives, announced by the right Content-Length."""

import os
import subprocess
import sys

from harness import sha256_file  # noqa: E402
from web_harness import WebServer, fail

SIZE = 100 * 1024 * 1024


def main(binary):
    with WebServer(binary, files=[("big file.bin", SIZE, "Big one")]) as server:
        target = os.path.join(server.root, "download.bin")
        headers = os.path.join(server.root, "headers.txt")
        result = subprocess.run(
            ["curl", "-sS", "--fail", "--max-time", "300", "-o", target, "-D", headers,
             server.url(server.link_of(0))],
            capture_output=True, text=True)
        if result.returncode != 0:
            fail(f"curl exited {result.returncode}: {result.stderr}")
        with open(headers, newline="") as f:
            head = f.read().split("\r\n")
        if not head[0].endswith(" 200 OK"):
            fail(f"status line {head[0]!r}")
        if f"Content-Length: {SIZE}" not in head:
            fail(f"no Content-Length: {SIZE} in {head}")
        if "Content-Type: application/binary" not in head:
            fail(f"no binary content type in {head}")
        if os.path.getsize(target) != SIZE:
            fail(f"got {os.path.getsize(target)} bytes")
        if sha256_file(target) != sha256_file(server.paths[0]):
            fail("SHA-256 of the download differs from the shared file")
    print("ok")


if __name__ == "__main__":
    main(sys.argv[1])
