# What the benchmark scripts share; sourced by them from the checkout's root.
#
#   bench_tmp NAME             a fresh folder in ${TMPDIR:-/tmp} as $tmp, removed on exit
#   bench_build TARGET...      a Release build of the targets in build-bench (no tests)
#   music_signal SECONDS OUT   the music-like 16-bit stereo signal at 44100 Hz as a WAVE file
#   median                     the median of the numbers on standard input, one a line
#   peak_rss COMMAND...        the command's peak resident size in KiB (/usr/bin/time)
#   instructions COMMAND...    the instructions it runs under callgrind, all threads counted
# shellcheck shell=bash

bench_tmp() {
  tmp=${TMPDIR:-/tmp}/$1.$$
  mkdir -p "$tmp"
  trap 'rm -rf "$tmp"' EXIT
}

bench_build() {
  cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DVANTREL_TESTS=OFF > /dev/null
  cmake --build build-bench -j 2 --target "$@" > /dev/null
}

# One 20-second pattern (tones, a chirp, noise bursts, silence; dither off, fixed seed),
# repeated to the requested length. Needs sox and $tmp for its parts.
music_signal() {
  local seconds=$1 out=$2
  mk() { sox -D -R -n -r 44100 -c 2 -b 16 "$tmp/$1.wav" "${@:2}"; }
  mk tones synth 6 sine 220 sine 330 synth 6 sine amod 5 50 tremolo 3 40 gain -4
  mk chirp synth 6 sine 60-9000 sine 9000-60 gain -3
  mk noise synth 6 pinknoise whitenoise tremolo 1.5 100 gain -8
  mk quiet trim 0 2
  sox -D "$tmp/tones.wav" "$tmp/chirp.wav" "$tmp/noise.wav" "$tmp/quiet.wav" "$tmp/pattern.wav"
  sox -D "$tmp/pattern.wav" "$out" repeat $(((seconds + 19) / 20 - 1)) trim 0 "$seconds"
}

median() {
  sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

peak_rss() { /usr/bin/time -f %M "$@" 2>&1 > /dev/null | tail -n 1; }

instructions() {
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 > /dev/null |
    sed -n 's/.*Collected : \([0-9]*\).*/\1/p'
}
