"""One visitor of the live server (Live): a context and a session of its own,
the frame on show, and the voice that goes with each frame.

The voice is sent in step with the frames: each frame the video track takes
from the session brings its own 40 ms of audio (the speech of that speech
frame, silence otherwise) into the audio track's queue, so lips and voice
cannot drift apart by more than a frame.
"""

import collections
import uuid

import av
import numpy as np

import vever

FPS = 25
FRAME_SAMPLES = 640       # 40 ms of 16 kHz audio: one video frame
AUDIO_CHUNK = 320         # 20 ms audio frames, as WebRTC sends them
AUDIO_BACKLOG = FRAME_SAMPLES + AUDIO_CHUNK  # at most 60 ms of voice waits behind its frame
SILENCE = np.zeros(FRAME_SAMPLES, np.int16)  # shared by every silent frame: never written
SILENCE.flags.writeable = False


def open_engine(bundle, motion, threads):
    """A context on bundle and a ready session of it: (ctx, session)."""
    ctx = vever.Context(bundle, threads=threads)
    try:
        session = vever.Session(ctx, motion, threads=threads, end_silence_s=-1)
        try:
            session.wait_ready()
        except Exception:
            session.close()
            raise
    except Exception:
        ctx.close()
        raise
    return ctx, session


def close_engine(engine):
    ctx, session = engine
    session.close()
    ctx.close()


