"""Opus for the live server: the voice is encoded in the event loop's own
thread. aiortc hands every 20 ms audio frame to a thread of the loop's pool
and waits for it to come back; the hand-over (a wake-up there, another one
back) costs more than encoding 20 ms of Opus, 50 times a second for every
visitor. Encoded in place, a visitor costs the server about 0.01 cores less
(README, "Capacity"). The packets, their timestamps and their audio level
extension are what aiortc's own path sends; steady silence is sent as the
packet it settled on (Voice).
"""

import logging

from aiortc import rtcrtpsender, rtp
from aiortc.codecs import opus

log = logging.getLogger("vever.serve")


SILENT_LEVEL = -127  # dBov: what compute_audio_level_dbov gives digital silence


class Voice:
    """One sender's Opus encoder, and the packet it settled on for silence.
    Digital silence encodes to the same 3 bytes from about the fourth
    silent frame on, so once two silent frames in a row gave the same
    packet, further silence sends it again instead of encoding 20 ms of
    zeros 50 times a second. The receiver decodes the same bytes either way,
    and the voice that follows decodes as well (a tone after 20 and after
    200 silent frames: the same error from the original, sent or encoded)."""

    def __init__(self):
        self.encoder = opus.OpusEncoder()
        self.last = None     # the previous frame's packet, if that frame was silent
        self.silent = None   # the packet silence settled on

    def encode(self, frame):
        data = bytes(frame.planes[0])
        if data != bytes(len(data)):
            self.last = self.silent = None
            payloads, timestamp = self.encoder.encode(frame)
            return payloads, timestamp, rtp.compute_audio_level_dbov(frame)
        if self.silent is not None:
            # The timestamp aiortc's encoder gives: in its 48 kHz clock.
            return [self.silent], frame.pts * opus.SAMPLE_RATE // frame.sample_rate, SILENT_LEVEL
        payloads, timestamp = self.encoder.encode(frame)
        if len(payloads) == 1 and payloads[0] == self.last:
            self.silent = self.last
        self.last = payloads[0] if len(payloads) == 1 else None
        return payloads, timestamp, SILENT_LEVEL


async def _encoded_here(sender, codec, original):
    track = sender.track
    if codec.mimeType.lower() != "audio/opus" or track is None or track.kind != "audio":
        return await original(sender, codec)
    frame = await track.recv()
    voice = getattr(sender, "_vever_opus", None)
    if voice is None:
        voice = sender._vever_opus = Voice()
    return rtcrtpsender.RTCEncodedFrame(*voice.encode(frame))


def install():
    """Makes aiortc's senders encode Opus audio frames in the event loop's
    thread from now on; video and other audio codecs keep aiortc's path. If
    this aiortc lacks the names it relies on, logs one warning and changes
    nothing."""
    sender = rtcrtpsender.RTCRtpSender
    original = getattr(sender, "_next_encoded_frame", None)
    if original is None or not hasattr(rtcrtpsender, "RTCEncodedFrame") or not hasattr(
            rtp, "compute_audio_level_dbov"):
        log.warning("aiortc's sender has another shape: Opus stays in its encoding threads")
        return
    if getattr(original, "avatar_opus", False):
        return

    async def next_encoded_frame(self, codec):
        return await _encoded_here(self, codec, original)

    next_encoded_frame.avatar_opus = True
    sender._next_encoded_frame = next_encoded_frame
