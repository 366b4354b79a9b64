"""Avatars of the faces in photographs, built by the vever tool.

    vever.make_avatar("me.jpg", "me_bundle")   # the bundle, motion in me_bundle/motion

The builder lives in the tool beside the engine, not in the engine library:
its face detector and landmarks (dlib) are no dependency of the engine."""

import os
import shutil
import subprocess
from typing import Optional, Tuple

from . import _lib
from .binding import Error, PathLike


def tool_path() -> str:
    """The vever tool: $VEVER_TOOL when set, else the checkout's build tree,
    else the one installed beside the library, else the one on PATH."""
    env = os.environ.get("VEVER_TOOL")
    if env:
        return env
    root = _lib.checkout()
    if root:
        build = os.environ.get("LE_BUILD_DIR") or os.path.join(root, "build")
        path = os.path.join(build, "tools", "vever")
        if os.path.isfile(path):
            return path
    from .engine import library_path
    lib = library_path()
    if lib:
        path = os.path.join(os.path.dirname(os.path.dirname(lib)), "bin", "vever")
        if os.path.isfile(path):
            return path
    found = shutil.which("vever")
    if not found:
        raise Error("vever: the vever tool is not built (cmake --build build --target vever) "
                    "and not on PATH; VEVER_TOOL names it")
    return found


def make_avatar(input: PathLike, out_dir: PathLike, face: Optional[int] = None,
                size: Optional[Tuple[int, int]] = None, timeout: Optional[float] = None,
                motion: str = "trained") -> str:
    """Builds the avatar bundle of the face in the photograph `input` into
    out_dir (replacing a bundle there), with its motion directory in
    out_dir/motion; returns out_dir. face chooses among several faces (1 is
    the largest); size is the scene (width, height), 512 x 512 by default.
    Raises vever.Error with the tool's own refusal (no face, several faces,
    too small, turned away, not a picture, ...), or when the build takes
    longer than timeout seconds. motion is "trained" (the mouth shapes the
    sounds) or "procedural" (it opens with loudness)."""
    if motion not in ("trained", "procedural"):
        raise ValueError("motion is 'trained' or 'procedural', not %r" % (motion,))
    args = [tool_path(), "avatar", "-o", os.path.abspath(os.fspath(out_dir)), "--motion", motion]
    if face is not None:
        args += ["--face", str(int(face))]
    if size is not None:
        args += ["--size", "%dx%d" % (int(size[0]), int(size[1]))]
    # After "--" the input is a file name whatever it starts with.
    args += ["--", os.fspath(input)]
    try:
        done = subprocess.run(args, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              timeout=timeout)
    except subprocess.TimeoutExpired:
        raise Error("vever: the avatar of %s was not built within %g s" % (input, timeout))
    if done.returncode != 0:
        said = [line for line in done.stderr.splitlines() if line.startswith("vever: ")]
        raise Error(said[0] if said else "vever: the avatar build failed (exit status %d)"
                    % done.returncode)
    return os.fspath(out_dir)
