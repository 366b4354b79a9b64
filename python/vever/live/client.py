"""A client of the live server's /stream socket (vever.live.stream), for a
voice agent that speaks through a visitor's avatar:

    async for event in stream_audio("http://127.0.0.1:8080", session, pieces):
        print(event)

The module itself uses aiohttp and numpy only.
"""

import asyncio
import json
import time
import urllib.parse

import aiohttp
import numpy as np

SAMPLE_RATE = 16000
PIECE_SECONDS = 0.04  # one message: a video frame's speech


class StreamRefused(Exception):
    """The server would not open the socket (its status says why: 404 for an
    unknown session, 409 while the visitor has one open)."""

    def __init__(self, status, message):
        super().__init__("the server refused the stream with %d: %s" % (status, message))
        self.status = status


def pieces_of(pcm, seconds=PIECE_SECONDS):
    """int16 arrays or bytes of any sizes -> 16-bit little-endian pieces of
    the given length (the last may be shorter)."""
    size = int(seconds * SAMPLE_RATE) * 2
    held = bytearray()
    for part in pcm:
        if isinstance(part, np.ndarray):
            part = part.astype("<i2", copy=False).tobytes()
        held += part
        whole = len(held) - len(held) % size
        for at in range(0, whole, size):
            yield bytes(held[at:at + size])
        del held[:whole]
    if len(held) & 1:
        raise ValueError("the PCM ends in half a sample")
    if held:
        yield bytes(held)


async def stream_audio(url, session, pcm, realtime=True, end=True, piece_seconds=PIECE_SECONDS,
                       lead_seconds=0.0):
    """Streams pcm (16 kHz mono int16 arrays or 16-bit little-endian bytes,
    of any sizes) into the session's utterance over /stream, at the pace of
    its own duration when realtime (as a live synthesiser would), else as
    fast as the socket takes it; then, with end, ends the utterance. In real
    time, lead_seconds of audio go out ahead of the pace: the session holds
    back an utterance's first frame until it has enough audio beyond it, so
    a lead brings that frame forward.

    Yields the server's events as they come, each with "t" added: seconds
    since the first audio message went out. Returns after the done event
    that follows the end (or, without end, when the socket closes). Raises
    StreamRefused when the server refuses the socket, ConnectionError when
    it closes the socket first (1001: the visitor left)."""
    target = "%s/stream?session=%s" % (url.rstrip("/"), urllib.parse.quote(session, safe=""))
    started = []

    async def send(ws):
        try:
            for k, piece in enumerate(pieces_of(pcm, piece_seconds)):
                if not started:
                    started.append(time.monotonic())
                if realtime:
                    ahead = started[0] + k * piece_seconds - lead_seconds - time.monotonic()
                    if ahead > 0:
                        await asyncio.sleep(ahead)
                await ws.send_bytes(piece)
            if end:
                await ws.send_str(json.dumps({"type": "end"}))
        except Exception:
            await ws.close()  # the receive loop ends, and the error is raised there
            raise

    async with aiohttp.ClientSession() as http:
        try:
            ws = await http.ws_connect(target)
        except aiohttp.WSServerHandshakeError as e:
            raise StreamRefused(e.status, e.message) from None
        sender = asyncio.ensure_future(send(ws))
        try:
            async for msg in ws:
                if msg.type != aiohttp.WSMsgType.TEXT:
                    continue
                event = json.loads(msg.data)
                event["t"] = round(time.monotonic() - started[0], 3) if started else 0.0
                yield event
                # One end per call: the done that counts an end follows ours.
                if end and event.get("type") == "done" and event.get("ends", 0) >= 1:
                    break
            else:
                if sender.done() and not sender.cancelled() and sender.exception():
                    raise sender.exception()
                if end:
                    raise ConnectionError("the server closed the stream (%s) before the "
                                          "utterance was done" % ws.close_code)
        finally:
            sender.cancel()
            await ws.close()
