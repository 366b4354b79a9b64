#!/usr/bin/env python3
"""Makes an avatar speak a WAV file and writes the video frames as PNG files.

    speak.py BUNDLE MOTION_DIR --wav IN.wav -o OUTDIR

Opens a context on BUNDLE and an utterance session on MOTION_DIR, pushes the
audio (16 kHz mono 16-bit PCM) in 20 ms chunks, ends the utterance and pulls
every frame: the idle lead-in, the speech, the ramp back and half a second of
idle tail. Frame k is written to OUTDIR/frame_<k>.png.
"""

import argparse
import math
import os
import struct
import sys
import time
import wave
import zlib

import numpy as np

# Run from a checkout without installing the package.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import vever  # noqa: E402

CHUNK = vever.SAMPLE_RATE // 50  # 20 ms
TAIL = math.ceil(0.5 * vever.FPS)  # idle frames after the utterance


class UsageError(Exception):
    pass


def read_wav(path):
    """The samples of a 16 kHz mono 16-bit PCM WAV as int16; other formats are refused."""
    try:
        with wave.open(path, "rb") as w:
            rate, channels, width = w.getframerate(), w.getnchannels(), w.getsampwidth()
            if (rate, channels, width) != (vever.SAMPLE_RATE, 1, 2):
                raise UsageError(
                    "%s is %d Hz, %d channel(s), %d-bit; this example takes 16000 Hz mono "
                    "16-bit PCM only (convert it first)" % (path, rate, channels, 8 * width))
            data = w.readframes(w.getnframes())
    except wave.Error as e:
        raise UsageError("%s: not a PCM WAV file (%s)" % (path, e))
    except OSError as e:
        raise UsageError("%s: %s" % (path, e.strerror or e))
    pcm = np.frombuffer(data, dtype="<i2").astype(np.int16)
    if pcm.size == 0:
        raise UsageError("%s holds no samples" % path)
    return pcm


def write_png(path, rgb):
    """An 8-bit RGB PNG of an H x W x 3 uint8 array (filter 0 on every row)."""
    h, w, _ = rgb.shape
    rows = np.zeros((h, 1 + 3 * w), dtype=np.uint8)
    rows[:, 1:] = rgb.reshape(h, 3 * w)

    def chunk(tag, body):
        return (struct.pack(">I", len(body)) + tag + body
                + struct.pack(">I", zlib.crc32(tag + body) & 0xFFFFFFFF))

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(rows.tobytes(), 6)))
        f.write(chunk(b"IEND", b""))


def speak(args):
    pcm = read_wav(args.wav)
    os.makedirs(args.out, exist_ok=True)
    counts = {"lead-in": 0, "speech": 0, "ramp": 0, "tail": 0}
    t0 = time.monotonic()
    with vever.Context(args.bundle, model=args.model, threads=args.threads) as ctx, \
            vever.Session(ctx, args.motion_dir, threads=args.threads,
                          steady_model=args.steady_model, end_silence_s=-1) as s:
        s.wait_ready()
        for at in range(0, pcm.size, CHUNK):
            s.push(pcm[at:at + CHUNK])
        s.end_utterance()
        image = np.empty((ctx.height, ctx.width, 3), dtype=np.uint8)
        spoken = False
        last_frame = time.monotonic()
        n = 0
        while counts["tail"] < TAIL:
            f = s.pull(image)
            if f is None:
                status = s.render_status()
                if status.fatal:
                    raise vever.Error(status.message)
                if time.monotonic() - last_frame > 60:
                    raise vever.Error("no frame for 60 s (session state %s)"
                                      % s.stats().state_name)
                time.sleep(0.002)
                continue
            last_frame = time.monotonic()
            if f.kind == vever.IDLE:
                counts["tail" if spoken else "lead-in"] += 1
            else:
                spoken = True
                counts["speech" if f.kind == vever.SPEECH else "ramp"] += 1
            write_png(os.path.join(args.out, "frame_%06d.png" % n), f.image)
            n += 1
        stats = s.stats()
    seconds = time.monotonic() - t0
    print("speak: %d frames (%dx%d) in %s: idle lead-in %d, speech %d, ramp %d, idle tail %d"
          % (n, ctx.width, ctx.height, args.out, counts["lead-in"], counts["speech"],
             counts["ramp"], counts["tail"]))
    print("speak: audio %.2f s (%d frames); first speech frame %.1f ms after the first push; "
          "%.1f ms per speech frame; %.1f s wall, %.1f frames/s"
          % (pcm.size / vever.SAMPLE_RATE, math.ceil(pcm.size / vever.FRAME_SAMPLES),
             stats.first_frame_ms, stats.frame_cost_ms, seconds, n / seconds))


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("bundle")
    p.add_argument("motion_dir")
    p.add_argument("--wav", required=True, help="16 kHz mono 16-bit PCM WAV")
    p.add_argument("-o", "--out", required=True, help="folder for the PNG frames")
    p.add_argument("--model", default="b1", help="render model key (model_KEY.onnx)")
    p.add_argument("--steady-model", default=None,
                   help="batch renderer's model key (default b24_fp32; '-' for none)")
    p.add_argument("--threads", type=int, default=0)
    args = p.parse_args(argv)
    try:
        speak(args)
    except UsageError as e:
        print("speak.py: %s" % e, file=sys.stderr)
        return 2
    except vever.Error as e:
        print("speak.py: %s" % e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
