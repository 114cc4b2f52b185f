#!/usr/bin/python3
"""How well vantrel-decode fills lost frames: corpus, damage and metrics in one run.

    bench/conceal_quality.py [--build DIR] [--keep DIR] [--quick] [--only speech,tonal,drums]

Corpus (made here, nothing fetched): 66 s of espeak-ng speech at 16000 Hz, six voices of both
sexes in six languages, through `vantrel -m -H` (mSBC in H2 units); two 30 s stereo pieces at
44100 Hz played below from generated scores, through `vantrel -j -r 328000` (bitpool 53):
  tonal            a wandering melody (notes of 1/4 to 2 beats at 96 bpm, breath noise, delayed
                   vibrato), a slower second voice, and a piano-like accompaniment (stretched,
                   decaying partials) arpeggiated in eighths over a six-chord progression;
  drums, vibrato   kick, snare with ghost notes and fills, open and closed hats, all with loose
                   timing and varying velocity, under a lead with wide vibrato and glides and a
                   bass; both pieces in a reverberant room.
(Arpeggiated in sixteenths, the tonal piece scores about 2 dB lower: a dozen inharmonic piano
notes ring at once, and no single lag predicts them.)

Damage: the CRC byte of each lost frame is inverted, so the decoder finds the frame damaged
wherever it lies (runs of four H2 units included) and the stream keeps its length. Losses (fixed
seeds): random 5, 10 and 20 %; isolated single losses (about 8 %, at least 3 good frames
between); Gilbert-Elliott bursts, 10 % overall, mean runs of 2 and 4 frames.

Decoders compared: vantrel-decode -c auto (concealment), -c silence, and plain repetition (the
silence decode with each lost frame replaced by the frame before it, as a decoder that repeats
its last output would give).

Metrics, against the clean stream's decode, on the frame grid (120 instants for mSBC, 128 for
8 subbands x 16 blocks), both channels together:
  segSNR lost       per-frame SNR clamped to [-10, 35] dB, averaged over lost frames whose
                    clean level is above -50 dBFS (silence scores exactly 0 dB);
  segSNR lost+next  the same over the lost frames and the first good frame after each run;
  LSD lost          log-spectral distance (dB) over lost frames: 256-point Hann window centred
                    on the frame, power spectra floored 50 dB below the reference's peak;
  clicks            share of loss boundaries (entry and exit of each run) where the energy above
                    6 kHz (speech) or 10 kHz (music) within 1 ms either side of the boundary
                    exceeds the clean decode's by more than 6 dB; both energies are floored at
                    -60 dBFS (as a level over those 2 ms), so that near silence on both sides
                    counts as no click.
Needs espeak-ng, sox, python3-numpy; builds vantrel and vantrel-decode in build-bench/ unless
--build names a build tree.
"""
import argparse
import os
import subprocess
import sys
import tempfile
import wave

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

VOICES = [  # (voice, text): both sexes, six languages
    ("en+m3", "The quick brown fox jumps over the lazy dog. Bluetooth links lose frames when "
              "the radio is busy, and a good decoder should carry the voice through the gaps "
              "without clicks or robotic buzzing. Please call me back this afternoon."),
    ("en-us+f3", "She sells sea shells by the sea shore, and the shells she sells are surely "
                 "sea shells. We measured the speech quality on many calls, in the car and on "
                 "the street, with music playing in the background."),
    ("de+m1", "Guten Morgen, heute ist das Wetter schön und wir fahren mit dem Zug nach "
              "Berlin. Die Verbindung war leider schlecht, aber man konnte alles verstehen."),
    ("fr+f2", "Bonjour à tous, nous allons parler de la qualité des appels téléphoniques. "
              "Le signal arrive parfois avec des pertes, et il faut les masquer sans bruit."),
    ("es+m2", "Buenas tardes, me gustaría reservar una mesa para cuatro personas esta noche. "
              "La llamada se corta a veces, pero la voz sigue siendo clara y natural."),
    ("it+f4", "Ciao, come stai? Oggi abbiamo provato il nuovo telefono senza fili in giardino, "
              "e la voce arrivava chiara anche quando la connessione perdeva qualche pacchetto."),
]
SPEECH_SECONDS = 11.0  # each voice, padded or cut: 66 s in all


