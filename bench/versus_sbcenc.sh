#!/usr/bin/env bash
# Times vantrel against Debian's sbcenc (sbc-tools, run as a black box) on the same stream
# parameters: JOINT_STEREO, SNR, 8 subbands, 16 blocks, bitpool 61, output to /dev/null.
#
#   bench/versus_sbcenc.sh [rounds] [seconds]      (defaults 5 rounds, 600 s; files in ${TMPDIR:-/tmp})
#
# Input: a music-like 16-bit stereo signal at 44100 Hz made by sox (tones, a chirp, noise bursts,
# silence; dither off, fixed seed), written as WAVE for vantrel and as Sun audio for sbcenc.
# The two programs run alternately, `rounds` times each; the script prints both median times and
# their ratio, both peak resident sizes (/usr/bin/time), and instructions per stereo sample
# instant of both under callgrind on a 10-second cut. Needs sox, sbcenc, valgrind, /usr/bin/time.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-5}
seconds=${2:-600}
tmp=${TMPDIR:-/tmp}/vantrel-versus.$$
mkdir -p "$tmp"
trap 'rm -rf "$tmp"' EXIT

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DVANTREL_TESTS=OFF > /dev/null
cmake --build build-bench -j 2 --target vantrel > /dev/null
vantrel=build-bench/cli/vantrel

# One 20-second pattern, repeated to the requested length.
mk() { sox -D -R -n -r 44100 -c 2 -b 16 "$tmp/$1.wav" "${@:2}"; }
mk tones synth 6 sine 220 sine 330 synth 6 sine amod 5 50 tremolo 3 40 gain -4
mk chirp synth 6 sine 60-9000 sine 9000-60 gain -3
mk noise synth 6 pinknoise whitenoise tremolo 1.5 100 gain -8
mk quiet trim 0 2
sox -D "$tmp/tones.wav" "$tmp/chirp.wav" "$tmp/noise.wav" "$tmp/quiet.wav" "$tmp/pattern.wav"
repeats=$(( (seconds + 19) / 20 - 1 ))
sox -D "$tmp/pattern.wav" "$tmp/full.wav" repeat "$repeats" trim 0 "$seconds"
sox -D "$tmp/full.wav" "$tmp/full.au"
sox -D "$tmp/full.wav" "$tmp/cut.wav" trim 0 10
sox -D "$tmp/full.wav" "$tmp/cut.au" trim 0 10

run_vantrel() { "$vantrel" -j "$1" > /dev/null 2> /dev/null; }
run_sbcenc() { sbcenc -j -S -s 8 -B 16 -b 61 "$1" > /dev/null; }

# Both streams must carry the same parameters: their first frame header reads 9C BF 3D.
sbcenc -j -S -s 8 -B 16 -b 61 "$tmp/cut.au" > "$tmp/cut.sbcenc.sbc"
"$vantrel" -j -o "$tmp/cut.vantrel.sbc" "$tmp/cut.wav" 2> /dev/null
for f in sbcenc vantrel; do
  header=$(head -c 3 "$tmp/cut.$f.sbc" | od -An -tx1 | tr -d ' \n')
  [ "$header" = 9cbf3d ] || { echo "$f: header $header, not 9cbf3d (44.1k/16/joint/SNR/8/61)"; exit 1; }
done

now() { date +%s.%N; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
: > "$tmp/v.times"
: > "$tmp/s.times"
for ((i = 0; i < rounds; ++i)); do
  t0=$(now); run_vantrel "$tmp/full.wav"; t1=$(now); run_sbcenc "$tmp/full.au"; t2=$(now)
  awk "BEGIN { print $t1 - $t0 }" >> "$tmp/v.times"
  awk "BEGIN { print $t2 - $t1 }" >> "$tmp/s.times"
done
v=$(median < "$tmp/v.times")
s=$(median < "$tmp/s.times")

rss() { /usr/bin/time -f %M "$@" 2>&1 > /dev/null | tail -n 1; }
v_rss=$(rss "$vantrel" -j "$tmp/full.wav")
s_rss=$(rss sbcenc -j -S -s 8 -B 16 -b 61 "$tmp/full.au")

instructions() { valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 > /dev/null |
  sed -n 's/.*Collected : \([0-9]*\).*/\1/p'; }
v_ins=$(instructions "$vantrel" -j "$tmp/cut.wav")
s_ins=$(instructions sbcenc -j -S -s 8 -B 16 -b 61 "$tmp/cut.au")
instants=441000

printf 'input: %d s of 16-bit stereo at 44100 Hz (%d bytes WAVE); %d rounds, alternating\n' \
  "$seconds" "$(stat -c %s "$tmp/full.wav")" "$rounds"
printf 'vantrel -j                      median %.3f s   peak RSS %6d KiB   %6.1f instructions/instant\n' \
  "$v" "$v_rss" "$(awk "BEGIN { print $v_ins / $instants }")"
printf 'sbcenc -j -S -s 8 -B 16 -b 61   median %.3f s   peak RSS %6d KiB   %6.1f instructions/instant\n' \
  "$s" "$s_rss" "$(awk "BEGIN { print $s_ins / $instants }")"
printf 'ratio vantrel / sbcenc: %.3f\n' "$(awk "BEGIN { print $v / $s }")"
