"""No file may include a header of a layer above its own: the layers are the
libraries of the build, each allowed what it links (directly or through the
libraries it links). A wrong include would otherwise only show when a link
happens to fail, or never. And only platform/ reaches the OS for error numbers,
readiness bits and the wall clock, so tests can stand in for them there.

    python3 tests/check_layers.py SOURCE_DIR
"""

import os
import re
import sys

# Library of a file: the first pattern that matches its path (folder/name).
LIBRARIES = [
    (r"platform/", "platform"),
    (r"net/", "net"),
    (r"catalogue/(uFileFormat|ServerUi|Product)", "records"),
    (r"catalogue/uServers", "catalogue"),
    (r"ftp/FtpShare", "ftpshare"),
    (r"ftp/", "ftp"),
    (r"web/WebShare", "webshare"),
    (r"web/", "web"),
    (r"ui/", "ui"),
    (r"app/", "app"),
]
LINKS = {
    "platform": [],
    "net": ["platform"],
    "records": ["platform"],
    "catalogue": ["records", "net"],
    "ftp": ["net"],
    "web": ["net"],
    "ftpshare": ["ftp", "catalogue"],
    "webshare": ["web", "catalogue"],
    "ui": ["catalogue"],
    "app": ["catalogue", "ftpshare", "webshare", "ui"],
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
OS_CALLS = re.compile(r"\berrno\b|<sys/epoll\.h>|\bEPOLL[A-Z]+|\b(localtime|gmtime)_r\b|"
                      r"\bstd::time\(|\bgettimeofday\b|\bclock_gettime\b|system_clock::now")


def library_of(path):
    for pattern, library in LIBRARIES:
        if re.match(pattern, path):
            return library
    return None


def allowed(library):
    seen, todo = {library}, [library]
    while todo:
        for below in LINKS[todo.pop()]:
            if below not in seen:
                seen.add(below)
                todo.append(below)
    return seen


def unlisted_sources(root):
    """Sources are named in their folder's CMakeLists.txt; one nobody named would
    never be built (a test would never run) and nothing else would say so."""
    missing = []
    folders = ["platform", "net", "catalogue", "ftp", "web", "ui", "app", "bench", "fuzz"]
    folders += [os.path.join("tests", d) for d in sorted(os.listdir(os.path.join(root, "tests")))
                if os.path.isfile(os.path.join(root, "tests", d, "CMakeLists.txt"))]
    for folder in folders:
        with open(os.path.join(root, folder, "CMakeLists.txt")) as f:
            words = set(re.findall(r"[\w.-]+", f.read()))
        for name in sorted(os.listdir(os.path.join(root, folder))):
            stem = name.rsplit(".", 1)[0]
            # Benchmarks and tests may be named by their stem, fuzz targets without
            # their suffix.
            named = {name, stem} & words or (stem.endswith("Fuzz") and stem[:-4] in words)
            if (name.endswith(".cpp") or name.endswith("_test.py")) and not named:
                missing.append(f"{folder}/{name} is in no build list")
    return missing


def main(root):
    wrong = []
    for folder in ("platform", "net", "catalogue", "ftp", "web", "ui", "app"):
        for name in sorted(os.listdir(os.path.join(root, folder))):
            if not name.endswith((".h", ".cpp")):
                continue
            path = folder + "/" + name
            own = library_of(path)
            with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
                text = f.read()
            for header in INCLUDE.findall(text):
                theirs = library_of(header)
                if theirs and theirs not in allowed(own):
                    wrong.append(f"{path} ({own}) includes {header} ({theirs})")
            if own != "platform":
                for number, line in enumerate(text.splitlines(), 1):
                    if OS_CALLS.search(line.split("//")[0]):
                        wrong.append(f"{path}:{number} reaches the OS: {line.strip()}")
    wrong += unlisted_sources(root)
    for line in sorted(set(wrong)):
        print(line)
    if wrong:
        sys.exit(1)
    print("ok")


if __name__ == "__main__":
    main(sys.argv[1])
