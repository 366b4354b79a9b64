"""The media tracks aiortc sends a visitor: its frames (FrameTrack) and its
voice (VoiceTrack), each paced by the clock from its first frame on. The
frames reach the sender encoded (FrameTrack.encoded): the shared idle loop's
while the visitor's decoder can take them, else the visitor's own encoder's."""

import asyncio
import fractions
import math
import time

import av
import numpy as np
from aiortc import MediaStreamTrack
from aiortc.mediastreams import MediaStreamError

import vever

from .visitor import AUDIO_CHUNK, FPS

VIDEO_CLOCK = 90000
VIDEO_TIME_BASE = fractions.Fraction(1, VIDEO_CLOCK)
EPOCH = time.monotonic()  # the pacing grid's origin


class PacedTrack(MediaStreamTrack):
    """A track whose n-th frame is due n periods after its first. Every
    track's first frame is due on one grid of the process's clock, a frame
    time apart: all visitors' frames and voices fall due together and are
    taken in one wake-up of the event loop, not one per track."""

    period = 1.0

    def __init__(self, live):
        super().__init__()
        self.live = live
        self.n = 0
        self.start = None

    async def next_slot(self):
        if self.start is None:
            self.start = EPOCH + math.ceil((time.monotonic() - EPOCH) * FPS) / FPS
        await asyncio.sleep(max(0.0, self.start + self.n * self.period - time.monotonic()))
        if self.live.closed:
            self.stop()
            raise MediaStreamError
        n, self.n = self.n, self.n + 1
        return n


class FrameTrack(PacedTrack):
    kind = "video"
    period = 1.0 / FPS

    def __init__(self, live, loop=None):
        super().__init__(live)
        self.shared = loop      # the server's IdleLoop of its avatar, or None
        self.loop = loop        # the loop it sends from; None: every frame encoded here
        self.at = None          # (group, index) of the loop frame the receiver decoded last
        self.keyframe = False   # the receiver asked for one and has not had it
        self.serial = live.serial

    def follow(self):
        """After the visitor switched avatars: a keyframe of the new face,
        and the server's loop only for the server's avatar, whose face it
        holds."""
        live = self.live
        if self.serial != live.serial:
            self.serial = live.serial
            self.loop = self.shared if live.avatar is None else None
            self.at, self.keyframe = None, True

    async def recv(self):
        n = await self.next_slot()
        frame = self.live.next_frame()
        frame.pts = n * (VIDEO_CLOCK // FPS)
        frame.time_base = VIDEO_TIME_BASE
        return frame

    def route(self, f):
        """The loop's group that sends idle frame f, or None."""
        if self.loop is None or f is None or f.kind != vever.IDLE:
            return None
        return self.loop.route(None if self.keyframe else self.at, f.index, self.live.nt)

    async def encoded(self, encoder, keyframe_asked):
        """The next frame as the sender's (payloads, timestamp): packed by
        the visitor's encoder from the shared idle loop, or encoded by it.
        keyframe_asked: the receiver asked for a keyframe (PLI)."""
        n = await self.next_slot()
        self.follow()
        pts = n * (VIDEO_CLOCK // FPS)
        self.keyframe = self.keyframe or keyframe_asked
        live = self.live
        ahead = live.peek() if self.loop is not None else None
        group = self.route(ahead)
        frame = live.next_frame(group is None or not self.loop.holds(group, ahead.index))
        f = live.taken
        if f is not None and ahead is None:  # came after the peek
            group = self.route(f)
        if f is None and self.at is not None:
            return [], pts  # the loop's frame on show stays up: nothing to send
        if group is not None:
            packet = await self.loop.frame(group, f.index, frame)
            if packet is not None:
                self.at, self.keyframe = (group, f.index), False
                packet.pts, packet.time_base = pts, VIDEO_TIME_BASE
                return encoder.pack(packet)
            if frame is None:  # the loop failed a frame this visitor has no picture of
                self.at, self.keyframe = None, True
                return [], pts
        # The receiver's reference is the loop's frame: this encoder starts afresh.
        keyframe = self.keyframe or self.at is not None
        self.at, self.keyframe = None, False
        frame.pts, frame.time_base = pts, VIDEO_TIME_BASE
        return await asyncio.get_running_loop().run_in_executor(
            None, encoder.encode, frame, keyframe)


class VoiceTrack(PacedTrack):
    kind = "audio"
    period = AUDIO_CHUNK / 16000

    def __init__(self, live):
        super().__init__(live)
        self.silence = self.audio_frame(np.zeros(AUDIO_CHUNK, np.int16))

    @staticmethod
    def audio_frame(samples):
        frame = av.AudioFrame(format="s16", layout="mono", samples=AUDIO_CHUNK)
        frame.planes[0].update(samples.tobytes())
        frame.sample_rate = 16000
        return frame

    async def recv(self):
        n = await self.next_slot()
        samples = self.live.take_audio(AUDIO_CHUNK)
        # The sender encodes a frame before it asks for the next: one silent
        # frame serves every silent slot.
        frame = self.silence if samples is None else self.audio_frame(samples)
        frame.pts = n * AUDIO_CHUNK
        frame.time_base = fractions.Fraction(1, 16000)
        return frame
