"""The Python binding end to end on the session tests' small bundle and
synthetic a2x motion directory (written by the py_fixture helper)."""

import logging
import math
import os
import re
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
os.makedirs(os.environ.get("LE_TEST_TMP") or tempfile.gettempdir(), exist_ok=True)
FIX = tempfile.mkdtemp(prefix="le-py-", dir=os.environ.get("LE_TEST_TMP") or None)


def setUpModule():
    subprocess.run([os.environ["LE_PY_FIXTURE"], FIX], check=True)  # CTest names the helper
    # Read by the engine when a motion source first loads, once per process.
    os.environ["W2V_ONNX"] = os.path.join(FIX, "w2v", "w2v.onnx")


def tearDownModule():
    shutil.rmtree(FIX, ignore_errors=True)


def bundle():
    return os.path.join(FIX, "bundle")


def motion():
    return os.path.join(FIX, "motion")


def clip(*frames):
    """Alternating silence and a vowel-like tone (harmonics of 140 Hz), in whole frames."""
    out = []
    for k, n in enumerate(frames):
        i = np.arange(n * vever.FRAME_SAMPLES)
        v = sum(np.sin(2 * math.pi * 140 * h * i / 16000) / h for h in range(1, 9)) * (k % 2)
        out.append(np.round(0.15 * v * 32767).astype(np.int16))
    return np.concatenate(out)


def wait(cond, seconds=30):
    until = time.monotonic() + seconds
    while not cond() and time.monotonic() < until:
        time.sleep(0.001)


def pull_until(s, stop, seconds=60):
    """Frames pulled until stop(frames so far) holds or time runs out."""
    got = []

    def step():
        f = s.pull()
        if f is not None:
            got.append(f)
        return stop(got)
    wait(step, seconds)
    return got


def kinds(frames):
    return [f.kind for f in frames]


def voices(frames, speech=True):
    """The voices the speech frames (or the others) brought, end to end."""
    return np.concatenate([f.voice for f in frames if (f.kind == vever.SPEECH) == speech])


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

    def test_engine_lines_reach_python_logging(self):
        logger = logging.getLogger("vever.test.engine")
        with self.assertLogs(logger, logging.INFO) as seen:
            vever.log_to(logger)
            try:
                vever.Context(bundle()).close()
            finally:
                vever.log_to(None)
        lines = [(r.levelno, r.subsystem, r.getMessage()) for r in seen.records]
        self.assertIn((logging.INFO, "le", "[le] director ep=cpu (ORT CPU EP)"), lines)

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
            s = vever.Session(ctx, tempfile.mkdtemp(dir=FIX))
            with self.assertRaises(vever.Error) as e:
                s.wait_ready(30)
            self.assertTrue(str(e.exception).startswith("le_motion_create: "), e.exception)
            with self.assertRaises(TypeError):
                s.push(np.zeros(10, np.float32))
            # Rendering on the context would race the session's threads.
            with self.assertRaises(vever.Error):
                ctx.render(0)
        # Closing the context closed its session first; closed handles refuse calls.
        self.assertTrue(s.closed)
        for call in (s.pull, lambda: ctx.render(0)):
            with self.assertRaises(vever.Error):
                call()


class VadTest(unittest.TestCase):
    def test_pcm_scores_as_its_float_values_and_misuse_is_refused(self):
        model = vever.default_vad_model()
        self.assertTrue(model and os.path.isfile(model), "scripts/setup installs the model")
        chunks = clip(10, 20, 10).reshape(-1, vever.VAD_CHUNK)
        with vever.Vad(model) as vad:
            pcm = [vad.chance(c) for c in chunks]
            vad.reset()
            self.assertEqual([vad.chance(c.astype(np.float32) / 32768) for c in chunks], pcm)
            for bad, error in ((chunks[0][1:], ValueError), (chunks[0] / 32768, TypeError)):
                self.assertRaises(error, vad.chance, bad)
        self.assertRaises(vever.Error, vad.chance, chunks[0])  # closed
        other = os.path.join(FIX, "w2v", "w2v.onnx")
        with self.assertRaisesRegex(vever.Error, "^le_vad_open: .*not the Silero VAD v5") as e:
            vever.Vad(other)
        self.assertIn(other, str(e.exception))


