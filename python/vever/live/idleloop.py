"""The idle loop's video, encoded once for every visitor of a server.

An idle frame is the driver frame of its corpus index, the same picture for
every visitor, so the server encodes the loop in VP8 once and sends those
frames to every visitor whose decoder can take them. Each visitor's sender
packs them (encoder.pack) with its own picture ids, RTP sequence numbers,
timestamps and SRTP; its own encoder rests.

The loop is cut into groups that start at the corpus indices that are
multiples of KEYFRAME_EVERY: a keyframe, then inter frames up to the next
group or the loop's end. One encoder makes a group, frame after frame, as the
first visitor to need each frame brings its picture; the frames are kept,
within a budget of bytes.

A VP8 inter frame decodes against what the decoder decoded before it, so a
receiver takes a loop frame only as the next of the same group it took the
last one from, or at a group's keyframe. Otherwise (speech and the ramp after
it, an index that jumps, a keyframe the receiver asked for) the visitor's own
encoder sends, starting with a keyframe, until the visitor's corpus index
reaches a loop keyframe again (FrameTrack.encoded).
"""

import asyncio
import collections
import concurrent.futures
import fractions
import logging
import time

import av
from aiortc.codecs import vpx

from . import vp8

log = logging.getLogger("vever.serve")

# A keyframe a second at 25 fps. The cost of a longer group is the visitor's
# own encoder running on after speech, or after a keyframe request, until the
# next one: half a group on average, about 12 frames of 2 ms. A shorter one
# takes bits from every other frame at the same rate: the demo avatar's idle
# loop at 500 kbit/s keeps 37.8 dB (luma PSNR, mean) with a keyframe every 25
# frames, 35.2 every 12, 33.9 every 8.
KEYFRAME_EVERY = 25
BITRATE = 500000          # bit/s, the visitors' own encoders' ceiling
LOOP_MIB = 32.0           # kept frames: 500 kbit/s fill it in about 9 minutes of loop
# Encoders part-way through a group at once: 11 MiB each at 512x512, 69 MiB
# at 1920x1080. A visitor that finds none free is sent its own encoder's
# frames; an encoder whose group nobody extended for ABANDONED_S (its
# visitors left or speak) is taken for another group, and the group it
# leaves starts afresh when a visitor next reaches its keyframe.
MAX_ENCODERS = 2
ABANDONED_S = 1.0
VIDEO_CLOCK = 90000
TIME_BASE = fractions.Fraction(1, VIDEO_CLOCK)


class LoopEncoder(vp8.AvatarEncoder):
    """The loop's encoder: the visitors' settings at a fixed bitrate, and a
    slower speed, paid once for every visitor (+1.8 dB on the demo avatar's
    idle loop for 0.4 ms a frame)."""

    cpu_used = -6

    def __init__(self):
        super().__init__()
        self.target_bitrate = BITRATE
        self.count = 0

    def frame(self, picture, keyframe):
        """One frame of the group as an av.Packet; runs in the loop's thread."""
        picture.pts, picture.time_base = self.count * (VIDEO_CLOCK // 25), TIME_BASE
        self.count += 1
        payloads, _ = self.encode(picture, keyframe)
        return av.Packet(b"".join(vpx.vp8_depayload(p) for p in payloads))


class Group:
    """One group of the loop as one encoder made it: frames from its keyframe on."""

    __slots__ = ("start", "length", "frames", "encoder", "pending", "stolen", "touched")

    def __init__(self, start, length):
        self.start = start
        self.length = length   # frames up to the next group, or the loop's end
        self.frames = []       # av.Packet of each frame made, in order
        self.encoder = None    # the encoder part-way through it; None once done or stopped
        self.pending = None    # the future of the frame being encoded
        self.stolen = False    # its encoder went to another group before it was done
        self.touched = time.monotonic()  # when it was started or last extended

    def done(self):
        return len(self.frames) == self.length


class IdleLoop:
    """The idle loop's encoded frames of one server, shared by its visitors.
    Used from the event loop's thread; frames are encoded in a thread of
    its own, so no visitor's frames wait for them but those that need them."""

    def __init__(self, budget, every=KEYFRAME_EVERY, encoders=MAX_ENCODERS):
        self.budget = budget
        self.every = every
        self.encoders = encoders
        self.used = 0      # bytes of the frames held
        self.groups = {}   # keyframe index -> Group
        self.running = collections.OrderedDict()  # groups with an encoder, least recently extended first
        self.thread = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="idle-loop")

    def route(self, at, index, nt):
        """The group that can send idle frame index to a receiver whose last
        frame was at ((group, index) of a loop frame, None for any other),
        or None when it cannot: the visitor's own encoder sends it."""
        if index % self.every == 0:
            g = self.groups.get(index)
            if g is None or (g.encoder is None and not g.done() and g.stolen):
                g = self.start(index, nt) or g
            if g is None or not (g.frames or g.encoder is not None):
                return None
            return g
        if at is None:
            return None
        g, last = at
        k = index - g.start
        if last != index - 1 or k >= g.length:
            return None
        if k < len(g.frames) or self.pending(g, k):
            return g
        return g if g.encoder is not None and len(g.frames) == k and self.used < self.budget \
            else None

    @staticmethod
    def pending(g, k):
        return g.pending is not None and len(g.frames) == k

    def holds(self, g, index):
        """Whether frame index of g is made or being made: no picture needed."""
        k = index - g.start
        return k < len(g.frames) or self.pending(g, k)

    def start(self, index, nt):
        """A new group at keyframe index, with an encoder if one is free or
        can be taken from a group not encoding now; None if not."""
        if self.used >= self.budget:
            return None
        if len(self.running) >= self.encoders:
            oldest = next(iter(self.running.values()))
            if oldest.pending is not None or time.monotonic() - oldest.touched < ABANDONED_S:
                return None
            self.stop(oldest)
            oldest.stolen = True
        old = self.groups.get(index)
        if old is not None:  # receivers still in it finish what it holds
            self.used -= sum(p.size for p in old.frames)
        g = Group(index, min(self.every, nt - index))
        g.encoder = LoopEncoder()
        self.groups[index] = g
        self.running[index] = g
        return g

    def stop(self, g):
        g.encoder = None
        if self.running.get(g.start) is g:
            del self.running[g.start]

    async def frame(self, g, index, picture):
        """Frame index of group g as an av.Packet: held, being encoded, or
        encoded now from picture (the visitor's video frame, None when it has
        none); None when the loop cannot make it."""
        k = index - g.start
        if k < len(g.frames):
            return g.frames[k]
        if not self.pending(g, k):
            if picture is None or g.encoder is None or len(g.frames) != k:
                return None
            g.pending = asyncio.get_running_loop().run_in_executor(
                self.thread, g.encoder.frame, picture, k == 0)
            # Kept even if the visitor who brought the picture leaves meanwhile:
            # the encoder has moved past this frame.
            g.pending.add_done_callback(lambda done: self.made(g, done))
        try:
            return await asyncio.shield(g.pending)
        except Exception:
            return None

    def made(self, g, done):
        g.pending = None
        if done.cancelled() or done.exception() is not None:
            if not done.cancelled():
                log.error("encoding a frame of the idle loop failed: %r", done.exception())
            self.stop(g)
            return
        packet = done.result()
        g.frames.append(packet)
        if self.groups.get(g.start) is g:
            self.used += packet.size
        if g.done() or self.used >= self.budget:
            self.stop(g)
        elif self.running.get(g.start) is g:
            g.touched = time.monotonic()
            self.running.move_to_end(g.start)

    def close(self):
        self.thread.shutdown(wait=False)
