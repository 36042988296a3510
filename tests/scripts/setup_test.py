#!/usr/bin/env python3
"""scripts/setup's decisions, without root or network: which packages each
need takes, what 32-bit execution changes, and which apt failures are fatal.
apt-get, dpkg, dpkg-query, gcc, id and sleep are fakes on PATH that answer
from the environment and log what they were asked."""
import os
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

FAKES = {
    "dpkg-query": """#!/bin/sh
pkg=$3
for p in $FAKE_INSTALLED; do [ "$p" = "$pkg" ] && { echo "install ok installed"; exit 0; }; done
exit 1
""",
    "dpkg": """#!/bin/sh
echo "dpkg $*" >>"$FAKE_LOG"
case "$1" in --print-foreign-architectures) [ -n "$FAKE_ARCHS" ] && echo "$FAKE_ARCHS" ;; esac
exit 0
""",
    "apt-get": """#!/bin/sh
echo "apt-get $*" >>"$FAKE_LOG"
case "$1" in
  update)
    case "$FAKE_UPDATE" in
      partial) echo "E: Failed to fetch http://mirror/dists/x/binary-i386/Packages.xz  File has unexpected size"
               echo "E: Some index files failed to download. They have been ignored, or old ones used instead."; exit 100 ;;
      fail) echo "E: Could not resolve mirror"; exit 100 ;;
    esac ;;
  install)
    for a in "$@"; do
      for bad in $FAKE_UNINSTALLABLE; do
        [ "$a" = "$bad" ] && { echo "E: Unable to correct problems, you have held broken packages."; echo "E: Package $a has no installation candidate"; exit 100; }
      done
    done ;;
esac
exit 0
""",
    # gcc -m32 makes a program that runs, or one the kernel refuses.
    "gcc": """#!/bin/sh
out=""
while [ $# -gt 0 ]; do [ "$1" = -o ] && out=$2; shift; done
[ -n "$FAKE_NO_MULTILIB" ] && { echo "fatal error: bits/libc-header-start.h: No such file" >&2; exit 1; }
[ -n "$out" ] && { if [ -n "$FAKE_I386" ]; then printf '#!/bin/sh\\nexit 0\\n' >"$out"; else printf '#!/bin/sh\\nexit 126\\n' >"$out"; fi; chmod +x "$out"; }
exit 0
""",
    "id": "#!/bin/sh\necho 0\n",
    "sleep": "#!/bin/sh\nexit 0\n",
}

DEMO = "cmake ninja-build g++ make pkg-config python3 file binutils lv2-dev googletest libbenchmark-dev libcli11-dev nlohmann-json3-dev sox libsox-fmt-base"


