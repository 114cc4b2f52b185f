#!/usr/bin/env bash
# Times the C interface (vantrel_encoder_encode on samples held in memory, bench/capi_encode.c)
# against the program with -T 1 on the same audio as a WAVE file: JOINT_STEREO, SNR, 8
# subbands, 16 blocks, 375000 bit/s, output to /dev/null (the program) or to memory (the C
# interface). Both must give the same bytes. The two run alternately, `rounds` times each;
# the script prints the median wall time of each and their ratio.
#
#   bench/versus_capi.sh [rounds] [seconds]      (defaults 5 rounds, 600 s)
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-5}
seconds=${2:-600}
source bench/common.sh
bench_tmp vantrel-capi
bench_build vantrel vantrel_capi
vantrel=build-bench/cli/vantrel
"${CC:-cc}" -std=c99 -O2 -Wall -Wextra -pedantic -Icapi -o "$tmp/capi_encode" bench/capi_encode.c \
  -Lbuild-bench/capi -lvantrel -Wl,-rpath,"$PWD/build-bench/capi"

music_signal "$seconds" "$tmp/full.wav"
sox -D "$tmp/full.wav" -t raw -e signed -b 16 -L "$tmp/full.raw"
"$vantrel" -j -T 1 -o "$tmp/program.sbc" "$tmp/full.wav" 2> /dev/null
"$tmp/capi_encode" "$tmp/full.raw" "$tmp/capi.sbc" > /dev/null
cmp -s "$tmp/program.sbc" "$tmp/capi.sbc" || { echo "the C interface and the program differ"; exit 1; }

load_before=$(cut -d ' ' -f 1-3 /proc/loadavg)
cat "$tmp/full.wav" "$tmp/full.raw" > /dev/null # into the page cache
TIMEFORMAT='%3R'
for ((i = 0; i < rounds; ++i)); do
  { time "$vantrel" -j -T 1 "$tmp/full.wav" > /dev/null 2> /dev/null; } 2>> "$tmp/program.times"
  "$tmp/capi_encode" "$tmp/full.raw" /dev/null 1 >> "$tmp/capi.times"
done
program=$(median < "$tmp/program.times")
capi=$(median < "$tmp/capi.times")
printf '%s s of stereo at 44100 Hz, median of %s rounds (load before: %s)\n' "$seconds" "$rounds" \
  "$load_before"
printf '  vantrel -j -T 1 file.wav      %8.3f s   1.00\n' "$program"
printf '  vantrel_encoder_encode        %8.3f s   %.2f\n' "$capi" "$(echo "$capi / $program" | bc -l)"
