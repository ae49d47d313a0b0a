"""No file may include a header of a layer above its own: the layers are the
targets of the build, each allowed what it links (directly or through the
libraries it links), exactly as the CMakeLists.txt files say. A wrong include
would otherwise only show when a link happens to fail, or never. And only
platform/ reaches the OS for error numbers, readiness bits and the wall clock,
so tests can stand in for them there.

    python3 tests/check_layers.py SOURCE_DIR
"""

import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
OS_CALLS = re.compile(r"\berrno\b|<sys/epoll\.h>|\bEPOLL[A-Z]+|\b(localtime|gmtime)_r\b|"
                      r"\bstd::time\(|\bgettimeofday\b|\bclock_gettime\b|system_clock::now")
COMMAND = re.compile(r"\b(\w+)\s*\(([^()]*)\)")
SOURCE = re.compile(r"[\w.-]+\.(cpp|h)$")
# Keywords of the commands read below; never target names.
KEYWORDS = {"PUBLIC", "PRIVATE", "INTERFACE", "STATIC", "SHARED", "MODULE", "OBJECT",
            "SOURCES", "LINKS"}


def commands(path):
    """The commands of one CMakeLists.txt as (name, words), comments dropped."""
    with open(path) as f:
        text = "\n".join(line.split("#", 1)[0] for line in f)
    return [(name, words.split()) for name, words in COMMAND.findall(text)]


def subdirectories(root, folder=""):
    """Every folder the build enters from `folder`, depth first, in build order."""
    found = []
    for name, words in commands(os.path.join(root, folder, "CMakeLists.txt")):
        if name == "add_subdirectory" and words:
            sub = os.path.join(folder, words[0]) if folder else words[0]
            if os.path.isfile(os.path.join(root, sub, "CMakeLists.txt")):
                found.append(sub)
                found += subdirectories(root, sub)
    return found


class Build:
    """The targets that the folders entered from the top CMakeLists.txt make of
    their own sources, with the sources and the links each names. Folders whose
    targets are all made inside functions (tests, benchmarks, fuzz targets) name
    none here: their words are variables."""

    def __init__(self, root):
        self.folders = {}   # folder -> [targets made there, in order]
        self.sources = {}   # "folder/file.cpp" -> target
        self.links = {}     # target -> [targets of ours it links]
        self.top_folders = subdirectories(root)
        pending = []
        for folder in [f for f in self.top_folders if "/" not in f]:
            for name, words in commands(os.path.join(root, folder, "CMakeLists.txt")):
                if not words or "$" in words[0] or "{" in words[0]:
                    continue
                target, rest = words[0], words[1:]
                if name in ("dravik_library", "add_library", "add_executable"):
                    self.folders.setdefault(folder, []).append(target)
                    self.links.setdefault(target, [])
                if name == "dravik_library" and "LINKS" in rest:
                    pending.append((target, rest[rest.index("LINKS") + 1:]))
                    rest = rest[:rest.index("LINKS")]
                if name in ("dravik_library", "add_library", "add_executable",
                            "target_sources"):
                    for word in rest:
                        if SOURCE.match(word):
                            self.sources[folder + "/" + word] = target
                elif name == "target_link_libraries":
                    pending.append((target, rest))
        for target, words in pending:
            if target in self.links:
                self.links[target] += [w for w in words if w not in KEYWORDS and w in self.links]

    def allowed(self, target):
        seen, todo = {target}, [target]
        while todo:
            for below in self.links.get(todo.pop(), []):
                if below not in seen:
                    seen.add(below)
                    todo.append(below)
        return seen

    def lowest(self, folder):
        """The folder's target that every other target of the folder links: where a
        header with no source of its own belongs, so all of the folder may use it."""
        targets = self.folders.get(folder, [])
        lowest = [t for t in targets if all(t in self.allowed(o) for o in targets)]
        return lowest[0] if len(lowest) == 1 else None

    def target_of(self, path):
        """The target a source or header belongs to: the one that builds it, or its
        source's; None for a path in no folder of ours."""
        folder, _, name = path.rpartition("/")
        if folder not in self.folders:
            return None
        if path in self.sources:
            return self.sources[path]
        stem = name.rsplit(".", 1)[0]
        return self.sources.get(f"{folder}/{stem}.cpp") or self.lowest(folder)


def unlisted_sources(root, build):
    """Sources are named in their folder's CMakeLists.txt; one nobody named would
    never be built (a test would never run) and nothing else would say so."""
    missing = []
    for folder in build.top_folders:
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
    build = Build(root)
    wrong = []
    # A build that reads as one without targets would pass everything below.
    for needed in ("platform", "app"):
        if needed not in build.links:
            wrong.append(f"no target {needed} found in the CMakeLists.txt files")
    for folder in build.folders:
        for name in sorted(os.listdir(os.path.join(root, folder))):
            if not name.endswith((".h", ".cpp")):
                continue
            path = folder + "/" + name
            own = build.target_of(path)
            if own is None:
                wrong.append(f"{path} belongs to no target of its folder")
                continue
            with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
                text = f.read()
            for header in INCLUDE.findall(text):
                theirs = build.target_of(header)
                if theirs and theirs not in build.allowed(own):
                    wrong.append(f"{path} ({own}) includes {header} ({theirs})")
            if folder != "platform":
                for number, line in enumerate(text.splitlines(), 1):
                    if OS_CALLS.search(line.split("//")[0]):
                        wrong.append(f"{path}:{number} reaches the OS: {line.strip()}")
    wrong += unlisted_sources(root, build)
    for line in sorted(set(wrong)):
        print(line)
    if wrong:
        sys.exit(1)
    print("ok")


if __name__ == "__main__":
    main(sys.argv[1])
