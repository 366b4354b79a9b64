"""Writes synthetic render models ("directors") for tests and demos.

The models are small, deterministic stand-ins for a bundle's render model:
they have the graph structure the renderer's load-time rewrites look for,
and they compute something meaningful, so a rewritten model can be checked
against the original by running both.

usage: gen_models.py OUTDIR [--crop N] [--model KIND[:BATCH[:KEY]]]... [--quiet]

Each --model writes OUTDIR/model_<KEY>.onnx. Without --model the unit-test
set is written (see TEST_SET). BATCH is a number, or "N" for a symbolic
batch. KIND is "m4b" (the director), "featsynth", "kp22" (keypoint inputs
with 22 rows), "dynbatch" (symbolic batch on every input), "dynrows"
(symbolic keypoint row count), or one of VARIANTS: a director that differs
in the one structural point the variant names. The default key is b<BATCH>
for m4b, fs_b<BATCH> for featsynth and the kind's name otherwise.

Keypoint convention (every keypoint input, [B, 21, 3] float32):
- columns 0 and 1 are x and y in normalised crop coordinates, -1 .. 1,
  x to the right, y downwards, pixel i's centre at (2i + 1) / C - 1 (the
  align_corners = 0 convention of GridSample); column 2 is ignored;
- rows 13 .. 20 are the lips (LIP_ROWS), rows 0 .. 12 the rest of the face.
  NEUTRAL_KP is a plausible rest pose: lips on an ellipse around (0, 0.45),
  half-axes 0.22 x 0.08, row 13 + k at angle 45k degrees (y down, so rows
  14 .. 16 are the lower lip).

m4b director ("pooled64" [B,64,32,32], "P_rgb" [B,3,C,C], "kp_driving",
"kp_source" -> "rgb" [B,3,C,C], values in [0, 1]):
- warp grid: identity + sum_k w_k (src_k - drv_k) / max(1, sum_k w_k), with
  w_k = exp(-|p - drv_k|^2 / (2 * 0.1^2)); equal keypoints give exactly the
  identity grid, and a keypoint's motion reaches about 0.3 around it. As
  w_k(x, y) = a_k(x) b_k(y), both sums are matrix products [C x K] by
  [K x C] (kind "before" computes them as K full-size planes, as the first
  director did);
- source cone: P_rgb, edge-padded by 1, gives the horizontal, vertical and
  mixed second differences (three depthwise 3x3 Convs); one Concat joins
  [P_rgb, Dxx, Dyy, Dxxyy] (12 channels) and is the cone's only output;
- one GridSample (bilinear, border, align_corners 0) samples the Concat;
  four Slices and Mul/Sub/Add recombine the samples into the
  curvature-corrected warp  s0 - ex*sxx - ey*syy + ex*ey*sxy  (ex = u(1-u)/2
  from the grid's fractional sample offsets); its one exit feeds a Clip;
- feature branch: pooled64 -> 1x1 Conv to 8 channels -> 4 x 4 AveragePool ->
  cubic x2 Resize "/Resize" -> Conv -> Tanh -> pooled statistics -> MatMul
  "/s2/blend" (2-D) -> Sigmoid: a mouth tint t (kind "before": the Resize
  reads pooled64 itself, 64 channels at 32 x 32);
- compose tail: a = Clip(4 (1 - r^2), 0, 1), r the elliptical distance to
  the mean of the driving lips; mouth = warped + s (t - warped) with
  s = min(1, 8 mean|src_lips - drv_lips|); rgb = Identity(Add(Mul(Sub(1, a),
  warped), Mul(a, mouth))).
  The prior is the warped frame rather than P_rgb itself: P_rgb read outside
  the cone would make the cone impossible to hoist (kind "prior_prgb" has
  exactly that shape). The feature branch only reaches the output inside the
  mouth and only when the lips move, so equal keypoints give P_rgb back
  (up to float rounding of the identity grid, well below 1e-5).

Kind "before" is the demo's director before its redesign: the same
pictures (up to float rounding) at more than twice the cost, kept as the
reference that bench_render and the render-model test compare against.

Kind "int8" is the quantised director: every 3x3 Conv (the cone's three
depthwise ones and the head's) becomes an Int8ConvVNNI node of the domain
"com.velmoor.int8" with inputs (X, int8 weights, per-output-channel scale,
bias): weights quantised symmetrically per output channel,
scale = max|w| / 127, w_q = round(w / scale). The node keeps the Conv's
strides, pads, dilations and group. It renders what the float director
renders up to the activation and weight quantisation error.

featsynth ("fs_red" [B,64,64,64], "pooled", "kd", "ks" -> "rgb"): a 1x1
Conv of fs_red resized to the crop, plus terms from pooled, kd and ks, then a
Sigmoid; every input changes the output.

Every model is checked structurally before it is written, so a generator
change that would hide a model from the rewrites fails here, not later.
"""

import argparse
import math
import os
import sys
import time

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

OPSET = 17
IR_VERSION = 8
KP_ROWS = 21
LIP_ROWS = (13, 21)  # half-open row range of the lips
SIGMA = 0.1  # warp influence radius of a keypoint, normalised units
HEAD_CH = 8  # feature channels the head upsamples
HEAD_POOL = 4  # and the cells it averages them over first
TEST_CROP = 64
CUBIC_A = -0.75
MOUTH_TINT = None  # fixed mouth colour for demo directors (--mouth-tint)

