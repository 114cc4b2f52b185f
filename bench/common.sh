# What the benchmark scripts share; sourced by them from the checkout's root.
#
#   bench_tmp NAME             a fresh folder in ${TMPDIR:-/tmp} as $tmp, removed on exit
#   bench_build TARGET...      a Release build of the targets in build-bench (no tests)
#   music_signal SECONDS OUT   the music-like 16-bit stereo signal at 44100 Hz as a WAVE file
#   median                     the median of the numbers on standard input, one a line
#   timed_rounds ROUNDS COUNT [ARG...]
#                              runs the commands `command_of C ARG...` prints, C = 0 .. COUNT-1,
#                              in turn, ROUNDS times, output to /dev/null; appends each run's
#                              wall time to $tmp/real.C and its user + system time to $tmp/cpu.C,
#                              and sets $load_before and $load_after (the load averages)
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

timed_rounds() {
  local rounds=$1 count=$2 i c real user sys TIMEFORMAT='%3R %3U %3S'
  shift 2
  load_before=$(cut -d ' ' -f 1-3 /proc/loadavg)
  for ((i = 0; i < rounds; ++i)); do
    for ((c = 0; c < count; ++c)); do
      # shellcheck disable=SC2046 # the command is words
      { time $(command_of "$c" "$@") > /dev/null 2> /dev/null; } 2> "$tmp/one"
      read -r real user sys < "$tmp/one"
      echo "$real" >> "$tmp/real.$c"
      awk "BEGIN { print $user + $sys }" >> "$tmp/cpu.$c"
    done
  done
  load_after=$(cut -d ' ' -f 1-3 /proc/loadavg)
}

peak_rss() { /usr/bin/time -f %M "$@" 2>&1 > /dev/null | tail -n 1; }

instructions() {
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 > /dev/null |
    sed -n 's/.*Collected : \([0-9]*\).*/\1/p'
}
