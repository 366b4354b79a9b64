"""VP8 for the live server: aiortc's own encoder with settings for a rendered
face, measured on the demo avatar (README, "What a frame costs to send").

aiortc's defaults are made for camera pictures: a temporal denoiser (noise
sensitivity 4) that costs a fifth of the encoder's time and blurs a picture
that has no sensor noise, and a bitrate that the receiver's estimate may raise
to 1.5 Mbit/s, which a 512x512 face does not need and which the encoder pays
for in CPU. The frame's conversion to I420 runs here too, in the sender's
encoding thread and off the event loop.
"""

import logging

import numpy as np
from aiortc import rtcrtpsender
from aiortc.codecs import vpx

log = logging.getLogger("vever.serve")

NOISE_SENSITIVITY = 0   # the frames are rendered: nothing to denoise
CPU_USED = -10          # libvpx's real-time speed: aiortc's picture quality at 2/3 of its time
MAX_BITRATE = 500000    # bit/s; aiortc's starting rate, the receiver may only lower it
# A point-sampled chroma plane costs 0.4 ms less a 512x512 frame than a
# bilinear one; the encoder's quantiser loses more than the difference.
CHROMA = "POINT"


class AvatarEncoder(vpx.Vp8Encoder):
    cpu_used = CPU_USED

    def __init__(self):
        super().__init__()
        self.target_bitrate = MAX_BITRATE

    @property
    def target_bitrate(self):
        return vpx.Vp8Encoder.target_bitrate.fget(self)

    @target_bitrate.setter
    def target_bitrate(self, bitrate):
        # The receiver's estimate (REMB) arrives here: it may lower the rate, not raise it.
        vpx.Vp8Encoder.target_bitrate.fset(self, min(int(bitrate), MAX_BITRATE))

    def encode(self, frame, force_keyframe=False):
        if frame.format.name != "yuv420p":
            frame = frame.reformat(format="yuv420p", interpolation=CHROMA)
        codec = self.codec
        out = super().encode(frame, force_keyframe)
        if self.codec is not codec:  # made (or remade for a new size) by this call
            for control, value in ((vpx.lib.VP8E_SET_NOISE_SENSITIVITY, NOISE_SENSITIVITY),
                                   (vpx.lib.VP8E_SET_CPUUSED, self.cpu_used)):
                vpx.lib.vpx_codec_control_(self.codec, control, vpx.ffi.cast("int", value))
        return out


class IdlePictures:
    """The idle loop's pictures in the encoder's own format, shared by every
    visitor of the server: an idle frame is the driver frame of its corpus
    index, the same for all of them, so each is converted once instead of
    once per visitor and loop. Holds at most budget bytes; pictures beyond it
    are converted per frame as before. Used from the event loop's thread only."""

    def __init__(self, budget):
        self.budget = budget
        self.used = 0
        self.planes = {}  # corpus index -> read-only Y, U, V arrays

    @staticmethod
    def views(frame):
        return [np.frombuffer(p, np.uint8, p.line_size * p.height)
                .reshape(p.height, p.line_size)[:, :p.width] for p in frame.planes]

    def holds(self, index):
        """Whether the picture of idle frame index is held converted."""
        return index in self.planes

    def picture(self, index, rgb, out):
        """The picture of idle frame index, whose RGB the engine wrote into
        the frame rgb: in I420, written into the yuv420p frame out, when it
        is held or fits; else rgb itself, for the encoder to convert in its
        own thread, off the event loop."""
        held = self.planes.get(index)
        if held is None:
            size = sum(p.width * p.height for p in out.planes)
            if self.used + size > self.budget:
                return rgb
            converted = rgb.reformat(format="yuv420p", interpolation=CHROMA)
            held = [v.copy() for v in self.views(converted)]
            for v in held:
                v.flags.writeable = False
            self.planes[index] = held
            self.used += size
        for dst, src in zip(self.views(out), held):
            np.copyto(dst, src)
        return out


async def _next_video(sender, codec, original):
    """The sender's next VP8 frame from the track's own encoded(), which
    may pack a frame of the shared idle loop instead of encoding one. A
    receiver's keyframe request stays in aiortc's private flag, which only
    its own encoding path reads: it is handed to the track here."""
    track = sender.track
    encoded = getattr(track, "encoded", None)
    if encoded is None or codec.mimeType.lower() != "video/vp8" or \
            not hasattr(sender, _FORCE_KEYFRAME) or not hasattr(sender, _ENCODER):
        return await original(sender, codec)
    encoder = getattr(sender, _ENCODER)
    if encoder is None:
        encoder = rtcrtpsender.get_encoder(codec)
        setattr(sender, _ENCODER, encoder)  # where aiortc hands the receiver's bitrate estimate
    asked = getattr(sender, _FORCE_KEYFRAME)
    setattr(sender, _FORCE_KEYFRAME, False)
    payloads, timestamp = await encoded(encoder, asked)
    return rtcrtpsender.RTCEncodedFrame(payloads, timestamp, None)


# aiortc's (1.4) private fields of RTCRtpSender: its encoder, and the keyframe
# a receiver asked for (PLI).
_ENCODER = "_RTCRtpSender__encoder"
_FORCE_KEYFRAME = "_RTCRtpSender__force_keyframe"
_video_installed = False


def install():
    """Makes aiortc's senders encode VP8 with AvatarEncoder from now on; other
    codecs keep aiortc's encoders. aiortc picks a sender's encoder by the
    negotiated codec through rtcrtpsender.get_encoder. A video track with an
    encoded() coroutine (FrameTrack) gives its sender the frames to send,
    packed or encoded; other tracks and kinds keep the path they had, so this
    chains with opus.install in either order."""
    global _video_installed
    original = getattr(rtcrtpsender, "get_encoder", None)
    if original is None:
        log.warning("aiortc has no rtcrtpsender.get_encoder: VP8 keeps aiortc's own settings")
        return
    if not getattr(original, "avatar_vp8", False):
        def get_encoder(codec):
            if codec.mimeType.lower() == "video/vp8":
                return AvatarEncoder()
            return original(codec)

        get_encoder.avatar_vp8 = True
        rtcrtpsender.get_encoder = get_encoder
    sender = rtcrtpsender.RTCRtpSender
    following = getattr(sender, "_next_encoded_frame", None)
    if _video_installed:
        return
    if following is None or not hasattr(rtcrtpsender, "RTCEncodedFrame"):
        log.warning("aiortc's sender has another shape: every visitor's own encoder encodes "
                    "its idle frames")
        return

    async def next_encoded_frame(self, codec):
        return await _next_video(self, codec, following)

    # What the function it wraps was marked with (opus.install looks for its own mark).
    next_encoded_frame.__dict__.update(getattr(following, "__dict__", {}))
    sender._next_encoded_frame = next_encoded_frame
    _video_installed = True