NEUTRAL_KP = np.array(
    [
        [-0.55, -0.30, 0], [-0.35, -0.38, 0], [-0.15, -0.30, 0],  # right brow
        [0.15, -0.30, 0], [0.35, -0.38, 0], [0.55, -0.30, 0],  # left brow
        [-0.35, -0.15, 0], [0.35, -0.15, 0],  # eyes
        [0.00, -0.05, 0], [0.00, 0.15, 0],  # nose bridge, tip
        [-0.70, 0.20, 0], [0.70, 0.20, 0], [0.00, 0.85, 0],  # jaw, chin
    ]
    + [[0.22 * math.cos(k * math.pi / 4), 0.45 + 0.08 * math.sin(k * math.pi / 4), 0]
       for k in range(8)],
    dtype=np.float32)

# The source frame fails_on_frame fails on: kp_source[0, 0, 0] of corpus
# frame r is r in the test motion directories.
FAIL_FRAME = 2

# Kinds of m4b model that differ from the director in one structural point.
VARIANTS = {
    "prior_prgb": "the compose prior is P_rgb itself (read outside the cone)",
    "two_concat": "a second Concat reads P_rgb",
    "gs_zeros": "the cone's GridSample pads with zeros",
    "cone_input": "the cone also reads the graph input pooled64",
    "two_resize": "two matching cubic x2 Resize nodes",
    "lip_input": "the graph already has a lip_delivery input (bound alpha)",
    "velmoor_opset": "the model already imports the com.velmoor opset",
    "gs_fast": "the GridSample is already com.velmoor GridSampleFast",
    "int8": "its 3x3 Convs are com.velmoor.int8 Int8ConvVNNI nodes with int8 weights",
    "fails_on_frame": "its run fails when the source keypoints are those of corpus frame %d"
                      % FAIL_FRAME,
}
KINDS = ["m4b", "featsynth", "kp22", "dynbatch", "dynrows", "before"] + sorted(VARIANTS)

# kind, batch, key
TEST_SET = [
    ("m4b", 1, "b1"), ("m4b", 4, "b4"), ("m4b", 24, "b24_fp32"),
    ("featsynth", 1, "fs_b1"), ("featsynth", 4, "fs_b4"),
    ("kp22", 1, "kp22"), ("dynbatch", "N", "dynbatch"), ("dynrows", 1, "dynrows"),
] + [(v, 1, v) for v in sorted(VARIANTS)]


class Graph:
    """Accumulates nodes and initializers with readable, unique names."""

    def __init__(self, seed):
        self.nodes, self.inits, self.inputs, self.outputs = [], [], [], []
        self.value_info = []
        self.rng = np.random.RandomState(seed)
        self._n = 0

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

    def op(self, op_type, inputs, name, outputs=1, domain=None, **attrs):
        # Tensor names differ from node names, as in exported graphs.
        outs = ["%s_output_%d" % (name, i) for i in range(outputs)]
        self.nodes.append(helper.make_node(op_type, inputs, outs, name=name,
                                           domain=domain, **attrs))
        return outs[0] if outputs == 1 else outs

    def model(self, doc, extra_opsets=()):
        graph = helper.make_graph(self.nodes, "director", self.inputs, self.outputs,
                                  self.inits, value_info=self.value_info)
        opsets = [helper.make_opsetid("", OPSET)] + [helper.make_opsetid(d, v)
                                                    for d, v in extra_opsets]
        m = helper.make_model(graph, opset_imports=opsets, producer_name="gen_models",
                              doc_string=doc)
        m.ir_version = IR_VERSION
        return m


def pixel_centres(crop):
    return ((2.0 * np.arange(crop) + 1.0) / crop - 1.0).astype(np.float32)


def second_difference_kernels():
    d = np.array([1.0, -2.0, 1.0], np.float32)
    kxx = np.zeros((3, 3), np.float32)
    kxx[1, :] = d
    kyy = kxx.T.copy()
    kxy = np.outer(d, d)  # Dxx of the rows above, at and below, clamped alike
    return [np.tile(k, (3, 1, 1, 1)) for k in (kxx, kyy, kxy)]


INT8_DOMAIN = "com.velmoor.int8"


def quantise_per_channel(w):
    """Symmetric int8 per output channel: (w_q, scale) with w ~ w_q * scale."""
    flat = w.reshape(w.shape[0], -1)
    scale = np.abs(flat).max(axis=1) / 127.0
    scale[scale == 0] = 1.0
    q = np.clip(np.round(flat / scale[:, None]), -127, 127).astype(np.int8)
    return q.reshape(w.shape), scale.astype(np.float32)


def conv3x3(g, kind, x, w, b, name, dims, **attrs):
    """A 3x3 Conv, or with kind "int8" its Int8ConvVNNI form (dims: the output shape)."""
    if kind != "int8":
        ins = [x, g.const(name + "/w", w)] + ([g.const(name + "/b", b)] if b is not None else [])
        return g.op("Conv", ins, name, kernel_shape=[3, 3], **attrs)
    q, scale = quantise_per_channel(np.asarray(w, np.float32))
    bias = np.zeros(w.shape[0], np.float32) if b is None else np.asarray(b, np.float32)
    out = g.op("Int8ConvVNNI", [x, g.const(name + "/wq", q, np.int8),
                                g.const(name + "/scale", scale), g.const(name + "/b", bias)],
               name, domain=INT8_DOMAIN, **attrs)
    # Shape inference cannot see through a custom node: declare its output.
    g.value_info.append(helper.make_tensor_value_info(out, TensorProto.FLOAT, dims))
    return out


