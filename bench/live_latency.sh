#!/usr/bin/env bash
# Frame latency of a live pipeline, in either direction, with the peers beside vantrel's programs.
#
#   bench/live_latency.sh [encode|decode] [seconds] [rounds] [chunk-ms]
#                                               (defaults encode, 10 s, 3 rounds, 10 ms)
#
# encode: vantrel, sbcenc and ffmpeg each read 16-bit stereo at 44100 Hz from a pipe, fed in
# real time in chunks of chunk-ms, and write SBC frames to a pipe. For every frame, the time from
# the write of its last input sample to the moment the frame is readable on standard output.
# vantrel -j and sbcenc -j -S -s 8 -B 16 -b 61 write the same stream parameters (bitpool 61);
# ffmpeg's SBC encoder picks its own from -b:a 345k (8 subbands, 16 blocks, bitpool 57). sbcenc
# reads a Sun file, the others a WAVE file; the header goes in at once.
#
# decode: vantrel-decode -t raw, ffmpeg -f sbc and sbcdec each read an SBC stream (44100 Hz joint
# stereo, bitpool 53, 119-byte frames, written by vantrel -j -r 328000) from a pipe, fed in real
# time in chunks that each hold chunk-ms of audio (cut anywhere, frames too), and write 16-bit
# PCM to a pipe. For every frame, the time from the write of its last byte to the moment its
# last sample is readable on standard output. sbcdec takes its input's size from the file system
# before it decodes, so from a pipe it writes a Sun header and no audio (frames 0 of N).
#
# Each run prints the frames that came against those the input holds and the median, 99th
# percentile and maximum latency; the programs alternate, `rounds` times each. Needs sox; the
# peers are skipped when they are not installed. The driver is bench/live_latency.cpp.
set -euo pipefail
cd "$(dirname "$0")/.."
direction=encode
case ${1:-} in encode | decode) direction=$1; shift ;; esac
seconds=${1:-10}
rounds=${2:-3}
chunk_ms=${3:-10}
source bench/common.sh
bench_tmp vantrel-latency
bench_build vantrel vantrel-decode
"${CXX:-c++}" -std=c++20 -O2 -Wall -Wextra bench/live_latency.cpp -o build-bench/live_latency
driver=build-bench/live_latency
have() { command -v "$1" > /dev/null; }

sox -D -R -n -r 44100 -c 2 -b 16 "$tmp/in.wav" synth "$seconds" sine 220-880 pinknoise gain -6
sox -D "$tmp/in.wav" "$tmp/in.au"
build-bench/cli/vantrel -j -r 328000 -o "$tmp/in.sbc" "$tmp/in.wav" 2> /dev/null

encode_round() {
  printf '%-15s ' vantrel
  "$driver" --chunk-ms "$chunk_ms" "$tmp/in.wav" -- build-bench/cli/vantrel -j AUDIO_FROM_STDIN
  if have sbcenc; then
    printf '%-15s ' sbcenc
    "$driver" --chunk-ms "$chunk_ms" "$tmp/in.au" -- sbcenc -j -S -s 8 -B 16 -b 61 /dev/stdin
  fi
  if have ffmpeg; then
    printf '%-15s ' ffmpeg
    "$driver" --chunk-ms "$chunk_ms" "$tmp/in.wav" -- \
      ffmpeg -v error -f wav -i pipe:0 -c:a sbc -b:a 345k -f sbc pipe:1
  fi
}

decode_round() {
  printf '%-15s ' vantrel-decode
  "$driver" --decode --chunk-ms "$chunk_ms" "$tmp/in.sbc" -- build-bench/cli/vantrel-decode -t raw -
  if have ffmpeg; then
    printf '%-15s ' ffmpeg
    "$driver" --decode --chunk-ms "$chunk_ms" "$tmp/in.sbc" -- \
      ffmpeg -v error -f sbc -i pipe:0 -f s16le pipe:1
  fi
  if have sbcdec; then
    printf '%-15s ' sbcdec
    "$driver" --decode --chunk-ms "$chunk_ms" "$tmp/in.sbc" -- sbcdec -f /dev/stdout /dev/stdin
  fi
}

echo "live_latency $direction: $seconds s of 16-bit stereo at 44100 Hz in $chunk_ms ms chunks," \
  "$rounds rounds; load average $(cut -d ' ' -f 1-3 /proc/loadavg)"
for ((i = 1; i <= rounds; ++i)); do
  "${direction}_round"
done
