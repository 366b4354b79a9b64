"""The Python binding end to end on the session tests' small bundle and
synthetic a2x motion directory (written by the py_fixture helper)."""

import math
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import wave
import zlib

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "python"))
import vever  # noqa: E402

NT = 5
FIX = None


def setUpModule():
    global FIX
    helper = os.environ.get("LE_PY_FIXTURE")
    if not helper:
        raise RuntimeError("LE_PY_FIXTURE must name the py_fixture helper (CTest sets it)")
    root = os.environ.get("LE_TEST_TMP") or None
    if root:
        os.makedirs(root, exist_ok=True)
    FIX = tempfile.mkdtemp(prefix="le-py-", dir=root)
    subprocess.run([helper, FIX], check=True)
    # Read by the engine when a motion source first loads, once per process.
    os.environ["W2V_ONNX"] = os.path.join(FIX, "w2v", "w2v.onnx")


def tearDownModule():
    if FIX:
        shutil.rmtree(FIX, ignore_errors=True)


def bundle():
    return os.path.join(FIX, "bundle")


def motion():
    return os.path.join(FIX, "motion")


def clip(*frames):
    """Alternating silence and a vowel (harmonics of 140 Hz under two formants), whole frames."""
    out, voiced = [], False
    for n in frames:
        i = np.arange(n * vever.FRAME_SAMPLES)
        v = np.zeros(i.size)
        for k in range(1, 15) if voiced else ():
            f = 140.0 * k
            amp = (math.exp(-((f - 700) / 250) ** 2) + 0.6 * math.exp(-((f - 1200) / 300) ** 2)
                   + 0.05)
            v += amp * np.sin(2 * math.pi * f * i / 16000.0 + 0.7 * k)
        ramp = np.minimum(1.0, np.minimum(i, i.size - 1 - i) / 80.0)
        out.append(np.round(0.15 * ramp * v * 32767).astype(np.int16))
        voiced = not voiced
    return np.concatenate(out)


def pull_until(s, stop, seconds=60):
    got = []
    until = time.monotonic() + seconds
    while not stop(got):
        f = s.pull()
        if f is None:
            if time.monotonic() > until:
                break
            time.sleep(0.001)
        else:
            got.append(f)
    return got


def kinds(frames):
    return [f.kind for f in frames]


class ContextTest(unittest.TestCase):
    def test_render_and_paste_follow_the_drive_tables(self):
        with vever.Context(bundle()) as ctx:
            self.assertEqual((ctx.nt, ctx.width, ctx.height, ctx.crop, ctx.drive_frames),
                             (NT, 64, 48, 64, 3))
            xs = np.fromfile(os.path.join(bundle(), "drive", "xs.f32"), np.float32).reshape(-1, 63)
            xd = np.fromfile(os.path.join(bundle(), "drive", "xd.f32"), np.float32).reshape(-1, 63)
            si = np.fromfile(os.path.join(bundle(), "drive", "si.i32"), np.int32)
            first = vever.render(ctx, 1)
            second = ctx.render(2)
            self.assertEqual((first.shape, first.dtype), ((3, 64, 64), np.float32))
            self.assertTrue(0 <= first.min() and first.max() <= 1)
            # Each render is its own array, not a view of the engine's reused buffer.
            self.assertFalse(np.array_equal(first, second))
            # Keypoints go in as the drive tables' rows, in either shape.
            by_kp = ctx.render(int(si[1]), xs[1].reshape(21, 3), xd[1])
            np.testing.assert_array_equal(by_kp, first)

            t = int(si[1])
            driver = ctx.target_frame(t)
            out = np.zeros((48, 64, 3), np.uint8)
            pasted = vever.paste(ctx, t, first, out=out)
            self.assertIs(pasted, out)
            # The face lands inside the mask; the frame's corner is the driver's own.
            self.assertGreater(np.abs(pasted.astype(int) - driver).sum(), 1000)
            np.testing.assert_array_equal(pasted[:4, :4], driver[:4, :4])

    def test_errors_carry_the_engines_message(self):
        missing = os.path.join(FIX, "no-such-bundle")
        with self.assertRaises(vever.Error) as e:
            vever.Context(missing)
        msg = str(e.exception)
        self.assertTrue(msg.startswith("le_create: ") and missing in msg, msg)
        with vever.Context(bundle()) as ctx:
            kp = np.zeros(63, np.float32)
            cases = [(lambda: ctx.render(3), "le_render_drive_crop: bad frame index"),
                     (lambda: ctx.render(NT, kp, kp), "le_render_kp_crop: bad args"),
                     (lambda: ctx.paste(NT, np.zeros((3, 64, 64), np.float32)),
                      "le_paste_crop: bad args / out too small"),
                     (lambda: vever.Session(ctx, ""),
                      "le_utt_create: opts.motion_dir required")]
            for call, want in cases:
                with self.assertRaises(vever.Error) as e:
                    call()
                self.assertEqual(str(e.exception), want)
            with self.assertRaises(ValueError):
                ctx.render(0, kp[:60], kp)
            # A motion directory without models: the warm-up fails, ready() says why.
            empty = tempfile.mkdtemp(dir=FIX)
            with vever.Session(ctx, empty) as s:
                deadline = time.monotonic() + 30
                with self.assertRaises(vever.Error) as e:
                    while not s.ready() and time.monotonic() < deadline:
                        time.sleep(0.005)
                self.assertTrue(str(e.exception).startswith("le_motion_create: "), e.exception)
                with self.assertRaises(TypeError):
                    s.push(np.zeros(10, np.float32))
                # Rendering on the context would race the session's threads.
                with self.assertRaises(vever.Error):
                    ctx.render(0)

    def test_closing_the_context_closes_its_sessions(self):
        ctx = vever.Context(bundle())
        s = vever.Session(ctx, motion(), steady_model="-")
        self.assertIs(s.ctx, ctx)
        ctx.close()
        self.assertTrue(s.closed and ctx.closed)
        for call in (s.pull, s.stats, lambda: ctx.render(0)):
            with self.assertRaises(vever.Error):
                call()
        s.close()  # closing twice is harmless


