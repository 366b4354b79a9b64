"""The trained motion model: its audio frontend, its network and their export
as a motion directory the engine runs (w2v.onnx, a2x_enc_stream.onnx,
a2x_dec.onnx, a2x_meta.json, a2x_pos.f32, a2x_norm.f32).

Frontend ("input_values" [1, 128000], the engine's normalised 8 s window ->
"audio_emb" [12, 200, 768], one row per 40 ms frame):
- layer 0, channels 0 and 1: the procedural model's mouth opening and lip
  rounding, computed as its own frontend does, so that a process whose one
  frontend is this one still runs procedural motion directories;
- layer 1, channels 0 .. 395: for the frame and the two after it (the
  look-ahead R = 2 lives here: the encoder sees no future), four 10 ms steps
  each of 32 log-mel bands less their mean (the spectrum's shape, whatever
  the level) and less their mean over the two seconds before (the voice's
  and the channel's colour), and the step's log energy against the loudest of the second
  before it (at least a fixed floor). Every step's 20 ms window ends where
  its step does, so a row reads no audio beyond its frame + 2: a live,
  half-filled window gives the rows it releases the same values as a full
  one, except for the floor, which training varies.

Encoder ("feat" [1, T, 12, 768] -> "ctx" [1, T, H]): per-row layer, then a
causal convolution over the row and the 4 before it; "pos_window" and
"attn" are accepted and not read (window 0). Decoder ("ctx_t", "prev", "h"
-> "m", "h_out"): one GRU step, softmax over the seven mouth shapes, m the
weighted sum of the shapes' keypoint offsets (BASIS, in the units of the
astronaut's mouth: a2x_norm.f32 scales them to each avatar's).
"""

import json
import os

import numpy as np
import torch
import torch.nn.functional as F
from torch import nn

from mouth_shapes import KP_ROWS, SHAPES, basis

RATE = 16000
FRAME = 640
WINDOW = 128000
ROWS = 200
LAYERS = 12
CHANNELS = 768
STEP = 160          # 10 ms
STEP_WINDOW = 320   # 20 ms, ending where its step ends
BANDS = 32
LOOKAHEAD = 2       # frames: the frontend's R
STEP_FEATURES = BANDS + 1
ROW_FEATURES = 4 * STEP_FEATURES
FEATURES = (LOOKAHEAD + 1) * ROW_FEATURES  # 396
ENERGY_FLOOR = -3.0
HISTORY_STEPS = 100
SHAPE_HISTORY = 200
HIDDEN = 64
KERNEL = 5


