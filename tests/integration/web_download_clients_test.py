"""Download clients we did not write against the headless program's web share:
curl follows the page's links to awkwardly named files, curl and wget finish cut
downloads, aria2c fetches over four connections and Chromium downloads a file by
clicking its link. Every download must equal the shared file byte for byte."""

import json
import os
import re
import subprocess
import sys
import urllib.parse
import urllib.request

from cdp import CdpError, Chromium
from harness import drive_form, sha256_file
from web_harness import WebServer, fail

BIG = "big.bin"
BIG_SIZE = 16 * 1024 * 1024
CLICKED = "café.bin"
# Names a link must carry intact: bytes outside ASCII, characters a URL gives a
# meaning to, what looks like an escape already, and characters HTML gives one to.
AWKWARD = [
    "été.txt", "日本語.txt", "\U0001F600.txt", "two words.txt", " leading blank.txt",
    "hash#tag.txt", "what?.txt", "100%.txt", "%41 is not A.txt", "a+b=c.txt",
    "colon:name.txt", "a&b.txt", "a<b>.txt", 'say "hi".txt', "dossier é/fiché.txt",
    "v1..2.txt",
]
LINK = re.compile(r'<a href="([^"]*)">([^<]*)</a>')
HREF_BYTES = re.compile(r"(?:[A-Za-z0-9\-._~/]|%[0-9A-Fa-f]{2})*")


def run(cmd, timeout=120):
    result = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
    if result.returncode != 0:
        fail(f"{cmd[0]} exited {result.returncode}: {result.stderr[-2000:]}")
    return result


def as_html_text(text):
    for raw, entity in (("&", "&amp;"), ("<", "&lt;"), (">", "&gt;"), ('"', "&quot;")):
        text = text.replace(raw, entity)
    return text


def write_prefix(source, target, size):
    """The part of source a cut download would have left behind."""
    with open(source, "rb") as f, open(target, "wb") as out:
        out.write(f.read(size))


def same_bytes(path, original):
    return sha256_file(path) == sha256_file(original)


def listing_links(server):
    """{visible text as sent: href} of the listing page's links."""
    with urllib.request.urlopen(server.url("/"), timeout=15) as answer:
        content_type = answer.headers["Content-Type"]
        page = answer.read().decode("utf-8")
    if content_type != "text/html; charset=utf-8":
        fail(f"listing page sent as {content_type!r}")
    return {text: href for href, text in LINK.findall(page)}


def check_awkward_links(server, workdir):
    links = listing_links(server)
    problems = []
    for i, name in enumerate(AWKWARD):
        path = server.paths[i]
        href = links.get(as_html_text(drive_form(path)))
        if href is None:
            problems.append(f"{name!r}: no link shows {as_html_text(drive_form(path))!r}")
            continue
        if not HREF_BYTES.fullmatch(href) or \
                urllib.parse.unquote_to_bytes(href) != b"C" + path.encode():
            problems.append(f"{name!r}: href {href!r} does not encode the path")
            continue
        target = os.path.join(workdir, f"awkward{i}")
        result = subprocess.run(
            ["curl", "-sS", "--max-time", "30", "-o", target, "-w", "%{http_code}",
             server.url("/") + href], capture_output=True, text=True, timeout=60)
        if result.stdout != "200" or not same_bytes(target, path):
            problems.append(f"{name!r}: GET /{href} answered {result.stdout} "
                            f"{result.stderr.strip()}")
    if problems:
        fail("links of awkward names:\n  " + "\n  ".join(problems))


def check_absolute_target(server, url, original, workdir):
    # A client that takes the server for a proxy sends the whole URL as the target.
    target = os.path.join(workdir, "proxied")
    run(["curl", "-sS", "--fail", "--max-time", "30", "--proxy", server.url("/"),
         "-o", target, url])
    if not same_bytes(target, original):
        fail("the file fetched through an absolute target differs")


def check_curl_resumes(url, original, workdir):
    target = os.path.join(workdir, "curl.part")
    kept = 5 * 1024 * 1024
    write_prefix(original, target, kept)
    result = run(["curl", "-sS", "--fail", "--max-time", "60", "-C", "-", "-o", target,
                  "-w", "%{http_code} %{size_download}", url])
    if result.stdout != f"206 {BIG_SIZE - kept}":
        fail(f"curl -C - got {result.stdout!r} (status, bytes), not 206 {BIG_SIZE - kept}")
    if not same_bytes(target, original):
        fail("the download curl resumed differs from the shared file")


