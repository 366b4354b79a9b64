#!/usr/bin/env python3
"""Streams a WAV file into a live visitor's session over /stream, as a voice agent would.

    stream_wav.py URL SESSION IN.wav [--fast]

URL is the live server (or the balancer), SESSION the visitor's session id
(the page holds it as window.veverPage.session). The audio goes out in 40 ms
messages at its own pace (--fast: as fast as the socket takes it, within the
server's queue), then the utterance is ended; every event the server sends
is printed as it comes, with the seconds since the first message.

A 16 kHz mono 16-bit WAV is read with the standard library; any other rate,
channel count or format is converted with PyAV (Debian's python3-av).
"""

import argparse
import asyncio
import json
import os
import sys
import wave

import aiohttp
import numpy as np

try:
    from vever.live.client import SAMPLE_RATE, StreamRefused, stream_audio
except ImportError:  # run from a checkout without installing the package
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
    from vever.live.client import SAMPLE_RATE, StreamRefused, stream_audio

MAX_SECONDS = 600  # refuse longer recordings instead of holding them in memory


class UsageError(Exception):
    pass


def read_plain(path):
    """The samples of a 16 kHz mono 16-bit WAV, or None for any other file."""
    try:
        with wave.open(path, "rb") as w:
            if (w.getframerate(), w.getnchannels(), w.getsampwidth()) != (SAMPLE_RATE, 1, 2):
                return None
            if w.getnframes() > MAX_SECONDS * SAMPLE_RATE:
                raise UsageError("%s is longer than %d s, the most this example takes"
                                 % (path, MAX_SECONDS))
            return np.frombuffer(w.readframes(w.getnframes()), "<i2")
    except (wave.Error, EOFError):
        return None


def read_converted(path):
    """Any audio file as 16 kHz mono int16, through PyAV."""
    try:
        import av
    except ImportError:
        raise UsageError("%s is not a 16 kHz mono 16-bit WAV; converting it needs PyAV "
                         "(Debian's python3-av)" % path)
    try:
        with av.open(path) as f:
            if not f.streams.audio:
                raise UsageError("%s holds no audio stream" % path)
            resampler = av.AudioResampler(format="s16", layout="mono", rate=SAMPLE_RATE)
            pieces, count = [], 0
            for frame in f.decode(audio=0):
                for out in resampler.resample(frame):
                    pieces.append(out.to_ndarray().reshape(-1))
                    count += pieces[-1].size
                if count > MAX_SECONDS * SAMPLE_RATE:
                    raise UsageError("%s is longer than %d s, the most this example takes"
                                     % (path, MAX_SECONDS))
            for out in resampler.resample(None):
                pieces.append(out.to_ndarray().reshape(-1))
    except av.AVError as e:
        raise UsageError("%s: not a readable audio file (%s)" % (path, e))
    return np.concatenate(pieces).astype(np.int16) if pieces else np.zeros(0, np.int16)


async def stream(args, pcm):
    async for event in stream_audio(args.url, args.session, [pcm], realtime=not args.fast):
        print(json.dumps(event), flush=True)


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("url", help="the live server, http://HOST:PORT")
    p.add_argument("session", help="the visitor's session id")
    p.add_argument("wav", help="the recording (16 kHz mono WAV, or any audio PyAV reads)")
    p.add_argument("--fast", action="store_true",
                   help="send as fast as the socket takes it instead of in real time")
    args = p.parse_args(argv)
    try:
        if not os.path.isfile(args.wav):
            raise UsageError("%s is not a file" % args.wav)
        pcm = read_plain(args.wav)
        if pcm is None:
            pcm = read_converted(args.wav)
        if pcm.size == 0:
            raise UsageError("%s holds no samples" % args.wav)
        asyncio.run(stream(args, pcm))
    except UsageError as e:
        print("stream_wav.py: %s" % e, file=sys.stderr)
        return 2
    except (StreamRefused, OSError, aiohttp.ClientError) as e:
        print("stream_wav.py: %s" % e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
