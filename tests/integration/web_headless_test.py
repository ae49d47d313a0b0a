"""The headless program serves a Web definition from its Servers folder: the
listing page and a file, behind Basic authorization, with every connection and
request on standard output, and it ends cleanly on SIGTERM."""

import base64
import http.client
import sys

from web_harness import WebServer, fail

USER, PASSWORD = "ann", "s3cret"
CONTENT = b"The beach at noon.\n"


def get(server, path, auth=None):
    conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=30)
    headers = {}
    if auth:
        headers["Authorization"] = "Basic " + base64.b64encode(auth.encode()).decode()
    conn.request("GET", path, headers=headers)
    response = conn.getresponse()
    body = response.read()
    conn.close()
    return response, body


def main(binary):
    with WebServer(binary, name="Beach", files=[("beach.txt", CONTENT, "The beach")],
                   username=USER, password=PASSWORD) as server:
        response, body = get(server, "/")
        if response.status != 401 or len(body) != 192:
            fail(f"no 401 without credentials: {response.status} {body!r}")
        if response.getheader("WWW-Authenticate") != "Basic Realm=/":
            fail(f"WWW-Authenticate: {response.getheader('WWW-Authenticate')!r}")

        response, body = get(server, "/", auth=f"{USER}:wrong")
        if response.status != 401:
            fail(f"wrong password answered {response.status}")

        response, body = get(server, "/", auth=f"{USER}:{PASSWORD}")
        page = body.decode()
        if response.status != 200 or not page.startswith(
                "<HTML><head><title>Web Server (Beach)</title></head><BODY><br>"):
            fail(f"listing page: {response.status} {page!r}")
        if response.getheader("Content-Length") != str(len(body)):
            fail("Content-Length of the page does not match its body")

        link = server.link_of(0)
        response, body = get(server, link, auth=f"{USER}:{PASSWORD}")
        if response.status != 200 or body != CONTENT:
            fail(f"download: {response.status} {body!r}")
        if response.getheader("Content-Type") != "text/plain":
            fail(f"Content-Type {response.getheader('Content-Type')!r}")

        response, body = get(server, "/%2e%2e/%2e%2e/etc/passwd", auth=f"{USER}:{PASSWORD}")
        if response.status != 404:
            fail(f"escape from the document folder answered {response.status}")

        server.wait_for_line(") Client disconnected", count=5)
        out = server.output()
        for expected in ("] Web Server Started on ", "] (127.0.0.1) Client connected",
                         "] (127.0.0.1) GET /", f"] (127.0.0.1) GET {link}",
                         "] (127.0.0.1) Client disconnected"):
            if expected not in out:
                fail(f"no activity line with {expected!r} in:\n{out}")
        code = server.stop()
        if code != 0:
            fail(f"exit code {code} after SIGTERM")
    print("ok")


if __name__ == "__main__":
    main(sys.argv[1])
