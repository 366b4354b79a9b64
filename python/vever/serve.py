"""The avatar live in a web page: one utterance session per visitor, its
frames and its voice sent to the browser over WebRTC.

    python3 -m vever.serve BUNDLE MOTION_DIR [--port 8080] [--host 127.0.0.1]
                           [--max-sessions N] [--threads N]

HTTP interface (JSON in and out):
    POST /offer      {"sdp", "type": "offer"}  -> {"sdp", "type": "answer", "session"}
                     503 {"error"} when every session slot is taken
    POST /speak      {"session", "text"} or {"session", "wav_base64"} -> 200 once queued
    POST /interrupt  {"session"}
    POST /bye        {"session"}   (the page sends it when it closes)
    GET  /stats?session=ID  -> the session's statistics, frames_sent, audio_ms_sent
    GET  /  the page;  GET /healthz  -> 200

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
import fractions
import io
import json
import logging
import os
import subprocess
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

FPS = 25
FRAME_SAMPLES = 640       # 40 ms of 16 kHz audio: one video frame
AUDIO_CHUNK = 320         # 20 ms audio frames, as WebRTC sends them
VIDEO_CLOCK = 90000
AUDIO_BACKLOG = FRAME_SAMPLES + AUDIO_CHUNK  # at most 60 ms of voice waits behind its frame
WEB_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "web")

log = logging.getLogger("vever.serve")


class BadRequest(Exception):
    """A request the server refuses with 400 and this message."""


def decode_speech(data):
    """Any audio file FFmpeg reads -> 16 kHz mono int16 samples."""
    try:
        with av.open(io.BytesIO(data)) as container:
            stream = next((s for s in container.streams if s.type == "audio"), None)
            if stream is None:
                raise BadRequest("the audio holds no audio stream")
            resampler = av.AudioResampler(format="s16", layout="mono", rate=16000)
            parts = []
            for frame in container.decode(stream):
                for out in resampler.resample(frame):
                    parts.append(out.to_ndarray().reshape(-1))
            for out in resampler.resample(None):
                parts.append(out.to_ndarray().reshape(-1))
    except BadRequest:
        raise
    except Exception as e:  # PyAV raises its own error types for every kind of bad input
        raise BadRequest("the audio does not decode: %s" % e)
    samples = np.concatenate(parts).astype(np.int16) if parts else np.zeros(0, np.int16)
    if samples.size == 0:
        raise BadRequest("the audio decodes to no samples")
    return samples


def speak_text(text):
    """espeak-ng's WAV for text, as 16 kHz mono int16."""
    try:
        wav = subprocess.run(["espeak-ng", "--stdout", text], check=True,
                             capture_output=True, timeout=60).stdout
    except FileNotFoundError:
        raise BadRequest("the server cannot speak text: espeak-ng is not installed")
    except subprocess.SubprocessError as e:
        raise BadRequest("espeak-ng failed: %s" % e)
    return decode_speech(wav)


