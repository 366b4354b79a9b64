"""Python binding of vever_core: ctypes over the C interface, numpy in and out.

    with vever.Context(bundle) as ctx, vever.Session(ctx, motion_dir) as s:
        s.wait_ready()
        s.push(pcm_int16)
        s.end_utterance()
        frame = s.pull()   # vever.Frame or None

    with vever.Vad(vever.default_vad_model()) as vad:
        p = vad.chance(chunk)   # speech in 512 samples (32 ms), 0..1

    vever.make_avatar("me.jpg", "me_bundle")   # a bundle of the face in a photo

Every failure of the engine raises vever.Error with the engine's own message.
The handles are in vever.binding, the engine-wide calls in vever.engine; the
live page is vever.serve (its parts in vever.live), its balancer vever.balance.
"""

from .binding import (FPS, FRAME_SAMPLES, IDLE, MAX_HELD_SAMPLES, RAMP, SAMPLE_RATE, SPEECH,
                      STATE_IDLE, STATE_RAMP, STATE_SPEAKING, STATE_WAITING, VAD_CHUNK, Context,
                      Error, Frame, PathLike, RenderStatus, Session, Stats, Vad,
                      default_vad_model, paste, render)
from .avatar import make_avatar
from .engine import engine_version, library_path, log_to, record_telemetry, telemetry

__version__ = "0.1.0"

__all__ = ["__version__", "engine_version", "library_path", "log_to", "Error", "Context", "Session", "Frame", "Stats",
           "RenderStatus", "render", "paste", "telemetry", "IDLE", "SPEECH", "RAMP",
           "SAMPLE_RATE", "FRAME_SAMPLES", "FPS", "MAX_HELD_SAMPLES", "Vad", "VAD_CHUNK",
           "default_vad_model", "make_avatar"]
