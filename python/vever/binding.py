"""The engine's handles: a rendering context on an avatar bundle (Context),
an utterance session on it (Session), the frames and statistics they
return, and a voice-activity detector (Vad). Every failure of the engine
raises Error with the engine's own message.
"""

from __future__ import annotations

import ctypes
import dataclasses
import os
import threading
import time
import weakref
from typing import Any, Optional, TypeVar, Union

import numpy as np
import numpy.typing as npt

from . import _lib
from ._lib import lib as _c

# Frame kinds (le_utt_frame_info.kind, le.h's LE_UTT_KIND_*).
IDLE, SPEECH, RAMP = 0, 1, 2
# Session states (le_utt_stats.state, le.h's LE_UTT_STATE_*).
STATE_IDLE, STATE_WAITING, STATE_SPEAKING, STATE_RAMP = 0, 1, 2, 3

SAMPLE_RATE = 16000
FRAME_SAMPLES = 640  # one video frame of audio: 40 ms (le.h's LE_UTT_FRAME_SAMPLES)
FPS = 25
# Audio a session holds unspoken at most (le.h's LE_UTT_MAX_HELD_SAMPLES);
# a push beyond it raises Error and appends nothing.
MAX_HELD_SAMPLES = SAMPLE_RATE * 300
# Samples of one Vad.chance call: 32 ms (le.h's LE_VAD_CHUNK_SAMPLES).
VAD_CHUNK = 512

_KIND_NAMES = {IDLE: "idle", SPEECH: "speech", RAMP: "ramp"}
_STATE_NAMES = {STATE_IDLE: "idle", STATE_WAITING: "waiting", STATE_SPEAKING: "speaking",
                STATE_RAMP: "ramp"}


PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


class Error(RuntimeError):
    """A failure reported by the engine (its message) or a misuse of a handle."""



def _bytes(s):
    return None if s is None else str(s).encode()


def _path(p):
    return None if p is None else os.fsencode(p)


def _ptr(a, ctype):
    return a.ctypes.data_as(ctypes.POINTER(ctype))


