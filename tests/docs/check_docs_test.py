#!/usr/bin/env python3
"""The documentation checker on small made-up trees: each broken tree must
give exactly the fault meant for it, and the sound tree none."""
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_docs  # noqa: E402

SOURCE = "int a;\n// [doc:x]\nint b;\n\nint c;\n// [/doc:x]\n"
CMAKE = "# [doc:y]\nadd_library(y)\n# [/doc:y]\n"
QUOTE = "<!-- quote ex/a.cpp doc:x -->\n```cpp\nint b;\n\nint c;\n```\n"
README = ("# Top\n\n## Sub part's `code`\n\nSee [the guide](docs/guide.md#usage) and [here](#sub-parts-code).\n"
          "Call `aerie::Thing` from `<aerie/thing.h>`; examples: `one/`.\n")
HEADER = "struct Thing {};\n"
GUIDE = ("# Guide\n\n## Usage\n\n" + QUOTE +
         "<!-- quote ex/CMakeLists.txt doc:y -->\n```cmake\nadd_library(y)\n```\n"
         "Back to [the top](../README.md), [sources](../ex/), [web](https://example.org/x).\n"
         "Not a link: `[a](missing.md)`.\n```sh\n[b](missing.md)\n```\n")

# name: (file -> replacement text, a fault's text expected, or None for none)
CASES = {
    "sound tree": ({}, None),
    "stale quote": ({"ex/a.cpp": SOURCE.replace("int c;", "int c = 1;")}, "differs from ex/a.cpp"),
    "missing file": ({"docs/guide.md": GUIDE.replace("ex/a.cpp", "ex/b.cpp")}, "ex/b.cpp does not exist"),
    "missing marker": ({"ex/a.cpp": SOURCE.replace("// [/doc:x]\n", "")}, "exactly one [doc:x]"),
    "doubled marker": ({"ex/a.cpp": SOURCE + "// [doc:x]\n"}, "exactly one [doc:x]"),
    "markers reversed": ({"ex/a.cpp": "// [/doc:x]\n// [doc:x]\n"}, "comes before"),
    "no block after quote": ({"docs/guide.md": GUIDE.replace("doc:x -->\n", "doc:x -->\n\n")},
                             "followed at once by a fenced code block"),
    "unquoted C++": ({"docs/guide.md": GUIDE + "```cpp\nint d;\n```\n"}, "a C++ block must quote"),
    "broken link": ({"README.md": README.replace("docs/guide.md", "docs/gide.md")}, "docs/gide.md does not exist"),
    "broken anchor": ({"README.md": README.replace("#usage", "#use")}, "no heading with the id use"),
    "broken own anchor": ({"README.md": README.replace("#sub-parts-code", "#sub")}, "no heading with the id sub"),
    "link out of tree": ({"README.md": README + "[x](../outside.md)\n"}, "leaves the source tree"),
    "gone library name": ({"docs/guide.md": GUIDE + "`aerie::Gone`\n"}, "aerie::Gone is not declared"),
    "gone library header": ({"docs/guide.md": GUIDE + "<aerie/gone.h>\n"}, "<aerie/gone.h> is not a public header"),
    "gone name in the headers' table": ({"docs/guide.md": GUIDE + "| `<aerie/thing.h>` | `Thing`, `Gone` |\n"},
                                        "Gone (in the headers' table) is not declared"),
    "unlisted example": ({"examples/two/two.cpp": ""}, "examples/two/ is not listed"),
}


class CheckDocs(unittest.TestCase):
    def test_cases(self):
        for name, (changes, expected) in CASES.items():
            with self.subTest(name), tempfile.TemporaryDirectory() as root:
                files = {"README.md": README, "docs/guide.md": GUIDE,
                         "ex/a.cpp": SOURCE, "ex/CMakeLists.txt": CMAKE,
                         "aerie/include/aerie/thing.h": HEADER, "examples/one/one.cpp": "", **changes}
                for path, text in files.items():
                    os.makedirs(os.path.dirname(os.path.join(root, path)), exist_ok=True)
                    with open(os.path.join(root, path), "w", encoding="utf-8") as f:
                        f.write(text)
                faults, pages, quotes, links = check_docs.check(root)
                if expected is None:
                    self.assertEqual(faults, [])
                    self.assertEqual((pages, quotes, links), (2, 2, 4))
                else:
                    self.assertTrue(any(expected in fault for fault in faults), faults)


if __name__ == "__main__":
    unittest.main()
