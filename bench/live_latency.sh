#!/usr/bin/env bash
# Frame latency of a live pipeline: vantrel, sbcenc and ffmpeg each read 16-bit stereo at
# 44100 Hz from a pipe, fed in real time in chunks of 10 ms, and write SBC frames to a pipe.
# For every frame, the time from the write of its last input sample to the moment the frame is
# readable on standard output; the median, 99th percentile and maximum of each run.
#
#   bench/live_latency.sh [seconds] [rounds] [chunk-ms]    (defaults 10 s, 3 rounds, 10 ms)
#
# vantrel -j and sbcenc -j -S -s 8 -B 16 -b 61 write the same stream parameters (bitpool 61);
# ffmpeg's SBC encoder picks its own from -b:a 345k (8 subbands, 16 blocks, bitpool 57). sbcenc
# reads a Sun file, the others a WAVE file; the header goes in at once. The three alternate,
# `rounds` times each. Needs sox; sbcenc and ffmpeg are skipped when they are not installed.
# The driver is bench/live_latency.cpp.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
rounds=${2:-3}
chunk_ms=${3:-10}
tmp=${TMPDIR:-/tmp}/vantrel-latency.$$
mkdir -p "$tmp"
trap 'rm -rf "$tmp"' EXIT

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DVANTREL_TESTS=OFF > /dev/null
cmake --build build-bench -j 2 --target vantrel > /dev/null
"${CXX:-c++}" -std=c++20 -O2 -Wall -Wextra bench/live_latency.cpp -o build-bench/live_latency
driver=build-bench/live_latency

sox -D -R -n -r 44100 -c 2 -b 16 "$tmp/in.wav" synth "$seconds" sine 220-880 pinknoise gain -6
sox -D "$tmp/in.wav" "$tmp/in.au"

echo "live_latency: $seconds s of 16-bit stereo at 44100 Hz in $chunk_ms ms chunks, $rounds rounds"
for ((i = 1; i <= rounds; ++i)); do
  printf '%-8s ' vantrel
  "$driver" --chunk-ms "$chunk_ms" "$tmp/in.wav" -- build-bench/cli/vantrel -j AUDIO_FROM_STDIN
  if command -v sbcenc > /dev/null; then
    printf '%-8s ' sbcenc
    "$driver" --chunk-ms "$chunk_ms" "$tmp/in.au" -- sbcenc -j -S -s 8 -B 16 -b 61 /dev/stdin
  fi
  if command -v ffmpeg > /dev/null; then
    printf '%-8s ' ffmpeg
    "$driver" --chunk-ms "$chunk_ms" "$tmp/in.wav" -- \
      ffmpeg -v error -f wav -i pipe:0 -c:a sbc -b:a 345k -f sbc pipe:1
  fi
done
