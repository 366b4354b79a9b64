"""Opus for the live server: the voice is encoded in the event loop's own
thread. aiortc hands every 20 ms audio frame to a thread of the loop's pool
and waits for it to come back; the hand-over (a wake-up there, another one
back) costs more than encoding 20 ms of Opus, 50 times a second for every
visitor. Encoded in place, a visitor costs the server about 0.01 cores less
(README, "Capacity"). The packets, their timestamps and their audio level
extension are what aiortc's own path sends.
"""

import logging

from aiortc import rtcrtpsender, rtp
from aiortc.codecs import opus

log = logging.getLogger("vever.serve")


async def _encoded_here(sender, codec, original):
    track = sender.track
    if codec.mimeType.lower() != "audio/opus" or track is None or track.kind != "audio":
        return await original(sender, codec)
    frame = await track.recv()
    encoder = getattr(sender, "_vever_opus", None)
    if encoder is None:
        encoder = sender._vever_opus = opus.OpusEncoder()
    payloads, timestamp = encoder.encode(frame)
    return rtcrtpsender.RTCEncodedFrame(payloads, timestamp, rtp.compute_audio_level_dbov(frame))


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
