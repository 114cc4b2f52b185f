#!/usr/bin/env bash
# Times the Python module against the program on the same audio: vantrel.encode on ten minutes
# of 44.1 kHz stereo held in memory (a numpy int16 array) against `vantrel -T 1` encoding the
# same samples from a WAVE file to /dev/null, with the same options (JOINT_STEREO, SNR,
# 8 subbands, 16 blocks, 375000 bit/s), and vantrel.round_trip on the same array in multiples
# of real time.
#
#   bench/python_encode.sh [rounds] [seconds]      (defaults 5 rounds, 600 s; files in ${TMPDIR:-/tmp})
#
# The two run alternately, `rounds` times each, the file in the page cache; the script prints the
# median wall time of each and their ratio, and checks that both give the same bytes. The module's
# time is measured inside one Python process (loading numpy and the library is not counted); the
# program's is a whole run, start-up included, as a user meets it. Needs sox, python3-numpy.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-5}
seconds=${2:-600}
source bench/common.sh
bench_tmp vantrel-python
bench_build vantrel vantrel_capi
music_signal "$seconds" "$tmp/full.wav"
cat "$tmp/full.wav" > /dev/null # into the page cache

VANTREL_LIBRARY=$(ls build-bench/capi/libvantrel.so.? | head -n 1) PYTHONPATH=python \
/usr/bin/python3 - "$tmp/full.wav" build-bench/cli/vantrel "$rounds" <<'PY'
import statistics, subprocess, sys, time, wave
import numpy as np
import vantrel

path, program, rounds = sys.argv[1], sys.argv[2], int(sys.argv[3])
with wave.open(path) as w:
    rate, channels = w.getframerate(), w.getnchannels()
    x = np.frombuffer(w.readframes(w.getnframes()), "<i2").reshape(-1, channels)
seconds = len(x) / rate
command = [program, "-j", "-T", "1", path]
assert vantrel.encode(x, rate, mode="joint") == subprocess.run(
    command, capture_output=True, check=True).stdout, "the module's bytes differ from the program's"

def timed(f):
    start = time.perf_counter()
    f()
    return time.perf_counter() - start

module, run, trip = [], [], []
for _ in range(rounds):
    module.append(timed(lambda: vantrel.encode(x, rate, mode="joint")))
    run.append(timed(lambda: subprocess.run(command, stdout=subprocess.DEVNULL,
                                            stderr=subprocess.DEVNULL, check=True)))
    trip.append(timed(lambda: vantrel.round_trip(x, rate, mode="joint")))
m, p, t = (statistics.median(v) for v in (module, run, trip))
print(f"{seconds:.0f} s of {rate} Hz stereo, {rounds} rounds, medians:")
print(f"  vantrel.encode (array in memory)  {m:.3f} s")
print(f"  vantrel -j -T 1 (WAVE file)       {p:.3f} s")
print(f"  ratio module / program            {m / p:.3f}")
print(f"  vantrel.round_trip                {t:.3f} s, {seconds / t:.0f} x real time")
PY
