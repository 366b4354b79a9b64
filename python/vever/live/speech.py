"""What a visitor sends the live server to be spoken: an audio file of any
format FFmpeg reads, or a text for espeak-ng, each turned into 16 kHz mono
samples within the limits below, and the refusals when it cannot be.

A text is spoken as espeak-ng makes it (synthesise): its WAV is read from
the pipe piece by piece, so a long text starts as soon as a short one."""

import asyncio
import contextlib
import io
import os
import struct

import av
import numpy as np

# Limits for a page that faces the internet; each is a flag of the server.
MAX_TEXT_CHARS = 2000       # about 140 s of espeak-ng's English
MAX_AUDIO_SECONDS = 30.0    # decoded speech per request
# Demuxers a visitor's audio may use: playlists and concat scripts would make
# FFmpeg open further files or addresses named inside the upload.
AUDIO_FORMATS = "wav,w64,mp3,ogg,flac,mov,matroska,aac"
ESPEAK_SECONDS = 60.0       # one text's synthesis, start to end
QUIT_SECONDS = 5.0          # for espeak-ng to end once its output is closed
READ_BYTES = 16384          # a read of espeak-ng's output: about 0.4 s of its speech
HEADER_BYTES = 4096         # espeak-ng's WAV header is 44 bytes; more is not its WAV


class Refused(Exception):
    """A request the server refuses with this status and message."""

    def __init__(self, status, message):
        super().__init__(message)
        self.status = status


class BadRequest(Refused):
    def __init__(self, message):
        super().__init__(400, message)


async def read_body(request, limit, too_big):
    """A request's body, refused with too_big past limit bytes: told by its
    length when it states one, else as it arrives."""
    if request.content_length is not None and request.content_length > limit:
        raise too_big
    data = bytearray()
    while True:
        chunk = await request.content.readany()
        if not chunk:
            return bytes(data)
        data += chunk
        if len(data) > limit:
            raise too_big


def body_limit_for(audio_seconds):
    """Bytes of a /speak body: the base64 of a WAV of audio_seconds at 48 kHz,
    stereo, 16-bit, and room for the JSON around it."""
    return int(audio_seconds * 48000 * 2 * 2 * 4 / 3) + 64 * 1024


def decode_speech(data, max_seconds=MAX_AUDIO_SECONDS):
    """Any audio file FFmpeg reads -> 16 kHz mono int16 samples; refuses
    (413) audio longer than max_seconds without decoding the rest."""
    limit = int(max_seconds * 16000)
    total = 0
    try:
        with av.open(io.BytesIO(data), options={"format_whitelist": AUDIO_FORMATS}) as container:
            stream = next((s for s in container.streams if s.type == "audio"), None)
            if stream is None:
                raise BadRequest("the audio holds no audio stream")
            resampler = av.AudioResampler(format="s16", layout="mono", rate=16000)
            parts = []
            for frame in container.decode(stream):
                for out in resampler.resample(frame):
                    parts.append(out.to_ndarray().reshape(-1))
                    total += parts[-1].size
                if total > limit:
                    raise Refused(413, "the audio lasts more than %g s; the limit of one "
                                       "request is %g s" % (max_seconds, max_seconds))
            for out in resampler.resample(None):
                parts.append(out.to_ndarray().reshape(-1))
    except Refused:
        raise
    except Exception as e:  # PyAV raises its own error types for every kind of bad input
        raise BadRequest("the audio does not decode: %s" % e)
    samples = np.concatenate(parts).astype(np.int16) if parts else np.zeros(0, np.int16)
    if samples.size == 0:
        raise BadRequest("the audio decodes to no samples")
    if samples.size > limit:
        raise Refused(413, "the audio lasts %.1f s; the limit of one request is %g s"
                           % (samples.size / 16000, max_seconds))
    return samples


def check_text(text, max_chars=MAX_TEXT_CHARS):
    """Refuses a text espeak-ng should not be given."""
    if not isinstance(text, str) or not text.strip():
        raise BadRequest("\"text\" is empty")
    if len(text) > max_chars:
        raise Refused(413, "\"text\" holds %d characters; the limit is %d"
                           % (len(text), max_chars))
    if "\0" in text:
        raise BadRequest("\"text\" holds a NUL character")
    try:
        return text.encode("utf-8")
    except UnicodeEncodeError:
        raise BadRequest("\"text\" is not valid Unicode (a lone surrogate)")


