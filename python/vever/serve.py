"""The avatar live in a web page: one utterance session per visitor, its
frames and its voice sent to the browser over WebRTC.

    python3 -m vever.serve BUNDLE MOTION_DIR [--port 8080] [--host 127.0.0.1]
                           [--max-sessions N] [--threads N] [--token-secret S]
                           [--max-text-chars N] [--max-audio-seconds S]
                           [--max-queued-seconds S] [--max-body-mib M]
                           [--worker-name NAME] [--drain-seconds S]
                           [--ice-server URL ...] [--connect-seconds S]
                           [--idle-cache-mib M]

HTTP interface (JSON in and out):
    POST /offer      {"sdp", "type": "offer"[, "token"]}  -> {"sdp", "type": "answer", "session"}
                     503 {"error"} when every session slot is taken
    POST /speak      {"session", "text"} or {"session", "wav_base64"} -> 200 once queued
    POST /interrupt  {"session"}
    POST /bye        {"session"}   (the page sends it when it closes)
    GET  /stats?session=ID  -> the session's statistics, frames_sent, audio_ms_sent
    GET  /  the page;  GET /healthz  -> 200
    GET  /capacity   {"worker", "slots", "live", "free", "draining"}
    GET  /metrics    Prometheus' text format
    GET  /ice        {"iceServers"}: the STUN servers of --ice-server, for the page
With --worker-name W, session ids are "W.<hex>": HAProxy routes every request
after /offer to the worker that holds its session (vever.balance).
SIGTERM drains: no new sessions (/offer 503), the live ones go on for up to
--drain-seconds, then the server closes them and exits 0. SIGINT stops now.
Every refusal is a 4xx with {"error"} naming what was refused and the limit.

The voice is sent in step with the frames: each frame the video track takes
from the session brings its own 40 ms of audio (the speech of that speech
frame, silence otherwise) into the audio track's queue, so lips and voice
cannot drift apart by more than a frame.
"""

import argparse
import asyncio
import base64
import binascii
import collections
import ctypes
import fractions
import gc
import hashlib
import hmac
import json
import logging
import os
import re
import socket
import sys
import time
import uuid

import av
import av.logging
import numpy as np
from aiohttp import web
from aiortc import MediaStreamTrack, RTCPeerConnection, RTCSessionDescription
from aiortc.mediastreams import MediaStreamError

import vever
from vever import fleet, opus, vp8
from vever.speech import (MAX_AUDIO_SECONDS, MAX_TEXT_CHARS, BadRequest, Refused,
                          body_limit_for, check_text, decode_speech, speak_text)

FPS = 25
FRAME_SAMPLES = 640       # 40 ms of 16 kHz audio: one video frame
AUDIO_CHUNK = 320         # 20 ms audio frames, as WebRTC sends them
VIDEO_CLOCK = 90000
AUDIO_BACKLOG = FRAME_SAMPLES + AUDIO_CHUNK  # at most 60 ms of voice waits behind its frame
SILENCE = np.zeros(FRAME_SAMPLES, np.int16)  # shared by every silent frame: never written
SILENCE.flags.writeable = False
# The idle loop's pictures in the encoder's format, shared by all visitors:
# 0.4 MiB a 512x512 picture, 3 MiB at 1920x1080.
IDLE_CACHE_MIB = 256.0
WEB_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "web")

# Limits for a page that faces the internet; every one is a flag of main().
MAX_QUEUED_SECONDS = 60.0   # speech a visitor may have waiting to be spoken
CONTROL_BODY_LIMIT = 64 * 1024  # offers, interrupts, byes: an offer's SDP is a few KiB
CONNECT_SECONDS = 30.0      # from the answer to a connected peer; ICE alone may take seconds
TOKEN_ENV = "VEVER_TOKEN_SECRET"

log = logging.getLogger("vever.serve")

