"""The live server's HTTP routes for visitors (Server), and the registry of
the visitors it holds, with the small surface the worker side reads.

HTTP interface (JSON in and out):
    POST /offer      {"sdp", "type": "offer"[, "token"]}  -> {"sdp", "type": "answer", "session"}
                     503 {"error"} when every session slot is taken
    POST /speak      {"session", "text"} or {"session", "wav_base64"} -> 200 once queued
                     (a text is pushed as espeak-ng makes it)
    GET  /stream?session=ID  a WebSocket: PCM in as it is made, the session's
                     events out (vever.live.stream)
    POST /microphone {"session", "on"[, "hear"]}  the visitor's microphone, sent on
                     the connection, spoken by the avatar (vever.live.microphone)
    POST /interrupt  {"session"}
    POST /bye        {"session"}   (the page sends it when it closes)
    POST /avatar?session=ID[&face=N]  a JPEG or PNG as the body -> {"width", "height"}
                     once the visitor's session shows the avatar built from it
                     (vever.live.photo)
    GET  /stats?session=ID  -> the session's statistics, frames_sent, audio_ms_sent
    GET  /  the page;  GET /healthz  -> 200
The worker side (vever.live.worker) adds /capacity, /metrics and /ice.
Every refusal is a 4xx with {"error"} naming what was refused and the limit.
"""

import asyncio
import base64
import binascii
import contextlib
import json
import logging
import os
import shutil

from aiohttp import web
from aiortc import RTCPeerConnection, RTCSessionDescription

import vever
from vever.avatar import tool_path

from . import opus, vp8
from .idleloop import LOOP_MIB, IdleLoop
from .memory import give_back_memory
from .microphone import PAUSE_MS, Microphone
from .photo import AVATAR_SECONDS, MAX_PHOTO_MIB, Photos, face_number
from .security import check_token, page_policy
from .speech import (MAX_AUDIO_SECONDS, MAX_TEXT_CHARS, BadRequest, Refused, body_limit_for,
                     check_text, decode_speech, read_body, synthesise)
from .stream import MAX_MESSAGE_BYTES, Streams
from .tracks import FrameTrack, VoiceTrack
from .visitor import Live, close_engine, open_engine
from .worker import GATHER_SECONDS, session_id

# The idle loop's pictures in the encoder's format, shared by all visitors:
# 0.4 MiB a 512x512 picture, 3 MiB at 1920x1080.
IDLE_CACHE_MIB = 256.0
# The page and its assets sit in the package, beside this subpackage.
WEB_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "web")

# Limits for a page that faces the internet; every one is a flag of the command line.
MAX_QUEUED_SECONDS = 60.0   # speech a visitor may have waiting to be spoken
CONTROL_BODY_LIMIT = 64 * 1024  # offers, interrupts, byes: an offer's SDP is a few KiB
CONNECT_SECONDS = 30.0      # from the answer to a connected peer; ICE alone may take seconds

log = logging.getLogger("vever.serve")