def dense_warp(g, C, gx, gy, kd, disp, idx):
    """The warp grid [B, C, C, 2] and its curvature weights ex, ey [B, 1, C, C]
    as the first director computed them: every keypoint's weight at every
    pixel, K full-size planes."""
    i0, i1, i2, i3 = idx
    kd4 = g.op("Unsqueeze", [kd, i3], "/kp/drv4")
    disp4 = g.op("Unsqueeze", [disp, i3], "/kp/disp4")
    kdx = g.op("Slice", [kd4, i0, i1, i2], "/kp/drv_x")
    kdy = g.op("Slice", [kd4, i1, i2, i2], "/kp/drv_y")
    ux = g.op("Slice", [disp4, i0, i1, i2], "/kp/disp_x")
    uy = g.op("Slice", [disp4, i1, i2, i2], "/kp/disp_y")
    dx = g.op("Sub", [gx, kdx], "/warp/dx")
    dy = g.op("Sub", [gy, kdy], "/warp/dy")
    d2 = g.op("Add", [g.op("Mul", [dx, dx], "/warp/dx2"), g.op("Mul", [dy, dy], "/warp/dy2")],
              "/warp/d2")
    w = g.op("Exp", [g.op("Mul", [d2, g.const("/warp/falloff", -0.5 / SIGMA ** 2)],
                          "/warp/e")], "/warp/w")
    wsum = g.op("ReduceSum", [w, i1], "/warp/wsum", keepdims=1)
    norm = g.op("Max", [wsum, g.const("/warp/one", 1.0)], "/warp/norm")
    sx = g.op("ReduceSum", [g.op("Mul", [w, ux], "/warp/wux"), i1], "/warp/sx", keepdims=1)
    sy = g.op("ReduceSum", [g.op("Mul", [w, uy], "/warp/wuy"), i1], "/warp/sy", keepdims=1)
    grid_x = g.op("Add", [gx, g.op("Div", [sx, norm], "/warp/mx")], "/warp/grid_x")
    grid_y = g.op("Add", [gy, g.op("Div", [sy, norm], "/warp/my")], "/warp/grid_y")
    grid = g.op("Concat", [g.op("Transpose", [grid_x], "/warp/gxt", perm=[0, 2, 3, 1]),
                           g.op("Transpose", [grid_y], "/warp/gyt", perm=[0, 2, 3, 1])],
                "/warp/grid", axis=3)

    def offset_weight(axis, coord):
        one = g.const("/warp/%s_one" % axis, 1.0)
        half = g.const("/warp/%s_half" % axis, 0.5)
        ix = g.op("Mul", [g.op("Sub", [g.op("Mul", [g.op("Add", [coord, one], "/warp/%s_p1" % axis),
                                                     g.const("/warp/%s_size" % axis, float(C))],
                                              "/warp/%s_scaled" % axis), one],
                               "/warp/%s_m1" % axis), half], "/warp/%s_src" % axis)
        u = g.op("Sub", [ix, g.op("Floor", [ix], "/warp/%s_floor" % axis)], "/warp/%s_frac" % axis)
        return g.op("Mul", [g.op("Sub", [u, g.op("Mul", [u, u], "/warp/%s_u2" % axis)],
                                 "/warp/%s_uu" % axis), half], "/warp/%s_e" % axis)

    return grid, offset_weight("x", grid_x), offset_weight("y", grid_y)


def separable_warp(g, C, gx, gy, kd, disp, idx):
    """The same grid and weights, computed without a full-size plane per
    keypoint: a keypoint's Gaussian weight is a product of a row and a column
    factor, so the weighted sums over keypoints are two matrix products,
    [C x K] by [K x C]. Equal keypoints still give exactly the identity grid."""
    i0, i1, i2, i3 = idx
    falloff = g.const("/warp/falloff", -0.5 / SIGMA ** 2)
    # Column factors [B, 1, K, C]: exp(-(x - kx)^2 / 2 sigma^2).
    kdx = g.op("Unsqueeze", [g.op("Slice", [kd, i0, i1, i2], "/kp/drv_x"), i1], "/kp/drv_x4")
    dx = g.op("Sub", [gx, kdx], "/warp/dx")
    ax = g.op("Exp", [g.op("Mul", [g.op("Mul", [dx, dx], "/warp/dx2"), falloff], "/warp/ex2")],
              "/warp/ax")
    # Row factors [B, 1, C, K], and the displacements as rows [B, 2, 1, K].
    kdy = g.op("Unsqueeze", [g.op("Transpose", [g.op("Slice", [kd, i1, i2, i2], "/kp/drv_y")],
                                  "/kp/drv_yt", perm=[0, 2, 1]), i1], "/kp/drv_y4")
    dy = g.op("Sub", [gy, kdy], "/warp/dy")
    ay = g.op("Exp", [g.op("Mul", [g.op("Mul", [dy, dy], "/warp/dy2"), falloff], "/warp/ey2")],
              "/warp/ay")
    u = g.op("Unsqueeze", [g.op("Transpose", [disp], "/kp/disp_t", perm=[0, 2, 1]), i2],
             "/kp/disp_rows")
    moved = g.op("MatMul", [g.op("Mul", [ay, u], "/warp/ayu"), ax], "/warp/sums")  # [B,2,C,C]
    wsum = g.op("MatMul", [ay, ax], "/warp/wsum")                                  # [B,1,C,C]
    norm = g.op("Max", [wsum, g.const("/warp/one", 1.0)], "/warp/norm")
    ident = np.concatenate([np.broadcast_to(pixel_centres(C).reshape(1, 1, 1, C), (1, 1, C, C)),
                            np.broadcast_to(pixel_centres(C).reshape(1, 1, C, 1), (1, 1, C, C))],
                           axis=1)
    mean = g.op("Div", [moved, norm], "/warp/mean")
    planes = g.op("Add", [g.const("/grid/identity", ident), mean], "/warp/planes")
    grid = g.op("Transpose", [planes], "/warp/grid", perm=[0, 2, 3, 1])
    # Curvature weights of both axes at once: e = u (1 - u) / 2 of the
    # fractional source offset u (align_corners 0). A pixel's own position
    # is a whole pixel in the source, so u is the fraction of its move.
    pos = g.op("Mul", [mean, g.const("/warp/half_size", C / 2.0)], "/warp/src")
    frac = g.op("Sub", [pos, g.op("Floor", [pos], "/warp/floor")], "/warp/frac")
    half = g.const("/warp/half", 0.5)
    e = g.op("Mul", [g.op("Sub", [frac, g.op("Mul", [frac, frac], "/warp/u2")], "/warp/uu"),
                     half], "/warp/e")
    return grid, g.op("Slice", [e, i0, i1, i1], "/warp/ex"), g.op("Slice", [e, i1, i2, i1],
                                                                   "/warp/ey")


