#!/usr/bin/env bash
# Encodes one hour of 16-bit stereo at 44100 Hz (the project's sample generator, about 635 MB)
# and checks that the stream holds exactly the frames the length predicts.
#
#   bench/encode_hour.sh [seconds]     (default 3600; files go to ${TMPDIR:-/tmp})
#
# Prints the encoding time beside the time it takes just to read the input (cat > /dev/null)
# in the same run, and the speed as a multiple of real time.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-3600}
tmp=${TMPDIR:-/tmp}
source bench/common.sh
bench_build vantrel make_sample

wav=$tmp/vantrel-bench-hour.wav
sbc=$tmp/vantrel-bench-hour.sbc
trap 'rm -f "$wav" "$sbc"' EXIT
build-bench/examples/make_sample "$wav" "$seconds"

now() { date +%s.%N; }
t0=$(now); cat "$wav" > /dev/null; t1=$(now)
build-bench/cli/vantrel -j -o "$sbc" "$wav" 2> /dev/null; t2=$(now)

instants=$(( seconds * 44100 ))
frames=$(( instants / 128 ))
expected=$(( frames * 135 ))
actual=$(stat -c %s "$sbc")
read_s=$(awk "BEGIN { print $t1 - $t0 }")
encode_s=$(awk "BEGIN { print $t2 - $t1 }")
printf 'input:  %d s of 16-bit stereo at 44100 Hz, %d bytes\n' "$seconds" "$(stat -c %s "$wav")"
printf 'output: %d bytes, expected %d frames x 135 bytes = %d: %s\n' "$actual" "$frames" "$expected" \
  "$([ "$actual" -eq "$expected" ] && echo match || echo MISMATCH)"
printf 'read the input: %.2f s; encode (-j): %.2f s; ratio %.1f; %.0fx real time\n' \
  "$read_s" "$encode_s" "$(awk "BEGIN { print $encode_s / $read_s }")" \
  "$(awk "BEGIN { print $seconds / $encode_s }")"
[ "$actual" -eq "$expected" ]
