"""A visitor's own avatar, built from their photograph: POST /avatar.

The photograph is checked (its size, a JPEG or PNG signature), written to a
file the server names in a directory of the visitor's own, and given to the
vever tool by that path, after "--": nothing of the upload becomes an option
or an argument. The tool runs at a lower priority than the server, in a
process of its own, for at most --avatar-seconds, one build at a time per
worker: a build takes both cores of a small machine for a few seconds, and
the live visitors' frames come first. The photograph is deleted once the
tool is done with it; the visitor's directory, and every avatar built in it,
when the visitor leaves, and the server's whole directory when it stops.
"""

import asyncio
import contextlib
import itertools
import os
import shutil
import signal
import tempfile

from .speech import BadRequest, Refused, read_body

MAX_PHOTO_MIB = 10.0      # a phone's photograph is 2 to 6 MiB
AVATAR_SECONDS = 60.0     # a build takes about 2 s at 512x512 on an idle 2-core machine
NICENESS = 10             # the tool's priority below the server's
STDERR_BYTES = 64 * 1024  # of the tool's complaints; its refusal is one line
SIGNATURES = {b"\xff\xd8\xff": ".jpg", b"\x89PNG\r\n\x1a\n": ".png"}
MAX_FACE = 32             # the face to build when the photograph holds several


def photo_suffix(data):
    """The file suffix of a JPEG or PNG by its first bytes; refuses any other."""
    for magic, suffix in SIGNATURES.items():
        if data.startswith(magic):
            return suffix
    raise Refused(415, "the photo is neither a JPEG nor a PNG")


def face_number(text):
    """The ?face= of a request: None, or a face from 1 to MAX_FACE."""
    if text is None:
        return None
    if not text.isdigit() or not 1 <= int(text) <= MAX_FACE:
        raise BadRequest("\"face\" is a number from 1 to %d" % MAX_FACE)
    return int(text)


class Photos:
    """The visitors' own avatars of one server: where they are built and
    the one build that runs."""

    def __init__(self, tool, parent=None, max_bytes=int(MAX_PHOTO_MIB * 1024 * 1024),
                 seconds=AVATAR_SECONDS):
        self.tool = tool          # the vever tool's path, None when it is not there
        self.max_bytes = max_bytes
        self.seconds = seconds
        # One directory per server: what a crash left behind is in one place.
        self.parent = parent
        self.root = None          # made on the first upload
        self.building = False
        self.serial = itertools.count(1)

    def folder(self, live):
        """The visitor's own directory, made on their first upload."""
        if self.root is None:
            self.root = tempfile.mkdtemp(prefix="vever-serve-", dir=self.parent)
        if live.folder is None:
            live.folder = tempfile.mkdtemp(prefix="visitor-", dir=self.root)
        return live.folder

    async def read(self, request):
        """The request's body, the photograph, read up to the limit."""
        mib = self.max_bytes / (1024 * 1024)
        too_big = Refused(413, "the photo is larger than the limit of %d bytes (%g MiB)"
                               % (self.max_bytes, mib))
        data = await read_body(request, self.max_bytes, too_big)
        if not data:
            raise BadRequest("the body is empty: send the photo's bytes")
        return data

    async def build(self, live, data, face=None):
        """Builds the avatar of the photograph data for the visitor live:
        the bundle's directory (its motion in motion/). Refuses (422) with
        the tool's own reason or past the time limit, (429) while
        another build runs."""
        suffix = photo_suffix(data)
        if self.tool is None:
            raise Refused(503, "this server cannot build avatars: the vever tool is not "
                               "built (cmake --build build --target vever)")
        if self.building:
            raise Refused(429, "an avatar is being built already; this server builds one "
                               "at a time: try again in a few seconds")
        self.building = True
        try:
            folder = self.folder(live)
            n = next(self.serial)
            photo = os.path.join(folder, "photo-%d%s" % (n, suffix))
            out = os.path.join(folder, "avatar-%d" % n)
            with open(photo, "xb") as f:
                f.write(data)
            try:
                await self.run(photo, out, face)
            except BaseException:
                # What a refused or stopped build left ("<out>.part-*"): its own
                # names only, as the visitor's last avatar may still be opening.
                for name in os.listdir(folder):
                    if name == os.path.basename(out) or name.startswith(
                            os.path.basename(out) + "."):
                        shutil.rmtree(os.path.join(folder, name), ignore_errors=True)
                raise
            finally:
                os.unlink(photo)
            return out
        finally:
            self.building = False

    async def run(self, photo, out, face):
        args = [self.tool, "avatar", "-o", out]
        if face is not None:
            args += ["--face", str(face)]
        args += ["--", photo]
        proc = await asyncio.create_subprocess_exec(
            *args, stdin=asyncio.subprocess.DEVNULL, stdout=asyncio.subprocess.DEVNULL,
            stderr=asyncio.subprocess.PIPE,
            start_new_session=True)  # its own group: a kill takes whatever it started
        # Lowered from here, not in the child before exec: Python code between
        # fork and exec may deadlock in a process with threads, as this one is.
        # The whole group: every thread the tool has started so far.
        with contextlib.suppress(ProcessLookupError):
            os.setpriority(os.PRIO_PGRP, proc.pid, NICENESS)

        async def finish():
            said = await self.complaints(proc)
            return said, await proc.wait()
        try:
            said, status = await asyncio.wait_for(finish(), self.seconds)
        except asyncio.TimeoutError:
            raise Refused(422, "the avatar was not built within the limit of %g s"
                               % self.seconds)
        finally:
            if proc.returncode is None:  # timed out, or the visitor left
                with contextlib.suppress(ProcessLookupError):
                    os.killpg(proc.pid, signal.SIGKILL)
                await proc.wait()
        if status != 0:
            lines = [l for l in said.decode("utf-8", "replace").splitlines()
                     if l.startswith("vever: ")]
            if not lines:
                raise Refused(500, "the avatar build failed (exit status %d)" % status)
            # "vever: <the server's own file name>: <reason>": the reason is the visitor's.
            ours = "vever: %s: " % photo
            reason = lines[0][len(ours if lines[0].startswith(ours) else "vever: "):]
            raise Refused(422, "no avatar from this photo: %s" % reason)

    @staticmethod
    async def complaints(proc):
        """The first STDERR_BYTES of the tool's standard error, read to its end."""
        kept = bytearray()
        while True:
            chunk = await proc.stderr.read(65536)
            if not chunk:
                return bytes(kept)
            kept += chunk[:STDERR_BYTES - len(kept)]

    @staticmethod
    def discard(live):
        """Deletes the visitor's directory: what they uploaded and what was built."""
        if live.folder is not None:
            shutil.rmtree(live.folder, ignore_errors=True)
            live.folder = None

    def close(self):
        if self.root is not None:
            shutil.rmtree(self.root, ignore_errors=True)

