"""The README's "Using the library" commands, run as written from the checkout:
install the build tree into a prefix under a scratch home, build both C
examples against it (pkg-config and CMake) and run them on a demo bundle.

Checks that the examples load the installed library and the ONNX Runtime
installed beside it, that what they report agrees with the bundle, and that
the installed pkg-config and CMake files name no path of the checkout or the
build tree (the prefix may move)."""

import glob
import os
import re
import shlex
import shutil
import subprocess
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
BUILD = os.environ.get("LE_BUILD_DIR") or os.path.join(ROOT, "build")
VERSION = os.environ["LE_VERSION"]
SECTION = "Using the library"


def commands():
    """The indented lines of the README section, one shell script."""
    lines, inside = [], False
    with open(os.path.join(ROOT, "README.md")) as f:
        for line in f:
            if line.startswith("#"):
                inside = line.lstrip("#").strip() == SECTION
            elif inside and line.startswith("    "):
                lines.append(line[4:].rstrip())
    return lines


class PackageExamplesTest(unittest.TestCase):
    def setUp(self):
        tmp = os.environ.get("LE_TEST_TMP")
        if tmp:
            os.makedirs(tmp, exist_ok=True)
        self.home = tempfile.mkdtemp(prefix="le-package-", dir=tmp)
        self.addCleanup(shutil.rmtree, self.home, True)
        # Nothing but the installed files may lead the examples to the engine.
        env = {k: v for k, v in os.environ.items()
               if k not in ("LD_LIBRARY_PATH", "PKG_CONFIG_PATH", "CMAKE_PREFIX_PATH", "VEVER_LIB")}
        env.update(HOME=self.home, PATH="/usr/bin:" + os.environ.get("PATH", ""))
        self.env = env

    def run_shell(self, script, check=True):
        r = subprocess.run(["bash", "-c", script], cwd=ROOT, env=self.env, timeout=240,
                           stdin=subprocess.DEVNULL, capture_output=True, text=True)
        if check:
            self.assertEqual(r.returncode, 0,
                             "%s\n%s%s" % (script, r.stdout[-3000:], r.stderr[-3000:]))
        return r

    def test_install_build_and_run(self):
        lines = commands()
        script = "\n".join(lines)
        self.assertIn("cmake --install build --prefix ~/vever", script)
        self.assertIn("pkg-config --cflags --libs vever_core", script)
        self.assertIn("cmake -S examples/cmake", script)
        if os.path.realpath(BUILD) != os.path.join(ROOT, "build"):
            script = re.sub(r"(^|\s)build(/|\s|$)", r"\1%s\2" % shlex.quote(BUILD), script,
                            flags=re.M)
        r = self.run_shell("set -euo pipefail\n" + script)
        out = r.stdout + r.stderr
        prefix = os.path.join(self.home, "vever")

        # le_info: the engine's version, and the bundle as the tool wrote it.
        self.assertRegex(r.stdout, r"(?m)^engine %s, host keypoint sets of \d+ rows$"
                         % re.escape(VERSION))
        made = re.search(r"demo bundle written to (\S+) \((\d+)x(\d+), crop (\d+), "
                         r"(\d+) source frames, (\d+) drive frames\)", out)
        self.assertIsNotNone(made, out[-3000:])
        seen = re.search(r"(?m)^(\S+): (\d+)x(\d+), crop (\d+), (\d+) source frames, "
                         r"(\d+) drive frames$", r.stdout)
        self.assertIsNotNone(seen, r.stdout[-3000:])
        self.assertEqual(os.path.realpath(seen.group(1)), os.path.realpath(made.group(1)))
        self.assertEqual(seen.groups()[1:], made.groups()[1:])
        w, h = int(made.group(2)), int(made.group(3))

        # A failure reaches the host with the engine's message and a non-zero status.
        bad = self.run_shell("~/le_info ~/no-such-bundle", check=False)
        self.assertEqual(bad.returncode, 1, bad.stdout + bad.stderr)
        self.assertRegex(bad.stderr, r"^le_info: \S.*no-such-bundle")

        # le_frame: a rendered frame of the bundle's size, not a blank one.
        with open(os.path.join(self.home, "frame0.ppm"), "rb") as f:
            ppm = f.read()
        header = b"P6\n%d %d\n255\n" % (w, h)
        self.assertEqual(ppm[:len(header)], header)
        pixels = ppm[len(header):]
        self.assertEqual(len(pixels), w * h * 3)
        self.assertGreater(len(set(pixels)), 16)

        # Both programs load the installed engine by its soname, and it the
        # installed ONNX Runtime.
        lib = os.path.realpath(os.path.join(prefix, "lib"))
        major = VERSION.split(".")[0]
        for exe in ("le_info", "le_frame/le_frame"):
            ldd = self.run_shell("ldd ~/%s" % exe).stdout
            found = dict(re.findall(r"^\s*(\S+) => (\S+)", ldd, re.M))
            self.assertIn("libvever_core.so.%s" % major, found, ldd)
            for name in ("libvever_core.so.%s" % major, "libonnxruntime.so.1"):
                self.assertEqual(os.path.dirname(os.path.realpath(found.get(name, ""))), lib,
                                 "%s: %s\n%s" % (exe, name, ldd))

        # Relocatable: the installed package files name neither tree.
        files = [os.path.join(prefix, "lib", "pkgconfig", "vever_core.pc")]
        files += glob.glob(os.path.join(prefix, "lib", "cmake", "vever_core", "*.cmake"))
        self.assertGreaterEqual(len(files), 4, files)
        trees = {os.path.realpath(ROOT), os.path.realpath(BUILD), ROOT, BUILD}
        for path in files:
            with open(path) as f:
                text = f.read()
            for tree in trees:
                self.assertFalse(tree in text, "%s names %s" % (path, tree))


if __name__ == "__main__":
    unittest.main()