def check_wget_resumes(url, original, workdir):
    target = os.path.join(workdir, "wget.part")
    write_prefix(original, target, 9 * 1024 * 1024 + 123)
    wget = ["wget", "-c", "-S", "-nv", "-t", "1", "-T", "30", "-O", target, url]
    result = run(wget)
    if "206 Partial Content" not in result.stderr:
        fail(f"wget -c was not answered with part of the file:\n{result.stderr}")
    if not same_bytes(target, original):
        fail("the download wget appended to differs from the shared file")
    # Asking again for what follows the whole file must leave it alone.
    result = run(wget)
    if " 416 " not in result.stderr or not same_bytes(target, original):
        fail(f"wget -c of a complete file:\n{result.stderr}")


def check_aria2_splits(url, original, workdir):
    log = os.path.join(workdir, "aria2.log")
    run(["aria2c", "-x4", "-s4", "-k1M", "--file-allocation=none", "--max-tries=1",
         "--timeout=30", "--allow-overwrite=true", "--auto-file-renaming=false",
         "--console-log-level=warn", "--summary-interval=0", "--download-result=hide",
         f"--log={log}", "--log-level=info",
         f"--checksum=sha-256={sha256_file(original)}", "-d", workdir, "-o", "aria2.bin",
         url])
    if not same_bytes(os.path.join(workdir, "aria2.bin"), original):
        fail("the file aria2c put together differs from the shared file")
    # The first connection takes the whole file; the other three must get their parts.
    with open(log) as f:
        parts = f.read().count("HTTP/1.1 206 Partial Content")
    if parts < 3:
        fail(f"aria2c got {parts} partial answers, so it did not split the download")


def check_chromium_click(server, original, workdir):
    downloads = os.path.join(workdir, "chromium")
    os.mkdir(downloads)
    click = (f"(() => {{ const a = [...document.querySelectorAll('a')]"
             f".find(a => a.textContent.endsWith({json.dumps(CLICKED)}));"
             f" if (a) a.click(); return !!a; }})()")
    try:
        with Chromium() as browser:
            browser.call("Browser.setDownloadBehavior", {
                "behavior": "allowAndName", "downloadPath": downloads, "eventsEnabled": True})
            page = browser.call("Target.createTarget", {"url": "about:blank"})["targetId"]
            session = browser.call("Target.attachToTarget",
                                   {"targetId": page, "flatten": True})["sessionId"]
            browser.call("Page.enable", session=session)
            browser.call("Page.navigate", {"url": server.url("/")}, session)
            browser.wait_event("Page.loadEventFired")
            found = browser.call("Runtime.evaluate", {"expression": click, "returnByValue": True},
                                 session)["result"].get("value")
            if found is not True:
                fail(f"the page Chromium shows has no link ending in {CLICKED}")
            begun = browser.wait_event("Browser.downloadWillBegin", timeout=60)
            ended = browser.wait_event(
                "Browser.downloadProgress",
                lambda p: p["guid"] == begun["guid"] and p["state"] != "inProgress", timeout=60)
    except CdpError as e:
        fail(str(e))
    if ended["state"] != "completed":
        fail(f"Chromium's download ended {ended['state']}")
    if begun["suggestedFilename"] != CLICKED:
        fail(f"Chromium named the download {begun['suggestedFilename']!r}")
    if not same_bytes(os.path.join(downloads, begun["guid"]), original):
        fail("the file Chromium downloaded differs from the shared file")


def main(binary):
    files = [(name, name.encode() + os.urandom(64), "odd") for name in AWKWARD]
    files += [(BIG, BIG_SIZE, "Big"), (CLICKED, 1024 * 1024 + 7, "Clicked")]
    with WebServer(binary, files=files) as server:
        workdir = os.path.join(server.root, "downloads")
        os.mkdir(workdir)
        big, clicked = server.paths[-2], server.paths[-1]
        big_url = server.url(server.link_of(len(files) - 2))
        check_awkward_links(server, workdir)
        check_absolute_target(server, server.url("/C" + urllib.parse.quote(clicked)),
                              clicked, workdir)
        check_curl_resumes(big_url, big, workdir)
        check_wget_resumes(big_url, big, workdir)
        check_aria2_splits(big_url, big, workdir)
        check_chromium_click(server, clicked, workdir)
    print("ok")


if __name__ == "__main__":
    main(sys.argv[1])
