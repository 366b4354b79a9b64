"""How well a motion directory's mouth follows speech, measured as a host
gets it: audio pushed to the engine's a2x stream 20 ms at a time, frames
pulled as they become available.

usage: motion_eval.py MOTION_DIR DATA_DIR [--recordings WAV,WAV] [--json]

DATA_DIR holds speech_timing.py shards (speech with its phoneme timing);
each utterance is streamed on its own. Printed per model (or as JSON):
- shape accuracy: the share of frames whose mouth is nearest (in the mouth's
  keypoints) to the shape the synthesiser was saying;
- bilabials: the opening above the rest pose at "p", "b", "m" frames (and at
  "m" alone) against the mean opening on open vowels;
- rounding: the mouth's width on "oo", "oh", "w" frames against "ee", "ay",
  "ih" frames;
- lag: where the cross-correlation of the predicted opening with the
  opening of the synthesiser's shapes peaks, in frames;
- on recordings of real speech: the correlation of the opening with the
  voice's loudness, a shuffled control, and the opening where the voice is
  silent against where it speaks.

The engine is the one $VEVER_LIB names (else build/libvever_core.so).
One process opens one frontend, so each directory is measured in its own.
"""

import argparse
import ctypes
import json
import os
import shutil
import sys
import time
import wave

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import mouth_shapes as mm  # noqa: E402

RATE = 16000
FRAME = 640
PUSH = 320
MOUTH_ROWS = [10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20]
# Astronaut keypoint units: her mouth is this wide.
MOUTH_WIDTH = 0.55

BILABIAL = {"p", "b", "m"}
OPEN_VOWELS = {"a", "A:", "aI", "a#", "&", "V", "A@", "aa", "A", "ae", "ah", "ay"}
ROUND = {"u:", "U", "O:", "o:", "oU", "@U", "w", "uw", "uh", "ow", "ao"}
SPREAD = {"i:", "I", "eI", "i", "iy", "ih", "ey"}
SILENT = {"_", "_:", "_!", "pau", "h#"}


def as_motion_dir(models, into):
    """A copy of a model directory the a2x stream opens: corpus keypoints of
    zeros, so that a frame's deltas are its driven keypoints less the base."""
    shutil.copytree(models, into)
    np.zeros((2, 63), np.float32).tofile(os.path.join(into, "xs_target.bin"))
    return into


def procedural_dir(models, into):
    """The procedural models as a motion directory with identity tables."""
    os.makedirs(into, exist_ok=True)
    for name in ("w2v.onnx", "a2x_enc_stream.onnx", "a2x_dec.onnx"):
        shutil.copy(os.path.join(models, name), into)
    with open(os.path.join(into, "a2x_meta.json"), "w") as f:
        f.write('{"h": 32, "window": 2, "left": 3, "layers": 1, "width": false, '
                '"silence_prime": 0}\n')
    np.zeros((256, 32), np.float32).tofile(os.path.join(into, "a2x_pos.f32"))
    np.concatenate([np.zeros(63), np.ones(63)]).astype(np.float32).tofile(
        os.path.join(into, "a2x_norm.f32"))
    np.zeros((2, 63), np.float32).tofile(os.path.join(into, "xs_target.bin"))
    return into


def engine():
    path = os.environ.get("VEVER_LIB") or os.path.join(os.path.dirname(HERE), "build",
                                                       "libvever_core.so")
    lib = ctypes.CDLL(path)
    lib.le_a2x_create.restype = ctypes.c_void_p
    lib.le_a2x_create.argtypes = [ctypes.c_char_p, ctypes.c_int]
    lib.le_a2x_destroy.argtypes = [ctypes.c_void_p]
    lib.le_a2x_push.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int]
    lib.le_a2x_finish.argtypes = [ctypes.c_void_p]
    lib.le_a2x_avail.argtypes = [ctypes.c_void_p]
    lib.le_a2x_pull.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p,
                                ctypes.c_void_p, ctypes.c_int]
    lib.le_a2x_last_error.restype = ctypes.c_char_p
    return lib