class Server:
    """The visitors of one server process: their sessions, opened by /offer
    within the slots, and the routes they use."""

    def __init__(self, bundle, motion, max_sessions, threads, token_secret=None,
                 max_text_chars=MAX_TEXT_CHARS, max_audio_seconds=MAX_AUDIO_SECONDS,
                 max_queued_seconds=MAX_QUEUED_SECONDS, max_body=None, worker=None,
                 ice=None, connect_seconds=CONNECT_SECONDS, idle_cache_mib=IDLE_CACHE_MIB,
                 max_stream_message=MAX_MESSAGE_BYTES, vad_model=None, mic_pause_ms=PAUSE_MS,
                 idle_loop_mib=LOOP_MIB, max_photo_mib=MAX_PHOTO_MIB,
                 avatar_seconds=AVATAR_SECONDS, avatar_dir=None):
        self._bundle, self._motion = bundle, motion
        self._max_sessions, self._threads = max_sessions, threads
        self._token_secret = token_secret or None
        self._max_text_chars = max_text_chars
        self._max_audio_seconds = max_audio_seconds
        # The engine refuses more than its own bound; the visitor hears it first from us.
        self._max_queued_seconds = min(max_queued_seconds, vever.MAX_HELD_SAMPLES / 16000)
        self._max_body = max_body or body_limit_for(max_audio_seconds)
        self._connect_seconds = connect_seconds
        with open(os.path.join(WEB_DIR, "index.html"), encoding="utf-8") as f:
            self._page = f.read()
        self._policy = page_policy(self._page)
        self._lives = {}
        self._opening = 0
        self._worker = worker     # prefixes session ids, for the balancer to route by
        self._ice = ice           # RTCConfiguration of the peer connections, or None
        self._draining = False    # SIGTERM came: no new sessions
        self._leaving = []        # called with each visitor that leaves
        self._idle = vp8.IdlePictures(int(idle_cache_mib * 1024 * 1024))
        # The idle loop in VP8, encoded once for every visitor; None: each encodes its own.
        self._loop = IdleLoop(int(idle_loop_mib * 1024 * 1024)) if idle_loop_mib > 0 else None
        self._streams = Streams(self, max_stream_message)
        self._vad_model = vad_model   # None: no microphone mode
        self._mic_pause_ms = mic_pause_ms
        try:
            tool = tool_path()
        except vever.Error as e:
            log.warning("%s: visitors cannot use their own photo", e)
            tool = None
        self._photos = Photos(tool, avatar_dir, int(max_photo_mib * 1024 * 1024),
                              avatar_seconds)
        vp8.install()
        opus.install()

    # ---- what the worker side reads and does
    @property
    def worker_name(self):
        """This worker's name behind a balancer, None for a server alone."""
        return self._worker

    @property
    def ice(self):
        """The peer connections' RTCConfiguration, or None."""
        return self._ice

    @property
    def slots(self):
        """Sessions this server holds at most."""
        return self._max_sessions

    @property
    def live_count(self):
        """Visitors with a session now."""
        return len(self._lives)

    def visitors(self):
        """The visitors with a session now (a list of Live)."""
        return list(self._lives.values())

    def free_slots(self):
        """Sessions a new visitor may still open: none while draining, and
        the slots of sessions being opened are taken."""
        if self._draining:
            return 0
        return max(0, self._max_sessions - len(self._lives) - self._opening)

    @property
    def busy(self):
        """Whether a visitor has a session or one is being opened."""
        return bool(self._lives or self._opening)

    @property
    def draining(self):
        return self._draining

    def drain(self):
        """Takes no new sessions from now on; the live ones go on."""
        self._draining = True

    def on_leave(self, callback):
        """Calls callback(live) for each visitor that leaves, before its
        session closes."""
        self._leaving.append(callback)

    # ---- helpers
    @staticmethod
    def error(status, message):
        return web.json_response({"error": message}, status=status)

    async def body(self, request, limit):
        """The request's JSON object, read up to limit bytes."""
        data = await read_body(request, limit, Refused(
            413, "the request body is larger than the limit of %d bytes" % limit))
        try:
            doc = json.loads(data)
        except (ValueError, RecursionError):  # RecursionError: nesting deeper than the parser goes
            raise BadRequest("the body is not JSON")
        if not isinstance(doc, dict):
            raise BadRequest("the body is not a JSON object")
        return doc

    def full(self):
        return len(self._lives) + self._opening >= self._max_sessions

    def all_taken(self):
        return self.error(503, "all %d live sessions are taken; try again when someone "
                               "leaves" % self._max_sessions)

    def live_of(self, sid):
        if sid is None:
            raise BadRequest("\"session\" is missing")
        if not isinstance(sid, str):
            raise BadRequest("\"session\" must be a string")
        live = self._lives.get(sid)
        if live is None:
            raise LookupError("unknown session %r" % (sid[:64],))
        return live

    def authorize(self, doc, request):
        if self._token_secret is None:
            return
        token = doc.get("token")
        auth = request.headers.get("Authorization", "")
        if token is None and auth.startswith("Bearer "):
            token = auth[len("Bearer "):].strip()
        why = check_token(self._token_secret, token)
        if why is not None:
            raise Refused(401, why)

    async def close_live(self, live):
        if self._lives.get(live.id) is live:
            for callback in self._leaving:
                callback(live)
            del self._lives[live.id]
        # /bye, the connection's end and shutdown may all come for one visitor:
        # each waits for the one ending, which gives the memory back last.
        if live.ending is None:
            live.ending = asyncio.ensure_future(self.end_live(live))
        await asyncio.shield(live.ending)

    async def end_live(self, live):
        if live.deadline is not None:
            live.deadline.cancel()
        if live.build is not None:  # the tool is killed before its directory goes
            live.build.cancel()
            await asyncio.wait([live.build])
        if live.microphone is not None:
            live.microphone.close()
        if live.pc is not None:
            await live.pc.close()
        loop = asyncio.get_running_loop()
        await loop.run_in_executor(None, live.close)
        await loop.run_in_executor(None, self._photos.discard, live)
        live.pc = None  # the connection's objects go with this visitor, not with the next
        await loop.run_in_executor(None, give_back_memory)

    async def connect_or_leave(self, live):
        # An offer whose peer never connects (no candidates, or it went away
        # before ICE finished) would hold its slot and its session for good.
        await asyncio.sleep(self._connect_seconds)
        if live.pc is not None and live.pc.connectionState != "connected":
            log.info("session %s closed: its peer did not connect within %g s",
                     live.id, self._connect_seconds)
            await self.close_live(live)

    # ---- handlers
    async def index(self, request):
        return web.Response(text=self._page, content_type="text/html",
                            headers={"Content-Security-Policy": self._policy})

    async def healthz(self, request):
        return web.json_response({"ok": True, "sessions": len(self._lives)})

    async def offer(self, request):
        doc = await self.body(request, CONTROL_BODY_LIMIT)
        self.authorize(doc, request)
        if doc.get("type") != "offer" or not isinstance(doc.get("sdp"), str):
            raise BadRequest("an offer needs \"sdp\" and \"type\": \"offer\"")
        if self._draining:
            return self.error(503, "this worker is shutting down and takes no new sessions")
        if self.full():
            return self.all_taken()
        pc = RTCPeerConnection(self._ice)
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
        self._opening += 1
        loop = asyncio.get_running_loop()
        try:
            live = await loop.run_in_executor(None, Live, self._bundle, self._motion, self._threads,
                                              self._idle)
        except vever.Error as e:
            await pc.close()
            return self.error(500, "cannot open a session: %s" % e)
        finally:
            self._opening -= 1
        # The slot stays taken while the answer gathers its candidates: a
        # TURN allocation takes a round trip or more.
        self._opening += 1
        try:
            # The offer made one receive-only transceiver per kind; the tracks take them.
            pc.addTrack(FrameTrack(live, self._loop))
            pc.addTrack(VoiceTrack(live))
            await asyncio.wait_for(pc.setLocalDescription(await pc.createAnswer()),
                                   GATHER_SECONDS)
        except asyncio.TimeoutError:
            # An unreachable STUN or TURN server would hold the visitor for minutes.
            await pc.close()
            await loop.run_in_executor(None, live.close)
            return self.error(504, "the server could not gather its network addresses "
                                   "within %g s" % GATHER_SECONDS)
        except Exception as e:  # an offer aiortc parsed but cannot answer
            await pc.close()
            await loop.run_in_executor(None, live.close)
            raise BadRequest("the offer was refused: %s" % e)
        finally:
            self._opening -= 1
        live.id = session_id(self._worker, live.id)
        self._lives[live.id] = live
        live.pc = pc
        # A page that may send its microphone offers to send audio as well:
        # the track is there from the start, silent until the visitor turns it on.
        for t in pc.getTransceivers():
            if t.kind == "audio" and t.receiver.track is not None:
                live.microphone = Microphone(live, self._vad_model, self._mic_pause_ms,
                                             self.queued_samples)
                live.microphone.receive(t.receiver.track)

        @pc.on("connectionstatechange")
        async def on_state():
            if pc.connectionState in ("failed", "closed"):
                await self.close_live(live)

        live.deadline = asyncio.ensure_future(self.connect_or_leave(live))
        log.info("session %s opened (%d live)", live.id, len(self._lives))
        return web.json_response({"sdp": pc.localDescription.sdp,
                                  "type": pc.localDescription.type, "session": live.id})

    async def speak(self, request):
        doc = await self.body(request, self._max_body)
        live = self.live_of(doc.get("session"))
        text = None
        if "text" in doc:
            check_text(doc["text"], self._max_text_chars)
            text = doc["text"]
        elif "wav_base64" in doc:
            try:
                data = base64.b64decode(doc["wav_base64"], validate=True)
            except (binascii.Error, TypeError, ValueError):
                raise BadRequest("\"wav_base64\" is not base64")
        else:
            raise BadRequest("say what to speak: \"text\" or \"wav_base64\"")
        # One request at a time per visitor: synthesis and decoding cost CPU.
        if live.preparing:
            raise Refused(429, "this session's previous speak request is still being prepared")
        live.preparing = True
        try:
            if text is not None:
                return await self.say(live, text)
            samples = await asyncio.get_running_loop().run_in_executor(
                None, decode_speech, data, self._max_audio_seconds)
        finally:
            live.preparing = False
        if live.closed:
            raise LookupError("unknown session %r" % (live.id,))
        held = live.session.held_audio()
        if held + samples.size > self.queued_samples:
            raise self.queue_full(held, samples.size)
        try:
            live.speak(samples)
        except vever.Error as e:
            raise Refused(429, str(e))
        return web.json_response({"queued_ms": samples.size / 16.0})

    @property
    def max_queued_seconds(self):
        """Speech one visitor may have waiting to be spoken."""
        return self._max_queued_seconds

    @property
    def queued_samples(self):
        return int(self._max_queued_seconds * 16000)

    def queue_full(self, held, adds):
        return Refused(429, "%.1f s of speech is queued for this session and this request "
                            "adds %.1f s; the limit is %g s: speak again once some of it "
                            "has been said" % (held / 16000, adds / 16000,
                                               self._max_queued_seconds))

    async def say(self, live, text):
        """Pushes espeak-ng's speech of text into the session as it is made,
        within the queue's and the request's limits; past either, the
        synthesis stops and what was pushed is spoken. An interrupt stops it
        too. Answers once the whole text is queued."""
        most = int(self._max_audio_seconds * 16000)
        interrupts = live.interrupts
        pushed = 0
        refusal = None
        async with contextlib.aclosing(synthesise(text, self._max_text_chars)) as pieces:
            try:
                async for piece in pieces:
                    # Checked before each push: the visitor may leave or
                    # interrupt while espeak-ng speaks.
                    if live.ending is not None or live.interrupts != interrupts:
                        break
                    if pushed + piece.size > most:
                        refusal = Refused(413, "the audio lasts more than %g s; the limit of "
                                               "one request is %g s" % (self._max_audio_seconds,
                                                                        self._max_audio_seconds))
                        break
                    held = live.session.held_audio()
                    if held + piece.size > self.queued_samples:
                        refusal = self.queue_full(held, piece.size)
                        break
                    try:
                        live.push(piece, "speak")
                    except vever.Error as e:
                        refusal = Refused(429, str(e))
                        break
                    pushed += piece.size
            except Refused as e:  # espeak-ng failed part way
                refusal = e
        if live.ending is not None:
            raise LookupError("unknown session %r" % (live.id,))
        interrupted = live.interrupts != interrupts
        if pushed and not interrupted:
            live.session.end_utterance()
        if refusal is not None:
            raise refusal
        if interrupted:
            return web.json_response({"queued_ms": pushed / 16.0, "interrupted": True})
        if not pushed:
            raise BadRequest("the text gives no speech")
        return web.json_response({"queued_ms": pushed / 16.0})

    async def microphone(self, request):
        doc = await self.body(request, CONTROL_BODY_LIMIT)
        live = self.live_of(doc.get("session"))
        on, hear = doc.get("on"), doc.get("hear", False)
        if not isinstance(on, bool) or not isinstance(hear, bool):
            raise BadRequest("\"on\" (and \"hear\", if given) must be true or false")
        if live.microphone is None:
            raise Refused(409, "this session's connection sends no audio: the page offers "
                               "its audio as sendrecv to use the microphone")
        if on and self._vad_model is None:
            raise Refused(503, "this server has no voice-activity model, so it has no "
                               "microphone mode (run scripts/setup, or give --vad-model)")
        try:
            live.microphone.switch(on, hear)
        except vever.Error as e:
            return self.error(500, "cannot open the voice-activity model: %s" % e)
        return web.json_response({"on": on, "hear": hear,
                                  "pause_ms": live.microphone.pause_chunks * 32})

    async def interrupt(self, request):
        doc = await self.body(request, CONTROL_BODY_LIMIT)
        self.live_of(doc.get("session")).interrupt()
        return web.json_response({"ok": True})

    async def bye(self, request):
        doc = await self.body(request, CONTROL_BODY_LIMIT)
        await self.close_live(self.live_of(doc.get("session")))
        return web.json_response({"ok": True})

    async def avatar(self, request):
        """Builds the avatar of the visitor's photograph and puts their
        session on it."""
        live = self.live_of(request.query.get("session"))
        face = face_number(request.query.get("face"))
        data = await self._photos.read(request)
        if live.build is not None:
            raise Refused(429, "this session's avatar is being built already; one at a time")
        live.build = asyncio.ensure_future(self._photos.build(live, data, face))
        try:
            bundle = await live.build
        except asyncio.CancelledError:
            if live.ending is None:  # this request was cancelled, not the visitor's build
                raise
            raise LookupError("unknown session %r" % (live.id,))
        finally:
            live.build = None
        loop = asyncio.get_running_loop()
        try:
            engine = await loop.run_in_executor(None, open_engine, bundle,
                                                os.path.join(bundle, "motion"), self._threads)
        except vever.Error as e:
            await loop.run_in_executor(None, shutil.rmtree, bundle, True)
            return self.error(500, "cannot open the avatar built from the photo: %s" % e)
        if live.ending is not None:  # left while it opened
            await loop.run_in_executor(None, close_engine, engine)
            raise LookupError("unknown session %r" % (live.id,))
        # Converted and encoded once for all, the server's caches hold its own
        # avatar's face: this visitor's face is converted and encoded for them alone.
        old_avatar = live.avatar
        old = live.switch(engine, vp8.IdlePictures(0), bundle)
        log.info("session %s: on the avatar of an uploaded photo", live.id)
        await loop.run_in_executor(None, close_engine, old)
        if old_avatar is not None:
            await loop.run_in_executor(None, shutil.rmtree, old_avatar, True)
        return web.json_response({"width": live.ctx.width, "height": live.ctx.height})

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
            "microphone": None if live.microphone is None else {
                "on": live.microphone.on, "speaking": live.microphone.speaking,
                "utterances": live.microphone.utterances,
                "dropped_ms": live.microphone.dropped_ms},
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
        for live in list(self._lives.values()):
            await self.close_live(live)
        if self._loop is not None:
            self._loop.close()
        self._photos.close()

    def app(self):
        """The visitors' routes; the worker side adds its own to it."""
        # Bodies are read by Server.body with each route's own limit.
        app = web.Application(middlewares=[self.errors], client_max_size=self._max_body)
        app.add_routes([web.get("/", self.index), web.get("/healthz", self.healthz),
                        web.post("/offer", self.offer), web.post("/speak", self.speak),
                        web.post("/microphone", self.microphone),
                        web.post("/interrupt", self.interrupt), web.post("/bye", self.bye),
                        web.post("/avatar", self.avatar),
                        web.get("/stats", self.stats),
                        web.get("/stream", self._streams.handle)])
        app.on_response_prepare.append(self.headers)
        app.on_shutdown.append(self.shutdown)
        return app
