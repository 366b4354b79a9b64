"""Writes synthetic audio-to-motion models for tests and benchmarks.

The models are small, deterministic stand-ins for a motion directory's
audio models. Motion really follows the audio: voiced frames open the mouth,
silent frames let it close again.

usage: gen_audio_models.py OUTDIR [--quiet] [--demo]

With --demo it writes the demo avatar's procedural motion models instead:
w2v.onnx (per 40 ms frame, channel 0 = mouth opening tanh(1.5 rms) and
channel 1 = lip rounding, the opening weighted by how little of the frame's
energy is in fast sample-to-sample changes), a2x_enc_stream.onnx (those two
channels into ctx) and a2x_dec.onnx (m = 0.35 prev + 0.65 (opening OPEN +
rounding ROUND) in the demo face's keypoints). They are built, not trained.

Files written to OUTDIR:
- w2v.onnx, the legacy frontend: "input_values" [1, 128000] ->
  "audio_emb" [12, 200, 768] (layer, frame, channel);
- audio_encoder_fp16_window_trunk.onnx ("input_values" [1, 32000] ->
  "trunk" float16 [1, 640, 400]) and audio_encoder_fp16_window_head.onnx
  ("x" [8, 640] -> "emb" [8, 12, 768]), the short-window pair;
  audio_encoder_fp16_window_trunk_dyn.onnx is the same trunk on input of any
  length, so its time axis is only known once it has run;
- a2x_enc_stream.onnx ("feat" [1, T, 12, 768], "pos_window" [1, T, H],
  "attn" [1, 1, T, T] -> "ctx" [1, T, H]) and a2x_enc_stream_wn.onnx (the
  same plus "wn" [1, T, 1]);
- a2x_dec.onnx ("ctx_t" [1, H], "prev" [1, 63], "h" [1, 1, H] -> "m" [1, 63],
  "h_out" [1, 1, H]);
- fca_stream.onnx ("cond" [1, 5376], "prev" [1, 63], "h" [1, 1, 384] ->
  "m" [1, 63], "hn" [1, 1, 384]);
- gelu_f16.onnx, a float16 Gelu that no runtime can open.
H (CTX_WIDTH) is 32.

Features. Both frontends cut their (normalised) window into steps of 80
samples (5 ms) and describe each step by the signs of its 79 sample-to-sample
differences: channel 0 is the fraction of non-zero differences (0 for
silence, near 1 for voiced audio), channels 1 .. 639 are fixed projections of
the signs through tanh. Signs depend only on the order of neighbouring
samples, which the frontends' mean/variance normalisation keeps, so a step's
features do not depend on what else the window holds. Digital silence gives
all-zero features and all-zero rows (no model has a bias on this path).

The legacy frontend interpolates its 1600 steps to 200 frames linearly,
frame i at step i * 1598 / 199 (the trunk-position rule of the short-window
frontend), and applies the head. The trunk gives the steps of its 2-second
window in float16; the engine interpolates 8 of them per block and the head
(the same weights) turns them into rows. Row channel 0 of every layer is
tanh(3 * activity), exactly 0 in silence.

Encoder: ctx = Z + A with Z = feat @ We + pos (pos with channel 0 zeroed)
and A the attention average of feat @ We over the frames the mask lets
through (weights exp(tanh(q.k / sqrt(d)) + attn), normalised by their sum;
all sums are MatMuls, so masked frames add exact zeros). Channel 0 of ctx
is the speech energy. wn = pos[1] + ctx[0]: in silence far from speech it
is exactly the positional row's channel 1.

Decoder: h_out = tanh(h / 2 + ctx_t @ Wc); e = relu(ctx_t[0]);
m = 0.6 prev + 0.4 e (LIP_OPEN + 0.2 tanh(h_out @ Wm)), where LIP_OPEN is
+1 on the y of rows 14 .. 16 (lower lip down) and -1 on the y of rows
18 .. 20 (upper lip up). In silence m decays by 0.6 per frame.

fca_stream: r = tanh(cond @ Wr); hn = tanh(h / 2 + r @ Wh);
e = relu(cond[768] + 0.5) (channel 0 of the frame itself, baseline removed);
m = 0.6 prev + 0.4 (e LIP_OPEN + 0.2 tanh(hn @ Wm)).
"""