def mel_matrix(n_fft=STEP_WINDOW, bands=BANDS, low=60.0, high=7600.0):
    def mel(hz):
        return 2595 * np.log10(1 + hz / 700)

    edges = 700 * (10 ** (np.linspace(mel(low), mel(high), bands + 2) / 2595) - 1)
    hz = np.arange(n_fft // 2 + 1) * RATE / n_fft
    w = np.zeros((bands, len(hz)), np.float32)
    for b in range(bands):
        lo, mid, hi = edges[b], edges[b + 1], edges[b + 2]
        w[b] = np.clip(np.minimum((hz - lo) / (mid - lo), (hi - hz) / (hi - mid)), 0, None)
    return w


class Frontend(nn.Module):
    def __init__(self):
        super().__init__()
        n = np.arange(STEP_WINDOW)
        window = 0.5 - 0.5 * np.cos(2 * np.pi * n / STEP_WINDOW)
        k = np.arange(STEP_WINDOW // 2 + 1)[:, None]
        ang = 2 * np.pi * k * n[None] / STEP_WINDOW
        dft = np.concatenate([np.cos(ang), np.sin(ang)]) * window
        self.register_buffer("dft", torch.tensor(dft[:, None, :], dtype=torch.float32))
        self.register_buffer("mel", torch.tensor(mel_matrix()))

    def trained(self, x):
        """[B, 128000] -> [B, 200, 396]."""
        bins = STEP_WINDOW // 2 + 1
        dft = F.conv1d(F.pad(x[:, None], (STEP_WINDOW - STEP, 0)), self.dft, stride=STEP)
        power = dft[:, :bins] ** 2 + dft[:, bins:] ** 2             # [B, 161, 800]
        logmel = torch.log(torch.matmul(self.mel, power) + 1e-4)      # [B, 32, 800]
        shape = logmel - logmel.mean(1, keepdim=True)
        # Less the voice's and the channel's own colour: the mean shape of the
        # two seconds before (silence before the stream counts as flat).
        total = torch.cumsum(F.pad(shape, (SHAPE_HISTORY, 0)), 2)
        shape = shape - (total[:, :, SHAPE_HISTORY:] - total[:, :, :-SHAPE_HISTORY]) / SHAPE_HISTORY
        energy = torch.log(power.sum(1, keepdim=True) + 1e-4)         # [B, 1, 800]
        loudest = F.max_pool1d(F.pad(energy, (HISTORY_STEPS - 1, 0), value=-1e4),
                               HISTORY_STEPS, stride=1)
        rel = energy - torch.clamp(loudest, min=ENERGY_FLOOR)
        steps = torch.cat([shape, rel], 1)                            # [B, 33, 800]
        rows = steps.reshape(-1, STEP_FEATURES, ROWS, 4).permute(0, 2, 3, 1)
        rows = rows.reshape(-1, ROWS, ROW_FEATURES)
        ahead = F.pad(rows, (0, 0, 0, LOOKAHEAD))
        return torch.cat([ahead[:, i:i + ROWS] for i in range(LOOKAHEAD + 1)], 2)

    @staticmethod
    def procedural(x):
        """[B, 128000] -> [B, 200, 2]: the procedural frontend's two channels."""
        f = x.reshape(-1, ROWS, FRAME)
        rms = torch.sqrt((f * f).mean(2, keepdim=True) + 1e-8)
        d = f[:, :, 1:] - f[:, :, :-1]
        drms = torch.sqrt((d * d).mean(2, keepdim=True) + 1e-8)
        opened = torch.tanh(rms * 1.5)
        dark = torch.clamp((0.35 - drms / (rms + 0.05)) * 5.0, 0.0, 1.0)
        return torch.cat([opened, opened * dark], 2)

    def forward(self, x):
        layer0 = F.pad(self.procedural(x), (0, CHANNELS - 2))
        layer1 = F.pad(self.trained(x), (0, CHANNELS - FEATURES))
        # Batch of one: [12, 200, 768], the layers no model reads left zero.
        return F.pad(torch.cat([layer0, layer1], 0), (0, 0, 0, 0, 0, LAYERS - 2))


def normalise_window(x):
    """The engine's normalisation of a window: zero mean, unit variance."""
    x = x.astype(np.float64)
    x = (x - x.mean()) / np.sqrt(np.float32(x.var()) + np.float32(1e-7))
    return x.astype(np.float32)


def stream_rows(frontend, audio, gains=None, batch=8):
    """Layer-1 rows of a whole stream the way the engine makes them: 8 s
    windows every 100 frames, each giving rows from its 100th on (the first
    from 0), rounded through float16. gains (one per window) scale a window
    after normalisation, as a half-filled live window does."""
    frames = -(-len(audio) // FRAME)
    starts = list(range(0, max(frames - ROWS, 0) + 100, 100)) or [0]
    out = np.zeros((frames, FEATURES), np.float32)
    with torch.no_grad():
        for b in range(0, len(starts), batch):
            group = starts[b:b + batch]
            windows = np.zeros((len(group), WINDOW), np.float32)
            for i, f0 in enumerate(group):
                piece = audio[f0 * FRAME:f0 * FRAME + WINDOW]
                windows[i, :len(piece)] = piece
                windows[i] = normalise_window(windows[i])
                if gains is not None:
                    windows[i] *= gains[b + i]
            rows = frontend.trained(torch.from_numpy(windows)).numpy()
            for i, f0 in enumerate(group):
                first = 0 if f0 == 0 else 100
                last = min(ROWS, frames - f0)
                out[f0 + first:f0 + last] = rows[i, first:last]
    return out.astype(np.float16).astype(np.float32)


class Motion(nn.Module):
    def __init__(self):
        super().__init__()
        self.register_buffer("mean", torch.zeros(FEATURES))
        self.register_buffer("std", torch.ones(FEATURES))
        self.register_buffer("basis", torch.tensor(basis()))
        self.rows = nn.Linear(FEATURES, 128)
        self.conv = nn.Linear(128 * KERNEL, 128)
        self.ctx = nn.Linear(128, HIDDEN)
        self.gru = nn.GRU(HIDDEN, HIDDEN, batch_first=True)
        self.shapes = nn.Linear(HIDDEN, len(SHAPES))
        self.drop = nn.Dropout(0.1)

    def encode(self, feat):
        """[B, T, 396] -> [B, T, H]; rows before the first count as zeros."""
        x = torch.relu(self.rows(self.drop((feat - self.mean) / self.std)))
        T = x.shape[1]
        past = F.pad(x, (0, 0, KERNEL - 1, 0))
        x = torch.cat([past[:, i:i + T] for i in range(KERNEL)], 2)
        return torch.tanh(self.ctx(torch.relu(self.conv(self.drop(x)))))

    def forward(self, feat, h0=None):
        out, _ = self.gru(self.encode(feat), h0)
        return self.shapes(out)


class Encoder(nn.Module):
    def __init__(self, motion):
        super().__init__()
        self.motion = motion

    def forward(self, feat):
        return self.motion.encode(feat[:, :, 1, :FEATURES])


class Decoder(nn.Module):
    def __init__(self, motion):
        super().__init__()
        self.cell = nn.GRUCell(HIDDEN, HIDDEN)
        g = motion.gru
        for a, b in (("weight_ih", "weight_ih_l0"), ("weight_hh", "weight_hh_l0"),
                     ("bias_ih", "bias_ih_l0"), ("bias_hh", "bias_hh_l0")):
            getattr(self.cell, a).data.copy_(getattr(g, b).data)
        self.shapes = motion.shapes
        self.register_buffer("basis", motion.basis.clone())

    def forward(self, ctx_t, h):
        h1 = self.cell(ctx_t, h[0])
        w = torch.softmax(self.shapes(h1), 1)
        return torch.matmul(w, self.basis), h1[None]


def _add_inputs(path, inputs):
    """Declares graph inputs the engine feeds but the model does not read."""
    import onnx
    from onnx import TensorProto, helper

    model = onnx.load(path)
    have = {i.name for i in model.graph.input}
    for name, dims in inputs:
        if name not in have:
            model.graph.input.append(helper.make_tensor_value_info(name, TensorProto.FLOAT, dims))
    onnx.save(model, path)


def export(motion, outdir):
    """Writes the motion directory's models and tables into outdir."""
    os.makedirs(outdir, exist_ok=True)
    motion = motion.eval()
    opts = dict(opset_version=17, do_constant_folding=True)
    with torch.no_grad():
        torch.onnx.export(Frontend(), (torch.zeros(1, WINDOW),), os.path.join(outdir, "w2v.onnx"),
                          input_names=["input_values"], output_names=["audio_emb"], **opts)
        enc = os.path.join(outdir, "a2x_enc_stream.onnx")
        torch.onnx.export(Encoder(motion), (torch.zeros(1, 7, LAYERS, CHANNELS),), enc,
                          input_names=["feat"], output_names=["ctx"],
                          dynamic_axes={"feat": {1: "T"}, "ctx": {1: "T"}}, **opts)
        _add_inputs(enc, [("pos_window", [1, "T", HIDDEN]), ("attn", [1, 1, "T", "T"])])
        dec = os.path.join(outdir, "a2x_dec.onnx")
        torch.onnx.export(Decoder(motion), (torch.zeros(1, HIDDEN), torch.zeros(1, 1, HIDDEN)),
                          dec, input_names=["ctx_t", "h"], output_names=["m", "h_out"], **opts)
        _add_inputs(dec, [("prev", [1, 3 * KP_ROWS])])
    write_meta(outdir)


def write_meta(outdir, mean=None, scale=None):
    with open(os.path.join(outdir, "a2x_meta.json"), "w") as f:
        json.dump({"h": HIDDEN, "window": 0, "left": KERNEL - 1, "layers": 1, "width": False,
                   "silence_prime": 25, "w2v_right": LOOKAHEAD}, f)
        f.write("\n")
    np.zeros((256, HIDDEN), np.float32).tofile(os.path.join(outdir, "a2x_pos.f32"))
    norm = np.concatenate([np.zeros(63, np.float32) if mean is None else mean,
                           np.ones(63, np.float32) if scale is None else scale])
    norm.astype(np.float32).tofile(os.path.join(outdir, "a2x_norm.f32"))
