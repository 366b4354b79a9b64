"""Trains the motion model from scratch and prints its evaluation beside the
procedural model's.

usage: train_motion.py [OUTDIR] [--work DIR] [--minutes M] [--steps N]
                       [--seed S] [--procedural DIR] [--quiet]

1. Speech with phoneme timing (speech_timing.py): espeak-ng in every English
   voice but one, festival in two of its three voices. Held out for the
   evaluation: festival's cmu_us_slt_arctic_hts (another kind of synthesiser
   altogether) and espeak-ng's en-US-nyc.
2. Feature rows as the engine makes them (motion_model.stream_rows), the
   live half-filled windows imitated by a gain on some windows.
3. The network (motion_model.Motion) learns the seven mouth shapes' weights
   per frame from 6.4 s crops (160 frames, a few mel bands masked), Adam,
   a fixed seed, 2 threads.
4. Export to OUTDIR (default models/motion) and the evaluation: both models
   streamed through the engine (motion_eval.py) on the held-out voices and on
   the spoken recordings of alsa-utils; written to OUTDIR/EVALUATION.txt.

Needs python3-torch (scripts/setup --train) and a built engine ($VEVER_LIB).
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np
import torch

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
import motion_eval  # noqa: E402
import motion_model as mm  # noqa: E402
import speech_timing  # noqa: E402

TRAIN_ESPEAK = [v for v in speech_timing.VOICES if v != "gmw/en-US-nyc"]
TRAIN_FESTIVAL = ["kal_diphone", "ked_diphone"]
HELD_OUT = {"festival slt": ("festival", "cmu_us_slt_arctic_hts"),
            "espeak-ng en-US-nyc": ("espeak", "gmw/en-US-nyc")}
RECORDINGS = ["/usr/share/sounds/alsa/" + n + ".wav" for n in
              ("Front_Center", "Front_Left", "Front_Right", "Rear_Center", "Rear_Left",
               "Rear_Right", "Side_Left", "Side_Right")]
SEQ = 160
BATCH = 32


def say(quiet, text):
    if not quiet:
        print("[train_motion] " + text, file=sys.stderr, flush=True)


def make_data(work, name, synth, voices, minutes, seed, quiet):
    d = os.path.join(work, name)
    if not os.path.exists(os.path.join(d, "done")):
        shutil.rmtree(d, ignore_errors=True)
        say(quiet, "speaking %g minutes for %s" % (minutes, name))
        speech_timing.main([d, "--synth", synth, "--voices", ",".join(voices), "--minutes",
                            str(minutes), "--seed", str(seed), "--quiet"])
        open(os.path.join(d, "done"), "w").close()
    return d


def features(frontend, data_dirs, rng):
    feats, shapes = [], []
    for d in data_dirs:
        for name in sorted(os.listdir(d)):
            if not name.endswith(".npz"):
                continue
            s = np.load(os.path.join(d, name))
            audio = s["audio"].astype(np.float32) / 32768
            windows = len(audio) // (100 * mm.FRAME) + 2
            gains = np.where(rng.random(windows) < 0.5, rng.uniform(1, 4, windows), 1.0)
            rows = mm.stream_rows(frontend, audio, gains)
            feats.append(rows[:len(s["shapes"])])
            shapes.append(s["shapes"])
    return np.concatenate(feats), np.concatenate(shapes)


def train(feats, shapes, steps, seed, quiet):
    torch.manual_seed(seed)
    rng = np.random.default_rng(seed)
    model = mm.Motion()
    model.mean.copy_(torch.tensor(feats.mean(0)))
    model.std.copy_(torch.tensor(feats.std(0) + 1e-3))
    opt = torch.optim.Adam(model.parameters(), lr=2e-3)
    sched = torch.optim.lr_scheduler.OneCycleLR(opt, max_lr=3e-3, total_steps=steps)
    x_all, y_all = torch.tensor(feats), torch.tensor(shapes)
    t0 = time.monotonic()
    model.train()
    for step in range(steps):
        at = rng.integers(0, len(feats) - SEQ, BATCH)
        idx = torch.tensor(at[:, None] + np.arange(SEQ)[None])
        x = x_all[idx]
        # Mask a few mel bands of every step (a voice's formants differ).
        x = x.reshape(BATCH, SEQ, -1, mm.STEP_FEATURES).clone()
        for b, (lo, width) in enumerate(zip(rng.integers(0, mm.BANDS, BATCH),
                                            rng.integers(0, 7, BATCH))):
            x[b, :, :, lo:min(lo + width, mm.BANDS)] = model.mean.reshape(
                -1, mm.STEP_FEATURES)[:, lo:min(lo + width, mm.BANDS)]
        logits = model(x.reshape(BATCH, SEQ, -1))
        loss = -(y_all[idx] * torch.log_softmax(logits, 2)).sum(2).mean()
        opt.zero_grad()
        loss.backward()
        torch.nn.utils.clip_grad_norm_(model.parameters(), 1.0)
        opt.step()
        sched.step()
        if step % 200 == 0 or step == steps - 1:
            acc = (logits.argmax(2) == y_all[idx].argmax(2)).float().mean().item()
            say(quiet, "step %d of %d: loss %.3f, accuracy %.2f (%.0f s)"
                % (step + 1, steps, loss.item(), acc, time.monotonic() - t0))
    return model


def measured(motion_dir, data_dir, recordings=()):
    # The stream reads its frontend from the environment: the directory's own.
    env = dict(os.environ, W2V_ONNX=os.path.join(motion_dir, "w2v.onnx"))
    args = [sys.executable, os.path.join(HERE, "motion_eval.py"), motion_dir, data_dir]
    if recordings:
        args += ["--recordings", ",".join(recordings)]
    out = subprocess.run(args, env=env, capture_output=True, text=True, timeout=1800)
    if out.returncode != 0:
        raise RuntimeError("evaluating %s failed: %s" % (motion_dir, out.stderr.strip()))
    return json.loads(out.stdout.strip().splitlines()[-1])


def table(results):
    """The evaluation as printed: one line per figure, trained beside procedural."""
    lines = []
    for held, (trained, procedural) in results.items():
        lines.append("%s (%d frames, streamed 20 ms at a time)  trained  procedural  goal"
                     % (held, trained["frames"]))
        for key, label, goal in (("accuracy", "shape accuracy", ">= 0.60"),
                                 ("bilabial", "opening at p b m / open vowels", "<= 0.30"),
                                 ("m_alone", "opening at m / open vowels", "<= 0.40"),
                                 ("rounding", "width at oo oh w / ee ay ih", "<= 0.92"),
                                 ("lag", "lag of the opening (frames)", "0 +-1"),
                                 ("cpu_ms_per_frame", "CPU per frame (ms, one thread)", "<= 1")):
            lines.append("  %-34s %7.3f  %10.3f  %s" % (label, trained[key], procedural[key], goal))
        if "recordings" in trained:
            tr, pr = trained["recordings"], procedural["recordings"]
            lines.append("  real speech, alsa-utils recordings (%.1f s):" % tr["seconds"])
            for key, label in (("r_loudness", "r(opening, loudness)"),
                               ("r_shuffled", "r against a shuffled envelope"),
                               ("voiced_opening", "opening where the voice is loud"),
                               ("silent_opening", "opening where it is silent")):
                lines.append("    %-32s %7.3f  %10.3f" % (label, tr[key], pr[key]))
    return "\n".join(lines)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("outdir", nargs="?", default=os.path.join(ROOT, "models", "motion"))
    ap.add_argument("--work", default=os.path.join(ROOT, "out", "motion-train"))
    ap.add_argument("--minutes", type=float, default=180,
                    help="minutes of training speech (2/3 espeak-ng, 1/3 festival)")
    ap.add_argument("--steps", type=int, default=4000)
    ap.add_argument("--seed", type=int, default=7)
    ap.add_argument("--procedural", default=os.path.join(ROOT, "build", "tools", "demo", "motion"),
                    help="the procedural models to compare with")
    ap.add_argument("--quiet", action="store_true")
    args = ap.parse_args(argv)
    torch.set_num_threads(2)
    t0 = time.monotonic()
    train_dirs = [
        make_data(args.work, "espeak", "espeak", TRAIN_ESPEAK, args.minutes * 2 / 3, args.seed,
                  args.quiet),
        make_data(args.work, "festival", "festival", TRAIN_FESTIVAL, args.minutes / 3,
                  args.seed + 1, args.quiet)]
    held = {k: make_data(args.work, "held-" + v[1].replace("/", "-"), v[0], [v[1]], 6,
                         args.seed + 2, args.quiet) for k, v in HELD_OUT.items()}
    say(args.quiet, "feature rows (%.0f s)" % (time.monotonic() - t0))
    feats, shapes = features(mm.Frontend(), train_dirs, np.random.default_rng(args.seed))
    say(args.quiet, "%d frames; training (%.0f s)" % (len(feats), time.monotonic() - t0))
    model = train(feats, shapes, args.steps, args.seed, args.quiet)
    mm.export(model, args.outdir)
    say(args.quiet, "exported to %s; evaluating (%.0f s)" % (args.outdir, time.monotonic() - t0))
    recordings = [p for p in RECORDINGS if os.path.exists(p)]
    with tempfile.TemporaryDirectory() as tmp:
        trained_dir = motion_eval.as_motion_dir(args.outdir, os.path.join(tmp, "trained"))
        proc = motion_eval.procedural_dir(args.procedural, os.path.join(tmp, "procedural"))
        results = {}
        for i, (name, d) in enumerate(held.items()):
            recs = recordings if i == 0 else ()
            results[name] = (measured(trained_dir, d, recs), measured(proc, d, recs))
    text = table(results)
    minutes = (time.monotonic() - t0) / 60
    text += "\n\ntrained from scratch in %.1f minutes: %s\n" % (
        minutes, " ".join(["tools/train_motion.py"] + (argv if argv is not None else sys.argv[1:])))
    with open(os.path.join(args.outdir, "EVALUATION.txt"), "w") as f:
        f.write(text)
    print(text)


if __name__ == "__main__":
    main()