import argparse
import os
import sys
import time

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

OPSET = 17
IR_VERSION = 8
KP_ROWS = 21
CTX_WIDTH = 32
ATTN_WIDTH = 16
HEAD_RANK = 24
FCA_HIDDEN = 384
FCA_RANK = 16
STEP = 80  # samples per trunk step
LEGACY_SAMPLES = 128000
WINDOW_SAMPLES = 32000
LAYERS, CHANNELS = 12, 768
TRUNK_CHANNELS = 640


# Speech energy above which a2x_dec_fails_voiced.onnx fails: any voiced
# frame, while digital silence passes.
FAIL_ABOVE = 0.0


class Graph:
    """Accumulates nodes and initializers with readable, unique names."""

    def __init__(self):
        self.nodes, self.inits, self.inputs, self.outputs = [], [], [], []

    def input(self, name, dims, elem=TensorProto.FLOAT):
        self.inputs.append(helper.make_tensor_value_info(name, elem, dims))
        return name

    def output(self, name, dims, elem=TensorProto.FLOAT):
        self.outputs.append(helper.make_tensor_value_info(name, elem, dims))

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
                              producer_name="gen_audio_models", doc_string=doc)
        m.ir_version = IR_VERSION
        onnx.checker.check_model(m)
        return m


class Weights:
    """Every fixed matrix, drawn once from one seed so all models agree."""

    def __init__(self):
        rng = np.random.RandomState(7)
        d = STEP - 1
        self.sign_proj = (rng.randn(d, TRUNK_CHANNELS - 1) / np.sqrt(d)).astype(np.float32)
        self.act_proj = (rng.randn(d, TRUNK_CHANNELS - 1) / np.sqrt(d)).astype(np.float32)
        # Head: column 0 reads the activity channel only; the rest mix all.
        wa = rng.randn(TRUNK_CHANNELS, HEAD_RANK) / np.sqrt(TRUNK_CHANNELS)
        wa[:, 0] = 0.0
        wa[0, 0] = 3.0
        self.head_a = wa.astype(np.float32)
        wb = rng.randn(HEAD_RANK, LAYERS * CHANNELS) / np.sqrt(HEAD_RANK)
        zero_cols = np.arange(LAYERS) * CHANNELS
        wb[:, zero_cols] = 0.0
        wb[0, :] = 0.0
        wb[0, zero_cols] = 1.0
        self.head_b = wb.astype(np.float32)
        # Encoder: ctx channel 0 is the mean over layers of row channel 0.
        we = rng.randn(LAYERS * CHANNELS, CTX_WIDTH) * 0.5 / np.sqrt(LAYERS * CHANNELS)
        we[:, 0] = 0.0
        we[zero_cols, 0] = 1.0 / LAYERS
        self.enc_in = we.astype(np.float32)
        self.enc_q = (rng.randn(CTX_WIDTH, ATTN_WIDTH) / np.sqrt(CTX_WIDTH)).astype(np.float32)
        self.enc_k = (rng.randn(CTX_WIDTH, ATTN_WIDTH) / np.sqrt(CTX_WIDTH)).astype(np.float32)
        self.dec_c = (rng.randn(CTX_WIDTH, CTX_WIDTH) / np.sqrt(CTX_WIDTH)).astype(np.float32)
        self.dec_m = (rng.randn(CTX_WIDTH, 3 * KP_ROWS) / np.sqrt(CTX_WIDTH)).astype(np.float32)
        cond = 7 * CHANNELS
        self.fca_r = (rng.randn(cond, FCA_RANK) / np.sqrt(cond)).astype(np.float32)
        self.fca_h = (rng.randn(FCA_RANK, FCA_HIDDEN) / np.sqrt(FCA_RANK)).astype(np.float32)
        self.fca_m = (rng.randn(FCA_HIDDEN, 3 * KP_ROWS) / np.sqrt(FCA_HIDDEN)).astype(np.float32)


