"""Synthesised speech with the time of every phoneme: the training data of
the motion model.

usage: speech_timing.py OUTDIR [--synth espeak|festival] [--voices V,V]
                        [--minutes M] [--seed S] [--quiet]

espeak-ng speaks generated English sentences in its English voices and
variants, at varied rate, pitch and loudness, and its library reports each
phoneme at the sample where it starts. festival speaks them in its voices at
varied rate and reports where each segment ends. Each phoneme stands for one of seven
mouth shapes; the targets of a 40 ms frame are the shapes spoken in it,
blended with their neighbours over a few frames as lips do (they close
before a "p" is heard and open again after it). Consonants made behind the
lips (k, g, h, ...) take the shape of the sounds around them. The audio is
then made less like one synthesiser's: played faster or slower (a larger or
smaller speaker), louder or softer, with noise, a room's echo or a
telephone's band.

Files written to OUTDIR: shard_NNN.npz, each holding "audio" (int16, 16 kHz
mono, the utterances one after another), "starts" (each utterance's first
sample), "shapes" (float32 [frames, 7], 40 ms frames, utterance after
utterance), "frame_starts" (each utterance's first frame), "phonemes" (the
phoneme mnemonics and their start frames, as text lines, for inspection),
"labels" (the phoneme heard at each frame's middle) and "voices" (the voice
of each utterance); and shapes.json naming the shapes.
"""

import argparse
import ctypes
import json
import os
import subprocess
import sys
import wave

import numpy as np

RATE = 16000
FRAME = 640  # 40 ms
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from mouth_shapes import SHAPES  # noqa: E402

def shape_table(names_by_shape):
    """{phoneme: shape index} from {shape: "phoneme phoneme ..."}."""
    return {name: SHAPES.index(shape)
            for shape, names in names_by_shape.items() for name in names.split()}


# espeak-ng's phoneme mnemonics (its English voices) by mouth shape; any not
# listed is made behind the lips and takes the shapes around it.
SHAPE_OF = shape_table({
    "closed": "p b m",
    "lip_on_teeth": "f v",
    "rounded": "u: U O: O o: oU aU OI 0 @U w u 3: r",
    "open": "a A: aI a# & V A@ e@ aa A",
    "spread": "i: i I e eI E j I@ i@ I2 I#",
    "tongue_teeth": "T D s z S Z tS dZ t d n l t# d#",
    "rest": "_ _: _!",
})

# festival's phone set (radio), likewise.
FESTIVAL_SHAPE_OF = shape_table({
    "closed": "p b m",
    "lip_on_teeth": "f v",
    "rounded": "uw uh ow ao aw oy w r er",
    "open": "aa ae ah ay",
    "spread": "iy ih ey eh y",
    "tongue_teeth": "th dh s z sh zh ch jh t d n l dx",
    "rest": "pau h#",
})

# Words rich in every shape, for sentences of no meaning but real phonetics.
WORDS = """
    people bob mama maybe pepper bubble summer paper baby member map bump
    five vivid fifty coffee very fever of off van phone laugh leave
    who moon blue two shoe room cool food new you oh go so show know home
    boat rose wow now how out our cow owl wood book could would should
    father car hard park heart half art march arm large start garden
    see me tea key feet three bee eat easy happy city teeth cheese
    yes bed red head said ten any many every get let when where
    think thanks thumb the this that these those there then other mother
    sit sister six seven snake sun stone zoo zero size chess just judge
    light little lily long late lake line tell tall till ball hall
    kick king cake good game go girl give hi hello high home hope
    cat can hat that apple ask answer after black bad man
    one world wait water word work week we well was will with
    up but cup much mud love above son sun run fun money monkey
    bird her first third word earth learn turn nurse purpose
""".split()


class _Id(ctypes.Union):
    _fields_ = [("number", ctypes.c_int), ("name", ctypes.c_char_p), ("string", ctypes.c_char * 8)]


class _Event(ctypes.Structure):  # espeak_EVENT
    _fields_ = [("type", ctypes.c_int), ("unique_identifier", ctypes.c_uint),
                ("text_position", ctypes.c_int), ("length", ctypes.c_int),
                ("audio_position", ctypes.c_int), ("sample", ctypes.c_int),
                ("user_data", ctypes.c_void_p), ("id", _Id)]