class SessionTest(unittest.TestCase):
    def test_speak_then_interrupt(self):
        with vever.Context(bundle()) as ref:
            driver = [ref.target_frame(t) for t in range(NT)]
        with vever.Context(bundle()) as ctx, \
                vever.Session(ctx, motion(), steady_model="-", end_silence_s=-1) as s:
            s.wait_ready()
            # Unpulled, exactly one idle frame waits: speech starts at corpus frame 1.
            deadline = time.monotonic() + 30
            while s.frames_available() != 1 and time.monotonic() < deadline:
                time.sleep(0.001)
            time.sleep(0.02)
            self.assertEqual(s.frames_available(), 1)

            audio = clip(3, 30, 4)
            n = math.ceil(audio.size / vever.FRAME_SAMPLES)
            for at in range(0, audio.size, 320):
                s.push(audio[at:at + 320])
            s.end_utterance()
            got = pull_until(s, lambda v: len(v) > n + 1 and v[-1].kind == vever.IDLE)
            self.assertEqual(kinds(got),
                             [vever.IDLE] + [vever.SPEECH] * n + [vever.RAMP] * 6 + [vever.IDLE])
            self.assertEqual([f.seq for f in got], list(range(n + 8)))
            self.assertEqual([f.index for f in got], [i % NT for i in range(n + 8)])
            self.assertEqual([f.number for f in got], [-1] + list(range(n)) + [-1] * 7)
            self.assertEqual((got[0].image.shape, got[0].image.dtype), ((48, 64, 3), np.uint8))
            # Speech frames are rendered faces pasted into the driver, idle ones the driver.
            self.assertTrue(all(not np.array_equal(f.image, driver[f.index])
                                for f in got[1:n + 1]))
            for f in (got[0], got[-1]):
                np.testing.assert_array_equal(f.image, driver[f.index])

            st = s.stats()
            self.assertEqual((st.frames_out, st.speech_frames_out, st.utterances_started),
                             (n + 8, n, 1))
            self.assertGreater(st.frame_cost_ms, 0)
            self.assertEqual(st.state_name, "idle")
            self.assertEqual(s.render_status(), vever.RenderStatus("", 0, False))

            # Interrupt a long utterance three speech frames in.
            long = clip(2, 100)
            s.push(long)
            s.end_utterance()
            before = pull_until(s, lambda v: kinds(v).count(vever.SPEECH) >= 3)
            self.assertEqual(kinds(before).count(vever.SPEECH), 3)
            deadline = time.monotonic() + 30
            while s.frames_available() < 2 and time.monotonic() < deadline:
                time.sleep(0.001)
            self.assertGreaterEqual(s.frames_available(), 2)
            s.interrupt()
            s.push(clip(0, 12))  # opens the next utterance
            s.end_utterance()
            after = pull_until(
                s, lambda v: kinds(v).count(vever.SPEECH) >= 12 and v[-1].kind == vever.IDLE)
            self.assertEqual(kinds(after)[:4], [vever.RAMP] * 4)
            self.assertGreater(after[0].seq, before[-1].seq + 1)  # the dropped frames' numbers
            self.assertEqual([f.number for f in after if f.kind == vever.SPEECH], list(range(12)))
            self.assertEqual(s.stats().utterances_started, 3)
            self.assertLess(s.stats().speech_frames_out, n + 100 + 12)

        # Each utterance left its records in the engine's telemetry, drained once.
        records = vever.telemetry()["records"]
        spoken = [r["value"] for r in records if r["name"] == "utt.speech_frames"]
        self.assertIn(n, spoken)
        self.assertIn(12, spoken)
        self.assertEqual([r for r in vever.telemetry()["records"]
                          if r["name"].startswith("utt.")], [])