def lip_open():
    v = np.zeros(3 * KP_ROWS, np.float32)
    for r in (14, 15, 16):
        v[3 * r + 1] = 1.0
    for r in (18, 19, 20):
        v[3 * r + 1] = -1.0
    return v.reshape(1, -1)


def step_features(g, w, audio, samples):
    """[1, samples] audio -> [samples / 80, 640] step features (samples None:
    as many steps as the input holds)."""
    steps = samples // STEP if samples else -1
    x = g.op("Reshape", [audio, g.i64("steps_shape", [steps, STEP])], "steps")
    ax = g.i64("ax1", [1])
    hi = g.op("Slice", [x, g.i64("one", [1]), g.i64("step_end", [STEP]), ax], "later")
    lo = g.op("Slice", [x, g.i64("zero", [0]), g.i64("step_last", [STEP - 1]), ax], "earlier")
    signs = g.op("Sign", [g.op("Sub", [hi, lo], "diff")], "signs")
    active = g.op("Abs", [signs], "active")
    activity = g.op("ReduceMean", [active], "activity", axes=[1], keepdims=1)
    proj = g.op("Add", [g.op("MatMul", [signs, g.const("sign_proj", w.sign_proj)], "sign_mix"),
                        g.op("MatMul", [active, g.const("act_proj", w.act_proj)], "act_mix")],
                "mix")
    return g.op("Concat", [activity, g.op("Tanh", [proj], "mix_tanh")], "step_feat", axis=1)


def head(g, w, x, frames):
    """[frames, 640] -> [frames, 12, 768]."""
    u = g.op("Tanh", [g.op("MatMul", [x, g.const("head_a", w.head_a)], "head_in")], "head_act")
    rows = g.op("MatMul", [u, g.const("head_b", w.head_b)], "head_rows")
    return g.op("Reshape", [rows, g.i64("emb_shape", [frames, LAYERS, CHANNELS])], "head_emb")


