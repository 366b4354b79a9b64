"""A visitor's microphone, received on their WebRTC connection: the avatar
says what the visitor says, with the visitor's voice, as it arrives.

The page sends its microphone on the audio transceiver that brings it the
avatar's voice (switching it on or off needs no new connection); aiortc
decodes it. Every 32 ms of it goes through the voice-activity detector, the
Silero VAD network run by the engine (vever.Vad). Speech starts an
utterance, together with the moment just before it, so that a word's first
sound is not cut; everything after it, short pauses between words included,
is pushed as it arrives; a pause longer than --mic-pause-ms ends the
utterance. The avatar's voice of that speech is not sent back to the visitor
unless they ask for it: hearing yourself half a second late is disruptive.

POST /microphone {"session", "on": true|false[, "hear": true|false]} turns
it on or off; the page calls it when the visitor switches modes.
"""

import asyncio
import collections
import logging
import os

import av
import numpy as np
from aiortc.mediastreams import MediaStreamError

import vever

PAUSE_MS = 600          # a pause this long ends the utterance; shorter ones are words apart
SPEECH_CHANCE = 0.5     # a chunk at least this likely speech starts an utterance
QUIET_CHANCE = 0.35     # a chunk below this counts toward the pause (apart from the
                        # start's threshold, so a voice near it does not flicker)
PRE_ROLL_CHUNKS = 6     # 192 ms before the detector's first speech chunk
CHUNK = vever.VAD_CHUNK
CHUNK_MS = CHUNK / 16.0

log = logging.getLogger("vever.serve")


def find_vad_model(path=None):
    """The voice-activity model to use: path when given (it must exist),
    else the one setup installs; None when there is none."""
    if path is not None:
        if not os.path.isfile(path):
            raise ValueError("--vad-model %s is not a file" % path)
        return path
    return vever.default_vad_model()


class Microphone:
    """One visitor's microphone: on or off, the detector's state, and the
    utterance it is pushing."""

    def __init__(self, live, model, pause_ms, queued_samples):
        self.live = live
        self.model = model
        self.pause_chunks = max(1, round(pause_ms / CHUNK_MS))
        self.queued_samples = queued_samples
        self.on = False
        self.hear = False        # the visitor hears the avatar say their own speech
        self.vad = None          # opened the first time the microphone is turned on
        self.task = None
        self.pending = np.empty(0, np.int16)
        self.before = collections.deque(maxlen=PRE_ROLL_CHUNKS)
        self.speaking = False
        self.quiet = 0           # chunks below QUIET_CHANCE since the last speech
        self.utterances = 0
        self.dropped_ms = 0.0    # speech past the queue's limit, not said

    def receive(self, track):
        """Starts taking the visitor's audio track, whether on or off: what
        aiortc decodes waits in an unbounded queue until it is read."""
        self.task = asyncio.ensure_future(self.consume(track))

    def switch(self, on, hear):
        if on and self.vad is None:
            self.vad = vever.Vad(self.model)  # raises vever.Error naming the file
        if not on and self.on:
            # Turned off mid-sentence: what was said is spoken; the next
            # turn-on starts a new stream for the detector.
            self.end()
            self.vad.reset()
            self.before.clear()
            self.pending = self.pending[:0]
        self.on, self.hear = on, hear

    async def consume(self, track):
        resampler = av.AudioResampler(format="s16", layout="mono", rate=16000)
        while True:
            try:
                frame = await track.recv()
            except MediaStreamError:
                return
            if not self.on or self.live.closed:
                continue
            try:
                for out in resampler.resample(frame):
                    self.feed(out.to_ndarray().reshape(-1))
            except Exception:
                # The track is still read to its end: unread frames would pile up.
                log.exception("session %s: the microphone failed and is off", self.live.id)
                self.switch(False, self.hear)

    def feed(self, pcm):
        pcm = np.concatenate([self.pending, pcm]) if self.pending.size else pcm
        whole = pcm.size - pcm.size % CHUNK
        for at in range(0, whole, CHUNK):
            self.step(pcm[at:at + CHUNK])
        self.pending = pcm[whole:].copy()

    def step(self, chunk):
        chance = self.vad.chance(chunk)
        if not self.speaking:
            self.before.append(chunk)
            if chance >= SPEECH_CHANCE and self.may_start():
                self.speaking = True
                self.quiet = 0
                self.utterances += 1
                self.push(np.concatenate(self.before))
                self.before.clear()
            return
        self.push(chunk)
        self.quiet = self.quiet + 1 if chance < QUIET_CHANCE else 0
        if self.quiet >= self.pause_chunks:
            self.end()

    def may_start(self):
        """Not over other speech: a /speak being prepared or an utterance of
        /speak or /stream still being said (the page pauses the microphone
        while it speaks; a visitor who does not is not mixed in)."""
        live = self.live
        if live.preparing:
            return False
        busy = live.session.held_audio() > 0 or live.session.stats().state != vever.STATE_IDLE
        return not busy or live.last_source == "microphone"

    def push(self, pcm):
        session = self.live.session
        if session.held_audio() + pcm.size > self.queued_samples:
            self.dropped_ms += pcm.size / 16.0
            return
        try:
            self.live.push(pcm, "microphone", own_voice=not self.hear)
        except vever.Error as e:
            self.dropped_ms += pcm.size / 16.0
            log.info("session %s: microphone audio dropped: %s", self.live.id, e)

    def end(self):
        if self.speaking:
            self.speaking = False
            self.live.session.end_utterance()

    def close(self):
        if self.task is not None:
            self.task.cancel()
        if self.vad is not None:
            self.vad.close()
            self.vad = None
