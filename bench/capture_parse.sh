#!/usr/bin/env bash
# How fast vantrel-info reads a capture of a Bluetooth link, against cat reading the same file,
# and what decoding a stream out of a capture costs against decoding the extracted stream.
#
#   bench/capture_parse.sh [rounds] [repeat]     (defaults 5 rounds, repeat 4000: about 110 MB)
#
# Input: the standard test capture (tests/support/make_capture: A2DP media of 5 frames a packet,
# every third packet in ACL fragments, a second connection, mSBC over SCO) with its A2DP stream
# `repeat` times over, as btsnoop. Each round runs, in turn: cat > /dev/null, vantrel-info,
# vantrel-decode -s 0 -t raw of the capture, and vantrel-decode -t raw of the stream extracted
# once with -t sbc. Prints the medians, the parse rate in MB/s, the ratio to cat, the decoding
# cost against decoding the bare stream plus the parse, and the peak resident sizes of
# vantrel-info on the capture and on one a tenth as long. The file stays in the page cache
# (it is read once before timing), so the figures are of parsing, not of the disk.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-5}
repeat=${2:-4000}
source bench/common.sh
bench_tmp vantrel-capture
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DVANTREL_TESTS=ON > /dev/null
cmake --build build-bench -j 2 --target vantrel-info vantrel-decode make_capture > /dev/null
info=build-bench/cli/vantrel-info
decode=build-bench/cli/vantrel-decode

build-bench/tests/support/make_capture btsnoop "$tmp/big.log" "$repeat"
build-bench/tests/support/make_capture btsnoop "$tmp/tenth.log" $((repeat / 10))
"$decode" -s 0 -t sbc -o "$tmp/stream.sbc" "$tmp/big.log" 2> /dev/null
cat "$tmp/big.log" "$tmp/stream.sbc" > /dev/null
size=$(stat -c %s "$tmp/big.log")

run_cat() { cat "$tmp/big.log" > /dev/null; }
run_info() { "$info" "$tmp/big.log" > /dev/null; }
run_capture() { "$decode" -s 0 -t raw "$tmp/big.log" > /dev/null 2>&1; }
run_bare() { "$decode" -t raw "$tmp/stream.sbc" > /dev/null; }

now() { date +%s.%N; }
names=(cat info capture bare)
for n in "${names[@]}"; do : > "$tmp/$n.times"; done
for ((i = 0; i < rounds; ++i)); do
  for n in "${names[@]}"; do
    t0=$(now); "run_$n"; t1=$(now)
    awk "BEGIN { print $t1 - $t0 }" >> "$tmp/$n.times"
  done
done
c=$(median < "$tmp/cat.times")
p=$(median < "$tmp/info.times")
d=$(median < "$tmp/capture.times")
b=$(median < "$tmp/bare.times")
rss_big=$(peak_rss "$info" "$tmp/big.log")
rss_tenth=$(peak_rss "$info" "$tmp/tenth.log")

printf 'capture: %d bytes (%s); stream 0: %d bytes of SBC; %d rounds, in turn\n' "$size" \
  "$("$info" "$tmp/big.log" | sed -n 's/^capture: //p')" "$(stat -c %s "$tmp/stream.sbc")" "$rounds"
printf '%-44s median %7.3f s\n' "cat > /dev/null" "$c" "vantrel-info" "$p" \
  "vantrel-decode -s 0 -t raw (the capture)" "$d" "vantrel-decode -t raw (the bare stream)" "$b"
awk -v s="$size" -v c="$c" -v p="$p" -v d="$d" -v b="$b" 'BEGIN {
  printf "parse rate: %.0f MB/s (cat: %.0f MB/s); vantrel-info / cat: %.2f\n", s / p / 1e6, s / c / 1e6, p / c
  printf "decoding the capture / (decoding the bare stream + the parse): %.3f\n", d / (b + p) }'
printf 'peak RSS of vantrel-info: %d KiB (the capture), %d KiB (a tenth of it)\n' "$rss_big" "$rss_tenth"
