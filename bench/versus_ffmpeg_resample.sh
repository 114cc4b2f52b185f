#!/usr/bin/env bash
# Times `vantrel -F 48000` on a 96 kHz stereo file against ffmpeg resampling and encoding the same
# file to SBC at 48 kHz, and against vantrel on the same audio already at 48 kHz as a 16-bit WAVE.
#
#   bench/versus_ffmpeg_resample.sh [rounds] [seconds]   (defaults 5 rounds, 600 s; files in ${TMPDIR:-/tmp})
#
# Input: the music-like 16-bit stereo signal of bench/common.sh, taken to 96000 Hz by sox
# (x96.wav), and x96.wav taken to 48000 Hz by sox (x48.wav), so both hold the same audio.
# Every stream has the same parameters: ffmpeg's `-b:a 328k` gives STEREO, LOUDNESS, 8 subbands,
# 16 blocks, bitpool 49 at 48 kHz, which vantrel writes with -s -p -r 330000 (checked below: the
# first header bytes read 9C F9 31). ffmpeg runs twice: with its default resampler (swr, a
# 32-tap filter) and with libsoxr at 28 bits, the quality vantrel resamples at. The commands run
# alternately, `rounds` times each, with the files in the page cache; the script prints each
# one's median wall time, its ratio to both ffmpeg runs and to vantrel on the 48 kHz WAVE, the
# median user + system time, and the peak resident size from the file and, for vantrel -F, from
# a pipe. Needs sox, ffmpeg, /usr/bin/time.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-5}
seconds=${2:-600}
source bench/common.sh
bench_tmp vantrel-resample
bench_build vantrel
vantrel=build-bench/cli/vantrel

music_signal "$seconds" "$tmp/full.wav"
sox -D "$tmp/full.wav" -r 96000 "$tmp/x96.wav" rate -v
sox -D "$tmp/x96.wav" -r 48000 "$tmp/x48.wav" rate -v
rm -f "$tmp/full.wav"

sbc=(-s -p -r 330000)
names=("vantrel -F 48000 (96 kHz in)" "ffmpeg, swr (default)" "ffmpeg, soxr 28 bits"
       "vantrel (48 kHz WAVE in)")
command_of() { # index
  case $1 in
    0) echo "$vantrel" -F 48000 "${sbc[@]}" "$tmp/x96.wav" ;;
    1) echo ffmpeg -nostdin -loglevel error -i "$tmp/x96.wav" -ar 48000 -c:a sbc -b:a 328k -f sbc - ;;
    2) echo ffmpeg -nostdin -loglevel error -i "$tmp/x96.wav" -af aresample=resampler=soxr:precision=28 \
         -ar 48000 -c:a sbc -b:a 328k -f sbc - ;;
    3) echo "$vantrel" "${sbc[@]}" "$tmp/x48.wav" ;;
  esac
}

for c in 0 1 2 3; do
  # shellcheck disable=SC2046 # the command is words
  header=$({ $(command_of "$c") 2> /dev/null || true; } | head -c 3 | od -An -tx1 | tr -d ' \n')
  [ "$header" = 9cf931 ] || { echo "${names[$c]}: header $header, not 9cf931"; exit 1; }
done

cat "$tmp/x96.wav" "$tmp/x48.wav" > /dev/null # into the page cache
timed_rounds "$rounds" 4

for c in 0 1 2 3; do
  real[$c]=$(median < "$tmp/real.$c")
  cpu[$c]=$(median < "$tmp/cpu.$c")
  # shellcheck disable=SC2046
  rss[$c]=$(peak_rss $(command_of "$c"))
done
pipe_rss=$(/usr/bin/time -f %M sh -c "cat '$tmp/x96.wav' | '$vantrel' -F 48000 ${sbc[*]} AUDIO_FROM_STDIN > /dev/null 2> /dev/null" 2>&1 | tail -n 1)

echo "10-minute stereo file (${seconds} s), $rounds rounds, load before: $load_before, after: $load_after"
printf '%-30s %9s %9s %9s %9s %9s %10s\n' command "wall s" "/ff swr" "/ff soxr" "/48k wav" "cpu s" "peak KiB"
for c in 0 1 2 3; do
  printf '%-30s %9s %9.2f %9.2f %9.2f %9s %10s\n' "${names[$c]}" "${real[$c]}" \
    "$(echo "${real[$c]} / ${real[1]}" | bc -l)" "$(echo "${real[$c]} / ${real[2]}" | bc -l)" \
    "$(echo "${real[$c]} / ${real[3]}" | bc -l)" "${cpu[$c]}" "${rss[$c]}"
done
echo "peak KiB of vantrel -F 48000 from a pipe: $pipe_rss"
