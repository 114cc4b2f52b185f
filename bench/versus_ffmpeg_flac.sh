#!/usr/bin/env bash
# Times vantrel on a FLAC file (decoded by libsndfile) against ffmpeg doing the same job
# (`ffmpeg -i x.flac -c:a sbc -b:a 328k out.sbc`, run as a black box), beside vantrel on the
# same audio as a 16-bit WAVE file; all output to /dev/null.
#
#   bench/versus_ffmpeg_flac.sh [rounds] [seconds]   (defaults 5 rounds, 600 s; files in ${TMPDIR:-/tmp})
#
# Input: the music-like 16-bit stereo signal at 44100 Hz of common.sh, as WAVE and as FLAC
# (written by ffmpeg). vantrel runs with its defaults (-j, 8 subbands, 16 blocks, 375 kbit/s);
# ffmpeg's SBC encoder at 328 kbit/s, its highest A2DP rate. The three commands run alternately,
# `rounds` times each, with the files in the page cache; the script prints for each the median
# wall time and its ratios to ffmpeg and to vantrel on the WAVE file, the median user + system
# time, and the peak resident size of vantrel on FLAC from the file and through a pipe
# (cat x.flac | vantrel AUDIO_FROM_STDIN). Needs sox, ffmpeg, /usr/bin/time.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-5}
seconds=${2:-600}
source bench/common.sh
bench_tmp vantrel-flac
bench_build vantrel
vantrel=build-bench/cli/vantrel

music_signal "$seconds" "$tmp/full.wav"
ffmpeg -v error -i "$tmp/full.wav" -c:a flac "$tmp/full.flac"

# The FLAC file must give the very stream of its WAVE source.
"$vantrel" -o "$tmp/wav.sbc" "$tmp/full.wav" 2> /dev/null
"$vantrel" -o "$tmp/flac.sbc" "$tmp/full.flac" 2> /dev/null
cmp -s "$tmp/wav.sbc" "$tmp/flac.sbc" || { echo "vantrel: FLAC and WAVE streams differ"; exit 1; }
rm -f "$tmp/wav.sbc" "$tmp/flac.sbc"

names=("ffmpeg -c:a sbc -b:a 328k (FLAC)" "vantrel (FLAC)" "vantrel (WAVE)")
command_of() {
  case $1 in
    0) echo ffmpeg -v error -y -i "$tmp/full.flac" -c:a sbc -b:a 328k -f sbc /dev/null ;;
    1) echo "$vantrel" "$tmp/full.flac" ;;
    2) echo "$vantrel" "$tmp/full.wav" ;;
  esac
}

cat "$tmp/full.wav" "$tmp/full.flac" > /dev/null # into the page cache
timed_rounds "$rounds" 3

printf 'input: %d s of 16-bit stereo at 44100 Hz (WAVE %d bytes, FLAC %d bytes); %d rounds, alternating; %s processors\n' \
  "$seconds" "$(stat -c %s "$tmp/full.wav")" "$(stat -c %s "$tmp/full.flac")" "$rounds" "$(nproc)"
printf 'load average before %s, after %s\n' "$load_before" "$load_after"
printf '%-34s %9s %8s %8s %10s\n' command median /ffmpeg /wave user+sys
f=$(median < "$tmp/real.0")
w=$(median < "$tmp/real.2")
for c in 0 1 2; do
  real=$(median < "$tmp/real.$c")
  cpu=$(median < "$tmp/cpu.$c")
  printf '%-34s %7.3f s %8.3f %8.3f %8.3f s\n' "${names[$c]}" "$real" \
    "$(awk "BEGIN { print $real / $f }")" "$(awk "BEGIN { print $real / $w }")" "$cpu"
done
printf 'peak RSS of vantrel on FLAC: %d KiB from the file, %d KiB through a pipe\n' \
  "$(peak_rss "$vantrel" "$tmp/full.flac")" \
  "$(/usr/bin/time -f %M sh -c "cat '$tmp/full.flac' | '$vantrel' AUDIO_FROM_STDIN > /dev/null 2> /dev/null" 2>&1 | tail -n 1)"
