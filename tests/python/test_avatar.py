"""vever.make_avatar: the tool builds a bundle the binding opens and
renders, from a file whatever its name starts with, and a refusal comes back
as vever.Error in the tool's own words."""

import os
import shutil
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "python"))
import vever  # noqa: E402

PHOTO = os.path.join(ROOT, ".deps", "demo", "astronaut.png")


class MakeAvatarTest(unittest.TestCase):
    def test_a_photograph_becomes_a_bundle_that_renders(self):
        scratch = os.environ.get("LE_TEST_TMP") or None
        if scratch:
            os.makedirs(scratch, exist_ok=True)
        with tempfile.TemporaryDirectory(prefix="le-avatar-", dir=scratch) as d:
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


if __name__ == "__main__":
    unittest.main()