def build_m4b(crop, batch, kind="m4b", seed=4, before=False):
    g = Graph(seed)
    rows = 22 if kind == "kp22" else ("R" if kind == "dynrows" else KP_ROWS)
    B = batch
    C = crop
    g.input("pooled64", [B, 64, 32, 32])
    g.input("P_rgb", [B, 3, C, C])
    g.input("kp_driving", [B, rows, 3])
    g.input("kp_source", [B, rows, 3])
    if kind == "lip_input":
        g.input("lip_delivery", [B, 1, C, C])

    gx = g.const("/grid/px", pixel_centres(C).reshape(1, 1, 1, C))
    gy = g.const("/grid/py", pixel_centres(C).reshape(1, 1, C, 1))
    i0, i1, i2, i3 = (g.i64("/c/i%d" % v, [v]) for v in range(4))
    lip0, lip1 = g.i64("/c/lip0", [LIP_ROWS[0]]), g.i64("/c/lip1", [LIP_ROWS[1]])

    # Keypoints: x, y of driving and source and their displacement.
    kd = g.op("Slice", ["kp_driving", i0, i2, i2], "/kp/drv_xy")
    ks = g.op("Slice", ["kp_source", i0, i2, i2], "/kp/src_xy")
    disp = g.op("Sub", [ks, kd], "/kp/disp")
    warp = dense_warp if before else separable_warp
    grid, ex, ey = warp(g, C, gx, gy, kd, disp, (i0, i1, i2, i3))
    exy = g.op("Mul", [ex, ey], "/warp/exy")

    # Source cone: depends on P_rgb and constants only, ends in one Concat.
    k_xx, k_yy, k_xy = second_difference_kernels()
    padded = g.op("Pad", ["P_rgb", g.i64("/cone/pads", [0, 0, 1, 1, 0, 0, 1, 1])],
                  "/cone/pad", mode="edge")
    cone_dims = [B, 3, C, C]
    dxx = conv3x3(g, kind, padded, k_xx, None, "/cone/dxx", cone_dims, group=3)
    if kind == "cone_input":
        bias = g.op("ReduceMean", ["pooled64"], "/cone/pool_mean", axes=[1, 2, 3], keepdims=1)
        dxx = g.op("Add", [dxx, g.op("Mul", [bias, g.const("/cone/zero", 0.0)], "/cone/bias")],
                   "/cone/dxx_b")
    dyy = conv3x3(g, kind, padded, k_yy, None, "/cone/dyy", cone_dims, group=3)
    dxy = conv3x3(g, kind, padded, k_xy, None, "/cone/dxxyy", cone_dims, group=3)
    tip = g.op("Concat", ["P_rgb", dxx, dyy, dxy], "/cone/concat", axis=1)
    if kind == "two_concat":
        # Dead on purpose: only its reading of P_rgb matters.
        g.op("Concat", ["P_rgb", "P_rgb"], "/cone/concat_twin", axis=1)

    if kind == "gs_fast":
        sampled = g.op("GridSampleFast", [tip, grid], "/warp/GridSample", domain="com.velmoor")
    else:
        sampled = g.op("GridSample", [tip, grid], "/warp/GridSample", mode="bilinear",
                       padding_mode="zeros" if kind == "gs_zeros" else "border",
                       align_corners=0)

    # Recombination: the curvature-corrected bilinear sample.
    bounds = [g.i64("/c/ch%d" % v, [v]) for v in (0, 3, 6, 9, 12)]
    s0, sxx, syy, sxy = (g.op("Slice", [sampled, bounds[j], bounds[j + 1], i1],
                              "/warp/s%s" % tag)
                         for j, tag in enumerate(("0", "xx", "yy", "xy")))
    r = g.op("Sub", [s0, g.op("Mul", [ex, sxx], "/warp/t_xx")], "/warp/r_xx")
    r = g.op("Sub", [r, g.op("Mul", [ey, syy], "/warp/t_yy")], "/warp/r_yy")
    warp_cc = g.op("Add", [r, g.op("Mul", [exy, sxy], "/warp/t_xy")], "/warp/out")
    zero = g.const("/c/zero", 0.0)
    one = g.const("/c/one", 1.0)
    warped = g.op("Clip", [warp_cc, zero, one], "/warp/clip")

    # Feature branch: a mouth tint from the pooled features.
    scales = g.const("/head/scales", [1.0, 1.0, 2.0, 2.0])

    def head(tag, out_ch):
        x, ch, side = "pooled64", 64, 64
        if not before:
            # The features narrowed to HEAD_CH channels and averaged over
            # HEAD_POOL x HEAD_POOL cells before they are
            # upsampled: the head then costs a small fraction of its first form.
            ch, side = HEAD_CH, 64 // HEAD_POOL
            wr = (g.rng.standard_normal((ch, 64, 1, 1)) * 0.125).astype(np.float32)
            x = g.op("Conv", ["pooled64", g.const("/head%s/reduce/w" % tag, wr)],
                     "/head%s/reduce" % tag, kernel_shape=[1, 1])
            x = g.op("AveragePool", [x], "/head%s/cells" % tag,
                     kernel_shape=[HEAD_POOL, HEAD_POOL], strides=[HEAD_POOL, HEAD_POOL])
        up = g.op("Resize", [x, "", scales], "/Resize" + tag, mode="cubic",
                  coordinate_transformation_mode="half_pixel", cubic_coeff_a=CUBIC_A)
        wt = (g.rng.standard_normal((out_ch, ch, 3, 3)) * 0.05 * math.sqrt(64 / ch)) \
            .astype(np.float32)
        f = conv3x3(g, kind, up, wt, g.rng.standard_normal(out_ch) * 0.1, "/head%s/conv" % tag,
                    [B, out_ch, side, side], dilations=[1, 1], group=1, pads=[1, 1, 1, 1],
                    strides=[1, 1])
        f = g.op("GlobalAveragePool", [g.op("Tanh", [f], "/head%s/tanh" % tag)],
                 "/head%s/gap" % tag)
        return g.op("Flatten", [f], "/head%s/flat" % tag, axis=1), out_ch, x, ch

    heads = [head("", 8)]
    if kind == "two_resize":
        heads.append(head("_1", 4))
    parts = [(flat, n) for flat, n, _, _ in heads]
    _, _, narrow, ch = heads[0]
    if before:
        pm = g.op("ReduceMean", [narrow], "/s2/pool_mean", axes=[2, 3], keepdims=0)
    else:
        # The pooled statistics of the narrowed features: the layout the
        # head's Convs work in, without a reorder back for a reduction.
        pm = g.op("Flatten", [g.op("GlobalAveragePool", [narrow], "/s2/pool_gap")],
                  "/s2/pool_mean", axis=1)
    parts.append((pm, ch))
    feat = g.op("Concat", [p for p, _ in parts], "/s2/feat", axis=1)
    width = sum(n for _, n in parts)
    wb = (g.rng.standard_normal((width, 3)) * 0.3).astype(np.float32)
    bias = [0.2, -0.1, 0.0]
    if MOUTH_TINT is not None:
        # A demo director: the mouth takes one fixed colour; the blend keeps its shape.
        wb = wb * 0.0
        bias = [math.log(t / (1.0 - t)) for t in MOUTH_TINT]
    blend = g.op("MatMul", [feat, g.const("/s2/w", wb)], "/s2/blend")
    tint = g.op("Sigmoid", [g.op("Add", [blend, g.const("/s2/b", bias)],
                                 "/s2/biased")], "/s2/tint")
    tint = g.op("Reshape", [tint, g.i64("/s2/shape", [-1, 3, 1, 1])], "/s2/tint4")

    # How far the lips moved: scales the tint, 0 exactly for equal keypoints.
    lips_u = g.op("Slice", [disp, lip0, lip1, i1], "/lip/disp")
    amount = g.op("ReduceMean", [g.op("Abs", [lips_u], "/lip/abs")], "/lip/mean",
                  axes=[1, 2], keepdims=1)
    amount = g.op("Min", [g.op("Mul", [amount, g.const("/lip/gain", 8.0)], "/lip/gained"), one],
                  "/lip/amount")
    amount = g.op("Unsqueeze", [amount, i3], "/lip/amount4")

    # Elliptical mouth alpha around the driving lips.
    lips_d = g.op("Slice", [kd, lip0, lip1, i1], "/alpha/lips")
    radii = []
    centres = []
    for axis, lo, hi in (("x", i0, i1), ("y", i1, i2)):
        lc = g.op("Slice", [lips_d, lo, hi, i2], "/alpha/l%s" % axis)
        ctr = g.op("ReduceMean", [lc], "/alpha/c%s" % axis, axes=[1, 2], keepdims=1)
        spread = g.op("Sub", [g.op("ReduceMax", [lc], "/alpha/max%s" % axis, axes=[1, 2], keepdims=1),
                              g.op("ReduceMin", [lc], "/alpha/min%s" % axis, axes=[1, 2], keepdims=1)],
                      "/alpha/spread%s" % axis)
        rad = g.op("Add", [g.op("Mul", [spread, g.const("/alpha/k%s" % axis, 0.6)], "/alpha/s%s" % axis),
                           g.const("/alpha/m%s" % axis, 0.1)], "/alpha/r%s" % axis)
        centres.append(g.op("Unsqueeze", [ctr, i3], "/alpha/c%s4" % axis))
        radii.append(g.op("Unsqueeze", [rad, i3], "/alpha/r%s4" % axis))
    nx = g.op("Div", [g.op("Sub", [gx, centres[0]], "/alpha/ox"), radii[0]], "/alpha/nx")
    ny = g.op("Div", [g.op("Sub", [gy, centres[1]], "/alpha/oy"), radii[1]], "/alpha/ny")
    rr = g.op("Add", [g.op("Mul", [nx, nx], "/alpha/nx2"), g.op("Mul", [ny, ny], "/alpha/ny2")],
              "/alpha/r2")
    ramp = g.op("Mul", [g.op("Sub", [g.const("/alpha/one", 1.0), rr], "/alpha/inside"),
                        g.const("/alpha/feather", 4.0)], "/alpha/ramp")
    alpha = g.op("Clip", [ramp, zero, one], "/alpha/clip")
    if kind == "lip_input":
        alpha = g.op("Min", [alpha, "lip_delivery"], "/alpha/bound")

    # Compose tail: the mouth region over the prior, one Identity to the output.
    if before:
        mouth = g.op("Add", [warped, g.op("Mul", [amount, g.op("Sub", [tint, warped], "/mouth/dt")],
                                          "/mouth/tinted")], "/mouth/rgb")
    else:
        # warped + s (t - warped) as warped (1 - s) + s t: two full-size
        # passes where there were three.
        keep = g.op("Sub", [one, amount], "/mouth/keep")
        mouth = g.op("Add", [g.op("Mul", [warped, keep], "/mouth/kept"),
                             g.op("Mul", [amount, tint], "/mouth/tint_s")], "/mouth/rgb")
    prior = "P_rgb" if kind == "prior_prgb" else warped
    inv = g.op("Sub", [g.const("/compose/one", 1.0), alpha], "/compose/inv")
    out = g.op("Add", [g.op("Mul", [inv, prior], "/compose/prior"),
                       g.op("Mul", [alpha, mouth], "/compose/mouth")], "/compose/add")
    if kind == "fails_on_frame":
        # On that frame a Gather reads far past the keypoints: an index that
        # depends on the data, so no optimiser folds the failure away.
        k00 = g.op("Slice", ["kp_source", g.i64("/fail/s", [0, 0]), g.i64("/fail/e", [1, 1]),
                             g.i64("/fail/axes", [1, 2])], "/fail/k0")
        near = g.op("Less", [g.op("Abs", [g.op("Sub", [k00, g.const("/fail/frame", FAIL_FRAME)],
                                                "/fail/d")], "/fail/ad"),
                             g.const("/fail/half", 0.5)], "/fail/near")
        far = g.op("Mul", [g.op("Reshape", [g.op("Cast", [near], "/fail/n64",
                                                 to=TensorProto.INT64), i1], "/fail/n1"),
                           g.i64("/fail/far", [1000])], "/fail/index")
        picked = g.op("Gather", ["kp_source", far], "/fail/pick", axis=1)
        floor = g.op("Min", [g.op("ReduceMin", [picked], "/fail/min", keepdims=0),
                             g.const("/fail/floor", -1e30)], "/fail/floor_v")
        out = g.op("Max", [out, floor], "/fail/out")
    g.nodes.append(helper.make_node("Identity", [out], ["rgb"], name="/compose/out"))
    g.output("rgb", [B, 3, C, C])

    opsets = [("com.velmoor", 1)] if kind in ("velmoor_opset", "gs_fast") else []
    if kind == "int8":
        opsets.append((INT8_DOMAIN, 1))
    doc = "synthetic m4b director (%s), crop %d" % (VARIANTS.get(kind, kind), C)
    return g.model(doc, opsets)


