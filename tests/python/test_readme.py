"""The README's commands, run as written from the checkout: the demo, the
test command (as CI calls it), the live server, and the Python section's
install into a fresh virtual environment and its example.

Runs with HOME in a scratch folder (the commands install under ~), Debian's
python3 first on PATH, no package index, and the build tree the suite was
built in standing in for `build`."""

import os
import re
import shlex
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest
import urllib.request

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
BUILD = os.environ.get("LE_BUILD_DIR") or os.path.join(ROOT, "build")
COMMAND = re.compile(r"^    (\./scripts/|build/|cmake |python3 |~/)")


def sections():
    """The README's commands by section heading: indented lines that start a command."""
    out, name = {}, None
    with open(os.path.join(ROOT, "README.md")) as f:
        for line in f:
            if line.startswith("#"):
                name = line.lstrip("#").strip()
            elif COMMAND.match(line):
                out.setdefault(name, []).append(line.split("  #")[0].strip())
    return out


class ReadmeCommandsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.commands = sections()
        cls.home = tempfile.mkdtemp(prefix="le-readme-", dir=os.environ.get("LE_TEST_TMP"))
        env = {k: v for k, v in os.environ.items() if k not in ("VEVER_LIB", "PYTHONPATH")}
        env.update(HOME=cls.home, PIP_NO_INDEX="1", LE_BUILD_DIR=BUILD,
                   PATH="/usr/bin:" + os.environ.get("PATH", ""))
        cls.env = env

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.home, ignore_errors=True)

    def run_command(self, command, timeout=300):
        if os.path.realpath(BUILD) != os.path.join(ROOT, "build"):
            command = re.sub(r"(^|\s)build(/|\s|$)", r"\1%s\2" % shlex.quote(BUILD), command)
        r = subprocess.run(["bash", "-c", command], cwd=ROOT, env=self.env, timeout=timeout,
                           stdin=subprocess.DEVNULL, capture_output=True, text=True)
        self.assertEqual(r.returncode, 0, "%s\n%s%s" % (command, r.stdout, r.stderr[-3000:]))
        return r.stdout

    def assert_video(self, path, min_frames):
        import av
        with av.open(os.path.join(ROOT, path)) as f:
            self.assertEqual(len(f.streams.audio), 1, path)
            self.assertGreaterEqual(sum(1 for _ in f.decode(video=0)), min_frames, path)

    def test_commands_as_written(self):
        demo = self.commands["Demo"]
        self.assertEqual(demo[0], "./scripts/demo")
        self.run_command(demo[0])
        self.assert_video("out/demo.mp4", 100)
        # A recording of the reader's own: two seconds of a vowel-like tone.
        import wave
        i = np.arange(32000)
        tone = sum(np.sin(2 * np.pi * 140 * h * i / 16000) / h for h in range(1, 6))
        with wave.open(os.path.join(ROOT, "out", "speech.wav"), "wb") as w:
            w.setnchannels(1)
            w.setsampwidth(2)
            w.setframerate(16000)
            w.writeframes((0.2 * 32767 * tone).astype("<i2").tobytes())
        for command in demo[1:]:
            self.run_command(command)
        self.assert_video("out/me.mp4", 50)
        for command in self.commands["Your own face"]:
            self.run_command(command)
        self.assert_video("out/grace.mp4", 50)

        # The test command is the one CI runs.
        self.assertEqual(self.commands["Test"][0], "./scripts/test")
        with open(os.path.join(ROOT, ".ci", "run")) as f:
            self.assertRegex(f.read(), r"\n\s*stage test \./scripts/test\n")

        python = self.commands["Python"]
        self.assertEqual(len(python), 5, python)
        for command in python[:-1]:
            out = self.run_command(command)
        self.assertRegex(out, r"^vever \d+\.\d+\.\d+, engine \d+\.\d+\.\d+ \(%s/"
                         % re.escape(os.path.join(self.home, "vever-env", "lib")))
        self.run_command(python[-1])
        self.assert_video("out/speech.mp4", 50)

    def test_serve(self):
        command = self.commands["Live in the browser"][0]
        self.assertEqual(command, "./scripts/serve")
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        p = subprocess.Popen(["bash", "-c", "exec %s --port %d" % (command, port)], cwd=ROOT,
                             env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE, start_new_session=True)
        try:
            until, page = time.monotonic() + 240, None
            while page is None and p.poll() is None and time.monotonic() < until:
                try:
                    with urllib.request.urlopen("http://127.0.0.1:%d/healthz" % port) as r:
                        self.assertEqual(r.status, 200)
                    with urllib.request.urlopen("http://127.0.0.1:%d/" % port) as r:
                        page = r.read().decode()
                except OSError:
                    time.sleep(0.2)
            self.assertIsNotNone(page, "the server did not answer: %s"
                                 % (p.stderr.read().decode()[-3000:] if p.poll() is not None
                                    else "still starting"))
            self.assertIn("<video", page)
        finally:
            os.killpg(p.pid, signal.SIGTERM)
            p.wait(30)
            p.stderr.close()


if __name__ == "__main__":
    unittest.main()