class WavPieces:
    """A 16-bit mono WAV that arrives in pieces (espeak-ng's, whose header
    gives no length: it writes as it synthesises) -> 16 kHz mono int16
    pieces. The header is parsed once; the samples after it are resampled
    as they come, with the resampler's state kept between pieces."""

    def __init__(self):
        self._head = bytearray()
        self._rate = None
        self._odd = b""           # half a sample, left over from the last piece
        self._resampler = None

    def _parse_head(self):
        """The offset of the samples once the header is whole, else None."""
        head = self._head
        if len(head) >= 12 and (head[:4] != b"RIFF" or head[8:12] != b"WAVE"):
            raise BadRequest("espeak-ng's output is not a WAV")
        at = 12
        while len(head) >= at + 8:
            kind, size = head[at:at + 4], struct.unpack("<I", head[at + 4:at + 8])[0]
            if kind == b"data":
                if self._rate is None:
                    raise BadRequest("espeak-ng's WAV has no format before its samples")
                return at + 8
            if kind == b"fmt ":
                if len(head) < at + 24:
                    return None
                fmt, channels, rate = struct.unpack("<HHI", head[at + 8:at + 16])
                bits = struct.unpack("<H", head[at + 22:at + 24])[0]
                if fmt != 1 or channels != 1 or bits != 16 or not 1000 <= rate <= 192000:
                    raise BadRequest("espeak-ng wrote audio of format %d, %d channels, %d bits "
                                     "at %d Hz; 16-bit mono PCM was expected"
                                     % (fmt, channels, bits, rate))
                self._rate = rate
            at += 8 + size + (size & 1)
        if len(head) > HEADER_BYTES:
            raise BadRequest("espeak-ng's WAV header runs past %d bytes" % HEADER_BYTES)
        return None

    def feed(self, data):
        """The 16 kHz samples that data completes (may be none)."""
        if self._head is not None:
            self._head += data
            start = self._parse_head()
            if start is None:
                return np.zeros(0, np.int16)
            data = bytes(self._head[start:])
            self._head = None
            if self._rate != 16000:
                self._resampler = av.AudioResampler(format="s16", layout="mono", rate=16000)
        data = self._odd + data
        whole = len(data) & ~1
        self._odd = data[whole:]
        samples = np.frombuffer(data[:whole], "<i2").astype(np.int16)
        if self._resampler is None or samples.size == 0:
            return samples
        frame = av.AudioFrame.from_ndarray(samples.reshape(1, -1), format="s16", layout="mono")
        frame.sample_rate = self._rate
        return self._resampled(frame)

    def finish(self):
        """The samples the resampler still holds, at the end of the WAV."""
        if self._head is not None:
            raise BadRequest("espeak-ng wrote no WAV")
        return self._resampled(None) if self._resampler is not None else np.zeros(0, np.int16)

    def _resampled(self, frame):
        out = [f.to_ndarray().reshape(-1) for f in self._resampler.resample(frame)]
        return np.concatenate(out).astype(np.int16) if out else np.zeros(0, np.int16)


async def _feed(stdin, data):
    try:
        stdin.write(data)
        await stdin.drain()
        stdin.close()
    except (BrokenPipeError, ConnectionResetError):  # espeak-ng died: its exit says why
        pass


async def synthesise(text, max_chars=MAX_TEXT_CHARS, seconds=ESPEAK_SECONDS):
    """espeak-ng's speech of text as it is made: yields 16 kHz mono int16
    pieces. The text goes in on standard input, never as an argument: one
    starting with '-' would be read as espeak-ng's options (-f names a file
    to read aloud). Closing the generator early stops espeak-ng."""
    data = check_text(text, max_chars)
    loop = asyncio.get_running_loop()
    # The pipe of espeak-ng's output is ours to close: closed early, it ends
    # espeak-ng at its next write. Killing it instead would race the event
    # loop's reaping of a process that has just ended.
    out, into = os.pipe()
    try:
        proc = await asyncio.create_subprocess_exec(
            "espeak-ng", "--stdin", "--stdout", stdin=asyncio.subprocess.PIPE, stdout=into,
            stderr=asyncio.subprocess.DEVNULL)
    except BaseException as e:
        os.close(out)
        if isinstance(e, FileNotFoundError):
            raise BadRequest("the server cannot speak text: espeak-ng is not installed")
        raise
    finally:
        os.close(into)
    feeding = asyncio.ensure_future(_feed(proc.stdin, data))
    reader = asyncio.StreamReader(limit=READ_BYTES)
    pipe, _ = await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(reader),
                                           os.fdopen(out, "rb", 0))
    until = loop.time() + seconds
    wav = WavPieces()
    try:
        while True:
            try:
                chunk = await asyncio.wait_for(reader.read(READ_BYTES), until - loop.time())
            except asyncio.TimeoutError:
                raise BadRequest("espeak-ng failed: it did not finish within %g s" % seconds)
            if not chunk:
                break
            samples = wav.feed(chunk)
            if samples.size:
                yield samples
        status = await proc.wait()
        if status != 0:
            raise BadRequest("espeak-ng failed with exit status %d" % status)
        samples = wav.finish()
        if samples.size:
            yield samples
    finally:
        feeding.cancel()
        pipe.close()
        proc.stdin.close()
        try:
            await asyncio.wait_for(proc.wait(), QUIT_SECONDS)
        except asyncio.TimeoutError:  # stuck, not writing
            proc.kill()
            await proc.wait()


def speak_text(text, max_chars=MAX_TEXT_CHARS, max_seconds=MAX_AUDIO_SECONDS):
    """espeak-ng's speech of text, whole, as 16 kHz mono int16, for a caller
    without an event loop; refuses (413) speech longer than max_seconds."""
    limit = int(max_seconds * 16000)

    async def whole():
        parts, total = [], 0
        async with contextlib.aclosing(synthesise(text, max_chars)) as pieces:
            async for piece in pieces:
                total += piece.size
                if total > limit:
                    raise Refused(413, "the audio lasts more than %g s; the limit of one "
                                       "request is %g s" % (max_seconds, max_seconds))
                parts.append(piece)
        if not parts:
            raise BadRequest("the text gives no speech")
        return np.concatenate(parts)
    return asyncio.run(whole())