def build_featsynth(crop, batch, seed=5):
    g = Graph(seed)
    B, C = batch, crop
    g.input("fs_red", [B, 64, 64, 64])
    g.input("pooled", [B, 64, 32, 32])
    g.input("kd", [B, KP_ROWS, 3])
    g.input("ks", [B, KP_ROWS, 3])
    rnd = g.rng.standard_normal
    img = g.op("Conv", ["fs_red", g.const("/fs/w", rnd((3, 64, 1, 1)) * 0.05),
                        g.const("/fs/b", [0.1, -0.1, 0.0])], "/fs/conv", kernel_shape=[1, 1])
    if C != 64:
        img = g.op("Resize", [img, "", g.const("/fs/scales", [1, 1, C / 64.0, C / 64.0])],
                   "/fs/upsample", mode="linear", coordinate_transformation_mode="half_pixel")
    pooled = g.op("Conv", [g.op("GlobalAveragePool", ["pooled"], "/fs/gap"),
                           g.const("/fs/pw", rnd((3, 64, 1, 1)) * 0.2)], "/fs/pconv",
                  kernel_shape=[1, 1])
    kd = g.op("MatMul", [g.op("Flatten", ["kd"], "/fs/kd_flat", axis=1),
                         g.const("/fs/kdw", rnd((KP_ROWS * 3, 3)) * 0.2)], "/fs/kd")
    ks = g.op("MatMul", [g.op("Flatten", ["ks"], "/fs/ks_flat", axis=1),
                         g.const("/fs/ksw", rnd((KP_ROWS * 3, 3)) * 0.2)], "/fs/ks")
    kp = g.op("Reshape", [g.op("Add", [kd, ks], "/fs/kp"), g.i64("/fs/shape", [-1, 3, 1, 1])],
              "/fs/kp4")
    mix = g.op("Add", [g.op("Add", [img, pooled], "/fs/sum1"), kp], "/fs/sum2")
    g.nodes.append(helper.make_node("Sigmoid", [mix], ["rgb"], name="/fs/out"))
    g.output("rgb", [B, 3, C, C])
    return g.model("synthetic FeatSynth model, crop %d" % C)


