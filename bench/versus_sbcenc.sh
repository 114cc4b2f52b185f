#!/usr/bin/env bash
# Times vantrel against Debian's sbcenc (sbc-tools, run as a black box) on the same stream
# parameters: JOINT_STEREO, SNR, 8 subbands, 16 blocks, bitpool 61, output to /dev/null; vantrel
# once in a single pass (-T 1) and once on every core (-T 0), beside the time it takes just to
# read the file (cat file > /dev/null).
#
#   bench/versus_sbcenc.sh [rounds] [seconds]      (defaults 5 rounds, 600 s; files in ${TMPDIR:-/tmp})
#
# Input: a music-like 16-bit stereo signal at 44100 Hz made by sox (tones, a chirp, noise bursts,
# silence; dither off, fixed seed), written as WAVE for vantrel and as Sun audio for sbcenc.
# The four commands run alternately, `rounds` times each, with the file in the page cache; the
# script prints for each the median wall time, its ratio to sbcenc and to reading the file, the
# median user + system time (what the threads cost), the peak resident size (/usr/bin/time) and
# the instructions per stereo sample instant under callgrind on a 10-second cut (all threads
# counted). Needs sox, sbcenc, valgrind, /usr/bin/time.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-5}
seconds=${2:-600}
source bench/common.sh
bench_tmp vantrel-versus
bench_build vantrel
vantrel=build-bench/cli/vantrel

music_signal "$seconds" "$tmp/full.wav"
sox -D "$tmp/full.wav" "$tmp/full.au"
sox -D "$tmp/full.wav" "$tmp/cut.wav" trim 0 10
sox -D "$tmp/full.wav" "$tmp/cut.au" trim 0 10

names=(cat "vantrel -j -T 1" "vantrel -j -T 0" "sbcenc -j -S -s 8 -B 16 -b 61")
command_of() { # index, input stem
  case $1 in
    0) echo cat "$tmp/$2.wav" ;;
    1) echo "$vantrel" -j -T 1 "$tmp/$2.wav" ;;
    2) echo "$vantrel" -j -T 0 "$tmp/$2.wav" ;;
    3) echo sbcenc -j -S -s 8 -B 16 -b 61 "$tmp/$2.au" ;;
  esac
}

# Both streams must carry the same parameters (their first frame header reads 9C BF 3D), and
# the two vantrel runs must give the same bytes.
sbcenc -j -S -s 8 -B 16 -b 61 "$tmp/cut.au" > "$tmp/cut.sbcenc.sbc"
"$vantrel" -j -T 1 -o "$tmp/cut.vantrel.sbc" "$tmp/cut.wav" 2> /dev/null
for f in sbcenc vantrel; do
  header=$(head -c 3 "$tmp/cut.$f.sbc" | od -An -tx1 | tr -d ' \n')
  [ "$header" = 9cbf3d ] || { echo "$f: header $header, not 9cbf3d (44.1k/16/joint/SNR/8/61)"; exit 1; }
done
"$vantrel" -j -T 1 -o "$tmp/full.1.sbc" "$tmp/full.wav" 2> /dev/null
"$vantrel" -j -T 0 -o "$tmp/full.0.sbc" "$tmp/full.wav" 2> /dev/null
cmp -s "$tmp/full.1.sbc" "$tmp/full.0.sbc" || { echo "vantrel -T 0 and -T 1 differ"; exit 1; }
rm -f "$tmp/full.1.sbc" "$tmp/full.0.sbc"

cat "$tmp/full.wav" "$tmp/full.au" > /dev/null # into the page cache
timed_rounds "$rounds" 4 full

instants=441000

printf 'input: %d s of 16-bit stereo at 44100 Hz (%d bytes WAVE); %d rounds, alternating; %s processors\n' \
  "$seconds" "$(stat -c %s "$tmp/full.wav")" "$rounds" "$(nproc)"
printf 'load average before %s, after %s\n' "$load_before" "$load_after"
printf '%-32s %9s %8s %8s %10s %9s %14s\n' command median /sbcenc /cat user+sys 'peak RSS' instr/instant
s=$(median < "$tmp/real.3")
r=$(median < "$tmp/real.0")
for c in 0 1 2 3; do
  real=$(median < "$tmp/real.$c")
  cpu=$(median < "$tmp/cpu.$c")
  # shellcheck disable=SC2046
  peak=$(peak_rss $(command_of "$c" full))
  if [ "$c" -eq 0 ]; then
    ins=-
  else
    # shellcheck disable=SC2046
    ins=$(awk "BEGIN { printf \"%.1f\", $(instructions $(command_of "$c" cut)) / $instants }")
  fi
  printf '%-32s %7.3f s %8.3f %8.2f %8.3f s %5d KiB %14s\n' "${names[$c]}" "$real" \
    "$(awk "BEGIN { print $real / $s }")" "$(awk "BEGIN { print $real / $r }")" "$cpu" "$peak" "$ins"
done