class Live:
    """One visitor: a context and a session of its own, the two video frames
    the engine writes into, and the voice queued for the audio track."""

    def __init__(self, bundle, motion, threads, idle):
        self.id = uuid.uuid4().hex
        self.ctx, self.session = open_engine(bundle, motion, threads)
        self.audio = collections.deque()   # int16 pieces for the audio track
        self.frames_sent = 0
        self.audio_ms_sent = 0.0
        self.underruns = 0
        self.pc = None
        self.closed = False
        self.ending = None      # the task closing this visitor's connection and session
        self.deadline = None    # the task that lets go a peer who never connects
        self.preparing = False  # a /speak of this visitor is being decoded or synthesised
        self.interrupts = 0     # a text being spoken in stops at the next one
        self.stream = None      # the visitor's /stream socket, one at a time
        self.microphone = None  # the visitor's microphone (vever.live.microphone), if sent
        self.folder = None      # the visitor's directory for their photo and avatars
        self.build = None       # the task building the visitor's avatar
        self.serial = 0         # counts the avatars this visitor has switched to
        self.speech_before = 0  # speech frames of the sessions switched away from
        self.start(idle, None)

    def start(self, idle, avatar):
        """The state of the session now in self.session: its frames and voice."""
        self.idle = idle          # the idle pictures of this visitor's avatar
        self.avatar = avatar      # the bundle of the visitor's own avatar; None: the server's
        self.audio.clear()
        self.audio_samples = 0
        self.last_kind = vever.IDLE
        # The engine writes each frame straight into one of two video frames
        # of the track, taking turns: the one on show stays intact when no new
        # frame waits. The sender encodes one frame before it asks for the next.
        self.frames = [av.VideoFrame(self.ctx.width, self.ctx.height, "rgb24")
                       for _ in range(2)]
        self.images = [self.image_of(f) for f in self.frames]
        for image in self.images:
            image[...] = 0
        self.yuv = [av.VideoFrame(self.ctx.width, self.ctx.height, "yuv420p") for _ in range(2)]
        self.shown = 0
        self.showing = self.frames[0]
        self.taken = None       # the session's record of the frame next_frame took last
        self.nt = self.ctx.nt   # corpus frames: the idle loop's length
        self.last_source = None  # what pushed speech last: "speak", "stream" or "microphone"
        self.pushed = 0         # samples the session took, where each frame's audio_at counts
        self.unvoiced = collections.deque(maxlen=64)  # [start, end) of speech sent silent

    def switch(self, engine, idle, avatar):
        """Puts the visitor on another avatar: engine is its (ctx, session)
        from open_engine, idle its idle pictures, avatar its bundle. The
        speech of the old session is dropped. Returns the old (ctx,
        session), for the caller to close off the event loop."""
        old = self.ctx, self.session
        self.speech_before += self.session.stats().speech_frames_out
        self.ctx, self.session = engine
        self.serial += 1  # the video track starts afresh on it
        self.start(idle, avatar)
        return old

    def push(self, samples, source, own_voice=False):
        """Pushes speech; own_voice: the visitor's own, which the avatar says
        without sending it back to them."""
        self.session.push(samples)  # raises, appending nothing, beyond the engine's bound
        start, self.pushed = self.pushed, self.pushed + samples.size
        self.last_source = source
        if own_voice:
            if self.unvoiced and self.unvoiced[-1][1] == start:
                self.unvoiced[-1][1] = self.pushed
            else:
                self.unvoiced.append([start, self.pushed])

    def speak(self, samples):
        self.push(samples, "speak")
        self.session.end_utterance()

    def voiced(self, audio_at):
        """Whether the speech at audio_at goes to the visitor."""
        while self.unvoiced and self.unvoiced[0][1] <= audio_at:
            self.unvoiced.popleft()
        return not (self.unvoiced and self.unvoiced[0][0] <= audio_at)

    def interrupt(self):
        self.interrupts += 1
        self.session.interrupt()

    def image_of(self, frame):
        """An H x W x 3 array over the frame's picture, for the engine to fill;
        a copy where the frame pads its rows."""
        h, w = self.ctx.height, self.ctx.width
        plane = frame.planes[0]
        if plane.line_size == w * 3:
            return np.frombuffer(plane, np.uint8, w * h * 3).reshape(h, w, 3)
        return np.empty((h, w, 3), np.uint8)

    def peek(self):
        """The record of the frame next_frame takes next (vever.Frame, image
        None), or None when none waits yet."""
        return self.session.peek()

    def next_frame(self, picture=True):
        """The video frame to show now; queues its 40 ms of audio. The
        session's record of it is in taken (None when no new frame waited
        and the last one stays up). Without picture, an idle frame that peek
        found is taken without its pixels, for a sender that sends it without
        them (the shared idle loop's), and None returned."""
        spare = 1 - self.shown
        ahead = self.session.peek()
        idle = ahead is not None and ahead.kind == vever.IDLE
        bare = idle and not picture
        if bare or (idle and self.idle.holds(ahead.index)):
            f = self.session.pull(pixels=False)  # the held picture is what gets sent
        else:
            f = self.session.pull(self.images[spare])
        self.taken = f
        if f is None:
            # A gap inside speech; before an utterance's first frame the
            # session holds it back on purpose, until enough follow it.
            if self.last_kind == vever.SPEECH and \
                    self.session.stats().state == vever.STATE_SPEAKING:
                self.underruns += 1
            # Nothing new: the last frame stays up, and the voice pauses with it.
            voice = SILENCE
        else:
            if not bare:
                frame = self.frames[spare]
                if f.image is not None and self.images[spare].base is None:
                    # padded rows: the picture went to a copy
                    frame = av.VideoFrame.from_ndarray(self.images[spare], format="rgb24")
                    self.frames[spare] = frame
                if f.kind == vever.IDLE:
                    frame = self.idle.picture(f.index, frame, self.yuv[spare])
                self.shown = spare
                self.showing = frame
            self.last_kind = f.kind
            # Idle and ramp frames are silent: the shared silence lets the
            # audio track send its one cached silent frame.
            voice = (f.voice if f.kind == vever.SPEECH and self.voiced(f.audio_at)
                     else SILENCE)
        self.audio.append(voice)
        self.audio_samples += voice.size
        # A late audio track must not fall behind the picture.
        while self.audio_samples > AUDIO_BACKLOG:
            self.audio_samples -= self.audio.popleft().size
        self.frames_sent += 1
        return None if bare else self.showing

    def take_audio(self, n):
        """The next n samples for the audio track, or None when all of them
        are silence."""
        out = np.zeros(n, np.int16)
        filled = 0
        silent = True
        while filled < n and self.audio:
            head = self.audio[0]
            k = min(n - filled, head.size)
            if head.base is not SILENCE and head is not SILENCE:
                out[filled:filled + k] = head[:k]
                silent = False
            filled += k
            if k == head.size:
                self.audio.popleft()
            else:
                self.audio[0] = head[k:]
        self.audio_samples -= filled
        self.audio_ms_sent += n / 16.0
        return None if silent else out

    def close(self):
        if self.closed:
            return
        self.closed = True
        close_engine((self.ctx, self.session))
