"""What a visitor sends the live server to be spoken: an audio file of any
format FFmpeg reads, or a text for espeak-ng, each turned into 16 kHz mono
samples within the limits below, and the refusals when it cannot be."""

import io
import subprocess

import av
import numpy as np

# Limits for a page that faces the internet; each is a flag of the server.
MAX_TEXT_CHARS = 400        # about 30 s of espeak-ng's English
MAX_AUDIO_SECONDS = 30.0    # decoded speech per request
# Demuxers a visitor's audio may use: playlists and concat scripts would make
# FFmpeg open further files or addresses named inside the upload.
AUDIO_FORMATS = "wav,w64,mp3,ogg,flac,mov,matroska,aac"


class Refused(Exception):
    """A request the server refuses with this status and message."""

    def __init__(self, status, message):
        super().__init__(message)
        self.status = status


class BadRequest(Refused):
    def __init__(self, message):
        super().__init__(400, message)


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


def speak_text(text, max_chars=MAX_TEXT_CHARS, max_seconds=MAX_AUDIO_SECONDS):
    """espeak-ng's WAV for text, as 16 kHz mono int16. The text goes in on
    standard input, never as an argument: one starting with '-' would be read
    as espeak-ng's options (-f names a file to read aloud)."""
    data = check_text(text, max_chars)
    try:
        wav = subprocess.run(["espeak-ng", "--stdin", "--stdout"], input=data, check=True,
                             capture_output=True, timeout=60).stdout
    except FileNotFoundError:
        raise BadRequest("the server cannot speak text: espeak-ng is not installed")
    except subprocess.SubprocessError as e:
        raise BadRequest("espeak-ng failed: %s" % e)
    return decode_speech(wav, max_seconds)
