#!/usr/bin/env bash
# The peak resident size and the wall time of the program on every file of the cut-file sweep
# (tests/cli/cut_files_test.cpp), by name and through a pipe, and on every input of the
# foreign_pipe_fuzz corpus through a pipe; prints the largest and the slowest of each set.
#
#   bench/pipe_bounds.sh [build dir (default build)] [corpus dir ...]
#     (default corpora: build-fuzz/corpus/foreign_pipe_fuzz and build-fuzz/seeds/foreign_pipe_fuzz)
#
# The build must have the tests (cli_tests) and be optimised, as scripts/test's first build is.
# Each run is one process with its input in the page cache; /usr/bin/time gives its figures.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
[ $# -gt 0 ] && shift
corpora=("$@")
[ ${#corpora[@]} -gt 0 ] || corpora=(build-fuzz/corpus/foreign_pipe_fuzz build-fuzz/seeds/foreign_pipe_fuzz)
source bench/common.sh
bench_tmp vantrel-pipe-bounds
vantrel=$build/cli/vantrel
mkdir -p "$tmp/cuts"
VANTREL_CUT_FILES_DIR="$tmp/cuts" "$build/tests/cli/cli_tests" --gtest_filter='*CutFiles*' > /dev/null

# measure NAME FILE...: "KiB seconds file way" for each file by name and through a pipe (or only
# through a pipe when NAME is "pipe"), then the largest and the slowest.
measure() {
  local ways=$1 f
  shift
  for f in "$@"; do # a refused file ends with status 1: its figures count all the same
    if [ "$ways" = both ]; then
      { /usr/bin/time -f "%M %e $f name" "$vantrel" "$f" 2>&1 > /dev/null || true; } | tail -n 1
    fi
    { /usr/bin/time -f "%M %e $f pipe" "$vantrel" AUDIO_FROM_STDIN < <(cat "$f") 2>&1 > /dev/null ||
      true; } | tail -n 1
  done > "$tmp/figures"
  echo "  runs: $(wc -l < "$tmp/figures")"
  echo "  largest peak: $(sort -k1,1n "$tmp/figures" | tail -n 1 | awk '{ printf "%.1f MiB (%s, %s)", $1 / 1024, $3, $4 }')"
  echo "  slowest:      $(sort -k2,2g "$tmp/figures" | tail -n 1 | awk '{ printf "%s s (%s, %s)", $2, $3, $4 }')"
}

echo "cut-file sweep, by name and through a pipe:"
measure both "$tmp"/cuts/*
files=()
for dir in "${corpora[@]}"; do
  [ -d "$dir" ] && files+=("$dir"/*)
done
if [ ${#files[@]} -gt 0 ]; then
  echo "foreign_pipe_fuzz corpus, through a pipe:"
  measure pipe "${files[@]}"
fi