def _keypoints(kp, what):
    a = np.ascontiguousarray(kp, dtype=np.float32).reshape(-1)
    want = _c.le_host_kp_rows() * 3
    if a.size != want:
        raise ValueError("%s: %d floats, expected %d (%d x 3)" % (what, a.size, want, want // 3))
    return a


_T = TypeVar("_T", bound="_Owned")


class _Owned:
    """An engine handle (`_h`) the object owns until close(): usable in a
    with-statement, closed when collected."""

    _h: Any = None

    @property
    def closed(self) -> bool:
        return self._h is None

    def __enter__(self: _T) -> _T:
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __del__(self):
        if getattr(self, "_h", None):
            self.close()

    def close(self) -> None:
        raise NotImplementedError


class Context(_Owned):
    """A rendering context on one avatar bundle (le_create / le_destroy)."""

    nt: int
    width: int
    height: int
    crop: int
    drive_frames: int

    def __init__(self, bundle: PathLike, model: str = "b1", threads: int = 0,
                 ep: Optional[str] = None) -> None:
        self._destroy = _c.le_destroy  # kept for closing during interpreter shutdown
        self._h = None
        self._sessions = weakref.WeakSet()
        self._lock = threading.Lock()
        h = _c.le_create(_path(bundle), _bytes(model), int(threads), _bytes(ep))
        if not h:
            raise Error(_lib.text(_c.le_last_error()))
        self._h = h
        self.nt = _c.le_nt(h)
        self.width = _c.le_width(h)
        self.height = _c.le_height(h)
        self.crop = _c.le_crop(h)
        self.drive_frames = _c.le_drive_frames(h)

    def close(self) -> None:
        """Closes the sessions still open on this context, then the context."""
        for s in list(self._sessions):
            s.close()
        with self._lock:
            h, self._h = self._h, None
        if h:
            self._destroy(h)

    def _handle(self, direct=False):
        if self._h is None:
            raise Error("vever: the context is closed")
        if direct and len(self._sessions):
            # A session renders and reads driver frames on this context from its own threads.
            raise Error("vever: a session is open on this context; render on another context")
        return self._h

    def render(self, t: int, kp_source: Optional[npt.ArrayLike] = None,
               kp_driven: Optional[npt.ArrayLike] = None) -> np.ndarray:
        """The crop (3 x C x C float32, R, G, B planes in [0, 1]).

        render(i) renders drive frame i from the bundle's drive tables;
        render(t, kp_source, kp_driven) renders source frame t from two
        keypoint sets of 21 x 3 floats."""
        h = self._handle(direct=True)
        if kp_source is None and kp_driven is None:
            p = _c.le_render_drive_crop(h, int(t))
        else:
            if kp_source is None or kp_driven is None:
                raise ValueError("render: give both kp_source and kp_driven, or neither")
            src = _keypoints(kp_source, "kp_source")
            drv = _keypoints(kp_driven, "kp_driven")
            p = _c.le_render_kp_crop(h, int(t), _ptr(src, ctypes.c_float),
                                     _ptr(drv, ctypes.c_float))
        if not p:
            raise Error(_lib.text(_c.le_last_error()))
        # The engine's buffer is reused by the next render: copy it out.
        n = 3 * self.crop * self.crop
        return np.ctypeslib.as_array(p, shape=(n,)).copy().reshape(3, self.crop, self.crop)

    def paste(self, t: int, crop: npt.ArrayLike,
              out: Optional[np.ndarray] = None) -> np.ndarray:
        """Pastes a crop into driver frame t; returns out (H x W x 3 uint8)."""
        h = self._handle(direct=True)
        c = np.ascontiguousarray(crop, dtype=np.float32)
        if c.shape != (3, self.crop, self.crop):
            raise ValueError("paste: crop of shape %s, expected %s"
                             % (c.shape, (3, self.crop, self.crop)))
        out = self._frame_buffer(out)
        if not _c.le_paste_crop(h, int(t), _ptr(c, ctypes.c_float), _ptr(out, ctypes.c_uint8),
                                out.nbytes):
            raise Error(_lib.text(_c.le_last_error()))
        return out

    def target_frame(self, t: int) -> np.ndarray:
        """Driver frame t as H x W x 3 uint8 (a copy)."""
        p = _c.le_target_frame(self._handle(direct=True), int(t))
        if not p:
            raise Error(_lib.text(_c.le_last_error()))
        n = self.width * self.height * 3
        return np.ctypeslib.as_array(p, shape=(n,)).copy().reshape(self.height, self.width, 3)

    def _frame_buffer(self, out):
        shape = (self.height, self.width, 3)
        if out is None:
            return np.empty(shape, dtype=np.uint8)
        if out.shape != shape or out.dtype != np.uint8 or not out.flags.c_contiguous \
                or not out.flags.writeable:
            raise ValueError("out: expected a writable C-contiguous uint8 array of shape %s"
                             % (shape,))
        return out


def render(ctx: Context, t: int, kp_source: Optional[npt.ArrayLike] = None,
           kp_driven: Optional[npt.ArrayLike] = None) -> np.ndarray:
    """Context.render as a function."""
    return ctx.render(t, kp_source, kp_driven)


def paste(ctx: Context, t: int, crop: npt.ArrayLike,
          out: Optional[np.ndarray] = None) -> np.ndarray:
    """Context.paste as a function."""
    return ctx.paste(t, crop, out)


@dataclasses.dataclass(eq=False)
class Frame:
    """A frame a session delivered (Session.pull), or the record of the next
    one (Session.peek); voice is the audio to play under it."""

    image: Optional[np.ndarray]  # H x W x 3 uint8, RGB; None when taken without it
    seq: int           # sequence number over the session's life
    kind: int          # IDLE, SPEECH or RAMP
    index: int         # corpus (driver) frame shown
    number: int        # speech frame number within its utterance, -1 otherwise
    # A speech frame's voice: the first of its 640 samples in all the audio
    # pushed to the session (failed and interrupted utterances included); -1 otherwise.
    audio_at: int = -1
    # The 640 samples (int16) to play under the frame: a speech frame's own
    # voice, zero-padded past the end of its utterance's audio; silence for
    # idle and ramp frames. None in peek's record, which leaves the frame waiting.
    voice: Optional[np.ndarray] = None

    @property
    def kind_name(self) -> str:
        return _KIND_NAMES.get(self.kind, str(self.kind))


@dataclasses.dataclass
class Stats:
    frames_out: int
    speech_frames_out: int
    utterances_started: int
    first_frame_ms: float
    frame_cost_ms: float
    state: int

    @property
    def state_name(self) -> str:
        return _STATE_NAMES.get(self.state, str(self.state))


@dataclasses.dataclass
class RenderStatus:
    message: str   # the latest render failure, "" if none
    failures: int
    fatal: bool    # a speech or ramp frame was lost


class Session(_Owned):
    """An utterance session on a context: push speech, pull finished frames.

    The session holds its context, which stays open until the session is
    closed; closing the context closes its sessions first."""

    def __init__(self, ctx: Context, motion_dir: PathLike, threads: int = 0,
                 ep: Optional[str] = None, steady_model: Optional[str] = None, eager: int = 0,
                 end_silence_s: float = 0.0, end_ramp_frames: int = 0,
                 interrupt_ramp_frames: int = 0) -> None:
        self._destroy = _c.le_utt_destroy
        self._h = None
        self.ctx = ctx
        o = _lib.UttOpts(motion_dir=_path(motion_dir), threads=int(threads), ep=_bytes(ep),
                         steady_model=_bytes(steady_model), eager=int(eager),
                         end_silence_s=float(end_silence_s),
                         end_ramp_frames=int(end_ramp_frames),
                         interrupt_ramp_frames=int(interrupt_ramp_frames))
        with ctx._lock:
            h = _c.le_utt_create(ctx._handle(), ctypes.byref(o))
            if not h:
                raise Error(_lib.text(_c.le_utt_last_error()))
            self._h = h
            ctx._sessions.add(self)

    def close(self) -> None:
        h, self._h = self._h, None
        if h:
            self._destroy(h)
            self.ctx._sessions.discard(self)

    def _handle(self):
        if self._h is None:
            raise Error("vever: the session is closed")
        return self._h

    def ready(self) -> bool:
        """True once the motion source is loaded; raises Error if its warm-up failed."""
        r = _c.le_utt_ready(self._handle())
        if r < 0:
            raise Error(_lib.text(_c.le_utt_last_error()))
        return r == 1

    def wait_ready(self, timeout: float = 60.0) -> None:
        """Waits for ready(); audio pushed before it would be dropped."""
        until = time.monotonic() + timeout
        while not self.ready():
            if time.monotonic() > until:
                raise Error("vever: the session was not ready after %.0f s" % timeout)
            time.sleep(0.005)

    def push(self, samples: npt.ArrayLike) -> None:
        """Appends 16 kHz mono speech: a 1-D int16 array (16-bit PCM)."""
        a = np.asarray(samples)
        if a.dtype != np.int16:
            raise TypeError("push: int16 samples expected, got %s" % a.dtype)
        a = np.ascontiguousarray(a.reshape(-1))
        h = self._handle()
        step = 1 << 30
        for at in range(0, max(a.size, 1), step):
            piece = a[at:at + step]
            if not _c.le_utt_push_audio(h, _ptr(piece, ctypes.c_int16), piece.size):
                raise Error(_lib.text(_c.le_utt_last_error()))

    def held_audio(self) -> int:
        """Samples pushed and neither spoken nor dropped yet."""
        return _c.le_utt_held_audio(self._handle())

    def end_utterance(self) -> None:
        _c.le_utt_end_utterance(self._handle())

    def interrupt(self) -> None:
        _c.le_utt_interrupt(self._handle())

    def frames_available(self) -> int:
        return _c.le_utt_frames_available(self._handle())

    def pull(self, out: Optional[np.ndarray] = None, pixels: bool = True) -> Optional[Frame]:
        """The oldest waiting frame as a Frame, or None when none waits.

        out, if given, is an H x W x 3 uint8 array the image is written into.
        With pixels=False the frame is taken without its image (image None),
        for a caller that holds the picture already (see peek). Either way the
        frame brings its voice (Frame.voice), which the session kept with it:
        the caller need not keep what it pushed."""
        h = self._handle()
        out = self.ctx._frame_buffer(out) if pixels else None
        info = _lib.UttFrameInfo()
        at = ctypes.c_int64(-1)
        voice = np.empty(FRAME_SAMPLES, np.int16)
        dst, cap = (_ptr(out, ctypes.c_uint8), out.nbytes) if pixels else (None, 0)
        # The buffer has the frame's size, so 0 only means that no frame waits.
        if not _c.le_utt_pull_frame_voice(h, dst, cap, ctypes.byref(info), ctypes.byref(at),
                                          _ptr(voice, ctypes.c_int16)):
            return None
        return Frame(out, info.seq, info.kind, info.index, info.number, at.value, voice)

    def peek(self) -> Optional[Frame]:
        """The frame pull would take next, left waiting (image None), or None."""
        info = _lib.UttFrameInfo()
        at = ctypes.c_int64(-1)
        if not _c.le_utt_peek_frame(self._handle(), ctypes.byref(info), ctypes.byref(at)):
            return None
        return Frame(None, info.seq, info.kind, info.index, info.number, at.value)

    def stats(self) -> Stats:
        st = _lib.UttStats()
        _c.le_utt_get_stats(self._handle(), ctypes.byref(st))
        return Stats(st.frames_out, st.speech_frames_out, st.utterances_started,
                     st.first_frame_ms, st.frame_cost_ms, st.state)

    def render_status(self) -> RenderStatus:
        buf = ctypes.create_string_buffer(1024)
        failures = ctypes.c_int64(0)
        r = _c.le_utt_render_status(self._handle(), buf, len(buf), ctypes.byref(failures))
        return RenderStatus(_lib.text(buf.value), failures.value, r < 0)


def default_vad_model() -> Optional[str]:
    """The voice-activity network to open: $VEVER_VAD_MODEL when set (taken
    as it is, so a wrong path fails loudly in Vad), else the one scripts/setup
    installs in the checkout (.deps/vad/silero_vad_v5.onnx); None without one."""
    env = os.environ.get("VEVER_VAD_MODEL")
    if env:
        return env
    root = _lib.checkout()
    path = os.path.join(root, ".deps", "vad", "silero_vad_v5.onnx") if root else None
    return path if path and os.path.isfile(path) else None


class Vad(_Owned):
    """Voice activity on one stream of 16 kHz mono audio (le_vad_*): the
    chance that each chunk of VAD_CHUNK samples (32 ms) holds speech. Each
    chunk continues the ones before it: feed a stream's chunks in order and
    reset() between streams. Safe to share between threads (calls take turns)."""

    def __init__(self, model: Optional[PathLike]) -> None:
        self._destroy = _c.le_vad_close
        self._h = None
        self._lock = threading.Lock()
        if model is None:
            raise Error("vever: no voice-activity model (scripts/setup installs one; "
                        "VEVER_VAD_MODEL names another)")
        h = _c.le_vad_open(_path(model))
        if not h:
            raise Error(_lib.text(_c.le_last_error()))
        self._h = h

    def close(self) -> None:
        with self._lock:
            h, self._h = self._h, None
        if h:
            self._destroy(h)

    def _handle(self):
        if self._h is None:
            raise Error("vever: the voice-activity detector is closed")
        return self._h

    def chance(self, samples: npt.ArrayLike) -> float:
        """The chance (0..1) that the next VAD_CHUNK samples hold speech:
        int16 (16-bit PCM) or float32 in [-1, 1]."""
        a = np.asarray(samples)
        if a.dtype == np.int16:
            a = a.astype(np.float32) / 32768
        elif a.dtype != np.float32:
            raise TypeError("chance: int16 or float32 samples expected, got %s" % a.dtype)
        if a.shape != (VAD_CHUNK,):
            raise ValueError("chance: samples of shape %s, expected (%d,)" % (a.shape, VAD_CHUNK))
        a = np.ascontiguousarray(a)
        with self._lock:
            r = _c.le_vad_chance(self._handle(), _ptr(a, ctypes.c_float), a.size)
            if r < 0:
                raise Error(_lib.text(_c.le_last_error()))
        return float(r)

    def reset(self) -> None:
        """A new stream: the detector forgets the audio it has seen."""
        with self._lock:
            _c.le_vad_reset(self._handle())