def run(args, **kw):
    return subprocess.run(args, check=True, **kw)


def read_wav(path):
    with wave.open(path, "rb") as w:
        data = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2")
        return data.reshape(-1, w.getnchannels()), w.getframerate()


def write_wav(path, samples, rate):
    samples = np.asarray(samples)
    if samples.ndim == 1:
        samples = samples[:, None]
    with wave.open(path, "wb") as w:
        w.setnchannels(samples.shape[1])
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(samples.astype("<i2").tobytes())


# ---- corpus ----------------------------------------------------------------------------------

def speech(tmp):
    parts = []
    for i, (voice, text) in enumerate(VOICES):
        raw, rs = os.path.join(tmp, f"v{i}.wav"), os.path.join(tmp, f"v{i}_16k.wav")
        run(["espeak-ng", "-v", voice, "-s", "150", "-w", raw, text])
        run(["sox", "-D", raw, "-r", "16000", "-b", "16", "-c", "1", rs])
        x, _ = read_wav(rs)
        n = int(SPEECH_SECONDS * 16000)
        x = x[:n, 0]
        parts.append(np.concatenate([x, np.zeros(n - len(x), np.int16)]))
    return np.concatenate(parts), 16000


# Two pieces of music played from generated scores (fixed seeds): notes of varying length
# with attacks, decays and delayed vibrato, an inharmonic piano-like accompaniment, drums with
# varying velocities, fills and loose timing, and a reverberant room around them, so that no
# stretch simply repeats an earlier one.

BEAT_TONAL, BEAT_DRUMS = 60 / 96, 60 / 112


def envelope(n, rate, attack, release):
    t = np.arange(n) / rate
    return np.minimum(1.0, t / attack) * np.minimum(1.0, (n / rate - t) / release)


def voice_note(f0, seconds, rate, rng, harmonics=8, tilt=1.3, vibrato=0.006, glide_from=None,
               breath=0.0):
    """A sustained note: harmonics of a pitch that may glide in from `glide_from` and that
    takes on vibrato after 0.25 s, each harmonic with its own slight decay, and `breath`
    (relative level) of noise shaped by the note's loudness."""
    n = int(seconds * rate)
    t = np.arange(n) / rate
    f = np.full(n, f0)
    if glide_from is not None:
        f = f0 + (glide_from - f0) * np.exp(-t / 0.04)
    depth = vibrato * np.clip((t - 0.25) / 0.3, 0.0, 1.0) * rng.uniform(0.6, 1.4)
    f = f * (1 + depth * np.sin(2 * np.pi * rng.uniform(4.8, 6.2) * t + rng.uniform(0, 6)))
    phase = 2 * np.pi * np.cumsum(f) / rate
    x = np.zeros(n)
    for h in range(1, harmonics + 1):
        if h * f0 > rate * 0.45:
            break
        x += np.sin(h * phase + rng.uniform(0, 6)) * np.exp(-t * 0.4 * h) / h ** tilt
    if breath:
        noise = np.diff(rng.standard_normal(n + 1))
        x += breath * noise * (1 + 0.5 * np.sin(2 * np.pi * 3.1 * t))
    return x * envelope(n, rate, 0.03, 0.08)


def piano_note(f0, seconds, rate, rng):
    """A struck string: partials stretched by inharmonicity, the higher ones dying faster."""
    n = int(seconds * rate)
    t = np.arange(n) / rate
    x = np.zeros(n)
    for h in range(1, 17):
        fh = h * f0 * np.sqrt(1 + 3e-4 * h * h)
        if fh > rate * 0.45:
            break
        x += np.sin(2 * np.pi * fh * t + rng.uniform(0, 6)) * np.exp(-t * (1.2 + 0.9 * h)) / h
    return x * envelope(n, rate, 0.002, 0.05)


def place(out, at, x, gain, pan):
    a = max(0, int(at))
    m = min(len(x), len(out) - a)
    if m > 0:
        out[a:a + m, 0] += gain * (1 - pan) * x[:m]
        out[a:a + m, 1] += gain * pan * x[:m]