class Espeak:
    """espeak-ng's library through ctypes: speech and its phoneme events."""

    PHONEME_EVENT, END_OF_LIST = 7, 0
    RATE_PARAM, VOLUME_PARAM, PITCH_PARAM, RANGE_PARAM = 1, 2, 3, 4

    def __init__(self):
        lib = ctypes.CDLL("libespeak-ng.so.1")
        callback = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ctypes.c_short), ctypes.c_int,
                                    ctypes.POINTER(_Event))
        self._audio, self._phonemes = [], []

        def heard(wav, n, events):
            if n > 0:
                self._audio.append(np.ctypeslib.as_array(wav, (n,)).copy())
            i = 0
            while events[i].type != self.END_OF_LIST:
                if events[i].type == self.PHONEME_EVENT:
                    self._phonemes.append((events[i].sample, events[i].id.string.decode()))
                i += 1
            return 0

        self._callback = callback(heard)  # kept alive while the library holds it
        # Synchronous output, phoneme events, and no exit on a fatal error.
        self.rate = lib.espeak_Initialize(2, 0, None, 0x0001 | 0x8000)
        if self.rate <= 0:
            raise RuntimeError("espeak-ng did not start")
        lib.espeak_SetSynthCallback(self._callback)
        self._lib = lib

    def say(self, text, voice, rate, pitch, pitch_range, volume):
        """(audio int16 at self.rate, [(sample, phoneme), ...])."""
        lib = self._lib
        if lib.espeak_SetVoiceByName(voice.encode()) != 0:
            raise RuntimeError("espeak-ng has no voice %r" % voice)
        for param, value in ((self.RATE_PARAM, rate), (self.PITCH_PARAM, pitch),
                             (self.RANGE_PARAM, pitch_range), (self.VOLUME_PARAM, volume)):
            lib.espeak_SetParameter(param, int(value), 0)
        self._audio, self._phonemes = [], []
        data = text.encode()
        # From character 0, to the end, as UTF-8.
        if lib.espeak_Synth(data, len(data) + 1, 0, 1, 0, 1, None, None) != 0:
            raise RuntimeError("espeak-ng could not speak %r" % text)
        lib.espeak_Synchronize()
        audio = np.concatenate(self._audio) if self._audio else np.zeros(0, np.int16)
        return audio, list(self._phonemes)


VOICES = ["gmw/en", "gmw/en-US", "gmw/en-GB-scotland", "gmw/en-GB-x-rp", "gmw/en-GB-x-gbclan",
          "gmw/en-GB-x-gbcwmd", "gmw/en-029", "gmw/en-US-nyc"]
VARIANTS = ["", "+m1", "+m3", "+m5", "+f1", "+f2", "+f3", "+f4", "+klatt", "+klatt3"]


def resample(audio, rate):
    """To 16 kHz by linear interpolation over a low-passed signal."""
    x = audio.astype(np.float64)
    if rate > RATE:  # a short moving average keeps what aliases away
        k = int(np.ceil(rate / RATE))
        x = np.convolve(x, np.ones(k) / k, mode="same")
    n = int(len(x) * RATE / rate)
    return np.interp(np.arange(n) * rate / RATE, np.arange(len(x)), x)


def labels(phonemes, rate, frames):
    """The phoneme heard at each frame's middle ("_" before the first)."""
    starts = np.array([s * RATE / rate for s, _ in phonemes] or [0.0])
    names = np.array(["_"] + [p for _, p in phonemes])
    middles = np.arange(frames) * FRAME + FRAME / 2
    return names[np.searchsorted(starts, middles, side="right")]


def targets(phonemes, rate, frames, shape_of=SHAPE_OF):
    """Per-frame shape weights [frames, 7] from (sample, phoneme) starts."""
    spoken = np.full(frames, -1)
    starts = [(int(s * RATE / rate), p) for s, p in phonemes]
    for (at, name), nxt in zip(starts, starts[1:] + [(frames * FRAME, "_")]):
        first, last = at // FRAME, max(at // FRAME, (nxt[0] - 1) // FRAME)
        shape = shape_of.get(name, -2)  # -2: made behind the lips
        for f in range(max(first, 0), min(last + 1, frames)):
            # A frame shows the lips' shape when any of its sounds needs them.
            if spoken[f] < 0 or shape in (0, 1):
                spoken[f] = shape
    spoken[spoken == -1] = SHAPES.index("rest")
    # Sounds behind the lips take the shapes of the nearest sounds around them.
    known = np.flatnonzero(spoken >= 0)
    for f in np.flatnonzero(spoken == -2):
        before, after = known[known < f], known[known > f]
        near = [spoken[before[-1]]] if len(before) else []
        near += [spoken[after[0]]] if len(after) else []
        spoken[f] = near[0] if len(near) else SHAPES.index("rest")
    onehot = np.zeros((frames, len(SHAPES)), np.float32)
    onehot[np.arange(frames), spoken] = 1
    # Co-articulation: each frame's shape reaches two frames either way,
    # closures and lip-on-teeth held fully where they are.
    kernel = np.array([0.15, 0.4, 1.0, 0.4, 0.15])
    blended = np.stack([np.convolve(onehot[:, k], kernel, mode="same")
                        for k in range(len(SHAPES))], 1)
    blended /= blended.sum(1, keepdims=True)
    held = spoken <= SHAPES.index("lip_on_teeth")
    blended[held] = onehot[held]
    return blended.astype(np.float32)