def build_legacy(w):
    g = Graph()
    g.input("input_values", [1, LEGACY_SAMPLES])
    z = step_features(g, w, "input_values", LEGACY_SAMPLES)
    pos = np.arange(200) * (1598.0 / 199.0)
    i0 = np.floor(pos).astype(np.int64)
    i1 = np.minimum(i0 + 1, LEGACY_SAMPLES // STEP - 1)
    t = (pos - i0).astype(np.float32).reshape(200, 1)
    a = g.op("Gather", [z, g.i64("lerp_i0", i0)], "lerp_a", axis=0)
    b = g.op("Gather", [z, g.i64("lerp_i1", i1)], "lerp_b", axis=0)
    zi = g.op("Add", [g.op("Mul", [a, g.const("lerp_wa", 1.0 - t)], "lerp_ma"),
                      g.op("Mul", [b, g.const("lerp_wb", t)], "lerp_mb")], "lerp")
    emb = head(g, w, zi, 200)
    g.op("Transpose", [emb], "layer_major", out="audio_emb", perm=[1, 0, 2])
    g.output("audio_emb", [LAYERS, 200, CHANNELS])
    return g.model("w2v", "legacy audio frontend (8 s window, 200 frames)")


def build_trunk(w, dynamic):
    g = Graph()
    # The dynamic variant takes any length, so its time axis is unknown until run.
    g.input("input_values", [1, "samples" if dynamic else WINDOW_SAMPLES])
    z = step_features(g, w, "input_values", None if dynamic else WINDOW_SAMPLES)
    zt = g.op("Transpose", [z], "channel_major", perm=[1, 0])
    z3 = g.op("Unsqueeze", [zt, g.i64("ax0", [0])], "batch")
    g.op("Cast", [z3], "half", out="trunk", to=TensorProto.FLOAT16)
    lt = "LT" if dynamic else WINDOW_SAMPLES // STEP
    g.output("trunk", [1, TRUNK_CHANNELS, lt], TensorProto.FLOAT16)
    return g.model("w2v_trunk", "short-window trunk (2 s window, 80-sample steps)")


def build_head(w):
    g = Graph()
    g.input("x", [8, TRUNK_CHANNELS])
    emb = head(g, w, "x", 8)
    g.op("Identity", [emb], "emb_out", out="emb")
    g.output("emb", [8, LAYERS, CHANNELS])
    return g.model("w2v_head", "short-window head (8 interpolated steps -> 8 rows)")


def build_encoder(w, width):
    g = Graph()
    H = CTX_WIDTH
    g.input("feat", [1, "T", LAYERS, CHANNELS])
    g.input("pos_window", [1, "T", H])
    g.input("attn", [1, 1, "T", "T"])
    x = g.op("Reshape", ["feat", g.i64("feat_shape", [-1, LAYERS * CHANNELS])], "feat_rows")
    f = g.op("MatMul", [x, g.const("enc_in", w.enc_in)], "enc_feat")
    pmask = np.ones(H, np.float32)
    pmask[0] = 0.0
    p = g.op("Mul", [g.op("Reshape", ["pos_window", g.i64("pos_shape", [-1, H])], "pos_rows"),
                     g.const("pos_mask", pmask)], "pos")
    z = g.op("Add", [f, p], "z")
    q = g.op("MatMul", [z, g.const("enc_q", w.enc_q)], "q")
    k = g.op("MatMul", [z, g.const("enc_k", w.enc_k)], "k")
    s = g.op("MatMul", [q, g.op("Transpose", [k], "kt", perm=[1, 0])], "scores")
    s = g.op("Tanh", [g.op("Mul", [s, g.const("inv_sqrt_d", 1.0 / np.sqrt(ATTN_WIDTH))],
                           "scaled")], "bounded")
    mask = g.op("Squeeze", ["attn", g.i64("ax01", [0, 1])], "mask")
    e = g.op("Exp", [g.op("Add", [s, mask], "masked")], "weights")
    ones = g.op("Add", [g.op("Mul", [g.op("Slice", [f, g.i64("c0", [0]), g.i64("c1", [1]),
                                                    g.i64("ax1", [1])], "f0"),
                                     g.const("zero_f", 0.0)], "zeros"),
                        g.const("one_f", 1.0)], "ones")
    vals = g.op("Concat", [f, ones], "values", axis=1)
    o = g.op("MatMul", [e, vals], "weighted")
    num = g.op("Slice", [o, g.i64("n0", [0]), g.i64("n1", [H]), "ax1"], "num")
    den = g.op("Slice", [o, g.i64("d0", [H]), g.i64("d1", [H + 1]), "ax1"], "den")
    ctx = g.op("Add", [z, g.op("Div", [num, den], "attended")], "ctx_rows")
    g.op("Unsqueeze", [ctx, g.i64("ax0", [0])], "ctx_out", out="ctx")
    g.output("ctx", [1, "T", H])
    if width:
        p1 = g.op("Slice", [p, "c1", g.i64("c2", [2]), "ax1"], "pos1")
        c0 = g.op("Slice", [ctx, "c0", "c1", "ax1"], "energy")
        g.op("Unsqueeze", [g.op("Add", [p1, c0], "wn_rows"), "ax0"], "wn_out", out="wn")
        g.output("wn", [1, "T", 1])
    return g.model("a2x_enc", "streaming encoder, one banded attention layer")


def build_decoder(w, fail_above=None):
    """The per-frame decoder; with fail_above, one that fails its run on a
    frame whose energy exceeds fail_above (a Gather whose index depends on
    the data) and decodes other frames as the plain decoder does."""
    g = Graph()
    H = CTX_WIDTH
    g.input("ctx_t", [1, H])
    g.input("prev", [1, 3 * KP_ROWS])
    g.input("h", [1, 1, H])
    hh = g.op("Reshape", ["h", g.i64("h_shape", [1, H])], "h_rows")
    hn = g.op("Tanh", [g.op("Add", [g.op("Mul", [hh, g.const("half", 0.5)], "h_half"),
                                    g.op("MatMul", ["ctx_t", g.const("dec_c", w.dec_c)],
                                         "ctx_mix")], "h_pre")], "h_new")
    e = g.op("Relu", [g.op("Slice", ["ctx_t", g.i64("c0", [0]), g.i64("c1", [1]),
                                     g.i64("ax1", [1])], "energy_in")], "energy")
    if fail_above is None:
        motion(g, w.dec_m, hn, e)
    else:
        motion(g, w.dec_m, hn, e, out="m_fits")
        # A frame above the energy gathers a value past the end of the row: an index that
        # depends on the data, which no optimiser can fold away.
        loud = g.op("Cast", [g.op("Greater", [e, g.const("fail_above", [[fail_above]])], "loud")],
                    "loud_i64", to=TensorProto.INT64)
        index = g.op("Mul", [g.op("Reshape", [loud, g.i64("one_dim", [1])], "loud_1"),
                             g.i64("far", [1000])], "far_index")
        picked = g.op("Gather", ["m_fits", index], "picked", axis=1)
        floor = g.op("Min", [picked, g.const("m_floor", [[-1e30]])], "floor")
        g.op("Max", ["m_fits", floor], "m_checked", out="m")
    g.op("Reshape", [hn, g.i64("h_out_shape", [1, 1, H])], "h_out_node", out="h_out")
    g.output("m", [1, 3 * KP_ROWS])
    g.output("h_out", [1, 1, H])
    return g.model("a2x_dec", "per-frame decoder: speech energy opens the lips")


def motion(g, wm, hidden, energy, gate_all=True, out="m"):
    """m = 0.6 prev + 0.4 (energy (LIP_OPEN + 0.2 g)) or 0.4 (energy LIP_OPEN + 0.2 g)."""
    gm = g.op("Mul", [g.op("Tanh", [g.op("MatMul", [hidden, g.const("motion_w", wm)],
                                         "motion_pre")], "motion_tanh"),
                      g.const("motion_gain", 0.2)], "motion_g")
    if gate_all:
        target = g.op("Mul", [energy, g.op("Add", [g.const("lip_open", lip_open()), gm],
                                           "shape")], "target")
    else:
        lip = g.op("Mul", [energy, g.const("lip_open", lip_open())], "lip")
        target = g.op("Add", [lip, gm], "target")
    g.op("Add", [g.op("Mul", ["prev", g.const("keep", 0.6)], "kept"),
                 g.op("Mul", [target, g.const("take", 0.4)], "taken")], "m_node", out=out)


def build_fca(w):
    g = Graph()
    g.input("cond", [1, 7 * CHANNELS])
    g.input("prev", [1, 3 * KP_ROWS])
    g.input("h", [1, 1, FCA_HIDDEN])
    r = g.op("Tanh", [g.op("MatMul", ["cond", g.const("fca_r", w.fca_r)], "r_pre")], "r")
    hh = g.op("Reshape", ["h", g.i64("h_shape", [1, FCA_HIDDEN])], "h_rows")
    hn = g.op("Tanh", [g.op("Add", [g.op("Mul", [hh, g.const("half", 0.5)], "h_half"),
                                    g.op("MatMul", [r, g.const("fca_h", w.fca_h)], "r_mix")],
                            "h_pre")], "h_new")
    own = g.op("Slice", ["cond", g.i64("own0", [CHANNELS]), g.i64("own1", [CHANNELS + 1]),
                         g.i64("ax1", [1])], "own_energy")
    e = g.op("Relu", [g.op("Add", [own, g.const("offset", 0.5)], "shifted")], "energy")
    motion(g, w.fca_m, hn, e, gate_all=False)
    g.op("Reshape", [hn, g.i64("hn_shape", [1, 1, FCA_HIDDEN])], "hn_node", out="hn")
    g.output("m", [1, 3 * KP_ROWS])
    g.output("hn", [1, 1, FCA_HIDDEN])
    return g.model("fca_stream", "frame-chunk conditioner: speech opens the lips")


def build_gelu_unsupported():
    """A float16 Gelu in a domain no runtime implements: opening it fails with a
    message that names Gelu and float16, as the optimiser failure does."""
    g = Graph()
    f16 = TensorProto.FLOAT16
    g.input("x", [1, 16], f16)
    g.nodes.append(helper.make_node("Gelu", ["x"], ["y"], name="gelu",
                                    domain="float16.unsupported"))
    g.output("y", [1, 16], f16)
    graph = helper.make_graph(g.nodes, "gelu_f16", g.inputs, g.outputs, g.inits)
    m = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET),
                                                helper.make_opsetid("float16.unsupported", 1)],
                          producer_name="gen_audio_models")
    m.ir_version = IR_VERSION
    return m