def build(kind, crop, batch):
    if kind == "featsynth":
        return build_featsynth(crop, batch)
    if kind == "before":
        return build_m4b(crop, batch, "m4b", before=True)
    return build_m4b(crop, batch, kind)


# --- structural checks --------------------------------------------------------
# These follow the searches of the renderer's rewrites closely enough that a
# model passing them is one the rewrites will act on (or, for a variant, one
# they must decline for the variant's reason).

class Facts:
    def __init__(self, model):
        gr = model.graph
        self.nodes = list(gr.node)
        self.inits = {t.name: numpy_helper.to_array(t) for t in gr.initializer}
        self.inputs = {i.name: i for i in gr.input}
        self.outputs = [o.name for o in gr.output]
        self.producer = {}
        for n in self.nodes:
            for o in n.output:
                self.producer[o] = n
        self.consumers = {}
        for n in self.nodes:
            for i in n.input:
                if i:
                    self.consumers.setdefault(i, []).append(n)

    def attr(self, node, name):
        for a in node.attribute:
            if a.name == name:
                return helper.get_attribute_value(a)
        return None

    def const(self, name):
        if name in self.inits:
            return self.inits[name]
        n = self.producer.get(name)
        if n is not None and n.op_type == "Constant":
            return numpy_helper.to_array(self.attr(n, "value"))
        return None


