"""The media tracks aiortc sends a visitor: its frames (FrameTrack) and its
voice (VoiceTrack), each paced by the clock from its first frame on."""

import asyncio
import fractions
import time

import av
import numpy as np
from aiortc import MediaStreamTrack
from aiortc.mediastreams import MediaStreamError

from .visitor import AUDIO_CHUNK, FPS

VIDEO_CLOCK = 90000


class PacedTrack(MediaStreamTrack):
    """A track whose n-th frame is due n periods after its first."""

    period = 1.0

    def __init__(self, live):
        super().__init__()
        self.live = live
        self.n = 0
        self.start = None

    async def next_slot(self):
        if self.start is None:
            self.start = time.monotonic()
        else:
            await asyncio.sleep(max(0.0, self.start + self.n * self.period - time.monotonic()))
        if self.live.closed:
            self.stop()
            raise MediaStreamError
        n, self.n = self.n, self.n + 1
        return n


class FrameTrack(PacedTrack):
    kind = "video"
    period = 1.0 / FPS

    async def recv(self):
        n = await self.next_slot()
        frame = self.live.next_frame()
        frame.pts = n * (VIDEO_CLOCK // FPS)
        frame.time_base = fractions.Fraction(1, VIDEO_CLOCK)
        return frame


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
