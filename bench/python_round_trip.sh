#!/usr/bin/env bash
# Times vantrel.round_trip on a batch of speech as a researcher runs it: 64 ten-second 16 kHz
# signals (espeak-ng's speech, eight sentences at eight levels) through mSBC, over a clean link
# and over one that loses 10 % of the frames (loss=0.1, concealed), each with one worker and
# with the default (one per core), against the route users take without the module: ffmpeg
# through a subprocess per item, encoding to mSBC and decoding back (two ffmpeg runs an item,
# samples through pipes; it has no loss model, so it stands for the clean link).
#
#   bench/python_round_trip.sh [rounds]      (default 3 rounds; files in ${TMPDIR:-/tmp})
#
# The five run in turn in each round, in one Python process (loading numpy and the library is
# not counted); the script prints the median wall time of each in multiples of real time, their
# ratios to ffmpeg and from one worker to the default, and the load average at the start and
# the end (the machine may be shared). Needs espeak-ng, sox, ffmpeg, python3-numpy.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-3}
source bench/common.sh
bench_tmp vantrel-round-trip
bench_build vantrel_capi
sentences=("The quick brown fox jumps over the lazy dog near the river bank."
  "Please call me back when you get this message, I will be at home all evening."
  "Bluetooth headsets carry wideband speech in frames of seven and a half milliseconds."
  "She sells sea shells by the sea shore, and the shells she sells are surely sea shells."
  "Turn left at the second traffic light, then keep going until you reach the station."
  "Our meeting has been moved to Thursday afternoon, in the small room on the third floor."
  "A researcher trains a speech model on what a headset link actually delivers."
  "Seven silver swans swam silently seaward under a pale and windy evening sky.")
for i in "${!sentences[@]}"; do
  espeak-ng -s $((140 + 10 * i)) -w "$tmp/s$i.raw.wav" "${sentences[$i]}"
  sox -D "$tmp/s$i.raw.wav" -r 16000 -c 1 -b 16 "$tmp/s$i.wav" repeat 3 trim 0 10 pad 0 10 trim 0 10
done

VANTREL_LIBRARY=$(ls build-bench/capi/libvantrel.so.? | head -n 1) PYTHONPATH=python \
/usr/bin/python3 - "$tmp" "$rounds" <<'PY'
import os, statistics, subprocess, sys, time, wave
import numpy as np
import vantrel

folder, rounds = sys.argv[1], int(sys.argv[2])
clips = []
for i in range(8):
    with wave.open(f"{folder}/s{i}.wav") as w:
        clips.append(np.frombuffer(w.readframes(w.getnframes()), "<i2"))
batch = np.stack([(clip * (0.3 + 0.1 * level)).astype(np.int16)
                  for clip in clips for level in range(8)])  # (64, 160000)
seconds = batch.shape[0] * batch.shape[1] / 16000

def ffmpeg_item(x):
    sbc = subprocess.run(["ffmpeg", "-v", "error", "-f", "s16le", "-ar", "16000", "-ac", "1",
                          "-i", "pipe:", "-c:a", "sbc", "-msbc", "1", "-f", "sbc", "pipe:"],
                         input=x.tobytes(), capture_output=True, check=True).stdout
    raw = subprocess.run(["ffmpeg", "-v", "error", "-f", "sbc", "-i", "pipe:", "-f", "s16le",
                          "pipe:"], input=sbc, capture_output=True, check=True).stdout
    return np.frombuffer(raw, "<i2")

def timed(f):
    start = time.perf_counter()
    f()
    return time.perf_counter() - start

routes = {
    "round_trip, workers=1": dict(workers=1),
    "round_trip, workers=None": dict(),
    "round_trip, loss=0.1, workers=1": dict(loss=0.1, seed=1, workers=1),
    "round_trip, loss=0.1, workers=None": dict(loss=0.1, seed=1),
}
load = os.getloadavg()[0]
times = {name: [] for name in [*routes, "ffmpeg subprocess per item"]}
for _ in range(rounds):
    for name, options in routes.items():
        times[name].append(timed(lambda: vantrel.round_trip(batch, 16000, msbc=True, **options)))
    times["ffmpeg subprocess per item"].append(timed(lambda: [ffmpeg_item(x) for x in batch]))
median = {name: statistics.median(v) for name, v in times.items()}
f = median["ffmpeg subprocess per item"]
cores = len(os.sched_getaffinity(0))
print(f"64 x 10 s of 16 kHz speech, mSBC, {rounds} rounds, medians ({cores} cores, load average "
      f"{load:.1f} at the start, {os.getloadavg()[0]:.1f} at the end):")
for name, t in median.items():
    print(f"  {name:36} {t:7.3f} s  {seconds / t:8.0f} x real time  {f / t:6.1f} x ffmpeg")
for lossy in ("", "loss=0.1, "):
    one, default = median[f"round_trip, {lossy}workers=1"], median[f"round_trip, {lossy}workers=None"]
    print(f"  {lossy or 'clean, '}workers=1 / default: {one / default:.2f}")
PY
