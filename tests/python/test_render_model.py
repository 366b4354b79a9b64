"""The demo's render model against the one it replaced (gen_models.py kind
"before"): every load-time rewrite that acted on the old model acts on the
new one and changes as many nodes, and the pictures stay within 40 dB PSNR
of the old model's, 35 dB inside the mouth's box, with the mouth at rest
and opened."""

import json
import logging
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "python"))
import vever  # noqa: E402

MOUTH_TINT = "0.32,0.08,0.08"  # the demo directors' (tools/CMakeLists.txt)
EDIT_LINE = re.compile(r"rewrite|normalisation|hoist|compose alpha|director warp")


class Lines(logging.Handler):
    def __init__(self):
        super().__init__()
        self.lines = []

    def emit(self, record):
        self.lines.append(record.getMessage())


def psnr(a, b):
    return 10 * np.log10(1.0 / max(float(np.mean((a - b) ** 2)), 1e-12))


class RenderModelTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        scratch = os.environ.get("LE_TEST_TMP") or None
        if scratch:
            os.makedirs(scratch, exist_ok=True)
        cls.dir = tempfile.mkdtemp(prefix="le-model-", dir=scratch)
        cls.bundle = os.path.join(cls.dir, "astro")
        subprocess.run([os.environ["VEVER_TOOL"], "demo-bundle", cls.bundle, "--source-frames",
                        "6", "--frames", "12"], check=True, stdout=subprocess.DEVNULL)
        with open(os.path.join(cls.bundle, "manifest.json")) as f:
            cls.crop = json.load(f)["crop"]
        subprocess.run([sys.executable, os.path.join(ROOT, "tools", "gen_models.py"), cls.bundle,
                        "--crop", str(cls.crop), "--model", "before:1:before",
                        "--mouth-tint", MOUTH_TINT, "--quiet"], check=True)
        # A copy with a lip template, so that the lip contour binding is
        # compared as well (it bounds the mouth by the contour the session
        # draws, which a render call alone does not: the pictures are
        # compared without it).
        cls.lipped = os.path.join(cls.dir, "lipped")
        shutil.copytree(cls.bundle, cls.lipped)
        with open(os.path.join(cls.lipped, "lip_template.v1.json"), "w") as f:
            json.dump({"format": "lip-template-v1", "canvas": cls.crop, "feather_px": 2,
                       "u_canon": [[0, -1], [1, 0], [0, 1], [-1, 0]],
                       "lip_idx": list(range(13, 21))}, f)
        drive = os.path.join(cls.bundle, "drive")
        cls.si = np.fromfile(os.path.join(drive, "si.i32"), np.int32)
        cls.xs = np.fromfile(os.path.join(drive, "xs.f32"), np.float32).reshape(-1, 21, 3)
        cls.xd = np.fromfile(os.path.join(drive, "xd.f32"), np.float32).reshape(-1, 21, 3)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def edits(self, model, warp_node):
        """The renderer's lines about the edits it made to the model."""
        handler = Lines()
        logger = logging.getLogger("test.render_model")
        logger.addHandler(handler)
        logger.setLevel(logging.INFO)
        logger.propagate = False
        os.environ["LE_WARP_NODE"] = "1" if warp_node else "0"
        try:
            vever.log_to(logger)
            with vever.Context(self.lipped, model=model, threads=2) as ctx:
                ctx.render(0)
        finally:
            vever.log_to(None)
            os.environ.pop("LE_WARP_NODE")
            logger.removeHandler(handler)
        return sorted(line.replace("model_%s.onnx" % model, "MODEL")
                      for line in handler.lines if EDIT_LINE.search(line))

    def test_every_rewrite_acts_on_the_new_model_as_on_the_old(self):
        for warp_node in (False, True):
            before, after = self.edits("before", warp_node), self.edits("b1", warp_node)
            self.assertEqual(after, before)
            self.assertGreaterEqual(len(after), 4, after)  # the rewrites did act

    def test_pictures_stay_within_the_stated_error(self):
        lips = slice(13, 21)
        opened = np.zeros((21, 3), np.float32)
        opened[14:17, 1] = 0.08    # the lower lip down
        opened[18:21, 1] = -0.03   # the upper lip up
        worst = [np.inf, np.inf]
        with vever.Context(self.bundle, model="b1", threads=2) as new, \
                vever.Context(self.bundle, model="before", threads=2) as old:
            for i in range(len(self.si)):
                for kd, is_open in ((self.xd[i], False), (self.xd[i] + opened, True)):
                    a = new.render(int(self.si[i]), self.xs[i], kd)
                    b = old.render(int(self.si[i]), self.xs[i], kd)
                    # The mouth's box: the driven lips' extent and 8 pixels around it.
                    px = (kd[lips, :2] + 1) * self.crop / 2 - 0.5
                    x0, y0 = np.maximum(np.floor(px.min(0)).astype(int) - 8, 0)
                    x1, y1 = np.ceil(px.max(0)).astype(int) + 9
                    worst[0] = min(worst[0], psnr(a, b))
                    worst[1] = min(worst[1], psnr(a[:, y0:y1, x0:x1], b[:, y0:y1, x0:x1]))
                    # The opened mouth shows: the models do not agree by rendering nothing.
                    if is_open:
                        rest = new.render(int(self.si[i]), self.xs[i], self.xd[i])
                        self.assertGreater(float(np.abs(a - rest).max()), 0.05)
        print("\nrender model against the one before: PSNR at least %.1f dB over the crop, "
              "%.1f dB inside the mouth's box" % tuple(worst))
        self.assertGreaterEqual(worst[0], 40.0)
        self.assertGreaterEqual(worst[1], 35.0)


if __name__ == "__main__":
    unittest.main()
