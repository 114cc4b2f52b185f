#!/usr/bin/env bash
# Times vantrel-decode against Debian's sbcdec (sbc-tools) and ffmpeg's SBC decoder (both run
# as black boxes) on one stream: 44100 Hz, JOINT_STEREO, SNR, 8 subbands, 16 blocks, bitpool 53,
# decoded to 16-bit Sun audio on /dev/null.
#
#   bench/versus_sbcdec.sh [rounds] [seconds]      (defaults 5 rounds, 600 s; files in ${TMPDIR:-/tmp})
#
# Input: the music-like signal of bench/versus_sbcenc.sh (tones, a chirp, noise bursts, silence;
# dither off, fixed seed), encoded by vantrel -j -r 328000 (bitpool 53). The three decoders run
# in turn, `rounds` times each; the script prints the median times, their ratios, the peak
# resident sizes (/usr/bin/time) and instructions per stereo sample instant under callgrind on a
# 10-second cut. Needs sox, sbcdec, ffmpeg, valgrind, /usr/bin/time.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-5}
seconds=${2:-600}
source bench/common.sh
bench_tmp vantrel-versus-dec
bench_build vantrel vantrel-decode
vantrel=build-bench/cli/vantrel
decode=build-bench/cli/vantrel-decode

music_signal "$seconds" "$tmp/full.wav"
sox -D "$tmp/full.wav" "$tmp/cut.wav" trim 0 10
"$vantrel" -j -r 328000 -o "$tmp/full.sbc" "$tmp/full.wav" 2> /dev/null
"$vantrel" -j -r 328000 -o "$tmp/cut.sbc" "$tmp/cut.wav" 2> /dev/null
header=$(head -c 3 "$tmp/full.sbc" | od -An -tx1 | tr -d ' \n')
[ "$header" = 9cbf35 ] || { echo "header $header, not 9cbf35 (44.1k/16/joint/SNR/8/53)"; exit 1; }

run_vantrel() { "$decode" -t au -o /dev/null "$1"; }
run_sbcdec() { sbcdec -f /dev/null "$1"; }
run_ffmpeg() { ffmpeg -v error -f sbc -i "$1" -f au -y /dev/null; }

# All three must give the same number of samples (they differ by a few LSB, never in length).
"$decode" -t raw "$tmp/cut.sbc" | wc -c > "$tmp/v.len"
sbcdec -f "$tmp/cut.au" "$tmp/cut.sbc"
ffmpeg -v error -f sbc -i "$tmp/cut.sbc" -f s16le - | wc -c > "$tmp/f.len"
s_len=$(( $(stat -c %s "$tmp/cut.au") - $(od -An -tu4 --endian=big -j4 -N4 "$tmp/cut.au") ))
[ "$(cat "$tmp/v.len")" = "$s_len" ] && [ "$(cat "$tmp/f.len")" = "$s_len" ] \
  || { echo "the decoders disagree on the length"; exit 1; }

now() { date +%s.%N; }
for d in vantrel sbcdec ffmpeg; do : > "$tmp/$d.times"; done
for ((i = 0; i < rounds; ++i)); do
  for d in vantrel sbcdec ffmpeg; do
    t0=$(now); "run_$d" "$tmp/full.sbc"; t1=$(now)
    awk "BEGIN { print $t1 - $t0 }" >> "$tmp/$d.times"
  done
done
v=$(median < "$tmp/vantrel.times")
s=$(median < "$tmp/sbcdec.times")
f=$(median < "$tmp/ffmpeg.times")

v_rss=$(peak_rss "$decode" -t au -o /dev/null "$tmp/full.sbc")
s_rss=$(peak_rss sbcdec -f /dev/null "$tmp/full.sbc")
f_rss=$(peak_rss ffmpeg -v error -f sbc -i "$tmp/full.sbc" -f au -y /dev/null)

instants=441000
per_instant() { awk "BEGIN { print $1 / $instants }"; }
v_ins=$(per_instant "$(instructions "$decode" -t au -o /dev/null "$tmp/cut.sbc")")
s_ins=$(per_instant "$(instructions sbcdec -f /dev/null "$tmp/cut.sbc")")
f_ins=$(per_instant "$(instructions ffmpeg -v error -f sbc -i "$tmp/cut.sbc" -f au -y /dev/null)")

printf 'input: %d s of 44100 Hz joint stereo at bitpool 53 (%d bytes of SBC); %d rounds, in turn\n' \
  "$seconds" "$(stat -c %s "$tmp/full.sbc")" "$rounds"
row() { printf '%-34s median %7.3f s   peak RSS %7d KiB   %7.1f instructions/instant\n' "$@"; }
row "vantrel-decode -t au" "$v" "$v_rss" "$v_ins"
row "sbcdec -f" "$s" "$s_rss" "$s_ins"
row "ffmpeg -f sbc ... -f au" "$f" "$f_rss" "$f_ins"
printf 'ratio vantrel-decode / sbcdec: %.3f   vantrel-decode / ffmpeg: %.3f\n' \
  "$(awk "BEGIN { print $v / $s }")" "$(awk "BEGIN { print $v / $f }")"