# The demo avatar's mouth, in the director's keypoint units (rows 13..20 go
# round the mouth: right corner, lower lip, left corner, upper lip).
def demo_open():
    v = np.zeros((KP_ROWS, 3), np.float32)
    v[[14, 15, 16], 1] = 0.10   # lower lip down
    v[[18, 19, 20], 1] = -0.025  # upper lip up
    v[[13, 17], 1] = 0.02        # corners follow
    return v.reshape(-1)


def demo_round():
    v = np.zeros((KP_ROWS, 3), np.float32)
    v[13, 0] = -0.03  # the corners draw in
    v[17, 0] = 0.03
    v[[14, 15, 16], 1] = -0.02   # and the opening narrows
    return v.reshape(-1)


def build_demo_frontend():
    """Per 40 ms frame of the (normalised) 8 s window: channel 0 is the mouth
    opening, tanh(1.5 rms); channel 1 the lip rounding, the opening weighted by
    how little of the frame's energy is in fast changes (dark vowels)."""
    g = Graph()
    g.input("input_values", [1, LEGACY_SAMPLES])
    frames = LEGACY_SAMPLES // 640
    x = g.op("Reshape", ["input_values", g.i64("frame_shape", [frames, 640])], "frames")
    ms = g.op("ReduceMean", [g.op("Mul", [x, x], "sq")], "ms", axes=[1], keepdims=1)
    rms = g.op("Sqrt", [g.op("Add", [ms, g.const("eps", 1e-8)], "ms_eps")], "rms")
    ax = g.i64("ax1", [1])
    d = g.op("Sub", [g.op("Slice", [x, g.i64("one", [1]), g.i64("end", [640]), ax], "later"),
                     g.op("Slice", [x, g.i64("zero", [0]), g.i64("last", [639]), ax], "earlier")],
             "diff")
    dms = g.op("ReduceMean", [g.op("Mul", [d, d], "dsq")], "dms", axes=[1], keepdims=1)
    drms = g.op("Sqrt", [g.op("Add", [dms, "eps"], "dms_eps")], "drms")
    opening = g.op("Tanh", [g.op("Mul", [rms, g.const("open_gain", 1.5)], "open_pre")], "opening")
    hf = g.op("Div", [drms, g.op("Add", [rms, g.const("rms_floor", 0.05)], "rms_f")], "hf")
    dark = g.op("Clip", [g.op("Mul", [g.op("Sub", [g.const("hf_knee", 0.35), hf], "hf_gap"),
                                      g.const("hf_gain", 5.0)], "dark_pre"),
                         g.const("lo", 0.0), g.const("hi", 1.0)], "dark")
    rounding = g.op("Mul", [opening, dark], "rounding")
    pair = g.op("Concat", [opening, rounding], "pair", axis=1)
    rows = g.op("Pad", [pair, g.i64("pads", [0, 0, 0, CHANNELS - 2])], "rows")
    emb = g.op("Expand", [g.op("Unsqueeze", [rows, g.i64("ax0", [0])], "one_layer"),
                          g.i64("emb_shape", [LAYERS, frames, CHANNELS])], "layers")
    g.op("Identity", [emb], "emb_out", out="audio_emb")
    g.output("audio_emb", [LAYERS, frames, CHANNELS])
    return g.model("w2v_demo", "demo frontend: mouth opening and lip rounding per frame")