class SessionTest(unittest.TestCase):
    def test_speak_then_interrupt(self):
        with vever.Context(bundle()) as ref:
            driver = [ref.target_frame(t) for t in range(NT)]
        with vever.Context(bundle()) as ctx, \
                vever.Session(ctx, motion(), steady_model="-", end_silence_s=-1) as s:
            s.wait_ready()
            # Unpulled, exactly one idle frame waits: speech starts at corpus frame 1.
            wait(lambda: s.frames_available() == 1)
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
            self.assertEqual([f.number for f in got], [-1] + list(range(n)) + [-1] * 7)
            # Each speech frame brings its own 40 ms of what was pushed, the others silence.
            np.testing.assert_array_equal(voices(got), audio)
            self.assertFalse(voices(got, speech=False).any())
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
            s.push(clip(2, 100))
            s.end_utterance()
            before = pull_until(s, lambda v: kinds(v).count(vever.SPEECH) >= 3)
            self.assertEqual(kinds(before).count(vever.SPEECH), 3)
            wait(lambda: s.frames_available() >= 2)
            self.assertGreaterEqual(s.frames_available(), 2)
            s.interrupt()
            tail = clip(0, 12)[:-100]  # opens the next utterance; ends inside its last frame
            s.push(tail)
            s.end_utterance()
            after = pull_until(
                s, lambda v: kinds(v).count(vever.SPEECH) >= 12 and v[-1].kind == vever.IDLE)
            self.assertEqual(kinds(after)[:4], [vever.RAMP] * 4)
            self.assertGreater(after[0].seq, before[-1].seq + 1)  # the dropped frames' numbers
            self.assertEqual([f.number for f in after if f.kind == vever.SPEECH], list(range(12)))
            # Not a sample of the dropped utterance; silence past the end of this one.
            np.testing.assert_array_equal(voices(after), np.pad(tail, (0, 100)))
            self.assertEqual(s.stats().utterances_started, 3)

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

    def run_speak(self, wav, *out):
        return subprocess.run([sys.executable, self.SPEAK, bundle(), motion(), "--wav", wav,
                               "--steady-model", "-", *out],
                              capture_output=True, text=True, timeout=90)

    def test_speak_writes_video_with_the_voice_in_step(self):
        work = tempfile.mkdtemp(dir=FIX)
        wav, mp4, pngs = (os.path.join(work, n) for n in ("in.wav", "out.mp4", "frames"))
        self.write_wav(wav, clip(2, 20, 3))  # 25 frames, the tone in frames 2 to 21
        r = self.run_speak(wav, "-o", mp4, "--png-dir", pngs)
        self.assertEqual(r.returncode, 0, r.stderr)
        m = re.search(r"speak: (\d+) frames .* idle lead-in (\d+), speech (\d+), ramp (\d+), "
                      r"idle tail (\d+)", r.stdout)
        total, lead, speech, ramp, tail = map(int, m.groups())
        self.assertEqual((speech, ramp, tail, total), (25, 6, 13, lead + 25 + 6 + 13), r.stdout)
        names = sorted(os.listdir(pngs))
        self.assertEqual(names, ["frame_%06d.png" % k for k in range(total)])
        with vever.Context(bundle()) as ctx:
            np.testing.assert_array_equal(read_png(os.path.join(pngs, names[0])),
                                          ctx.target_frame(0))
        import av
        with av.open(mp4) as f:
            self.assertEqual(sum(1 for _ in f.decode(video=0)), total)
            f.seek(0)
            voice = np.concatenate([a.to_ndarray().reshape(-1) for a in f.decode(audio=0)])
        # Speech frame k's 40 ms of voice lie under video frame lead + k, silence elsewhere.
        rms = [np.sqrt(np.mean(voice[k * 640:(k + 1) * 640] ** 2)) for k in range(total)]
        loud = [k for k in range(total) if rms[k] > 0.05]
        self.assertEqual(loud, list(range(lead + 2, lead + 22)), rms)
        self.assertLess(max(rms[k] for k in range(total) if k not in loud), 0.01)

    def test_speak_converts_audio_and_refuses_what_is_not(self):
        work = tempfile.mkdtemp(dir=FIX)
        stereo, mp4 = os.path.join(work, "stereo.wav"), os.path.join(work, "out.mp4")
        self.write_wav(stereo, np.zeros(2 * 44100, np.int16), rate=44100, channels=2)  # 1 s
        r = self.run_speak(stereo, "-o", mp4)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("speech 25,", r.stdout)
        self.assertIn("audio 1.00 s (25 frames)", r.stdout)
        text = os.path.join(work, "notes.wav")
        with open(text, "w") as f:
            f.write("not audio\n")
        r = self.run_speak(text, "-o", os.path.join(work, "no.mp4"))
        self.assertEqual(r.returncode, 2)
        self.assertIn("notes.wav: not a readable audio file", r.stderr)
        self.assertFalse(os.path.exists(os.path.join(work, "no.mp4")))


if __name__ == "__main__":
    unittest.main()