class Setup(unittest.TestCase):
    def run_setup(self, args, **env):
        with tempfile.TemporaryDirectory() as d:
            bin_dir = os.path.join(d, "bin")
            os.mkdir(bin_dir)
            for name, text in FAKES.items():
                path = os.path.join(bin_dir, name)
                with open(path, "w") as f:
                    f.write(text)
                os.chmod(path, 0o755)
            log = os.path.join(d, "log")
            open(log, "w").close()
            full_env = {"PATH": bin_dir + ":/usr/bin:/bin", "FAKE_LOG": log, "KSTV_STATE_DIR": os.path.join(d, "state"),
                        "FAKE_INSTALLED": "", "FAKE_ARCHS": "", "HOME": d}
            full_env.update(env)
            run = subprocess.run([os.path.join(ROOT, "scripts/setup")] + args, env=full_env, capture_output=True,
                                 text=True, timeout=60)
            with open(log) as f:
                calls = f.read().splitlines()
            reason_file = os.path.join(d, "state", "wine32-reason")
            reason = ""
            if os.path.exists(reason_file):
                with open(reason_file) as f:
                    reason = f.read()
            return run, calls, reason

    def installs(self, calls):
        return [[w for w in c.split()[2:] if not w.startswith("-") and "::" not in w]
                for c in calls if c.startswith("apt-get install")]

    # need, 32-bit execution -> what a dry run would install, and what it must not
    def test_dry_run_needs(self):
        cases = [
            (["demo"], "1", DEMO.split(), ["wine", "mingw-w64", "clang", "qemu-user", "dpf-plugins-vst", "pybind11-dev"]),
            (["linux64"], "1", ["dpf-plugins-vst", "zam-plugins", "pybind11-dev", "python3-numpy", "python3-pytest"],
             ["wine", "sox", "g++-multilib"]),
            (["python"], "", ["pybind11-dev", "python3-dev", "python3-distributed", "python3-mido"],
             ["zam-plugins", "googletest"]),
            (["linux32"], "", ["g++-multilib", "qemu-user"], ["wine"]),
            (["linux32"], "1", ["g++-multilib"], ["qemu-user"]),
            (["win32"], "1", ["mingw-w64", "wine", "wine32:i386"], ["qemu-user", "wine64"]),
            (["win32"], "", ["mingw-w64", "wine"], ["wine32:i386"]),
            (["win64"], "", ["wine64", "mingw-w64"], ["wine32:i386", "g++-multilib"]),
            (["fuzz", "tidy", "editor"], "", ["clang", "libclang-rt-14-dev", "clang-tidy", "xvfb"], ["wine"]),
        ]
        for needs, i386, want, unwanted in cases:
            with self.subTest(needs=needs, i386=i386):
                run, calls, _ = self.run_setup(["--dry-run"] + needs, FAKE_I386=i386)
                self.assertEqual(run.returncode, 0, run.stderr)
                would = [l.split()[2] for l in run.stdout.splitlines() if l.strip().startswith("would install")]
                for p in want:
                    self.assertIn(p, would, run.stdout)
                for p in unwanted:
                    self.assertNotIn(p, would, run.stdout)
                self.assertFalse(any(c.startswith("apt-get") or "--add-architecture" in c for c in calls), calls)

    def test_dry_run_without_multilib_defers_the_i386_decision(self):
        run, _, _ = self.run_setup(["--dry-run", "win32"], FAKE_NO_MULTILIB="1")
        self.assertIn("decided later", run.stdout)

    def test_present_packages_ask_apt_nothing(self):
        run, calls, _ = self.run_setup(["demo"], FAKE_INSTALLED=DEMO)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(calls, [])

    # apt's answers -> the exit status, and what the run says
    def test_apt_failures(self):
        cases = [
            ({"FAKE_UPDATE": "partial"}, 0, "some index files failed to download"),
            ({"FAKE_UPDATE": "fail"}, 0, "apt-get update failed 3 times"),
            ({"FAKE_UNINSTALLABLE": "sox"}, 1, "cannot install"),
        ]
        for env, status, says in cases:
            with self.subTest(env=env):
                run, calls, _ = self.run_setup(["demo"], **env)
                self.assertEqual(run.returncode, status, run.stdout + run.stderr)
                self.assertIn(says, run.stdout + run.stderr)
                self.assertEqual(len(self.installs(calls)), 1)
                if status:
                    line = [l for l in run.stderr.splitlines() if "cannot install" in l]
                    self.assertEqual(len(line), 1)
                    self.assertIn("sox", line[0])
                    self.assertIn("no installation candidate", line[0])

    def test_no_i386_execution_adds_no_architecture(self):
        run, calls, _ = self.run_setup(["linux32", "win32", "win64"], FAKE_I386="")
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertFalse([c for c in calls if "--add-architecture" in c], calls)
        self.assertFalse([p for i in self.installs(calls) for p in i if p.endswith(":i386")], calls)
        self.assertIn(["qemu-user"], self.installs(calls))

    def test_wine32_that_cannot_be_installed_is_a_reason_not_a_failure(self):
        run, calls, reason = self.run_setup(["win32"], FAKE_I386="1", FAKE_UNINSTALLABLE="wine32:i386",
                                            KSTV_NO_WINE32_ROOT="1")
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        self.assertIn("dpkg --add-architecture i386", calls)
        self.assertIn("wine32:i386 cannot be installed", reason)
        self.assertIn("no installation candidate", reason)

    def test_forced_paths(self):
        run, calls, reason = self.run_setup(["win32"], FAKE_I386="1", KSTV_NO_WINE32="1", KSTV_NO_WINE32_ROOT="1")
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertIn("KSTV_NO_WINE32=1", reason)
        self.assertFalse([p for i in self.installs(calls) for p in i if p.endswith(":i386")])
        run, calls, _ = self.run_setup(["--dry-run", "win32"], FAKE_I386="1", KSTV_NO_I386="1")
        self.assertIn("not needed", run.stdout)

    def test_unknown_need_and_help(self):
        run, _, _ = self.run_setup(["linux65"])
        self.assertEqual(run.returncode, 2)
        self.assertIn("unknown need 'linux65'", run.stderr)
        run, _, _ = self.run_setup(["--help"])
        self.assertEqual(run.returncode, 0)
        self.assertIn("editor", run.stdout)


if __name__ == "__main__":
    unittest.main(verbosity=1)
