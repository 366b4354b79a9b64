"""The motion model's training data: espeak-ng's phoneme times, turned into
per-frame mouth shapes, line up with the audio they were spoken in (lips
closed where the voice is held back, open where it is loudest), shard by
shard, whatever voice and roughening spoke them."""

import os
import sys
import tempfile
import unittest

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(HERE)), "tools"))
import speech_timing  # noqa: E402


class SpeechTimingTest(unittest.TestCase):
    def test_shapes_line_up_with_the_audio(self):
        with tempfile.TemporaryDirectory(dir=os.environ.get("LE_TEST_TMP")) as d:
            speech_timing.main([d, "--minutes", "1.5", "--shard-minutes", "0.5", "--quiet"])
            shards = sorted(f for f in os.listdir(d) if f.endswith(".npz"))
            self.assertGreaterEqual(len(shards), 3)
            closed, opened, rest = [], [], []
            for name in shards:
                s = np.load(os.path.join(d, name))
                audio, shapes = s["audio"].astype(np.float64), s["shapes"]
                self.assertEqual(len(audio), len(shapes) * speech_timing.FRAME)
                np.testing.assert_allclose(shapes.sum(1), 1, atol=1e-5)
                frames = audio.reshape(-1, speech_timing.FRAME)
                loud = 10 * np.log10(np.mean(frames ** 2, 1) + 1)
                # Each utterance against its own loudest frames: voices and
                # roughening differ in level.
                for a, b in zip(s["frame_starts"], list(s["frame_starts"][1:]) + [len(shapes)]):
                    top = np.percentile(loud[a:b], 95)
                    w = shapes[a:b]
                    closed += list(loud[a:b][w[:, 0] > 0.5] - top)
                    opened += list(loud[a:b][w[:, 3] > 0.5] - top)
                    rest += list(loud[a:b][w[:, 6] > 0.9] - top)
            self.assertGreater(len(closed), 50)
            self.assertGreater(len(opened), 50)
            self.assertLess(np.median(closed), np.median(opened) - 5,
                            "closed lips against open ones, dB under each utterance's loudest")
            self.assertLess(np.median(rest), np.median(closed))


if __name__ == "__main__":
    unittest.main()