def std_domain(node):
    return node.domain in ("", "ai.onnx")


def gs_rewritable(f, node):
    mode, pad, ac = (f.attr(node, k) for k in ("mode", "padding_mode", "align_corners"))
    return (node.op_type == "GridSample" and std_domain(node)
            and mode in (b"bilinear", b"linear") and pad == b"border" and not ac)


def warp_block(f):
    """Returns (boundary, exit) of the warp block, or raises with the reason."""
    concats = [n for n in f.nodes if n.op_type == "Concat" and "P_rgb" in n.input]
    if len(concats) != 1:
        raise ValueError("not one Concat consuming P_rgb: %d" % len(concats))
    boundary = concats[0].output[0]
    gss = [n for n in f.consumers.get(boundary, [])
           if n.op_type in ("GridSample", "GridSampleFast") and n.input[0] == boundary]
    if len(gss) != 1:
        raise ValueError("%d GridSamples on the cone's tip" % len(gss))
    gs = gss[0]
    if gs.op_type == "GridSample" and not gs_rewritable(f, gs):
        raise ValueError("the fused GridSample is not bilinear/border/align_corners=0")
    block = {id(gs): gs}
    for n in f.consumers.get(gs.output[0], []):
        if n.op_type == "Slice":
            block[id(n)] = n
    grown = True
    while grown:
        grown = False
        made = {o for n in block.values() for o in n.output}
        for n in f.nodes:
            if id(n) not in block and n.op_type in ("Mul", "Sub", "Add") \
                    and any(i in made for i in n.input):
                block[id(n)] = n
                grown = True
    made = {o for n in block.values() for o in n.output}
    exits = {o for o in made if o in f.outputs
             or any(id(c) not in block for c in f.consumers.get(o, []))}
    if len(exits) != 1:
        raise ValueError("the recombination has %d exits, not 1" % len(exits))
    if gs.input[1] not in f.producer:
        raise ValueError("the grid has no producer")
    return boundary, exits.pop()


def source_cone(f, boundary):
    """Nodes of the cone behind the boundary; raises when it cannot be hoisted."""
    cone, todo = {}, [boundary]
    while todo:
        v = todo.pop()
        if v == "P_rgb" or v in f.inits:
            continue
        if v in f.inputs:
            raise ValueError("cone reads graph input '%s'" % v)
        n = f.producer.get(v)
        if n is None:
            raise ValueError("cone leaf '%s' has no producer" % v)
        if n.op_type == "Constant" or id(n) in cone:
            continue
        cone[id(n)] = n
        todo.extend(i for i in n.input if i)
    for n in cone.values():
        for o in n.output:
            if o == boundary:
                continue
            for c in f.consumers.get(o, []):
                if id(c) not in cone:
                    raise ValueError("cone value '%s' escapes to %s" % (o, c.name))
    for c in f.consumers.get("P_rgb", []):
        if id(c) not in cone:
            raise ValueError("P_rgb is also read outside the cone by %s" % c.name)
    return cone


def compose_alpha(f):
    """The compose tail's alpha, found the way the lip binding finds it."""
    n = f.producer.get(f.outputs[0])
    for _ in range(4):
        if n is None or n.op_type not in ("Identity", "Cast"):
            break
        n = f.producer.get(n.input[0])
    todo, seen = [n], 0
    while todo and seen < 64:
        n = todo.pop(0)
        if n is None or n.op_type != "Add":
            continue
        seen += 1
        muls = [f.producer.get(i) for i in n.input]
        if len(muls) == 2 and all(m is not None and m.op_type == "Mul" for m in muls):
            for k in (0, 1):
                for i in muls[k].input:
                    sub = f.producer.get(i)
                    if sub is None or sub.op_type != "Sub" or len(sub.input) != 2:
                        continue
                    c = f.const(sub.input[0])
                    a = sub.input[1]
                    clip = f.producer.get(a)
                    other = muls[1 - k].input
                    if c is not None and c.size == 1 and float(c.reshape(-1)[0]) == 1.0 \
                            and clip is not None and clip.op_type == "Clip" \
                            and len(other) == 2 and a in other and other[0] != other[1]:
                        return a
        todo.extend(f.producer.get(i) for i in n.input)
    raise ValueError("the graph does not carry the unified compose tail")


def head_resizes(f):
    out = []
    for n in f.nodes:
        if n.op_type != "Resize" or len(n.input) != 3 or n.input[1] or len(n.output) != 1:
            continue
        if f.attr(n, "mode") != b"cubic" \
                or f.attr(n, "coordinate_transformation_mode") != b"half_pixel" \
                or f.attr(n, "exclude_outside") or f.attr(n, "antialias") \
                or f.attr(n, "axes") is not None \
                or f.attr(n, "keep_aspect_ratio_policy") not in (None, b"stretch"):
            continue
        s = f.const(n.input[2])
        if s is None or s.dtype != np.float32 or s.tolist() != [1, 1, 2, 2]:
            continue
        out.append(n)
    return out