def build_demo_encoder():
    """ctx channels 0 and 1 carry the frame's opening and rounding; the
    positional rows and the mask are accepted and not needed."""
    g = Graph()
    H = CTX_WIDTH
    g.input("feat", [1, "T", LAYERS, CHANNELS])
    g.input("pos_window", [1, "T", H])
    g.input("attn", [1, 1, "T", "T"])
    first = g.op("Slice", ["feat", g.i64("s0", [0, 0]), g.i64("s1", [1, 2]),
                           g.i64("axes", [2, 3])], "layer0_pair")
    x = g.op("Reshape", [first, g.i64("rows_shape", [-1, 2])], "pair_rows")
    ctx = g.op("Pad", [x, g.i64("pads", [0, 0, 0, H - 2])], "ctx_rows")
    g.op("Unsqueeze", [ctx, g.i64("ax0", [0])], "ctx_out", out="ctx")
    g.output("ctx", [1, "T", H])
    return g.model("a2x_enc_demo", "demo encoder: opening and rounding per frame")


def build_demo_decoder():
    """m = 0.35 prev + 0.65 (opening OPEN + rounding ROUND): the demo face's
    lips follow the speech with a little inertia; in silence they close."""
    g = Graph()
    H = CTX_WIDTH
    g.input("ctx_t", [1, H])
    g.input("prev", [1, 3 * KP_ROWS])
    g.input("h", [1, 1, H])
    wm = np.zeros((H, 3 * KP_ROWS), np.float32)
    wm[0] = demo_open()
    wm[1] = demo_round()
    target = g.op("MatMul", ["ctx_t", g.const("mouth", wm)], "target")
    g.op("Add", [g.op("Mul", ["prev", g.const("keep", 0.35)], "kept"),
                 g.op("Mul", [target, g.const("take", 0.65)], "taken")], "m_node", out="m")
    g.op("Identity", ["h"], "h_node", out="h_out")
    g.output("m", [1, 3 * KP_ROWS])
    g.output("h_out", [1, 1, H])
    return g.model("a2x_dec_demo", "demo decoder: speech opens and rounds the lips")


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("outdir")
    ap.add_argument("--quiet", action="store_true")
    ap.add_argument("--demo", action="store_true",
                    help="write the demo avatar's procedural motion models instead")
    args = ap.parse_args(argv)
    t0 = time.monotonic()
    os.makedirs(args.outdir, exist_ok=True)
    w = Weights()
    models = {
        "w2v.onnx": build_demo_frontend(),
        "a2x_enc_stream.onnx": build_demo_encoder(),
        "a2x_dec.onnx": build_demo_decoder(),
    } if args.demo else {
        "w2v.onnx": build_legacy(w),
        "audio_encoder_fp16_window_trunk.onnx": build_trunk(w, False),
        "audio_encoder_fp16_window_trunk_dyn.onnx": build_trunk(w, True),
        "audio_encoder_fp16_window_head.onnx": build_head(w),
        "a2x_enc_stream.onnx": build_encoder(w, False),
        "a2x_enc_stream_wn.onnx": build_encoder(w, True),
        "a2x_dec.onnx": build_decoder(w),
        "a2x_dec_fails_voiced.onnx": build_decoder(w, fail_above=FAIL_ABOVE),
        "fca_stream.onnx": build_fca(w),
        "gelu_f16.onnx": build_gelu_unsupported(),
    }
    for name, model in models.items():
        path = os.path.join(args.outdir, name)
        tmp = path + ".part"
        onnx.save(model, tmp)
        os.replace(tmp, path)
        if not args.quiet:
            print("wrote %s (%d bytes)" % (path, os.path.getsize(path)))
    if not args.quiet:
        print("%d models in %.2f s" % (len(models), time.monotonic() - t0))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