def stream(lib, motion_dir, audio):
    """Keypoint offsets [frames, 63] of audio (float, 16 kHz) pushed live, and
    the CPU seconds the stream took."""
    s = lib.le_a2x_create(motion_dir.encode(), 1)
    if not s:
        raise RuntimeError("le_a2x_create(%s): %s" % (motion_dir, lib.le_a2x_last_error().decode()))
    frames = -(-len(audio) // FRAME)
    idx = np.zeros(frames, np.int32)
    base = np.zeros((frames, 63), np.float32)
    driven = np.zeros((frames, 63), np.float32)
    got = 0
    cpu = time.process_time()

    def pull():
        nonlocal got
        while got < frames and lib.le_a2x_avail(s) > 0:
            n = lib.le_a2x_pull(s, idx[got:].ctypes.data, base[got:].ctypes.data,
                                driven[got:].ctypes.data, frames - got)
            if n <= 0:
                break
            got += n

    try:
        x = np.ascontiguousarray(audio, np.float32)
        for at in range(0, len(x), PUSH):
            piece = x[at:at + PUSH]
            lib.le_a2x_push(s, piece.ctypes.data, len(piece))
            pull()
        lib.le_a2x_finish(s)
        pull()
    finally:
        lib.le_a2x_destroy(s)
    cpu = time.process_time() - cpu
    if got != frames:
        raise RuntimeError("%s gave %d of %d frames" % (motion_dir, got, frames))
    return driven - base, cpu


def utterances(data_dir, limit_seconds=None):
    taken = 0.0
    for name in sorted(os.listdir(data_dir)):
        if not name.endswith(".npz"):
            continue
        s = np.load(os.path.join(data_dir, name))
        starts = list(s["starts"]) + [len(s["audio"])]
        fstarts = list(s["frame_starts"]) + [len(s["shapes"])]
        for i in range(len(starts) - 1):
            audio = s["audio"][starts[i]:starts[i + 1]].astype(np.float32) / 32768
            yield audio, s["shapes"][fstarts[i]:fstarts[i + 1]], s["labels"][fstarts[i]:fstarts[i + 1]]
            taken += len(audio) / RATE
            if limit_seconds and taken >= limit_seconds:
                return


def nearest_shape(m):
    b = mm.basis().reshape(len(mm.SHAPES), mm.KP_ROWS, 3)[:, MOUTH_ROWS, :2].reshape(len(mm.SHAPES), -1)
    x = np.asarray(m).reshape(-1, mm.KP_ROWS, 3)[:, MOUTH_ROWS, :2].reshape(len(m), -1)
    return np.argmin(((x[:, None] - b[None]) ** 2).sum(2), 1)


def lag_of(pred, truth, reach=5):
    p, t = pred - pred.mean(), truth - truth.mean()
    best = max(range(-reach, reach + 1),
               key=lambda k: np.dot(p[max(k, 0):len(p) + min(k, 0)],
                                    t[max(-k, 0):len(t) - max(k, 0)]))
    return best


def score_timed(deltas, shapes, labels):
    """The synthesised-speech lines from concatenated utterances."""
    opened = mm.opening(deltas)
    width = MOUTH_WIDTH + mm.widening(deltas)
    rest = np.median(opened[np.isin(labels, list(SILENT))]) if np.isin(labels, list(SILENT)).any() else 0
    above = opened - rest
    vowels = above[np.isin(labels, list(OPEN_VOWELS))].mean()
    truth = mm.opening(shapes @ mm.basis())
    return {
        "frames": int(len(deltas)),
        "accuracy": float((nearest_shape(deltas) == shapes.argmax(1)).mean()),
        "bilabial": float(above[np.isin(labels, list(BILABIAL))].mean() / vowels),
        "m_alone": float(above[labels == "m"].mean() / vowels),
        "rounding": float(width[np.isin(labels, list(ROUND))].mean() /
                          width[np.isin(labels, list(SPREAD))].mean()),
        "lag": int(lag_of(opened, truth)),
    }


def read_wav(path):
    with wave.open(path) as w:
        rate, ch = w.getframerate(), w.getnchannels()
        x = np.frombuffer(w.readframes(w.getnframes()), np.int16).reshape(-1, ch).mean(1)
    n = int(len(x) * RATE / rate)
    return np.interp(np.arange(n) * rate / RATE, np.arange(len(x)), x).astype(np.float32) / 32768


def score_recordings(lib, motion_dir, paths, seed=3):
    """Opening against the loudness envelope on real recordings."""
    opened, loud = [], []
    for p in paths:
        audio = np.concatenate([np.zeros(RATE // 2, np.float32), read_wav(p),
                                np.zeros(RATE // 2, np.float32)])
        d, _ = stream(lib, motion_dir, audio)
        frames = np.pad(audio, (0, len(d) * FRAME - len(audio))).reshape(-1, FRAME)
        db = 10 * np.log10((frames.astype(np.float64) ** 2).mean(1) + 1e-10)
        opened.append(mm.opening(d))
        loud.append(db - db.max())
    o, l = np.concatenate(opened), np.concatenate(loud)
    env = np.maximum(l, -50)
    rng = np.random.default_rng(seed)
    # The control keeps the envelope's values and breaks its timing (0.4 s blocks).
    blocks = np.array_split(env, max(1, len(env) // 10))
    shuffled = np.concatenate([blocks[i] for i in rng.permutation(len(blocks))])
    silent, voiced = o[l < -45], o[l > -20]
    rest = np.median(silent) if len(silent) else 0.0
    return {
        "seconds": round(float(len(o) * FRAME / RATE), 1),
        "r_loudness": float(np.corrcoef(o, env)[0, 1]),
        "r_shuffled": float(np.corrcoef(o, shuffled)[0, 1]),
        "silent_opening": float(np.mean(silent - rest)) if len(silent) else 0.0,
        "voiced_opening": float(np.mean(voiced - rest)) if len(voiced) else 0.0,
    }


def evaluate(motion_dir, data_dir, recordings=(), limit_seconds=None):
    lib = engine()
    ds, ss, ls = [], [], []
    cpu = 0.0
    for audio, shapes, labels in utterances(data_dir, limit_seconds):
        d, c = stream(lib, motion_dir, audio)
        ds.append(d), ss.append(shapes), ls.append(labels)
        cpu += c
    out = score_timed(np.concatenate(ds), np.concatenate(ss), np.concatenate(ls))
    out["cpu_ms_per_frame"] = 1000 * cpu / out["frames"]
    if recordings:
        out["recordings"] = score_recordings(lib, motion_dir, recordings)
    return out


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("motion_dir")
    ap.add_argument("data_dir")
    ap.add_argument("--recordings", default="")
    ap.add_argument("--seconds", type=float, help="stop after this much speech")
    args = ap.parse_args(argv)
    recs = [p for p in args.recordings.split(",") if p]
    print(json.dumps(evaluate(args.motion_dir, args.data_dir, recs, args.seconds)))


if __name__ == "__main__":
    main()