# glibc's heap: a thread that allocates gets an arena of its own, up to 8 per
# core, and each visitor's engine threads are new threads. What a departed
# visitor freed stayed scattered over those arenas and was never reused whole,
# so the server's resident memory grew with every visitor. Two arenas, and the
# free pages handed back when a visitor leaves, keep it flat.
M_ARENA_MAX = -8  # mallopt's parameter number (malloc.h)
HEAP_ARENAS = 2
try:
    _libc = ctypes.CDLL(None)  # the C library this process already runs on
except OSError:
    _libc = None


def limit_heap_arenas():
    """Caps glibc's arenas, unless the operator chose with MALLOC_ARENA_MAX.
    Called early: the arenas made before it stay."""
    mallopt = getattr(_libc, "mallopt", None)
    if mallopt is not None and not os.environ.get("MALLOC_ARENA_MAX"):
        mallopt(M_ARENA_MAX, HEAP_ARENAS)


def give_back_memory():
    """Hands the heap's free pages back to the system (glibc keeps them
    otherwise). The collection first: a departed visitor's peer connection
    is held in reference cycles (its own event handlers) until one runs."""
    gc.collect()
    trim = getattr(_libc, "malloc_trim", None)
    if trim is not None:
        trim(0)


def mint_token(secret, seconds=300, now=None):
    """A token that lets its bearer open one session within `seconds`:
    "<expiry in Unix seconds>.<HMAC-SHA256 of "vever-offer:<expiry>">"."""
    expiry = str(int((time.time() if now is None else now) + seconds))
    mac = hmac.new(secret.encode(), b"vever-offer:" + expiry.encode(), hashlib.sha256)
    return expiry + "." + mac.hexdigest()


def check_token(secret, token, now=None):
    """None when token is one of mint_token's and not expired, else why not."""
    if not isinstance(token, str) or not token:
        return "a token is required to open a session"
    expiry, _, mac = token.partition(".")
    if not expiry.isdigit() or len(expiry) > 12:
        return "the token is malformed"
    good = hmac.new(secret.encode(), b"vever-offer:" + expiry.encode(), hashlib.sha256)
    if not hmac.compare_digest(good.hexdigest(), mac):
        return "the token's signature is wrong"
    if int(expiry) < (time.time() if now is None else now):
        return "the token has expired"
    return None


def page_policy(html):
    """The page's Content-Security-Policy: its own inline script and style
    (by hash) and requests to its own origin, nothing else."""
    def hashes(tag):
        return " ".join("'sha256-%s'" % base64.b64encode(hashlib.sha256(m.encode()).digest())
                        .decode() for m in re.findall(r"<%s>(.*?)</%s>" % (tag, tag), html, re.S))
    return ("default-src 'none'; script-src %s; style-src %s; connect-src 'self'; "
            "img-src 'self' data:; media-src 'self' blob: mediastream:; base-uri 'none'; "
            "form-action 'none'" % (hashes("script"), hashes("style")))


class Voices:
    """The audio of the utterances a visitor asked for, by where it sits in
    all the audio pushed to the visitor's session: a speech frame names the
    first of its 640 samples there. An utterance that never shows (its motion
    failed, or an interrupt dropped it) keeps its place, so the ones after it
    keep their own voices."""

    def __init__(self):
        self.pieces = collections.deque()  # (first sample, samples), in the order pushed
        self.pushed = 0                    # samples pushed so far

    def add(self, samples):
        self.pieces.append((self.pushed, samples))
        self.pushed += samples.size

    def clear(self):
        self.pieces.clear()  # the count goes on: dropped audio keeps its place

    def voice(self, kind, at):
        """The 40 ms of audio under a frame of this kind whose voice starts at
        sample at (-1 for none)."""
        if kind != vever.SPEECH or at < 0:
            return SILENCE
        # Frames come in order: utterances that end before this one are over.
        while self.pieces and self.pieces[0][0] + self.pieces[0][1].size <= at:
            self.pieces.popleft()
        out = np.zeros(FRAME_SAMPLES, np.int16)
        if self.pieces and self.pieces[0][0] <= at:
            start, samples = self.pieces[0]
            piece = samples[at - start:at - start + FRAME_SAMPLES]  # not past its utterance
            out[:piece.size] = piece
        return out