def roughen(audio, rng):
    """Less like one synthesiser: level, noise, a room, a telephone."""
    x = audio * 10 ** (rng.uniform(-18, 6) / 20)
    if rng.random() < 0.4:  # a room: a decaying tail of echoes
        length = int(RATE * rng.uniform(0.1, 0.5))
        tail = rng.normal(0, 1, length) * np.exp(-np.arange(length) / (length / 5))
        tail[0] = 1.0 / rng.uniform(0.05, 0.3)
        x = np.convolve(x, tail / np.abs(tail).sum() * 2, mode="full")[:len(x)]
    if rng.random() < 0.3:  # a telephone: 300 to 3400 Hz
        spectrum = np.fft.rfft(x)
        hz = np.fft.rfftfreq(len(x), 1 / RATE)
        spectrum[(hz < 300) | (hz > 3400)] = 0
        x = np.fft.irfft(spectrum, len(x))
    if rng.random() < 0.6:
        x = x + rng.normal(0, 10 ** (rng.uniform(-65, -30) / 20) * 32768, len(x))
    return np.clip(x, -32768, 32767).astype(np.int16)


def sentence(rng):
    words = rng.choice(WORDS, size=rng.integers(3, 12))
    text = " ".join(words)
    return text[0].upper() + text[1:] + rng.choice([".", ".", "?", "!", ","])


class Festival:
    """festival in batch mode: a few sentences per run, each segment's end."""

    VOICES = ["kal_diphone", "ked_diphone", "cmu_us_slt_arctic_hts"]

    def __init__(self, workdir):
        self.workdir = workdir

    def say_many(self, texts, voice, stretches, f0s):
        """[(audio float at 16 kHz, [(sample, phone), ...]), ...]; f0s are
        (mean, deviation) pairs in Hz."""
        lines = ["(voice_%s)" % voice]
        for i, (text, stretch) in enumerate(zip(texts, stretches)):
            wav = os.path.join(self.workdir, "say_%d.wav" % i)
            # The text is ours (generated words), never a caller's.
            lines.append('(Parameter.set \'Duration_Stretch %.3f)' % stretch)
            # A voice higher or lower, livelier or flatter (the diphone
            # voices' intonation model; others ignore it).
            lines.append("(set! int_lr_params '((target_f0_mean %d) (target_f0_std %d) "
                         "(model_f0_mean 170) (model_f0_std 34)))" % f0s[i])
            lines.append('(set! u (utt.synth (Utterance Text "%s")))' % text)
            lines.append('(utt.save.wave u "%s" \'riff)' % wav)
            lines.append('(format t "=%d\\n")' % i)
            lines.append("(mapcar (lambda (s) (format t \"%s %f\\n\" (item.name s) "
                         "(item.feat s \"end\"))) (utt.relation.items u 'Segment))")
        script = os.path.join(self.workdir, "say.scm")
        with open(script, "w") as f:
            f.write("\n".join(lines) + "\n")
        out = subprocess.run(["festival", "-b", script], capture_output=True, text=True,
                             check=True, timeout=600).stdout
        ends = {}
        for line in out.splitlines():
            if line.startswith("="):
                current = ends.setdefault(int(line[1:]), [])
            elif line.strip():
                name, end = line.split()
                current.append((name, float(end)))
        said = []
        for i in range(len(texts)):
            wav = os.path.join(self.workdir, "say_%d.wav" % i)
            with wave.open(wav) as w:
                rate = w.getframerate()
                audio = np.frombuffer(w.readframes(w.getnframes()), np.int16)
            os.unlink(wav)
            starts = [0.0] + [end for _, end in ends.get(i, [])[:-1]]
            phonemes = [(t * RATE, name) for t, (name, _) in zip(starts, ends.get(i, []))]
            said.append((resample(audio, rate), phonemes))
        return said


