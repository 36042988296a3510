"""The documented install: `cmake --install <build> --component python`
puts the package where Debian's interpreter looks under the prefix, and
it imports from any folder. Installed here into a scratch prefix, found
through PYTHONPATH; under /usr/local the folder is on sys.path itself."""

import re
import subprocess
import sys

from conftest import env


def cache(name):
    text = open(f"{env('AERIE_TEST_BUILD')}/CMakeCache.txt").read()
    return re.search(rf"^{name}:\w+=(.*)$", text, re.M).group(1)


def test_the_installed_package_imports_from_any_folder(tmp_path):
    prefix, folder = tmp_path / "prefix", cache("KSTV_PYTHON_INSTALL_DIR")
    subprocess.run(["cmake", "--install", env("AERIE_TEST_BUILD"), "--component", "python", "--prefix", str(prefix)],
                   check=True, capture_output=True)
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    run = subprocess.run([sys.executable, "-c", "import aerie, numpy; print(aerie.__file__, aerie.Plugin.process.__doc__)"],
                         cwd=elsewhere, env={"PYTHONPATH": str(prefix / folder), "PATH": "/usr/bin:/bin", "PYTHONDONTWRITEBYTECODE": "1"},
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith(str(prefix / folder / "aerie" / "__init__.py"))
    assert "automation:" in run.stdout  # the docstrings came along
    assert sorted(p.name for p in (prefix / folder / "aerie").iterdir() if not p.name.endswith(".so")) == \
        ["__init__.py", "__init__.pyi", "py.typed"]
    debian = subprocess.run(["/usr/bin/python3", "-c", "import sys; print('\\n'.join(sys.path))"],
                            capture_output=True, text=True).stdout.split()
    assert f"/usr/local/{folder}" in debian