class Live:
    """One visitor: a context and a session of its own, and the audio of the
    utterances it was asked to speak, in the order it was asked."""

    def __init__(self, bundle, motion, threads, idle):
        self.id = uuid.uuid4().hex
        self.idle = idle          # the server's idle pictures, shared by every visitor
        self.ctx = vever.Context(bundle, threads=threads)
        try:
            self.session = vever.Session(self.ctx, motion, threads=threads, end_silence_s=-1)
            self.session.wait_ready()
        except Exception:
            self.ctx.close()
            raise
        self.voices = Voices()
        self.audio = collections.deque()   # int16 pieces for the audio track
        self.audio_samples = 0
        self.frames_sent = 0
        self.audio_ms_sent = 0.0
        self.underruns = 0
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
        self.pc = None
        self.closed = False
        self.ending = None      # the task closing this visitor's connection and session
        self.deadline = None    # the task that lets go a peer who never connects
        self.preparing = False  # a /speak of this visitor is being decoded or synthesised

    def speak(self, samples):
        self.session.push(samples)  # raises, appending nothing, beyond the engine's bound
        self.voices.add(samples)
        self.session.end_utterance()

    def interrupt(self):
        self.session.interrupt()
        self.voices.clear()

    def image_of(self, frame):
        """An H x W x 3 array over the frame's picture, for the engine to fill;
        a copy where the frame pads its rows."""
        h, w = self.ctx.height, self.ctx.width
        plane = frame.planes[0]
        if plane.line_size == w * 3:
            return np.frombuffer(plane, np.uint8, w * h * 3).reshape(h, w, 3)
        return np.empty((h, w, 3), np.uint8)

    def next_frame(self):
        """The video frame to show now; queues its 40 ms of audio."""
        spare = 1 - self.shown
        ahead = self.session.peek()
        if ahead is not None and ahead.kind == vever.IDLE and self.idle.holds(ahead.index):
            f = self.session.pull(pixels=False)  # the held picture is what gets sent
        else:
            f = self.session.pull(self.images[spare])
        if f is None:
            if self.session.stats().state == vever.STATE_SPEAKING:
                self.underruns += 1
            # Nothing new: the last frame stays up, and the voice pauses with it.
            voice = SILENCE
        else:
            frame = self.frames[spare]
            if f.image is not None and self.images[spare].base is None:
                # padded rows: the picture went to a copy
                frame = av.VideoFrame.from_ndarray(self.images[spare], format="rgb24")
                self.frames[spare] = frame
            if f.kind == vever.IDLE:
                frame = self.idle.picture(f.index, frame, self.yuv[spare])
            self.shown = spare
            self.showing = frame
            voice = self.voices.voice(f.kind, f.audio_at)
        self.audio.append(voice)
        self.audio_samples += voice.size
        # A late audio track must not fall behind the picture.
        while self.audio_samples > AUDIO_BACKLOG:
            self.audio_samples -= self.audio.popleft().size
        self.frames_sent += 1
        return self.showing

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
        self.session.close()
        self.ctx.close()


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