def check(model, kind, crop, batch):
    """Raises AssertionError when the model lacks what its kind promises."""
    onnx.checker.check_model(model)
    f = Facts(model)
    assert f.outputs == ["rgb"], f.outputs
    if kind == "featsynth":
        assert list(f.inputs) == ["fs_red", "pooled", "kd", "ks"]
        return
    if kind == "fails_on_frame":
        return  # a director with a fault; the rewrites may take it or not

    def expect_failure(fn, text):
        try:
            fn()
        except ValueError as e:
            assert text in str(e), "%s: %s" % (kind, e)
            return
        raise AssertionError("%s: expected a refusal containing %r" % (kind, text))

    if kind == "two_concat":
        expect_failure(lambda: warp_block(f), "not one Concat consuming P_rgb: 2")
        return
    if kind == "gs_zeros":
        expect_failure(lambda: warp_block(f), "not bilinear/border")
    else:
        boundary, exit_ = warp_block(f)
        assert f.consumers[exit_][0].op_type == "Clip"
        if kind == "cone_input":
            expect_failure(lambda: source_cone(f, boundary), "cone reads graph input 'pooled64'")
        elif kind == "prior_prgb":
            expect_failure(lambda: source_cone(f, boundary), "P_rgb is also read outside")
        else:
            cone = source_cone(f, boundary)
            conv = "Int8ConvVNNI" if kind == "int8" else "Conv"
            assert sorted(n.op_type for n in cone.values()) == \
                sorted(["Concat", conv, conv, conv, "Pad"]), kind
    gs = [n for n in f.nodes if n.op_type in ("GridSample", "GridSampleFast")]
    assert len(gs) == 1
    if kind == "gs_fast":
        assert gs[0].domain == "com.velmoor"
    elif kind != "gs_zeros":
        assert gs_rewritable(f, gs[0])

    if kind == "lip_input":
        assert "lip_delivery" in f.inputs
    else:
        alpha = compose_alpha(f)
        readers = sorted(n.name for n in f.consumers[alpha])
        assert readers == ["/compose/inv", "/compose/mouth"], readers

    resizes = head_resizes(f)
    assert len(resizes) == (2 if kind == "two_resize" else 1), kind
    for rz in resizes:
        users = f.consumers[rz.output[0]]
        assert len(users) == 1 and users[0].op_type == ("Int8ConvVNNI" if kind == "int8"
                                                         else "Conv")
        wt = f.inits[users[0].input[1]]
        assert wt.ndim == 4 and (f.attr(users[0], "group") or 1) * wt.shape[1] == \
            (64 if kind == "before" else HEAD_CH)
    assert resizes[0].name == "/Resize"

    blends = [n for n in f.nodes if n.name == "/s2/blend"]
    assert len(blends) == 1 and blends[0].op_type == "MatMul" and len(blends[0].input) == 2 \
        and not blends[0].attribute and std_domain(blends[0])
    # As a Gemm the blend needs 2-D operands.
    inferred = onnx.shape_inference.infer_shapes(model)
    ranks = {v.name: len(v.type.tensor_type.shape.dim) for v in inferred.graph.value_info}
    assert ranks[blends[0].input[0]] == 2 and f.inits[blends[0].input[1]].ndim == 2

    dims = [d.dim_value or d.dim_param for d in f.inputs["P_rgb"].type.tensor_type.shape.dim]
    assert dims == [batch, 3, crop, crop], dims
    opsets = {o.domain: o.version for o in model.opset_import}
    assert ("com.velmoor" in opsets) == (kind in ("velmoor_opset", "gs_fast"))
    # The head's narrowing stays a float Conv in every kind.
    convs = [n for n in f.nodes if n.op_type in ("Conv", "Int8ConvVNNI")
             and f.inits[n.input[1]].shape[2:] == (3, 3)]
    if kind == "int8":
        assert all(n.op_type == "Int8ConvVNNI" and n.domain == INT8_DOMAIN for n in convs)
        assert all(f.inits[n.input[1]].dtype == np.int8 for n in convs) and opsets[INT8_DOMAIN]
    else:
        assert INT8_DOMAIN not in opsets and all(n.op_type == "Conv" for n in convs)


def parse_model_arg(text):
    parts = text.split(":")
    kind = parts[0]
    if kind not in KINDS or len(parts) > 3:
        raise argparse.ArgumentTypeError("bad model %r (kinds: %s)" % (text, ", ".join(KINDS)))
    batch = parts[1] if len(parts) > 1 else "1"
    batch = batch if batch == "N" else int(batch)
    if kind == "dynbatch":
        batch = "N"
    default_key = {"m4b": "b%s" % batch, "featsynth": "fs_b%s" % batch}.get(kind, kind)
    key = parts[2] if len(parts) > 2 else default_key
    return kind, batch, key


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("outdir")
    ap.add_argument("--crop", type=int, default=TEST_CROP)
    ap.add_argument("--model", action="append", type=parse_model_arg, default=[],
                    metavar="KIND[:BATCH[:KEY]]")
    ap.add_argument("--quiet", action="store_true")
    ap.add_argument("--mouth-tint", metavar="R,G,B",
                    help="directors tint the moving mouth with this colour (0..1 each)")
    args = ap.parse_args(argv)
    if args.mouth_tint:
        global MOUTH_TINT
        MOUTH_TINT = [min(0.99, max(0.01, float(v))) for v in args.mouth_tint.split(",")]
        if len(MOUTH_TINT) != 3:
            ap.error("--mouth-tint takes three values")
    if args.crop < 8:
        ap.error("crop must be at least 8")
    t0 = time.monotonic()
    os.makedirs(args.outdir, exist_ok=True)
    for kind, batch, key in args.model or TEST_SET:
        model = build(kind, args.crop, batch)
        check(model, kind, args.crop, batch)
        path = os.path.join(args.outdir, "model_%s.onnx" % key)
        tmp = path + ".part"
        with open(tmp, "wb") as fh:
            fh.write(model.SerializeToString())
        os.replace(tmp, path)
        if not args.quiet:
            print("%s: %s batch %s, crop %d, %d nodes" % (path, kind, batch, args.crop,
                                                         len(model.graph.node)))
    if not args.quiet:
        print("done in %.2f s" % (time.monotonic() - t0))


if __name__ == "__main__":
    main(sys.argv[1:])
