#!/usr/bin/env python3
"""Makes an avatar speak a recording and writes an MP4 with the speech on its sound track.

    speak.py BUNDLE MOTION_DIR --wav IN.wav -o OUT.mp4 [--png-dir DIR]

Opens a context on BUNDLE and an utterance session on MOTION_DIR, pushes the
audio (any file FFmpeg reads, converted to 16 kHz mono) in 20 ms chunks, ends
the utterance and pulls every frame: the idle lead-in, the speech, the ramp
back and half a second of idle tail. The video is H.264 at 25 frames per
second; the sound track carries each speech frame's own 40 ms of the
recording and silence under the other frames, so voice and lips stay in step.
"""

import argparse
import math
import os
import struct
import sys
import time
import zlib

import numpy as np

try:
    import av
except ImportError:
    sys.exit("speak.py: needs PyAV (Debian's python3-av) to read audio and write MP4")

try:
    import vever
except ImportError:  # run from a checkout without installing the package
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
    import vever

CHUNK = vever.SAMPLE_RATE // 50  # 20 ms
TAIL = math.ceil(0.5 * vever.FPS)  # idle frames after the utterance
MAX_SECONDS = 600  # refuse longer recordings instead of holding them in memory


class UsageError(Exception):
    pass


def read_audio(path):
    """The recording as 16 kHz mono int16 samples."""
    try:
        with av.open(path) as f:
            if not f.streams.audio:
                raise UsageError("%s holds no audio stream" % path)
            resampler = av.AudioResampler(format="s16", layout="mono", rate=vever.SAMPLE_RATE)
            pieces, count = [], 0
            for frame in f.decode(audio=0):
                for out in resampler.resample(frame):
                    pieces.append(out.to_ndarray().reshape(-1))
                    count += pieces[-1].size
                if count > MAX_SECONDS * vever.SAMPLE_RATE:
                    raise UsageError("%s is longer than %d s, the most this example takes"
                                     % (path, MAX_SECONDS))
            for out in resampler.resample(None):
                pieces.append(out.to_ndarray().reshape(-1))
    except av.AVError as e:
        raise UsageError("%s: not a readable audio file (%s)" % (path, e))
    pcm = np.concatenate(pieces).astype(np.int16) if pieces else np.zeros(0, np.int16)
    if pcm.size == 0:
        raise UsageError("%s holds no samples" % path)
    return pcm


class Mp4:
    """H.264 video at 25 fps with an AAC sound track, one 40 ms audio piece per frame."""

    def __init__(self, path, width, height):
        if width % 2 or height % 2:
            raise UsageError("%dx%d frames: H.264 in yuv420p needs even sides" % (width, height))
        self.out = av.open(path, "w")
        self.video = self.out.add_stream("libx264", rate=vever.FPS,
                                         options={"preset": "veryfast", "crf": "20"})
        self.video.width, self.video.height, self.video.pix_fmt = width, height, "yuv420p"
        self.audio = self.out.add_stream("aac", rate=vever.SAMPLE_RATE, layout="mono")
        self.audio.bit_rate = 64000  # within what AAC carries at 16 kHz mono
        self.frames = 0

    def write(self, rgb, voice):
        v = av.VideoFrame.from_ndarray(rgb, format="rgb24")
        v.pts = self.frames
        self.out.mux(self.video.encode(v))
        a = av.AudioFrame.from_ndarray(voice.reshape(1, -1), format="s16", layout="mono")
        a.sample_rate, a.pts = vever.SAMPLE_RATE, self.frames * vever.FRAME_SAMPLES
        self.out.mux(self.audio.encode(a))
        self.frames += 1

    def close(self):
        self.out.mux(self.video.encode(None))
        self.out.mux(self.audio.encode(None))
        self.out.close()


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
    pcm = read_audio(args.wav)
    if args.png_dir:
        os.makedirs(args.png_dir, exist_ok=True)
    counts = {"lead-in": 0, "speech": 0, "ramp": 0, "tail": 0}
    t0 = time.monotonic()
    with vever.Context(args.bundle, model=args.model, threads=args.threads) as ctx, \
            vever.Session(ctx, args.motion_dir, threads=args.threads,
                          steady_model=args.steady_model, end_silence_s=-1) as s:
        mp4 = Mp4(args.out, ctx.width, ctx.height)
        ok = False
        try:
            s.wait_ready()
            for at in range(0, pcm.size, CHUNK):
                s.push(pcm[at:at + CHUNK])
            s.end_utterance()
            image = np.empty((ctx.height, ctx.width, 3), dtype=np.uint8)
            spoken = False
            last_frame = time.monotonic()
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
                mp4.write(f.image, f.voice)  # the frame brings its 40 ms, silence when idle
                if args.png_dir:
                    write_png(os.path.join(args.png_dir, "frame_%06d.png" % (mp4.frames - 1)), f.image)
            ok = True
        finally:
            mp4.close()
            if not ok:  # no half-written video left behind
                os.remove(args.out)
        stats = s.stats()
    seconds = time.monotonic() - t0
    n = mp4.frames
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
    p.add_argument("--wav", required=True, help="the recording (WAV or any audio FFmpeg reads)")
    p.add_argument("-o", "--out", required=True, help="the MP4 file to write")
    p.add_argument("--png-dir", help="also write every frame as DIR/frame_<k>.png")
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