class Server:
    def __init__(self, bundle, motion, max_sessions, threads, token_secret=None,
                 max_text_chars=MAX_TEXT_CHARS, max_audio_seconds=MAX_AUDIO_SECONDS,
                 max_queued_seconds=MAX_QUEUED_SECONDS, max_body=None, worker=None,
                 ice=None, connect_seconds=CONNECT_SECONDS, idle_cache_mib=IDLE_CACHE_MIB):
        self.bundle, self.motion = bundle, motion
        self.max_sessions, self.threads = max_sessions, threads
        self.token_secret = token_secret or None
        self.max_text_chars = max_text_chars
        self.max_audio_seconds = max_audio_seconds
        # The engine refuses more than its own bound; the visitor hears it first from us.
        self.max_queued_seconds = min(max_queued_seconds, vever.MAX_HELD_SAMPLES / 16000)
        self.max_body = max_body or body_limit_for(max_audio_seconds)
        self.connect_seconds = connect_seconds
        with open(os.path.join(WEB_DIR, "index.html"), encoding="utf-8") as f:
            self.page = f.read()
        self.policy = page_policy(self.page)
        self.lives = {}
        self.opening = 0
        self.worker = worker     # prefixes session ids, for the balancer to route by
        self.ice = ice           # RTCConfiguration of the peer connections, or None
        self.draining = False    # SIGTERM came: no new sessions
        self.metrics = fleet.Metrics(self, worker or socket.gethostname())
        self.idle = vp8.IdlePictures(int(idle_cache_mib * 1024 * 1024))
        vp8.install()
        opus.install()

    # ---- helpers
    @staticmethod
    def error(status, message):
        return web.json_response({"error": message}, status=status)

    async def body(self, request, limit):
        """The request's JSON object, read up to limit bytes."""
        too_big = Refused(413, "the request body is larger than the limit of %d bytes" % limit)
        if request.content_length is not None and request.content_length > limit:
            raise too_big
        data = bytearray()
        while True:
            chunk = await request.content.readany()
            if not chunk:
                break
            data += chunk
            if len(data) > limit:
                raise too_big
        try:
            doc = json.loads(data)
        except (ValueError, RecursionError):  # RecursionError: nesting deeper than the parser goes
            raise BadRequest("the body is not JSON")
        if not isinstance(doc, dict):
            raise BadRequest("the body is not a JSON object")
        return doc

    def full(self):
        return len(self.lives) + self.opening >= self.max_sessions

    def all_taken(self):
        return self.error(503, "all %d live sessions are taken; try again when someone "
                               "leaves" % self.max_sessions)

    def live_of(self, sid):
        if sid is None:
            raise BadRequest("\"session\" is missing")
        if not isinstance(sid, str):
            raise BadRequest("\"session\" must be a string")
        live = self.lives.get(sid)
        if live is None:
            raise LookupError("unknown session %r" % (sid[:64],))
        return live

    def authorize(self, doc, request):
        if self.token_secret is None:
            return
        token = doc.get("token")
        auth = request.headers.get("Authorization", "")
        if token is None and auth.startswith("Bearer "):
            token = auth[len("Bearer "):].strip()
        why = check_token(self.token_secret, token)
        if why is not None:
            raise Refused(401, why)

    async def close_live(self, live):
        if self.lives.get(live.id) is live:
            self.metrics.end(live)
            del self.lives[live.id]
        # /bye, the connection's end and shutdown may all come for one visitor:
        # each waits for the one ending, which gives the memory back last.
        if live.ending is None:
            live.ending = asyncio.ensure_future(self.end_live(live))
        await asyncio.shield(live.ending)

    @staticmethod
    async def end_live(live):
        if live.deadline is not None:
            live.deadline.cancel()
        if live.pc is not None:
            await live.pc.close()
        loop = asyncio.get_running_loop()
        await loop.run_in_executor(None, live.close)
        live.pc = None  # the connection's objects go with this visitor, not with the next
        await loop.run_in_executor(None, give_back_memory)

    async def connect_or_leave(self, live):
        # An offer whose peer never connects (no candidates, or it went away
        # before ICE finished) would hold its slot and its session for good.
        await asyncio.sleep(self.connect_seconds)
        if live.pc is not None and live.pc.connectionState != "connected":
            log.info("session %s closed: its peer did not connect within %g s",
                     live.id, self.connect_seconds)
            await self.close_live(live)

    # ---- handlers
    async def index(self, request):
        return web.Response(text=self.page, content_type="text/html",
                            headers={"Content-Security-Policy": self.policy})

    async def healthz(self, request):
        return web.json_response({"ok": True, "sessions": len(self.lives)})

    async def offer(self, request):
        doc = await self.body(request, CONTROL_BODY_LIMIT)
        self.authorize(doc, request)
        if doc.get("type") != "offer" or not isinstance(doc.get("sdp"), str):
            raise BadRequest("an offer needs \"sdp\" and \"type\": \"offer\"")
        if self.draining:
            return self.error(503, "this worker is shutting down and takes no new sessions")
        if self.full():
            return self.all_taken()
        pc = RTCPeerConnection(self.ice)
        try:
            await pc.setRemoteDescription(RTCSessionDescription(sdp=doc["sdp"], type="offer"))
            kinds = sorted(t.kind for t in pc.getTransceivers())
            if kinds != ["audio", "video"]:
                raise BadRequest("the offer must receive one video and one audio track, not %s"
                                 % (", ".join(kinds) or "none"))
        except BadRequest:
            await pc.close()
            raise
        except Exception as e:  # a malformed SDP fails in aiortc's parser
            await pc.close()
            raise BadRequest("the offer was refused: %s" % e)
        if self.full():  # taken while we parsed
            await pc.close()
            return self.all_taken()
        self.opening += 1
        loop = asyncio.get_running_loop()
        try:
            live = await loop.run_in_executor(None, Live, self.bundle, self.motion, self.threads,
                                              self.idle)
        except vever.Error as e:
            await pc.close()
            return self.error(500, "cannot open a session: %s" % e)
        finally:
            self.opening -= 1
        # The slot stays taken while the answer gathers its candidates: a
        # TURN allocation takes a round trip or more.
        self.opening += 1
        try:
            # The offer made one receive-only transceiver per kind; the tracks take them.
            pc.addTrack(FrameTrack(live))
            pc.addTrack(VoiceTrack(live))
            await asyncio.wait_for(pc.setLocalDescription(await pc.createAnswer()),
                                   fleet.GATHER_SECONDS)
        except asyncio.TimeoutError:
            # An unreachable STUN or TURN server would hold the visitor for minutes.
            await pc.close()
            await loop.run_in_executor(None, live.close)
            return self.error(504, "the server could not gather its network addresses "
                                   "within %g s" % fleet.GATHER_SECONDS)
        except Exception as e:  # an offer aiortc parsed but cannot answer
            await pc.close()
            await loop.run_in_executor(None, live.close)
            raise BadRequest("the offer was refused: %s" % e)
        finally:
            self.opening -= 1
        live.id = fleet.session_id(self.worker, live.id)
        self.lives[live.id] = live
        live.pc = pc

        @pc.on("connectionstatechange")
        async def on_state():
            if pc.connectionState in ("failed", "closed"):
                await self.close_live(live)

        live.deadline = asyncio.ensure_future(self.connect_or_leave(live))
        log.info("session %s opened (%d live)", live.id, len(self.lives))
        return web.json_response({"sdp": pc.localDescription.sdp,
                                  "type": pc.localDescription.type, "session": live.id})

    async def speak(self, request):
        doc = await self.body(request, self.max_body)
        live = self.live_of(doc.get("session"))
        if "text" in doc:
            check_text(doc["text"], self.max_text_chars)
            work = (speak_text, doc["text"], self.max_text_chars, self.max_audio_seconds)
        elif "wav_base64" in doc:
            try:
                data = base64.b64decode(doc["wav_base64"], validate=True)
            except (binascii.Error, TypeError, ValueError):
                raise BadRequest("\"wav_base64\" is not base64")
            work = (decode_speech, data, self.max_audio_seconds)
        else:
            raise BadRequest("say what to speak: \"text\" or \"wav_base64\"")
        # One request at a time per visitor: synthesis and decoding cost CPU.
        if live.preparing:
            raise Refused(429, "this session's previous speak request is still being prepared")
        live.preparing = True
        try:
            samples = await asyncio.get_running_loop().run_in_executor(None, *work)
        finally:
            live.preparing = False
        if live.closed:
            raise LookupError("unknown session %r" % (live.id,))
        held = live.session.held_audio()
        limit = int(self.max_queued_seconds * 16000)
        if held + samples.size > limit:
            raise Refused(429, "%.1f s of speech is queued for this session and this request "
                               "adds %.1f s; the limit is %g s: speak again once some of it "
                               "has been said" % (held / 16000, samples.size / 16000,
                                                  self.max_queued_seconds))
        try:
            live.speak(samples)
        except vever.Error as e:
            raise Refused(429, str(e))
        return web.json_response({"queued_ms": samples.size / 16.0})

    async def interrupt(self, request):
        doc = await self.body(request, CONTROL_BODY_LIMIT)
        self.live_of(doc.get("session")).interrupt()
        return web.json_response({"ok": True})

    async def bye(self, request):
        doc = await self.body(request, CONTROL_BODY_LIMIT)
        await self.close_live(self.live_of(doc.get("session")))
        return web.json_response({"ok": True})

    async def stats(self, request):
        live = self.live_of(request.query.get("session"))
        st = live.session.stats()
        failed = live.session.render_status()
        return web.json_response({
            "frames_out": st.frames_out, "speech_frames_out": st.speech_frames_out,
            "utterances_started": st.utterances_started, "first_frame_ms": st.first_frame_ms,
            "frame_cost_ms": st.frame_cost_ms, "state": st.state,
            "frames_sent": live.frames_sent, "audio_ms_sent": live.audio_ms_sent,
            "underruns": live.underruns,
            # The engine's latest failure: the session goes on, the visitor sees why
            "failures": failed.failures, "failure": failed.message, "frames_lost": failed.fatal})

    @web.middleware
    async def errors(self, request, handler):
        try:
            return await handler(request)
        except Refused as e:
            return self.error(e.status, str(e))
        except LookupError as e:
            return self.error(404, str(e))
        except web.HTTPException as e:
            if e.status < 400:
                raise
            # aiohttp's own refusals (no such path, wrong method) in JSON as well
            return self.error(e.status, e.reason)
        except Exception as e:  # one bad request must never take the server down
            log.exception("request %s failed", request.path)
            return self.error(500, "%s: %s" % (type(e).__name__, e))

    @staticmethod
    async def headers(request, response):
        response.headers.setdefault("X-Content-Type-Options", "nosniff")
        response.headers.setdefault("Referrer-Policy", "no-referrer")
        response.headers.setdefault("Cache-Control", "no-store")

    async def shutdown(self, app):
        for live in list(self.lives.values()):
            await self.close_live(live)

    def app(self):
        # Bodies are read by Server.body with each route's own limit.
        app = web.Application(middlewares=[self.errors], client_max_size=self.max_body)
        app.add_routes([web.get("/", self.index), web.get("/healthz", self.healthz),
                        web.post("/offer", self.offer), web.post("/speak", self.speak),
                        web.post("/interrupt", self.interrupt), web.post("/bye", self.bye),
                        web.get("/stats", self.stats)])
        fleet.add_routes(app, self)
        app.on_response_prepare.append(self.headers)
        app.on_shutdown.append(self.shutdown)
        return app


