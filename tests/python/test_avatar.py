"""vever.make_avatar: the tool builds a bundle the binding opens and
renders, from a file whatever its name starts with, and a refusal comes back
as vever.Error in the tool's own words. An avatar of a closed mouth opens it
to a dark cavity and a band of teeth when it speaks."""

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
            bundle = vever.make_avatar(CLOSED, os.path.join(d, "grace"))
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


if __name__ == "__main__":
    unittest.main()
