#!/usr/bin/env bash
# Times vantrel on files that FFmpeg's libraries decode for it (M4A with AAC, WavPack) against
# ffmpeg doing the same job on the same file (`ffmpeg -i FILE -c:a sbc -b:a 328k out.sbc`, run as
# a black box); all output to /dev/null.
#
#   bench/versus_ffmpeg_decoded.sh [rounds] [seconds]   (defaults 5 rounds, 300 s; files in ${TMPDIR:-/tmp})
#
# Input: the music-like 16-bit stereo signal at 44100 Hz of common.sh, written by ffmpeg as M4A
# (AAC at its default rate) and as WavPack. vantrel runs with its defaults (-j, 8 subbands, 16
# blocks, 375 kbit/s); ffmpeg's SBC encoder at 328 kbit/s, its highest A2DP rate. The four
# commands run alternately, `rounds` times each, with the files in the page cache; the script
# prints for each the median wall time, vantrel's ratio to ffmpeg on the same file, the median
# user + system time, and the peak resident size of each (of which loading FFmpeg's shared
# libraries alone, as Debian builds them, is about 25 MiB). Needs sox, ffmpeg, /usr/bin/time.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-5}
seconds=${2:-300}
source bench/common.sh
bench_tmp vantrel-decoded
bench_build vantrel
vantrel=build-bench/cli/vantrel

music_signal "$seconds" "$tmp/full.wav"
ffmpeg -v error -i "$tmp/full.wav" -c:a aac "$tmp/full.m4a"
ffmpeg -v error -i "$tmp/full.wav" -c:a wavpack "$tmp/full.wv"

# The WavPack file must give the very stream of its WAVE source.
"$vantrel" -o "$tmp/wav.sbc" "$tmp/full.wav" 2> /dev/null
"$vantrel" -o "$tmp/wv.sbc" "$tmp/full.wv" 2> /dev/null
cmp -s "$tmp/wav.sbc" "$tmp/wv.sbc" || { echo "vantrel: WavPack and WAVE streams differ"; exit 1; }
rm -f "$tmp/wav.sbc" "$tmp/wv.sbc"

names=("ffmpeg (M4A AAC)" "vantrel (M4A AAC)" "ffmpeg (WavPack)" "vantrel (WavPack)")
input_of() { if [ "$1" -lt 2 ]; then echo "$tmp/full.m4a"; else echo "$tmp/full.wv"; fi; }
command_of() {
  local in
  in=$(input_of "$1")
  case $(($1 % 2)) in
    0) echo ffmpeg -v error -y -i "$in" -c:a sbc -b:a 328k -f sbc /dev/null ;;
    1) echo "$vantrel" "$in" ;;
  esac
}

cat "$tmp/full.m4a" "$tmp/full.wv" > /dev/null # into the page cache
timed_rounds "$rounds" 4

printf 'input: %d s of 16-bit stereo at 44100 Hz (M4A AAC %d bytes, WavPack %d bytes); %d rounds, alternating; %s processors\n' \
  "$seconds" "$(stat -c %s "$tmp/full.m4a")" "$(stat -c %s "$tmp/full.wv")" "$rounds" "$(nproc)"
printf 'load average before %s, after %s\n' "$load_before" "$load_after"
printf '%-20s %9s %8s %10s %10s\n' command median /ffmpeg user+sys "peak RSS"
for c in 0 1 2 3; do
  real=$(median < "$tmp/real.$c")
  cpu=$(median < "$tmp/cpu.$c")
  theirs=$(median < "$tmp/real.$((c - c % 2))")
  # shellcheck disable=SC2046 # the command is words
  printf '%-20s %7.3f s %8.3f %8.3f s %6d KiB\n' "${names[$c]}" "$real" \
    "$(awk "BEGIN { print $real / $theirs }")" "$cpu" "$(peak_rss $(command_of "$c"))"
done
printf 'peak RSS of vantrel through a pipe: %d KiB (M4A AAC), %d KiB (WavPack)\n' \
  "$(/usr/bin/time -f %M sh -c "cat '$tmp/full.m4a' | '$vantrel' AUDIO_FROM_STDIN > /dev/null 2> /dev/null" 2>&1 | tail -n 1)" \
  "$(/usr/bin/time -f %M sh -c "cat '$tmp/full.wv' | '$vantrel' AUDIO_FROM_STDIN > /dev/null 2> /dev/null" 2>&1 | tail -n 1)"
