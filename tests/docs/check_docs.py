#!/usr/bin/env python3
"""Checks that the documentation agrees with the code and with itself.

Pages are README.md and every .md file under docs/. For each page:

- A code block shown right after a comment line
      <!-- quote examples/gain/gain.cpp doc:gain -->
  must equal, line for line, the region of that file (path from the top of
  the source tree) between its marker lines `// [doc:gain]` and
  `// [/doc:gain]` (`#` instead of `//` in CMake, shell or Python files).
  The quoted file is built and tested, so the page cannot show stale code.
- A C++ block (```cpp, ```c++, ```c, ```h) must be such a quote.
- Every relative link ([text](path) or [text](path#anchor)) must name a file
  or folder that exists, and an anchor into a page must name one of its
  headings (GitHub's heading ids).
- Every name `aerie::Name` must be declared in the library's public headers
  (aerie/include), and every header `<aerie/...>` must be one of them; in a
  table row that starts with such a header, every name in backticks too.
- README.md must name every folder of examples/ (as `examples/NAME` or
  `NAME/`), so that its tables list every example.

Usage: check_docs.py [SOURCE_ROOT]   (default: two folders above this file)
Prints one line per fault as FILE:LINE: message and exits 1 when there is
any, or prints a one-line summary and exits 0.
"""
import os
import re
import sys

QUOTE = re.compile(r"^<!--\s*quote\s+(\S+)\s+doc:(\S+)\s*-->\s*$")
FENCE = re.compile(r"^(\s*)(`{3,}|~{3,})\s*([^`\s]*)")
LINK = re.compile(r"\[(?:[^\]\\]|\\.)*\]\(\s*<?([^)\s>]+)>?(?:\s+\"[^\"]*\")?\s*\)")
REFERENCE = re.compile(r"^\s{0,3}\[[^\]]+\]:\s*<?(\S+?)>?(?:\s|$)")
CODE_SPAN = re.compile(r"(`+).*?\1")
CPP = {"cpp", "c++", "cxx", "cc", "c", "h", "hpp"}
AERIE_NAME = re.compile(r"\baerie::([A-Za-z_]\w*)")
AERIE_HEADER = re.compile(r"<aerie/([\w./]+)>")


def marker(name, closing=False):
    slash = "/" if closing else ""
    return re.compile(r"^\s*(//|#)\s*\[" + slash + r"doc:" + re.escape(name) + r"\]\s*$")


def region(root, path, name):
    """The lines between the markers of `name` in `path`, or an error text."""
    full = os.path.normpath(os.path.join(root, path))
    if os.path.commonpath([full, root]) != root or not os.path.isfile(full):
        return None, f"quoted file {path} does not exist in the source tree"
    with open(full, encoding="utf-8") as f:
        lines = f.read().split("\n")
    starts = [i for i, line in enumerate(lines) if marker(name).match(line)]
    ends = [i for i, line in enumerate(lines) if marker(name, True).match(line)]
    if len(starts) != 1 or len(ends) != 1:
        return None, (f"{path} must hold exactly one [doc:{name}] and one [/doc:{name}] marker "
                      f"(found {len(starts)} and {len(ends)})")
    if ends[0] < starts[0]:
        return None, f"{path}: [/doc:{name}] comes before [doc:{name}]"
    return lines[starts[0] + 1:ends[0]], None


def slug(heading):
    """GitHub's id for a heading: lower case, punctuation dropped, spaces to hyphens."""
    text = re.sub(r"`|\*\*|__", "", heading.strip().lower())
    text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", text)
    text = re.sub(r"[^\w\- ]", "", text)
    return text.replace(" ", "-")


def parse(text):
    """Splits a page into (prose lines with numbers, code blocks, headings)."""
    prose, blocks, anchors, seen = [], [], set(), {}
    lines = text.split("\n")
    i = 0
    while i < len(lines):
        m = FENCE.match(lines[i])
        if m:
            indent, fence, lang = m.group(1), m.group(2), m.group(3).lower()
            start = i
            body = []
            i += 1
            while i < len(lines) and not re.match(r"^\s*" + re.escape(fence[0]) + "{" + str(len(fence)) + r",}\s*$", lines[i]):
                line = lines[i]
                body.append(line[len(indent):] if line.startswith(indent) else line.lstrip())
                i += 1
            blocks.append((start, lang, body, i < len(lines)))
            i += 1
            continue
        h = re.match(r"^#{1,6}\s+(.*?)\s*#*\s*$", lines[i])
        if h:
            base = slug(h.group(1))
            n = seen.get(base, 0)
            seen[base] = n + 1
            anchors.add(base if n == 0 else f"{base}-{n}")
        prose.append((i, lines[i]))
        i += 1
    return lines, prose, blocks, anchors


