"""vever.make_avatar: the tool builds a bundle the binding opens and
renders, from a file whatever its name starts with, and a refusal comes back
as vever.Error in the tool's own words. An avatar of a closed mouth opens it
to a dark cavity and a band of teeth when it speaks. A video's face is
followed without lag and held still where it is still."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import wave

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "python"))
import vever  # noqa: E402

PHOTO = os.path.join(ROOT, ".deps", "demo", "astronaut.png")
CLOSED = os.path.join(ROOT, ".deps", "demo", "grace_hopper.jpg")


def scratch():
    top = os.environ.get("LE_TEST_TMP") or None
    if top:
        os.makedirs(top, exist_ok=True)
    return tempfile.TemporaryDirectory(prefix="le-avatar-", dir=top)


def mouth_box(bundle):
    """The scene pixels around the rest mouth (keypoint rows 13..20)."""
    with open(os.path.join(bundle, "manifest.json")) as f:
        crop = json.load(f)["crop"]
    kp = np.fromfile(os.path.join(bundle, "xs_target.bin"), np.float32)[:63].reshape(21, 3)
    m = np.fromfile(os.path.join(bundle, "M.f32"), np.float32)[:6].reshape(2, 3)
    lips = (kp[13:21, :2] + 1) * crop / 2 - 0.5
    scene = lips @ m[:, :2].T + m[:, 2]
    (x0, y0), (x1, y1) = scene.min(0) - 4, scene.max(0) + 4
    return slice(int(y0), int(y1) + 1), slice(int(x0), int(x1) + 1)


class MakeAvatarTest(unittest.TestCase):
    def test_a_photograph_becomes_a_bundle_that_renders(self):
        with scratch() as d:
            # A name that reads like an option is still the file.
            photo = os.path.join(d, "-o.png")
            shutil.copy(PHOTO, photo)
            out = os.path.join(d, "me")
            cwd = os.getcwd()
            os.chdir(d)
            try:
                self.assertEqual(vever.make_avatar("-o.png", out, size=(640, 640)), out)
            finally:
                os.chdir(cwd)
            self.assertTrue(os.path.isfile(os.path.join(out, "lip_template.v1.json")))
            with vever.Context(out) as ctx:
                self.assertEqual((ctx.width, ctx.height), (640, 640))
                frame = vever.render(ctx, 0)
                self.assertGreater(frame.std(), 0.05)  # a face, not a flat crop
            notes = os.path.join(d, "notes.jpg")
            with open(notes, "w") as f:
                f.write("not a photograph\n")
            with self.assertRaises(vever.Error) as e:
                vever.make_avatar(notes, os.path.join(d, "no"))
            self.assertTrue(str(e.exception).startswith("vever: " + notes + ": not a picture"),
                            str(e.exception))
            self.assertFalse(os.path.exists(os.path.join(d, "no")))

    def test_a_closed_mouth_opens_to_a_cavity_and_teeth(self):
        with scratch() as d:
            # A tone opens the procedural mouth wide (the trained one hears no
            # vowel in it): what is painted inside is what this test looks at.
            bundle = vever.make_avatar(CLOSED, os.path.join(d, "grace"), motion="procedural")
            # Two seconds of a loud vowel-like tone: the mouth opens wide.
            i = np.arange(32000)
            tone = sum(np.sin(2 * np.pi * 140 * h * i / 16000) / h for h in range(1, 6))
            speech = os.path.join(d, "vowel.wav")
            with wave.open(speech, "wb") as w:
                w.setnchannels(1)
                w.setsampwidth(2)
                w.setframerate(16000)
                w.writeframes((0.4 * 32767 * tone / np.abs(tone).max()).astype("<i2").tobytes())
            video = os.path.join(d, "grace.mp4")
            subprocess.run([os.environ["VEVER_TOOL"], "speak", bundle, bundle + "/motion",
                            "--wav", speech, "-o", video], check=True, capture_output=True)
            import av
            with av.open(video) as f:
                self.assertTrue(f.metadata.get("comment", "").startswith("synthetic"), f.metadata)
                frames = [fr.to_ndarray(format="rgb24") for fr in f.decode(video=0)]
            rows, cols = mouth_box(bundle)

            def inside(frame):
                m = frame[rows, cols].astype(np.float64)
                luma = m @ [0.299, 0.587, 0.114]
                spread = m.max(2) - m.min(2)
                cavity = (luma < 75) & (m[..., 0] > m[..., 2])
                teeth = (luma > 150) & (spread < 70)
                return int(cavity.sum()), int(teeth.sum())

            # Shadows at the lip line are dark at rest too; teeth are not there.
            seen = [inside(f) for f in frames]
            rest, widest = seen[0], max(seen, key=lambda c: c[1])
            self.assertLessEqual(rest[1], 5, seen)
            self.assertGreaterEqual(widest[0] - rest[0], 100, seen)
            self.assertGreaterEqual(widest[1], 50, seen)


def astronaut():
    import av
    with av.open(PHOTO) as f:
        return next(f.decode(video=0)).to_ndarray(format="rgb24").astype(np.float64)


def placed(src, dx, w=640, h=480, scale=0.9):
    """src scaled and centred in a w x h frame, moved dx pixels right."""
    ys, xs = np.mgrid[0:h, 0:w].astype(np.float64)
    u = np.clip((xs - w / 2 - dx) / scale + src.shape[1] / 2, 0, src.shape[1] - 1.001)
    v = np.clip((ys - h / 2) / scale + src.shape[0] / 2, 0, src.shape[0] - 1.001)
    u0, v0 = u.astype(int), v.astype(int)
    fu, fv = (u - u0)[..., None], (v - v0)[..., None]
    return ((1 - fv) * ((1 - fu) * src[v0, u0] + fu * src[v0, u0 + 1])
            + fv * ((1 - fu) * src[v0 + 1, u0] + fu * src[v0 + 1, u0 + 1]))


def h264(path, frames):
    """H.264 at 25 fps, with noise: a still face is not trivially still."""
    import av
    noise = np.random.default_rng(1)
    with av.open(path, "w") as f:
        st = f.add_stream("libx264", rate=25)
        st.height, st.width = frames[0].shape[:2]
        st.pix_fmt = "yuv420p"
        for fr in frames:
            img = np.clip(fr + noise.normal(0, 3, fr.shape), 0, 255).astype(np.uint8)
            for p in st.encode(av.VideoFrame.from_ndarray(img, format="rgb24")):
                f.mux(p)
        for p in st.encode():
            f.mux(p)


class VideoTest(unittest.TestCase):
    def test_the_face_is_followed_without_lag_and_still_when_still(self):
        # Still, 40 px right over a second, still, back, still: 6 s that loop.
        path = [0] * 38 + [40 * t / 25 for t in range(25)] + [40] * 25 + \
               [40 - 40 * t / 25 for t in range(25)] + [0] * 37
        src = astronaut()
        with scratch() as d:
            h264(os.path.join(d, "still.mp4"), [placed(src, x - 40) for x in path])
            bundle = vever.make_avatar(os.path.join(d, "still.mp4"), os.path.join(d, "v"))
            with open(os.path.join(bundle, "manifest.json")) as f:
                manifest = json.load(f)
            nt, crop = manifest["NT"], manifest["crop"]
            self.assertEqual(nt, len(path), "the loop that closes is the whole video")
            kp = np.fromfile(os.path.join(bundle, "xs_target.bin"), np.float32)
            m = np.fromfile(os.path.join(bundle, "M.f32"), np.float32).reshape(nt, 2, 3)
            pts = (kp.reshape(nt, 21, 3)[:, :, :2] + 1) * crop / 2 - 0.5
            scene = np.einsum("tij,tkj->tki", m[:, :, :2], pts) + m[:, None, :, 2]
            # Each keypoint on the still second, in the crop's pixels.
            still = scene[5:33]
            jitter = np.sqrt(((still - still.mean(0)) ** 2).sum(2).mean()) / m[0, 0, 0]
            self.assertLess(jitter, 0.5)
            x, lag = scene.mean(1)[:, 0], {}
            for shift in range(-3, 4):
                a = np.stack([np.roll(path, shift), np.ones(nt)], 1)[5:-5]
                lag[shift] = np.linalg.lstsq(a, x[5:-5], rcond=None)[1][0]
            self.assertLessEqual(abs(min(lag, key=lag.get)), 1, lag)

    def test_videos_it_refuses(self):
        src = astronaut()
        grey = np.full((480, 640, 3), 128.0)
        with scratch() as d:
            for name, frames, says in [
                    ("short.mp4", [placed(src, 0)] * 15, "it must last at least 1.0 s"),
                    ("gone.mp4", [placed(src, 0)] * 25 + [grey] * 50,
                     "the face is lost in 50 of 75 frames, first at 1.00 s; the limit is 10%")]:
                h264(os.path.join(d, name), frames)
                with self.assertRaises(vever.Error) as e:
                    vever.make_avatar(os.path.join(d, name), os.path.join(d, "out"))
                self.assertIn(says, str(e.exception))
                self.assertFalse(os.path.exists(os.path.join(d, "out")))


if __name__ == "__main__":
    unittest.main()