def reverb(x, rate, seconds, wet, seed):
    """The dry signal plus its convolution with decaying noise, decorrelated per channel."""
    rng = np.random.default_rng(seed)
    n = int(seconds * rate)
    decay = np.exp(-np.arange(n) / rate / (seconds / 6.9))
    out = x.copy()
    size = 1 << int(np.ceil(np.log2(len(x) + n)))
    for c in range(x.shape[1]):
        ir = rng.standard_normal(n) * decay / np.sqrt(np.sum(decay ** 2))
        y = np.fft.irfft(np.fft.rfft(x[:, c], size) * np.fft.rfft(ir, size), size)
        out[:, c] += wet * y[:len(x)]
    return out


def melody(rng, beats, scale, start, lengths):
    """(beat, length, semitones above the tonic) of a wandering tune, mostly in steps."""
    notes, at, degree = [], 0.0, start
    while at < beats:
        length = rng.choice(lengths)
        if rng.random() < 0.1:  # a rest
            at += length
            continue
        step = rng.choice([-4, -3, -2, -1, 1, 2, 3, 4], p=[.06, .1, .12, .2, .2, .15, .1, .07])
        degree = int(np.clip(degree + step, 0, 2 * len(scale) - 1))
        notes.append((at, length, 12 * (degree // len(scale)) + scale[degree % len(scale)]))
        at += length
    return notes


def normalise(x, peak):
    return np.round(x / np.max(np.abs(x)) * peak).astype(np.int16)


def tonal(rate=44100, seconds=30.0):
    rng = np.random.default_rng(3)
    out = np.zeros((int(rate * seconds), 2))
    beats = seconds / BEAT_TONAL
    tonic = 293.66  # D
    major = [0, 2, 4, 5, 7, 9, 11]
    for voice, (start, octave, gain, pan) in enumerate([(7, 1, 0.5, 0.35), (3, 0.5, 0.3, 0.6)]):
        lengths = [.25, .5, .5, .75, 1, 1.5, 2] if voice == 0 else [1, 1.5, 2, 3]
        for at, length, semis in melody(rng, beats, major, start, lengths):
            f = octave * tonic * 2 ** (semis / 12)
            note = voice_note(f, length * BEAT_TONAL + 0.08, rate, rng, harmonics=12,
                              breath=0.02)
            place(out, at * BEAT_TONAL * rate, note, gain, pan)
    chords = [(0, 4, 7), (9, 12, 16), (5, 9, 12), (7, 11, 14), (2, 5, 9), (7, 11, 14, 17)]
    for bar in range(int(beats / 4) + 1):
        chord = chords[bar % len(chords)]
        root = tonic / 2 * 2 ** (chord[0] / 12)
        place(out, bar * 4 * BEAT_TONAL * rate, piano_note(root / 2, 2.5, rate, rng), 0.5, 0.5)
        for i in range(8):  # an arpeggio in eighths, its notes ringing on
            semis = chord[(i * 5 + bar) % len(chord)] + 12 * (i % 8 // 3)
            when = (bar * 4 + i / 2) * BEAT_TONAL + rng.normal(0, 0.006)
            place(out, when * rate, piano_note(tonic / 2 * 2 ** (semis / 12), 1.6, rate, rng),
                  0.3 * rng.uniform(0.5, 1.0), 0.7)
    return normalise(reverb(out, rate, 1.2, 0.35, 11), 24000), rate


def drum_hits(rate, seconds, rng):
    """Kick, snare (with ghost notes and fills), open and closed hats on a loose grid."""
    out = np.zeros((int(rate * seconds), 2))
    sixteenth = BEAT_DRUMS / 4
    for step in range(int(seconds / sixteenth)):
        bar, pos = divmod(step, 16)
        at = (step * sixteenth + rng.normal(0, 0.004)) * rate
        fill = bar % 4 == 3 and pos >= 12
        if pos in (0, 8) or (pos in (6, 10, 14) and rng.random() < 0.25):
            m = int(0.35 * rate)
            t = np.arange(m) / rate
            kick = np.sin(2 * np.pi * (45 * t + 110 * (1 - np.exp(-t * 35)) / 35)) * np.exp(-t * 8)
            place(out, at, kick, rng.uniform(0.7, 1.0), 0.5)
        if pos in (4, 12) or fill or (rng.random() < 0.08):
            m = int(0.22 * rate)
            t = np.arange(m) / rate
            loud = 1.0 if pos in (4, 12) and not fill else rng.uniform(0.2, 0.6)
            tone = 180 if not fill else 120 + 40 * (pos - 12)
            hit = (rng.standard_normal(m) * 0.6 + np.sin(2 * np.pi * tone * t)) * np.exp(-t * 16)
            place(out, at, hit, 0.55 * loud, 0.45)
        if pos % 2 == 0 or rng.random() < 0.3:
            opened = pos == 14 and rng.random() < 0.5
            m = int((0.25 if opened else 0.05) * rate)
            hat = np.diff(np.diff(rng.standard_normal(m + 2)))
            hat *= np.exp(-np.arange(m) / rate * (9 if opened else 70))
            place(out, at, hat, 0.05 * rng.uniform(0.5, 1.0), 0.65)
    return out


def drums(rate=44100, seconds=30.0):
    rng = np.random.default_rng(7)
    out = drum_hits(rate, seconds, rng)
    beats = seconds / BEAT_DRUMS
    tonic = 220.0  # A
    previous = None
    for at, length, semis in melody(rng, beats, [0, 3, 5, 7, 10], 5, [.5, .5, .75, 1, 1.5, 2]):
        f = tonic * 2 ** (semis / 12)
        glide = previous if previous is not None and rng.random() < 0.4 else None
        note = voice_note(f, length * BEAT_DRUMS + 0.05, rate, rng, harmonics=12, tilt=1.0,
                          vibrato=0.014, glide_from=glide, breath=0.03)
        place(out, at * BEAT_DRUMS * rate, note, 0.35, 0.6)
        previous = f
    for beat in range(int(beats)):  # a bass on the beats, now and then off them
        semis = [0, 0, 3, 5, 7, 5, 3, -2][beat % 8]
        when = beat + (0.5 if rng.random() < 0.2 else 0.0)
        f = tonic / 4 * 2 ** (semis / 12)
        place(out, when * BEAT_DRUMS * rate,
              voice_note(f, 0.45 * BEAT_DRUMS * 2, rate, rng, harmonics=5, tilt=1.5,
                         vibrato=0.0), 0.6, 0.5)
    return normalise(reverb(out, rate, 0.8, 0.2, 13), 22000), rate


# ---- damage ----------------------------------------------------------------------------------

def pattern(name, frames, seed):
    rng = np.random.default_rng(seed)
    lost = np.zeros(frames, bool)
    if name.startswith("random"):
        lost = rng.random(frames) < int(name[6:]) / 100
    elif name == "isolated":
        last = -10
        for i in range(frames):
            if rng.random() < 0.08 and i - last > 3:
                lost[i] = True
                last = i
    elif name.startswith("bursts"):
        mean = int(name[6:])
        to_good = 1.0 / mean
        to_bad = 0.1 * to_good / 0.9
        bad = False
        for i in range(frames):
            bad = rng.random() >= to_good if bad else rng.random() < to_bad
            lost[i] = bad
    lost[:2] = False  # the metrics need a frame of reference before the first loss
    return lost


def damage(stream, starts, crc_offset, lost):
    b = bytearray(stream)
    for i in np.flatnonzero(lost):
        b[starts[i] + crc_offset] ^= 0xFF
    return bytes(b)


# ---- decoding --------------------------------------------------------------------------------

def decode(build, path, mode, channels):
    out = subprocess.run([os.path.join(build, "cli", "vantrel-decode"), "-c", mode, "-t", "raw",
                          path], check=True, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    return np.frombuffer(out.stdout, dtype="<i2").reshape(-1, channels).astype(np.float64)


def repetition(silenced, lost, n):
    y = silenced.copy()
    for i in np.flatnonzero(lost):
        if i > 0:
            y[i * n:(i + 1) * n] = y[(i - 1) * n:i * n]
    return y


# ---- metrics ---------------------------------------------------------------------------------

def seg_snr(ref, test, frames, n):
    values = []
    for i in frames:
        r, t = ref[i * n:(i + 1) * n], test[i * n:(i + 1) * n]
        level = np.sqrt(np.mean(r ** 2)) / 32768
        if level <= 10 ** (-50 / 20):
            continue
        err = np.sum((r - t) ** 2)
        snr = 35.0 if err == 0 else 10 * np.log10(np.sum(r ** 2) / err)
        values.append(min(35.0, max(-10.0, snr)))
    return float(np.mean(values)) if values else float("nan")


def lsd(ref, test, frames, n):
    w = np.hanning(256)[:, None]
    values = []
    for i in frames:
        c = i * n + n // 2
        if c - 128 < 0 or c + 128 > len(ref):
            continue
        r, t = ref[c - 128:c + 128], test[c - 128:c + 128]
        if np.sqrt(np.mean(ref[i * n:(i + 1) * n] ** 2)) / 32768 <= 10 ** (-50 / 20):
            continue
        pr = np.abs(np.fft.rfft(r * w, axis=0)) ** 2
        pt = np.abs(np.fft.rfft(t * w, axis=0)) ** 2
        floor = pr.max() * 1e-5
        d = 10 * np.log10(np.maximum(pr, floor)) - 10 * np.log10(np.maximum(pt, floor))
        values.append(np.sqrt(np.mean(d ** 2)))
    return float(np.mean(values)) if values else float("nan")


def high_pass(x, rate, cutoff):
    spectrum = np.fft.rfft(x, axis=0)
    spectrum[np.fft.rfftfreq(len(x), 1 / rate) < cutoff] = 0
    return np.fft.irfft(spectrum, len(x), axis=0)


def clicks(ref_hp, test_hp, boundaries, rate):
    half = rate // 1000
    floor = half * 2 * (32768 * 10 ** (-60 / 20)) ** 2
    hits = 0
    for b in boundaries:
        a, e = max(0, b - half), min(len(ref_hp), b + half)
        er = np.sum(ref_hp[a:e] ** 2) + floor
        et = np.sum(test_hp[a:e] ** 2) + floor
        hits += et > er * 10 ** 0.6
    return hits / max(1, len(boundaries))


def runs(lost):
    """(first frames after each run, boundaries as frame indices: each run's start and end)."""
    after, bounds = [], []
    for i in range(len(lost)):
        if lost[i] and (i == 0 or not lost[i - 1]):
            bounds.append(i)
        if not lost[i] and i > 0 and lost[i - 1]:
            after.append(i)
            bounds.append(i)
    return after, bounds


# ---- the run ---------------------------------------------------------------------------------

MATERIALS = [  # name, maker, rate, encoder options, frame instants, cutoff Hz
    ("speech", "speech", ["-m", "-H"], 120, 6000),
    ("tonal music", "tonal", ["-j", "-r", "328000"], 128, 10000),
    ("drums, vibrato", "drums", ["-j", "-r", "328000"], 128, 10000),
]
LOSSES = ["random5", "random10", "random20", "isolated", "bursts2", "bursts4"]
LOSS_NAMES = {"random5": "random 5 %", "random10": "random 10 %", "random20": "random 20 %",
              "isolated": "isolated", "bursts2": "bursts of 2", "bursts4": "bursts of 4"}
AIMS = {  # (material, loss): (segSNR lost, segSNR lost+next, LSD lost, clicks)
    ("speech", "random10"): (4.0, 9.0, 8.0, 0.05),
    ("speech", "isolated"): (5.0, None, None, None),
    ("speech", "bursts4"): (2.0, None, None, None),
    ("tonal music", "random10"): (4.5, 9.5, 6.5, 0.07),
    ("drums, vibrato", "random10"): (1.5, 5.5, 6.5, None),
}


def frame_starts(stream, h2):
    if h2:
        return list(range(0, len(stream) - 59, 60)), 5  # CRC: unit byte 2 + frame byte 3
    starts, at = [], 0
    length = None
    while at + 4 <= len(stream):
        if length is None:  # joint stereo, 8 subbands, 16 blocks: a fixed length
            bitpool, subbands, blocks = stream[at + 2], 8, 16
            length = 4 + (subbands + 4 * subbands * 2 + blocks * bitpool + 7) // 8
        starts.append(at)
        at += length
    return starts, 3


def measure(build, tmp, name, maker, options, n, cutoff, quick):
    if maker == "speech":
        x, rate = speech(tmp)
    else:
        x, rate = (tonal if maker == "tonal" else drums)()
    if quick:
        x = x[:rate * 10]
    wav, sbc = os.path.join(tmp, f"{maker}.wav"), os.path.join(tmp, f"{maker}.sbc")
    write_wav(wav, x, rate)
    run([os.path.join(build, "cli", "vantrel"), *options, "-o", sbc, wav],
        stderr=subprocess.DEVNULL)
    stream = open(sbc, "rb").read()
    channels = 1 if x.ndim == 1 or x.shape[1] == 1 else 2
    clean = decode(build, sbc, "auto", channels)
    starts, crc = frame_starts(stream, "-H" in options)
    frames = len(starts)
    ref_hp = high_pass(clean, rate, cutoff)
    rows = []
    for seed, loss in enumerate(LOSSES):
        lost = pattern(loss, frames, 100 + seed)
        path = os.path.join(tmp, f"{maker}_{loss}.sbc")
        open(path, "wb").write(damage(stream, starts, crc, lost))
        concealed = decode(build, path, "auto", channels)
        silenced = decode(build, path, "silence", channels)
        assert len(concealed) == len(clean) == len(silenced), "a damaged stream changed length"
        after, bounds = runs(lost)
        lost_frames = list(np.flatnonzero(lost))
        with_next = sorted(lost_frames + after)
        result = {}
        for method, y in (("vantrel", concealed), ("silence", silenced),
                          ("repetition", repetition(silenced, lost, n))):
            result[method] = (seg_snr(clean, y, lost_frames, n),
                              seg_snr(clean, y, with_next, n),
                              lsd(clean, y, lost_frames, n),
                              clicks(ref_hp, high_pass(y, rate, cutoff), [b * n for b in bounds],
                                     rate))
        rows.append((name, loss, int(lost.sum()), frames, result))
    return rows


def bench_build():
    """A Release build of vantrel and vantrel-decode in build-bench/ (bench/common.sh's)."""
    build = os.path.join(ROOT, "build-bench")
    run(["cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release", "-DVANTREL_TESTS=OFF"],
        stdout=subprocess.DEVNULL)
    run(["cmake", "--build", build, "-j2", "--target", "vantrel", "vantrel-decode"],
        stdout=subprocess.DEVNULL)
    return build


def verdict(value, aim, higher):
    if aim is None:
        return ""
    return " ok" if (value >= aim if higher else value <= aim) else " MISSED"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", help="a build tree with cli/vantrel and cli/vantrel-decode")
    parser.add_argument("--keep", help="keep the corpus and the damaged streams in this folder")
    parser.add_argument("--quick", action="store_true", help="10 s of each material")
    parser.add_argument("--only", help="some of the materials, by maker: speech,tonal,drums")
    args = parser.parse_args()
    build = args.build or bench_build()
    tmp = args.keep or tempfile.mkdtemp(prefix="vantrel-conceal-")
    os.makedirs(tmp, exist_ok=True)
    rows = []
    for name, maker, options, n, cutoff in MATERIALS:
        if args.only is None or maker in args.only.split(","):
            rows += measure(build, tmp, name, maker, options, n, cutoff, args.quick)

    print("| material | loss | lost/frames | method | segSNR lost | segSNR lost+next | "
          "LSD lost | clicks |")
    print("|---|---|---|---|---|---|---|---|")
    missed = 0
    for name, loss, count, frames, result in rows:
        aims = AIMS.get((name, loss), (None, None, None, None))
        for method, (s1, s2, d, c) in result.items():
            marks = [""] * 4
            if method == "vantrel":
                marks = [verdict(s1, aims[0], True), verdict(s2, aims[1], True),
                         verdict(d, aims[2], False), verdict(c, aims[3], False)]
                missed += sum("MISSED" in m for m in marks)
            print(f"| {name} | {LOSS_NAMES[loss]} | {count}/{frames} | {method} | "
                  f"{s1:.1f} dB{marks[0]} | {s2:.1f} dB{marks[1]} | {d:.1f} dB{marks[2]} | "
                  f"{100 * c:.0f} %{marks[3]} |")
    print(f"aims missed: {missed}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
