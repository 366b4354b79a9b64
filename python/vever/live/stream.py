"""Speech that streams in over a WebSocket, for voice agents whose speech
is made as they go: GET /stream?session=ID.

The session id is the capability, as for /speak. The upgrade is refused
before it happens, with the JSON refusals of the other routes: 400 without a
session, 404 for an unknown one, 409 while the visitor has a socket open
already (one at a time), 426 for a request that is not a WebSocket upgrade.

From the client:
    binary      16-bit little-endian 16 kHz mono PCM, any size up to the
                message limit (--max-stream-message-kib, 64 KiB: 2 s), pushed
                into the session as it arrives; the utterance goes on until
                {"type": "end"}. A message over the limit, of an odd byte
                count, or that would take the session's queued speech past
                --max-queued-seconds is refused and dropped, and the socket
                stays open: a synthesiser may send faster than real time
                while it stays within the queue.
    {"type": "end"}        ends the utterance once its audio has been spoken
    {"type": "interrupt"}  drops the speech in progress, as POST /interrupt
Anything else gets a refusal. A message past twice the limit is not read:
the socket is closed with 1009 (message too big).

To the client, as JSON text, following the session whatever put the speech
in (this socket or /speak), read every POLL_SECONDS:
    {"type": "speaking", "utterance": N, "first_frame_ms": MS}
        an utterance's first speech frame is ready to be sent: /stats now
        reports state speaking and utterances_started N; MS is the engine's
        time from the utterance's first push to that frame.
    {"type": "done", "utterance": N, "ends": K}
        the session is back to idle and holds no audio: the last frames of
        what was pushed, its ramp included, are made (at most 8 of them,
        0.32 s, still wait to be sent) or the speech was dropped. Every end
        and interrupt of the socket is answered by one (K counts the ends
        taken so far, so a client knows which of its ends a done follows).
    {"type": "refused", "error": "..."}   what was wrong, naming the limit.
When the visitor leaves, the server closes the socket with 1001 (going away).
"""

import asyncio
import json
import logging

import numpy as np
from aiohttp import WSCloseCode, WSMsgType, web

import vever

from .speech import Refused

MAX_MESSAGE_BYTES = 64 * 1024  # one binary message: 2 s of speech
POLL_SECONDS = 0.025           # the session's state is read this often: cheap, one lock

log = logging.getLogger("vever.serve")


class Streams:
    """The /stream route of one server: its visitors' sockets, one each."""

    def __init__(self, server, max_message=MAX_MESSAGE_BYTES):
        self.server = server
        self.max_message = max_message

    async def handle(self, request):
        live = self.server.live_of(request.query.get("session"))
        if live.stream is not None:
            raise Refused(409, "this session has a stream socket open already; one at a time")
        # Past twice the limit aiohttp stops reading and closes the socket:
        # what is read of one message stays bounded.
        ws = web.WebSocketResponse(max_msg_size=2 * self.max_message + 1, compress=False)
        if not ws.can_prepare(request).ok:
            raise Refused(426, "/stream takes a WebSocket: send an Upgrade request")
        live.stream = ws
        try:
            await ws.prepare(request)
            await Stream(self.server, live, ws, self.max_message).run()
        finally:
            if live.stream is ws:
                live.stream = None
        return ws


class Stream:
    """One visitor's socket: its messages in, the session's events out."""

    def __init__(self, server, live, ws, max_message):
        self.server, self.live, self.ws = server, live, ws
        self.max_message = max_message
        self.ends = 0
        self.owed = False   # pushed, ended or interrupted since the last done
        self.closing = False  # the watch is closing the socket: the visitor left

    async def run(self):
        watch = asyncio.ensure_future(self.watch())
        try:
            async for msg in self.ws:
                # Once the visitor leaves, its session is not touched again.
                if self.live.ending is not None:
                    break
                if msg.type == WSMsgType.BINARY:
                    await self.audio(msg.data)
                elif msg.type == WSMsgType.TEXT:
                    await self.control(msg.data)
        except ConnectionResetError:
            pass
        except Exception:  # one socket's fault must not take the server down
            log.exception("stream socket of session %s failed", self.live.id)
            await self.ws.close(code=WSCloseCode.INTERNAL_ERROR, message=b"server error")
        finally:
            if self.closing:
                await watch  # it closes the socket once this loop has let go of it
            else:
                watch.cancel()
                if self.live.ending is not None:
                    await self.ws.close(code=WSCloseCode.GOING_AWAY,
                                        message=b"the session ended")

    async def send(self, event):
        try:
            await self.ws.send_json(event)
        except ConnectionResetError:
            pass  # the client went; the receive loop ends

    async def refuse(self, why):
        await self.send({"type": "refused", "error": why})

    async def audio(self, data):
        n = len(data)
        if n > self.max_message:
            return await self.refuse("the message holds %d bytes; the limit is %d bytes a "
                                     "message" % (n, self.max_message))
        if n % 2:
            return await self.refuse("the message holds %d bytes, an odd count: each sample "
                                     "is two bytes (16-bit little-endian)" % n)
        if not n:
            return
        if self.live.preparing:
            return await self.refuse("this session's speak request is still being queued; "
                                     "the message was dropped")
        session = self.live.session
        held = session.held_audio()
        if held + n // 2 > self.server.queued_samples:
            return await self.refuse(
                "%.1f s of speech is queued for this session and this message adds %.2f s; "
                "the limit is %g s: the message was dropped, send it again once some of it "
                "has been said" % (held / 16000, n / 32000, self.server.max_queued_seconds))
        try:
            self.live.push(np.frombuffer(data, "<i2").astype(np.int16, copy=False), "stream")
        except vever.Error as e:
            return await self.refuse(str(e))
        self.owed = True

    async def control(self, text):
        try:
            doc = json.loads(text)
        except (ValueError, RecursionError):
            doc = None
        kind = doc.get("type") if isinstance(doc, dict) else None
        if kind == "end":
            if self.live.preparing:
                return await self.refuse("this session's speak request is still being queued "
                                         "and ends its own utterance")
            self.live.session.end_utterance()
            self.ends += 1
            self.owed = True
        elif kind == "interrupt":
            self.live.interrupt()
            self.owed = True
        else:
            await self.refuse("a text message is {\"type\": \"end\"} or "
                              "{\"type\": \"interrupt\"}, not %.60s" % text)

    async def watch(self):
        """The session's events, until the socket closes; closes the socket
        when the visitor leaves."""
        session = self.live.session
        st = session.stats()
        told = st.utterances_started
        busy = st.state != vever.STATE_IDLE
        while not self.ws.closed:
            await asyncio.sleep(POLL_SECONDS)
            if self.live.ending is not None:
                self.closing = True
                await self.ws.close(code=WSCloseCode.GOING_AWAY, message=b"the session ended")
                return
            if self.live.session is not session:  # the visitor switched avatars
                session = self.live.session
                told = 0
            st = session.stats()
            events = []
            if st.utterances_started > told:
                told = st.utterances_started
                events.append({"type": "speaking", "utterance": told,
                               "first_frame_ms": round(st.first_frame_ms, 1)})
            if st.state != vever.STATE_IDLE:
                busy = True
            elif (busy or self.owed) and session.held_audio() == 0:
                busy = self.owed = False
                events.append({"type": "done", "utterance": told, "ends": self.ends})
            # Read before sending: the visitor may leave while a send waits.
            for event in events:
                await self.send(event)
