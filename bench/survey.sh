#!/usr/bin/env bash
# The file survey: 32 files that ffmpeg and sox write with their defaults from one source (a few
# seconds of espeak-ng's speech, made 16-bit stereo at 44100 Hz), given to vantrel as a new user
# would: as they are, then, where vantrel refuses one, with `-F 48000`; and to ffmpeg's SBC
# encoder (`ffmpeg -i FILE -c:a sbc -b:a 328k`, run as a black box). It prints a line a file and
# the counts, and checks that every lossless form of the 16-bit source (PCM of 16 bits and more,
# FLAC, ALAC, WavPack, TTA) gives the very stream of the plain 16-bit WAVE.
#
#   bench/survey.sh [vantrel binary]     (default: a Release build in build-bench)
#
# Needs ffmpeg, sox and espeak-ng. Exits 1 when a lossless form gives another stream.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
bench_tmp vantrel-survey
if [ $# -gt 0 ]; then
  vantrel=$(realpath "$1")
else
  bench_build vantrel
  vantrel=$PWD/build-bench/cli/vantrel
fi
cd "$tmp"

espeak-ng -w speech.wav "Tried as a new user would, with thirty two files from one source."
sox -D speech.wav -r 44100 -c 2 -b 16 src.wav
ff() { ffmpeg -v error -y -i src.wav "$@"; }

# name, whether it holds the 16-bit source's samples exactly (same stream as src.wav expected)
files=()
add() { files+=("$1 $2"); }
ff s16.wav;                             add s16.wav exact
ff -c:a pcm_u8 u8.wav;                  add u8.wav -
ff -c:a pcm_s24le s24.wav;              add s24.wav exact
ff -c:a pcm_s32le s32.wav;              add s32.wav exact
ff -c:a pcm_f32le f32.wav;              add f32.wav exact
ff -c:a pcm_f64le f64.wav;              add f64.wav exact
ff -rf64 always rf64.wav;               add rf64.wav exact
ff -c:a pcm_mulaw mulaw.wav;            add mulaw.wav -
ff -c:a pcm_alaw alaw.wav;              add alaw.wav -
sox -D src.wav -b 24 sox24.wav;         add sox24.wav exact
sox -D src.wav -e floating-point -b 32 soxfloat.wav; add soxfloat.wav exact
ff ff.aiff;                             add ff.aiff exact
sox -D src.wav sox.aifc;                add sox.aifc exact
ff ff.au;                               add ff.au exact
sox -D src.wav -e u-law soxmulaw.au;    add soxmulaw.au -
ff ff.caf;                              add ff.caf exact
ff ff.w64;                              add ff.w64 exact
ff ff.flac;                             add ff.flac exact
sox -D src.wav sox.flac;                add sox.flac exact
ff ff.mp3;                              add ff.mp3 -
ff ff.ogg;                              add ff.ogg -
ff ff.opus;                             add ff.opus -
ff -c:a aac aac.m4a;                    add aac.m4a -
ff -c:a alac alac.m4a;                  add alac.m4a exact
ff -c:a alac alac.caf;                  add alac.caf exact
ff ff.wv;                               add ff.wv exact
ff -ac 6 six.flac;                      add six.flac -
ff -ar 8000 -ac 1 8k.wav;               add 8k.wav -
ff -ar 16000 -ac 1 16k.wav;             add 16k.wav -
ff -ar 22050 22k.wav;                   add 22k.wav -
ff -ar 96000 -c:a pcm_s24le 96k.wav;    add 96k.wav -
ff -ar 192000 192k.wav;                 add 192k.wav -

"$vantrel" -o plain.sbc src.wav 2> /dev/null
as_is=0
with_f=0
by_ffmpeg=0
exact_ok=0
exact_all=0
printf '%-14s %-24s %-8s %s\n' file vantrel ffmpeg "same stream as the 16-bit WAVE"
for entry in "${files[@]}"; do
  read -r name exact <<< "$entry"
  how=refused
  if "$vantrel" -o out.sbc "$name" 2> err.txt; then
    how="as it is"
    as_is=$((as_is + 1))
  elif "$vantrel" -F 48000 -o out.sbc "$name" 2> err.txt; then
    how="with -F 48000"
    with_f=$((with_f + 1))
  else
    how="refused: $(grep -v '^$' err.txt | sed -n 3p | cut -c 1-40)"
    rm -f out.sbc
  fi
  theirs=refused
  if ffmpeg -v error -y -i "$name" -c:a sbc -b:a 328k -f sbc ffmpeg.sbc 2> /dev/null; then
    theirs=encoded
    by_ffmpeg=$((by_ffmpeg + 1))
  fi
  same=""
  if [ "$exact" = exact ]; then
    exact_all=$((exact_all + 1))
    if [ -f out.sbc ] && cmp -s out.sbc plain.sbc; then
      same=yes
      exact_ok=$((exact_ok + 1))
    else
      same=NO
    fi
  fi
  printf '%-14s %-24s %-8s %s\n' "$name" "$how" "$theirs" "$same"
  rm -f out.sbc
done
printf 'vantrel encodes %d of %d (%d as they are, %d with -F); ffmpeg %d of %d\n' \
  $((as_is + with_f)) ${#files[@]} "$as_is" "$with_f" "$by_ffmpeg" ${#files[@]}
printf 'lossless forms giving the 16-bit WAVE'"'"'s stream: %d of %d\n' "$exact_ok" "$exact_all"
[ "$exact_ok" -eq "$exact_all" ]