def check(root):
    root = os.path.realpath(root)
    pages = [os.path.join(root, "README.md")]
    for folder, _, files in os.walk(os.path.join(root, "docs")):
        pages += [os.path.join(folder, f) for f in sorted(files) if f.endswith(".md")]
    pages = [p for p in pages if os.path.isfile(p)]
    parsed = {}
    for page in pages:
        with open(page, encoding="utf-8") as f:
            parsed[page] = parse(f.read())

    def anchors_of(path):
        if path not in parsed and os.path.isfile(path):
            with open(path, encoding="utf-8") as f:
                parsed[path] = parse(f.read())
        return parsed[path][3]

    faults, quotes, links = [], 0, 0
    faults += library_names(root, parsed)
    faults += listed_examples(root)
    for page in pages:
        name = os.path.relpath(page, root)
        lines, prose, blocks, _ = parsed[page]
        block_at = {start: (lang, body, closed) for start, lang, body, closed in blocks}
        quoted = set()
        for number, line in prose:
            m = QUOTE.match(line.strip())
            if not m:
                continue
            where = f"{name}:{number + 1}"
            if number + 1 not in block_at:
                faults.append(f"{where}: a quote comment must be followed at once by a fenced code block")
                continue
            quoted.add(number + 1)
            quotes += 1
            lang, body, closed = block_at[number + 1]
            want, error = region(root, m.group(1), m.group(2))
            if error:
                faults.append(f"{where}: {error}")
            elif not closed:
                faults.append(f"{where}: the quoted code block is never closed")
            elif body != want:
                differ = next((k for k in range(max(len(body), len(want)))
                               if k >= len(body) or k >= len(want) or body[k] != want[k]), 0)
                faults.append(f"{where}: the block differs from {m.group(1)} [doc:{m.group(2)}] "
                              f"at its line {differ + 1} (block: {len(body)} lines, region: {len(want)}); "
                              f"copy the region again")
        for start, lang, _, _ in blocks:
            if lang in CPP and start not in quoted:
                faults.append(f"{name}:{start + 1}: a C++ block must quote a marked region of a built "
                              f"file (<!-- quote FILE doc:NAME --> on the line before)")
        for number, line in prose:
            plain = CODE_SPAN.sub("", line)
            targets = [m.group(1) for m in LINK.finditer(plain)]
            r = REFERENCE.match(plain)
            if r:
                targets.append(r.group(1))
            for target in targets:
                if re.match(r"^[a-zA-Z][a-zA-Z0-9+.-]*:", target):
                    continue  # http:, https:, mailto:, ...
                links += 1
                where = f"{name}:{number + 1}"
                path, _, anchor = target.partition("#")
                full = os.path.normpath(os.path.join(os.path.dirname(page), path)) if path else page
                if os.path.commonpath([full, root]) != root:
                    faults.append(f"{where}: link {target} leaves the source tree")
                    continue
                if not os.path.exists(full):
                    faults.append(f"{where}: link {target}: {os.path.relpath(full, root)} does not exist")
                    continue
                if anchor and full.endswith(".md") and anchor not in anchors_of(full):
                    faults.append(f"{where}: link {target}: {os.path.relpath(full, root)} has no heading "
                                  f"with the id {anchor}")
    return faults, len(pages), quotes, links


def library_names(root, parsed):
    """aerie:: names and <aerie/...> headers the pages mention that the
    library's public headers do not have."""
    include = os.path.join(root, "aerie", "include")
    if not os.path.isdir(include):
        return []
    words = set()
    for folder, _, files in os.walk(include):
        for f in files:
            with open(os.path.join(folder, f), encoding="utf-8") as h:
                words.update(re.findall(r"\w+", h.read()))
    faults = []
    for page, (lines, _, _, _) in parsed.items():
        name = os.path.relpath(page, root)
        for number, line in enumerate(lines):
            for m in AERIE_NAME.finditer(line):
                if m.group(1) not in words:
                    faults.append(f"{name}:{number + 1}: aerie::{m.group(1)} is not declared in aerie/include")
            if line.startswith("| `<aerie/"):
                for n in re.findall(r"`([A-Za-z_]\w*)`", line):
                    if n not in words:
                        faults.append(f"{name}:{number + 1}: {n} (in the headers' table) is not declared in aerie/include")
            for m in AERIE_HEADER.finditer(line):
                if "..." not in m.group(1) and not os.path.isfile(os.path.join(include, "aerie", m.group(1))):
                    faults.append(f"{name}:{number + 1}: <aerie/{m.group(1)}> is not a public header of aerie")
    return faults


def listed_examples(root):
    """Folders of examples/ that README.md does not name."""
    folder = os.path.join(root, "examples")
    readme = os.path.join(root, "README.md")
    if not os.path.isdir(folder) or not os.path.isfile(readme):
        return []
    with open(readme, encoding="utf-8") as f:
        text = f.read()
    return [f"README.md: the example examples/{d}/ is not listed"
            for d in sorted(os.listdir(folder))
            if os.path.isdir(os.path.join(folder, d)) and f"examples/{d}" not in text and f"`{d}/`" not in text]


def main(argv):
    root = argv[1] if len(argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
    faults, pages, quotes, links = check(root)
    for fault in faults:
        print(fault)
    if faults:
        print(f"docs: {len(faults)} fault(s)")
        return 1
    print(f"docs: {pages} pages, {quotes} quotes and {links} links agree with the tree")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