class Live:
    """One visitor: a context and a session of its own, and the audio of the
    utterances it was asked to speak, in the order it was asked."""

    def __init__(self, bundle, motion, threads):
        self.id = uuid.uuid4().hex
        self.ctx = vever.Context(bundle, threads=threads)
        try:
            self.session = vever.Session(self.ctx, motion, threads=threads, end_silence_s=-1)
            self.session.wait_ready()
        except Exception:
            self.ctx.close()
            raise
        self.queued = collections.deque()  # utterances pushed and not yet showing
        self.current = None                # the utterance whose speech frames show
        self.audio = collections.deque()   # int16 pieces for the audio track
        self.audio_samples = 0
        self.frames_sent = 0
        self.audio_ms_sent = 0.0
        self.underruns = 0
        self.image = np.zeros((self.ctx.height, self.ctx.width, 3), np.uint8)
        self.pc = None
        self.closed = False

    def speak(self, samples):
        self.queued.append(samples)
        self.session.push(samples)
        self.session.end_utterance()

    def interrupt(self):
        self.session.interrupt()
        self.queued.clear()
        self.current = None

    def next_frame(self):
        """The frame to show now and its 40 ms of audio."""
        voice = np.zeros(FRAME_SAMPLES, np.int16)
        f = self.session.pull()
        if f is None:
            if self.session.stats().state == 2:
                self.underruns += 1
            # Nothing new: the last frame stays up, and the voice pauses with it.
        else:
            self.image = f.image
            if f.kind == vever.SPEECH:
                if f.number == 0:
                    self.current = self.queued.popleft() if self.queued else None
                if self.current is not None:
                    piece = self.current[f.number * FRAME_SAMPLES:(f.number + 1) * FRAME_SAMPLES]
                    voice[:piece.size] = piece
        self.audio.append(voice)
        self.audio_samples += voice.size
        # A late audio track must not fall behind the picture.
        while self.audio_samples > AUDIO_BACKLOG:
            self.audio_samples -= self.audio.popleft().size
        self.frames_sent += 1
        return self.image

    def take_audio(self, n):
        out = np.zeros(n, np.int16)
        filled = 0
        while filled < n and self.audio:
            head = self.audio[0]
            k = min(n - filled, head.size)
            out[filled:filled + k] = head[:k]
            filled += k
            if k == head.size:
                self.audio.popleft()
            else:
                self.audio[0] = head[k:]
        self.audio_samples -= filled
        self.audio_ms_sent += n / 16.0
        return out

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
        frame = av.VideoFrame.from_ndarray(self.live.next_frame(), format="rgb24")
        frame.pts = n * (VIDEO_CLOCK // FPS)
        frame.time_base = fractions.Fraction(1, VIDEO_CLOCK)
        return frame


class VoiceTrack(PacedTrack):
    kind = "audio"
    period = AUDIO_CHUNK / 16000

    async def recv(self):
        n = await self.next_slot()
        frame = av.AudioFrame(format="s16", layout="mono", samples=AUDIO_CHUNK)
        frame.planes[0].update(self.live.take_audio(AUDIO_CHUNK).tobytes())
        frame.sample_rate = 16000
        frame.pts = n * AUDIO_CHUNK
        frame.time_base = fractions.Fraction(1, 16000)
        return frame


class Server:
    def __init__(self, bundle, motion, max_sessions, threads):
        self.bundle, self.motion = bundle, motion
        self.max_sessions, self.threads = max_sessions, threads
        self.lives = {}
        self.opening = 0

    # ---- helpers
    @staticmethod
    def error(status, message):
        return web.json_response({"error": message}, status=status)

    async def body(self, request):
        try:
            doc = await request.json()
        except (json.JSONDecodeError, UnicodeDecodeError, ValueError):
            raise BadRequest("the body is not JSON")
        if not isinstance(doc, dict):
            raise BadRequest("the body is not a JSON object")
        return doc

    def live_of(self, sid):
        live = self.lives.get(sid) if isinstance(sid, str) else None
        if live is None:
            raise LookupError("unknown session %r" % (sid,))
        return live

    async def close_live(self, live):
        if self.lives.get(live.id) is live:
            del self.lives[live.id]
        if live.pc is not None:
            await live.pc.close()
        await asyncio.get_running_loop().run_in_executor(None, live.close)

    # ---- handlers
    async def index(self, request):
        return web.FileResponse(os.path.join(WEB_DIR, "index.html"))

    async def healthz(self, request):
        return web.json_response({"ok": True, "sessions": len(self.lives)})

    async def offer(self, request):
        doc = await self.body(request)
        if doc.get("type") != "offer" or not isinstance(doc.get("sdp"), str):
            raise BadRequest("an offer needs \"sdp\" and \"type\": \"offer\"")
        pc = RTCPeerConnection()
        try:
            await pc.setRemoteDescription(RTCSessionDescription(sdp=doc["sdp"], type="offer"))
        except Exception as e:  # a malformed SDP fails in aiortc's parser
            await pc.close()
            raise BadRequest("the offer was refused: %s" % e)
        if len(self.lives) + self.opening >= self.max_sessions:
            await pc.close()
            return self.error(503, "all %d live sessions are taken; try again when someone "
                                   "leaves" % self.max_sessions)
        self.opening += 1
        try:
            loop = asyncio.get_running_loop()
            live = await loop.run_in_executor(None, Live, self.bundle, self.motion, self.threads)
        except vever.Error as e:
            await pc.close()
            return self.error(500, "cannot open a session: %s" % e)
        finally:
            self.opening -= 1
        self.lives[live.id] = live
        live.pc = pc

        @pc.on("connectionstatechange")
        async def on_state():
            if pc.connectionState in ("failed", "closed"):
                await self.close_live(live)

        # The offer made one receive-only transceiver per kind; the tracks take them.
        pc.addTrack(FrameTrack(live))
        pc.addTrack(VoiceTrack(live))
        await pc.setLocalDescription(await pc.createAnswer())
        log.info("session %s opened (%d live)", live.id, len(self.lives))
        return web.json_response({"sdp": pc.localDescription.sdp,
                                  "type": pc.localDescription.type, "session": live.id})

    async def speak(self, request):
        doc = await self.body(request)
        live = self.live_of(doc.get("session"))
        loop = asyncio.get_running_loop()
        if "text" in doc:
            text = doc["text"]
            if not isinstance(text, str) or not text.strip():
                raise BadRequest("\"text\" is empty")
            samples = await loop.run_in_executor(None, speak_text, text)
        elif "wav_base64" in doc:
            try:
                data = base64.b64decode(doc["wav_base64"], validate=True)
            except (binascii.Error, TypeError, ValueError):
                raise BadRequest("\"wav_base64\" is not base64")
            samples = await loop.run_in_executor(None, decode_speech, data)
        else:
            raise BadRequest("say what to speak: \"text\" or \"wav_base64\"")
        if live.closed:
            raise LookupError("unknown session %r" % (doc.get("session"),))
        live.speak(samples)
        return web.json_response({"queued_ms": samples.size / 16.0})

    async def interrupt(self, request):
        doc = await self.body(request)
        self.live_of(doc.get("session")).interrupt()
        return web.json_response({"ok": True})

    async def bye(self, request):
        doc = await self.body(request)
        await self.close_live(self.live_of(doc.get("session")))
        return web.json_response({"ok": True})

    async def stats(self, request):
        live = self.live_of(request.query.get("session"))
        st = live.session.stats()
        return web.json_response({
            "frames_out": st.frames_out, "speech_frames_out": st.speech_frames_out,
            "utterances_started": st.utterances_started, "first_frame_ms": st.first_frame_ms,
            "frame_cost_ms": st.frame_cost_ms, "state": st.state,
            "frames_sent": live.frames_sent, "audio_ms_sent": live.audio_ms_sent,
            "underruns": live.underruns})

    @web.middleware
    async def errors(self, request, handler):
        try:
            return await handler(request)
        except BadRequest as e:
            return self.error(400, str(e))
        except LookupError as e:
            return self.error(404, str(e))
        except web.HTTPException:
            raise
        except Exception as e:  # one bad request must never take the server down
            log.exception("request %s failed", request.path)
            return self.error(500, "%s: %s" % (type(e).__name__, e))

    async def shutdown(self, app):
        for live in list(self.lives.values()):
            await self.close_live(live)

    def app(self):
        app = web.Application(middlewares=[self.errors], client_max_size=64 * 1024 * 1024)
        app.add_routes([web.get("/", self.index), web.get("/healthz", self.healthz),
                        web.post("/offer", self.offer), web.post("/speak", self.speak),
                        web.post("/interrupt", self.interrupt), web.post("/bye", self.bye),
                        web.get("/stats", self.stats)])
        app.on_shutdown.append(self.shutdown)
        return app


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
    args = ap.parse_args(argv)
    logging.basicConfig(level=logging.INFO, format="[vever.serve] %(message)s")
    for noisy in ("aioice", "aiortc", "aiohttp.access"):
        logging.getLogger(noisy).setLevel(logging.WARNING)
    av.logging.set_level(av.logging.ERROR)
    for path in (args.bundle, args.motion_dir):
        if not os.path.exists(path):
            ap.error("%s does not exist" % path)
    frontend = os.path.join(args.motion_dir, "w2v.onnx")
    if "W2V_ONNX" not in os.environ and os.path.exists(frontend):
        os.environ["W2V_ONNX"] = frontend
    server = Server(args.bundle, args.motion_dir, max(1, args.max_sessions), args.threads)
    print("[vever.serve] open http://%s:%d/ in a browser" % (args.host, args.port), flush=True)
    web.run_app(server.app(), host=args.host, port=args.port, print=None)
    return 0


if __name__ == "__main__":
    sys.exit(main())
