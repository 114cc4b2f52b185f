#!/usr/bin/env bash
# Times vantrel.round_trip on a batch of speech as a researcher runs it: 64 ten-second 16 kHz
# signals (espeak-ng's speech, eight sentences at eight levels) through mSBC, with one worker
# and with the default (one per core), against the route users take without the module: ffmpeg
# through a subprocess per item, encoding to mSBC and decoding back (two ffmpeg runs an item,
# samples through pipes).
#
#   bench/python_round_trip.sh [rounds]      (default 3 rounds; files in ${TMPDIR:-/tmp})
#
# The three run in turn in each round, in one Python process (loading numpy and the library is
# not counted); the script prints the median wall time of each in multiples of real time and
# their ratios. Needs espeak-ng, sox, ffmpeg, python3-numpy.
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

one, default, ffmpeg = [], [], []
for _ in range(rounds):
    one.append(timed(lambda: vantrel.round_trip(batch, 16000, msbc=True, workers=1)))
    default.append(timed(lambda: vantrel.round_trip(batch, 16000, msbc=True)))
    ffmpeg.append(timed(lambda: [ffmpeg_item(x) for x in batch]))
o, d, f = (statistics.median(v) for v in (one, default, ffmpeg))
cores = len(os.sched_getaffinity(0))
print(f"64 x 10 s of 16 kHz speech, mSBC, {rounds} rounds, medians ({cores} cores):")
print(f"  round_trip, workers=1          {o:7.3f} s  {seconds / o:8.0f} x real time")
print(f"  round_trip, workers=None       {d:7.3f} s  {seconds / d:8.0f} x real time")
print(f"  ffmpeg subprocess per item     {f:7.3f} s  {seconds / f:8.0f} x real time")
print(f"  ratio: ffmpeg / workers=1 {f / o:.1f}, ffmpeg / default {f / d:.1f}, "
      f"workers=1 / default {o / d:.2f}")
PY