def read_png(path):
    """Pixels of an 8-bit RGB PNG with unfiltered rows, checking every chunk's CRC."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    at, idat, size = 8, b"", None
    while at < len(data):
        n, tag = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + n]
        assert struct.unpack(">I", data[at + 8 + n:at + 12 + n])[0] == zlib.crc32(tag + body)
        if tag == b"IHDR":
            size = struct.unpack(">II", body[:8])
        elif tag == b"IDAT":
            idat += body
        at += 12 + n
    w, h = size
    rows = np.frombuffer(zlib.decompress(idat), np.uint8).reshape(h, 1 + 3 * w)
    assert not rows[:, 0].any()
    return rows[:, 1:].reshape(h, w, 3)


class ExampleTest(unittest.TestCase):
    SPEAK = os.path.join(ROOT, "python", "examples", "speak.py")

    def write_wav(self, path, pcm, rate=16000, channels=1):
        with wave.open(path, "wb") as w:
            w.setnchannels(channels)
            w.setsampwidth(2)
            w.setframerate(rate)
            w.writeframes(pcm.astype("<i2").tobytes())

    def run_speak(self, wav, out):
        return subprocess.run([sys.executable, self.SPEAK, bundle(), motion(), "--wav", wav,
                               "-o", out, "--steady-model", "-"],
                              capture_output=True, text=True, timeout=90)

    def test_speak_writes_every_frame(self):
        work = tempfile.mkdtemp(dir=FIX)
        wav, out = os.path.join(work, "in.wav"), os.path.join(work, "frames")
        self.write_wav(wav, clip(2, 20, 3))  # 25 frames
        r = self.run_speak(wav, out)
        self.assertEqual(r.returncode, 0, r.stderr)
        line = r.stdout.splitlines()[0]
        total = int(line.split()[1])
        parts = dict(p.rsplit(" ", 1) for p in line.split(": ", 2)[2].split(", "))
        self.assertEqual(int(parts["speech"]), 25, line)
        self.assertEqual(int(parts["ramp"]), 6, line)
        self.assertEqual(int(parts["idle tail"]), 13, line)
        self.assertEqual(total, sum(int(v) for v in parts.values()), line)
        names = sorted(os.listdir(out))
        self.assertEqual(names, ["frame_%06d.png" % k for k in range(total)])
        with vever.Context(bundle()) as ctx:
            np.testing.assert_array_equal(read_png(os.path.join(out, names[0])),
                                          ctx.target_frame(0))

    def test_speak_refuses_other_formats(self):
        work = tempfile.mkdtemp(dir=FIX)
        stereo = os.path.join(work, "stereo.wav")
        self.write_wav(stereo, np.zeros(3200, np.int16), rate=44100, channels=2)
        r = self.run_speak(stereo, os.path.join(work, "frames"))
        self.assertEqual(r.returncode, 2)
        self.assertIn("is 44100 Hz, 2 channel(s), 16-bit; this example takes 16000 Hz mono",
                      r.stderr)
        self.assertFalse(os.path.exists(os.path.join(work, "frames")))


if __name__ == "__main__":
    unittest.main()