def is_loopback(host):
    return host in ("localhost", "::1") or host.startswith("127.")


def main(argv=None):
    ap = argparse.ArgumentParser(prog="python3 -m vever.serve",
                                 description="Serve a live talking avatar over WebRTC.")
    ap.add_argument("bundle")
    ap.add_argument("motion_dir")
    ap.add_argument("--port", type=int, default=8080)
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--max-sessions", type=int, default=1,
                    help="live sessions at once (default 1: what 2 cores hold at 25 fps "
                         "with the demo avatar; see the README)")
    ap.add_argument("--threads", type=int, default=1, help="engine threads per session")
    ap.add_argument("--token-secret", default=os.environ.get(TOKEN_ENV),
                    help="require a token signed with this secret to open a session "
                         "(default: $%s; off when unset)" % TOKEN_ENV)
    ap.add_argument("--max-text-chars", type=int, default=MAX_TEXT_CHARS,
                    help="characters of one typed text (default %(default)s)")
    ap.add_argument("--max-audio-seconds", type=float, default=MAX_AUDIO_SECONDS,
                    help="seconds of speech in one request (default %(default)s)")
    ap.add_argument("--max-queued-seconds", type=float, default=MAX_QUEUED_SECONDS,
                    help="seconds of speech one visitor may have waiting (default "
                         "%(default)s, at most the engine's 300)")
    ap.add_argument("--max-body-mib", type=float, default=None,
                    help="bytes of a /speak body in MiB (default: what a WAV of "
                         "--max-audio-seconds at 48 kHz stereo takes in base64)")
    ap.add_argument("--worker-name", default=None,
                    help="this worker's name behind a balancer: it starts every session id "
                         "and labels the metrics (default: none, ids without a prefix)")
    ap.add_argument("--drain-seconds", type=float, default=60.0,
                    help="on SIGTERM, how long live sessions may go on before they are "
                         "closed (default %(default)s)")
    ap.add_argument("--ice-server", action="append", default=None, metavar="URL",
                    help="STUN or TURN server for the peer connections, repeatable: "
                         "stun:HOST[:PORT] or turn:USER:PASSWORD@HOST[:PORT][?transport=tcp] "
                         "(default: $%s, space-separated)" % fleet.ICE_ENV)
    ap.add_argument("--connect-seconds", type=float, default=CONNECT_SECONDS,
                    help="seconds a visitor's connection may take to come up before "
                         "the session is closed (default %(default)s)")
    ap.add_argument("--idle-cache-mib", type=float, default=IDLE_CACHE_MIB,
                    help="memory for the idle loop's pictures converted once for every "
                         "visitor; 0 converts them per visitor (default %(default)s)")
    args = ap.parse_args(argv)
    limit_heap_arenas()  # before the engine's and asyncio's threads start
    logging.basicConfig(level=logging.INFO, format="[vever.serve] %(message)s")
    for noisy in ("aioice", "aiortc", "aiohttp.access"):
        logging.getLogger(noisy).setLevel(logging.WARNING)
    av.logging.set_level(av.logging.ERROR)
    # The engine's lines keep their own "[le-driver] ..." form.
    engine_log = logging.getLogger("vever.engine")
    engine_handler = logging.StreamHandler()
    engine_handler.setFormatter(logging.Formatter("%(message)s"))
    engine_log.addHandler(engine_handler)
    engine_log.propagate = False
    vever.log_to(engine_log)
    for path in (args.bundle, args.motion_dir):
        if not os.path.exists(path):
            ap.error("%s does not exist" % path)
    for name in ("max_text_chars", "max_audio_seconds", "max_queued_seconds",
                 "connect_seconds"):
        if getattr(args, name) <= 0:
            ap.error("--%s must be positive" % name.replace("_", "-"))
    if args.max_body_mib is not None and args.max_body_mib <= 0:
        ap.error("--max-body-mib must be positive")
    if args.worker_name is not None and fleet.check_name(args.worker_name):
        ap.error(fleet.check_name(args.worker_name))
    if args.drain_seconds < 0:
        ap.error("--drain-seconds must not be negative")
    if args.idle_cache_mib < 0:
        ap.error("--idle-cache-mib must not be negative")
    try:
        ice = fleet.ice_configuration(args.ice_server if args.ice_server is not None
                                      else os.environ.get(fleet.ICE_ENV, "").split())
    except ValueError as e:
        ap.error(str(e))
    if not args.token_secret and not is_loopback(args.host):
        log.warning("serving on %s without --token-secret: anyone who reaches the port can "
                    "open sessions", args.host)
    max_body = int(args.max_body_mib * 1024 * 1024) if args.max_body_mib else None
    server = Server(args.bundle, args.motion_dir, max(1, args.max_sessions), args.threads,
                    token_secret=args.token_secret, max_text_chars=args.max_text_chars,
                    max_audio_seconds=args.max_audio_seconds,
                    max_queued_seconds=args.max_queued_seconds, max_body=max_body,
                    worker=args.worker_name, ice=ice,
                    connect_seconds=args.connect_seconds, idle_cache_mib=args.idle_cache_mib)
    print("[vever.serve] open http://%s:%d/ in a browser" % (args.host, args.port), flush=True)
    fleet.serve(server.app(), server, args.host, args.port, args.drain_seconds)
    return 0


if __name__ == "__main__":
    sys.exit(main())