def pad_and_rough(speech, phonemes, shape_of, voice, rng):
    """Another speaker's size (played faster or slower: pitch, formants and
    rate together), silence either side (speech starts and ends in a
    stream), targets, labels."""
    if rng.random() < 0.7:
        speed = rng.uniform(0.85, 1.2)
        n = int(len(speech) / speed)
        speech = np.interp(np.arange(n) * speed, np.arange(len(speech)), speech)
        phonemes = [(s / speed, p) for s, p in phonemes]
    pad = np.zeros(int(rng.uniform(0.1, 0.5) * RATE))
    speech = np.concatenate([pad, speech, pad])
    phonemes = [(s + len(pad), p) for s, p in phonemes]
    frames = len(speech) // FRAME
    speech = speech[:frames * FRAME]
    return (roughen(speech, rng), targets(phonemes, RATE, frames, shape_of), phonemes, voice,
            labels(phonemes, RATE, frames))


def espeak_utterances(espeak, voices, rng):
    while True:
        voice = rng.choice(voices) + rng.choice(VARIANTS)
        audio, phonemes = espeak.say(sentence(rng), voice, rate=rng.integers(110, 240),
                                     pitch=rng.integers(20, 80), pitch_range=rng.integers(20, 90),
                                     volume=rng.integers(60, 140))
        phonemes = [(s * RATE / espeak.rate, p) for s, p in phonemes]
        yield pad_and_rough(resample(audio, espeak.rate), phonemes, SHAPE_OF, voice, rng)


def festival_utterances(festival, voices, rng, batch=20):
    while True:
        voice = str(rng.choice(voices))
        texts = [sentence(rng).rstrip(",") for _ in range(batch)]
        f0s = [(rng.integers(85, 240), rng.integers(10, 40)) for _ in range(batch)]
        for audio, phonemes in festival.say_many(texts, voice, rng.uniform(0.8, 1.3, batch), f0s):
            yield pad_and_rough(audio, phonemes, FESTIVAL_SHAPE_OF, voice, rng)


def write_shard(path, items):
    audio = np.concatenate([a for a, _, _, _, _ in items])
    shapes = np.concatenate([s for _, s, _, _, _ in items])
    starts = np.cumsum([0] + [len(a) for a, _, _, _, _ in items[:-1]])
    frame_starts = np.cumsum([0] + [len(s) for _, s, _, _, _ in items[:-1]])
    lines = [" ".join("%s@%d" % (p, int(s) // FRAME) for s, p in ph)
             for _, _, ph, _, _ in items]
    np.savez_compressed(path, audio=audio, starts=starts, shapes=shapes,
                        frame_starts=frame_starts, phonemes=np.array(lines),
                        labels=np.concatenate([lb for _, _, _, _, lb in items]),
                        voices=np.array([v for _, _, _, v, _ in items]))


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("outdir")
    ap.add_argument("--synth", choices=["espeak", "festival"], default="espeak")
    ap.add_argument("--voices", help="comma-separated voices (default: all of the synthesiser's)")
    ap.add_argument("--minutes", type=float, default=120.0,
                    help="minutes of speech to make (default %(default)g)")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--shard-minutes", type=float, default=10.0)
    ap.add_argument("--quiet", action="store_true")
    args = ap.parse_args(argv)
    if args.minutes <= 0 or args.shard_minutes <= 0:
        ap.error("--minutes and --shard-minutes must be positive")
    os.makedirs(args.outdir, exist_ok=True)
    with open(os.path.join(args.outdir, "shapes.json"), "w") as f:
        json.dump({"shapes": SHAPES, "frame_ms": 1000 * FRAME // RATE, "rate": RATE}, f)
    rng = np.random.default_rng(args.seed)
    if args.synth == "espeak":
        voices = args.voices.split(",") if args.voices else VOICES
        said = espeak_utterances(Espeak(), voices, rng)
    else:
        voices = args.voices.split(",") if args.voices else Festival.VOICES
        said = festival_utterances(Festival(args.outdir), voices, rng)
    made, shard, items = 0.0, 0, []
    while made < args.minutes * 60:
        item = next(said)
        items.append(item)
        seconds = len(item[0]) / RATE
        made += seconds
        if sum(len(a) for a, _, _, _, _ in items) / RATE >= args.shard_minutes * 60 or \
                made >= args.minutes * 60:
            write_shard(os.path.join(args.outdir, "shard_%03d.npz" % shard), items)
            shard, items = shard + 1, []
        if not args.quiet and sys.stderr.isatty():
            sys.stderr.write("\r[speech_timing] %.1f of %g minutes" % (made / 60, args.minutes))
    if not args.quiet:
        sys.stderr.write("\n[speech_timing] %.1f minutes in %d shard(s) in %s\n"
                         % (made / 60, shard, args.outdir))


if __name__ == "__main__":
    main()
