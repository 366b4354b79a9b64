"""Writes a synthetic motion-generator directory for tests and benchmarks.

The directory holds everything the motion generator (le_motion) reads, and
no streaming a2x encoder, so a session opened on it uses the generator.
Motion really follows the audio: speech opens the lips, silence closes them.

usage: gen_motion_models.py OUTDIR [--nt N] [--quiet]

Files written to OUTDIR (raw little-endian float32 unless noted):
- meta.json (text): "nt" = "n_src" = N (default 4), "n_emo" = 3,
  "s_bridge" = 0.75, "delta_pitch" = 2.5;
- hubert_stft_window.bin (512, periodic Hann), hubert_stft_binmat.bin
  (257 x 80, triangular mel filters over 0 .. 8 kHz on linear magnitudes),
  hubert_fmean.bin, hubert_fstd.bin (1024 each; channels 0 and 1 are left
  as they are: mean 0, std 1);
- emo.bin (3 x 8), ch_xs_info.bin (328), ch_sc.bin (63), ch_eye_open.bin (2),
  ch_eye_ball.bin (6), v_min_max.bin (530), src_xs_info.bin (N x 328),
  xs_target.bin (N x 63);
- hubert_student.onnx, lmdm.onnx, stitch.onnx (below).

hubert_student.onnx: "mel" [1, 80, 21] (log-mel, band-major) -> "feat"
[1, 20, 1024]. Feature frame t looks at mel columns t and t + 1 (their
mean m); z = relu(m + 18) / 20 is exactly 0 in digital silence, whose
log-mel is log(1e-8). Channel 0 is the mean of z over the bands (speech
energy), channel 1 the low-band mean minus the high-band mean (positive for
voiced sounds, negative for hiss), the rest tanh of fixed projections of z.

lmdm.onnx: "kp_cond" [1, 265], "aud_cond" [1, 80, 1103] -> "pred"
[1, 80, 265]. The lips anticipate speech as a trained model does: with
e_i = relu(row_i[0]) the speech energy and a_i the mean of e_i .. e_i+3
(the chunk's last row repeated), expression = kp_cond's expression +
a_i * LIP_OPEN + 0.02 tanh(row_i A); LIP_OPEN moves the y of lip keypoints
14, 17 and 20 down by 0.08 and of 6, 12 and 19 up by 0.08. Pose = kp_cond's
pose + 0.01 tanh(row_i B): it drifts slowly around the chunk condition the
engine carries from chunk to chunk.

stitch.onnx: "x_s" [1, 63], "x_d" [1, 63] -> "out" [1, 21, 3] with
out = x_d + 0.1 (x_s - x_d) + 0.02 tanh(x_d).
"""

import argparse
import json
import math
import os
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

OPSET = 17
IR_VERSION = 8
KP = 63
MOTION = 265
POSE = 202
COND = 1103
FEAT = 1024
BANDS = 80
MEL_FRAMES = 21
N_EMO = 3
LIP_UP = (6, 12, 19)
LIP_DOWN = (14, 17, 20)
LIP_OPEN = 0.08
STITCH_PULL = 0.1
STITCH_BEND = 0.02


class Graph:
    def __init__(self):
        self.nodes, self.inits, self.inputs, self.outputs = [], [], [], []

    def input(self, name, dims):
        self.inputs.append(helper.make_tensor_value_info(name, TensorProto.FLOAT, dims))
        return name

    def output(self, name, dims):
        self.outputs.append(helper.make_tensor_value_info(name, TensorProto.FLOAT, dims))

    def const(self, name, value, dtype=np.float32):
        self.inits.append(numpy_helper.from_array(np.asarray(value, dtype=dtype), name))
        return name

    def i64(self, name, value):
        return self.const(name, value, np.int64)

    def op(self, op_type, inputs, name, out=None, **attrs):
        out = out or name + "_out"
        self.nodes.append(helper.make_node(op_type, inputs, [out], name=name, **attrs))
        return out

    def model(self, name, doc):
        graph = helper.make_graph(self.nodes, name, self.inputs, self.outputs, self.inits)
        m = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)],
                              producer_name="gen_motion_models", doc_string=doc)
        m.ir_version = IR_VERSION
        onnx.checker.check_model(m)
        return m


def build_hubert(rng):
    g = Graph()
    g.input("mel", [1, BANDS, MEL_FRAMES])
    avg = np.zeros((MEL_FRAMES, 20), np.float32)
    for t in range(20):
        avg[t, t] = avg[t + 1, t] = 0.5
    m = g.op("MatMul", ["mel", g.const("pair_mean", avg)], "pairs")  # [1, 80, 20]
    m = g.op("Transpose", [m], "frames", perm=[0, 2, 1])  # [1, 20, 80]
    z = g.op("Div", [g.op("Relu", [g.op("Add", [m, g.const("floor", 18.0)], "lifted")], "live"),
                     g.const("span", 20.0)], "z")
    energy = g.op("MatMul", [z, g.const("band_mean", np.full((BANDS, 1), 1.0 / BANDS))], "energy")
    tilt_w = np.concatenate([np.full(BANDS // 2, 2.0 / BANDS), np.full(BANDS // 2, -2.0 / BANDS)])
    tilt = g.op("MatMul", [z, g.const("tilt_w", tilt_w.reshape(BANDS, 1))], "tilt")
    proj = (rng.randn(BANDS, FEAT - 2) * 3.0 / np.sqrt(BANDS)).astype(np.float32)
    rest = g.op("Tanh", [g.op("MatMul", [z, g.const("proj", proj)], "mix")], "rest")
    g.op("Concat", [energy, tilt, rest], "feat_node", out="feat", axis=2)
    g.output("feat", [1, 20, FEAT])
    return g.model("hubert_student", "speech features: energy, tilt and projections of log-mel")


def lip_open():
    v = np.zeros(KP, np.float32)
    for k in LIP_DOWN:
        v[3 * k + 1] = LIP_OPEN
    for k in LIP_UP:
        v[3 * k + 1] = -LIP_OPEN
    return v.reshape(1, KP)


def build_lmdm(rng):
    g = Graph()
    g.input("kp_cond", [1, MOTION])
    g.input("aud_cond", [1, 80, COND])
    rows = g.op("Reshape", ["aud_cond", g.i64("rows_shape", [80, COND])], "rows")
    e = g.op("Relu", [g.op("Slice", [rows, g.i64("e0", [0]), g.i64("e1", [1]), g.i64("ax1", [1])],
                           "energy_in")], "energy")
    a = (rng.randn(COND, KP) / np.sqrt(COND)).astype(np.float32)
    b = (rng.randn(COND, POSE) / np.sqrt(COND)).astype(np.float32)
    jitter = g.op("Mul", [g.op("Tanh", [g.op("MatMul", [rows, g.const("exp_w", a)], "exp_mix")],
                               "exp_tanh"), g.const("exp_gain", 0.02)], "exp_jitter")
    drift = g.op("Mul", [g.op("Tanh", [g.op("MatMul", [rows, g.const("pose_w", b)], "pose_mix")],
                              "pose_tanh"), g.const("pose_gain", 0.01)], "pose_drift")
    pose0 = g.op("Slice", ["kp_cond", "e0", g.i64("p1", [POSE]), "ax1"], "pose_cond")
    exp0 = g.op("Slice", ["kp_cond", g.i64("x0", [POSE]), g.i64("x1", [MOTION]), "ax1"], "exp_cond")
    ahead = np.zeros((80, 80), np.float32)
    for i in range(80):
        for d in range(4):
            ahead[i, min(i + d, 79)] += 0.25
    a_e = g.op("MatMul", [g.const("look_ahead", ahead), e], "anticipated")
    lips = g.op("Mul", [a_e, g.const("lip_open", lip_open())], "lips")
    exp = g.op("Add", [g.op("Add", [exp0, lips], "exp_open"), jitter], "exp")
    pose = g.op("Add", [pose0, drift], "pose")
    cat = g.op("Concat", [pose, exp], "motion", axis=1)
    g.op("Reshape", [cat, g.i64("pred_shape", [1, 80, MOTION])], "pred_node", out="pred")
    g.output("pred", [1, 80, MOTION])
    return g.model("lmdm", "motion chunk: speech opens the lips, the pose drifts slowly")


def build_stitch():
    g = Graph()
    g.input("x_s", [1, KP])
    g.input("x_d", [1, KP])
    pull = g.op("Mul", [g.op("Sub", ["x_s", "x_d"], "gap"), g.const("pull", STITCH_PULL)], "pull")
    bend = g.op("Mul", [g.op("Tanh", ["x_d"], "bend_tanh"), g.const("bend", STITCH_BEND)], "bend")
    s = g.op("Add", [g.op("Add", ["x_d", pull], "pulled"), bend], "stitched")
    g.op("Reshape", [s, g.i64("out_shape", [1, 21, 3])], "out_node", out="out")
    g.output("out", [1, 21, 3])
    return g.model("stitch", "stitching: a small pull of the driving keypoints to the source")


def mel_matrix():
    """257 x 80 triangular filters, equally spaced on the mel scale."""
    def mel(f):
        return 2595.0 * np.log10(1.0 + f / 700.0)

    def hz(m):
        return 700.0 * (10.0 ** (m / 2595.0) - 1.0)

    edges = hz(np.linspace(mel(0.0), mel(8000.0), BANDS + 2))
    freqs = np.arange(257) * 16000.0 / 512.0
    w = np.zeros((257, BANDS), np.float32)
    for b in range(BANDS):
        lo, mid, hi = edges[b], edges[b + 1], edges[b + 2]
        up = (freqs - lo) / max(mid - lo, 1e-6)
        down = (hi - freqs) / max(hi - mid, 1e-6)
        w[:, b] = np.maximum(0.0, np.minimum(up, down))
    return w


def angle_logits(degrees):
    """66 logits whose softmax decodes (3 E[i] - 97.5) to about `degrees`."""
    centre = (degrees + 97.5) / 3.0
    i = np.arange(66)
    return (-((i - centre) ** 2) / 6.0).astype(np.float32)


def xs_info_row(rng, scale, pitch, yaw, roll, shift):
    row = np.zeros(328, np.float32)
    row[0:63] = rng.randn(63) * 0.01
    canon = np.zeros((21, 3), np.float32)
    for k in range(21):
        a = 2.0 * math.pi * k / 21.0
        canon[k] = (0.5 * math.cos(a), 0.45 * math.sin(a), 0.05 * math.sin(3 * a))
    row[63:126] = canon.reshape(-1) + rng.randn(63).astype(np.float32) * 0.005
    row[126:192] = angle_logits(pitch)
    row[192:258] = angle_logits(roll)
    row[258] = scale
    row[259:262] = shift
    row[262:328] = angle_logits(yaw)
    return row


def write_dir(outdir, nt):
    rng = np.random.RandomState(11)
    models = {
        "hubert_student.onnx": build_hubert(rng),
        "lmdm.onnx": build_lmdm(rng),
        "stitch.onnx": build_stitch(),
    }
    data = {}
    n = np.arange(512)
    data["hubert_stft_window.bin"] = (0.5 - 0.5 * np.cos(2 * math.pi * n / 512)).astype(np.float32)
    data["hubert_stft_binmat.bin"] = mel_matrix()
    fmean = (0.05 * np.sin(np.arange(FEAT) * 0.37)).astype(np.float32)
    fstd = (1.0 + 0.25 * np.cos(np.arange(FEAT) * 0.11)).astype(np.float32)
    fmean[:2], fstd[:2] = 0.0, 1.0
    data["hubert_fmean.bin"], data["hubert_fstd.bin"] = fmean, fstd
    data["emo.bin"] = (rng.randn(N_EMO, 8) * 0.1).astype(np.float32)
    data["ch_xs_info.bin"] = xs_info_row(rng, 1.3, 1.0, -2.0, 0.5, (0.02, -0.01, 0.3))
    data["ch_sc.bin"] = (rng.randn(63) * 0.1).astype(np.float32)
    data["ch_eye_open.bin"] = np.array([0.4, 0.42], np.float32)
    data["ch_eye_ball.bin"] = (rng.randn(6) * 0.05).astype(np.float32)
    lo = np.full(MOTION, -3.0, np.float32)
    hi = np.full(MOTION, 3.0, np.float32)
    lo[1:199], hi[1:199] = -30.0, 30.0  # angle logits
    data["v_min_max.bin"] = np.concatenate([lo, hi])
    src = [xs_info_row(rng, 1.2 + 0.01 * r, 2.0 - 0.5 * r, 3.0 + r, -1.0 + 0.25 * r,
                       (0.01 * r, -0.02, 0.1)) for r in range(nt)]
    data["src_xs_info.bin"] = np.stack(src)
    target = np.array([[r + 0.01 * c for c in range(KP)] for r in range(nt)], np.float32)
    data["xs_target.bin"] = target
    meta = {"nt": nt, "n_src": nt, "n_emo": N_EMO, "s_bridge": 0.75, "delta_pitch": 2.5}

    os.makedirs(outdir, exist_ok=True)
    written = []
    for name, model in models.items():
        path = os.path.join(outdir, name)
        onnx.save(model, path + ".part")
        os.replace(path + ".part", path)
        written.append(path)
    for name, arr in data.items():
        path = os.path.join(outdir, name)
        np.ascontiguousarray(arr, dtype="<f4").tofile(path + ".part")
        os.replace(path + ".part", path)
        written.append(path)
    path = os.path.join(outdir, "meta.json")
    with open(path + ".part", "w") as f:
        json.dump(meta, f)
        f.write("\n")
    os.replace(path + ".part", path)
    written.append(path)
    return written


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("outdir")
    ap.add_argument("--nt", type=int, default=4, help="corpus frames (rows of xs_target.bin)")
    ap.add_argument("--quiet", action="store_true")
    args = ap.parse_args(argv)
    if args.nt < 1:
        ap.error("--nt must be 1 or more")
    for path in write_dir(args.outdir, args.nt):
        if not args.quiet:
            print("wrote %s (%d bytes)" % (path, os.path.getsize(path)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
