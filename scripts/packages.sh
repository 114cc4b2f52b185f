# The Debian packages vantrel needs, in one place; sourced by scripts/demo, scripts/test,
# scripts/fuzz and .ci/run.
#
#   program_packages   what building the three programs needs (scripts/demo)
#   test_packages      what the tests, the install check and the fuzz pass need besides
#   peer_tools         the programs nobody here wrote that the interoperability tests compare
#                      with: "command package what-goes-unchecked-without-it", one a line
#
#   ensure_packages PKG...   installs those of PKG that are not installed yet (apt-get, as root
#                            or through sudo, non-interactive); when it cannot, prints the one
#                            `apt-get install` line that is needed and returns 1
#   missing_peer_tools       prints the lines of peer_tools whose command is not on the PATH
# shellcheck shell=bash

program_packages=(g++ cmake make pkgconf libsndfile1-dev libsoxr-dev)

# libgtest-dev the test framework; ffmpeg, sbc-tools and sox the peer decoders and encoders (and
# sox makes the conformance inputs); alsa-utils gives arecord, whose WAVE header on a pipe the
# live-run tests read; groff-base checks the manual pages; dpkg-dev and file serve CPack, lintian
# checks the Debian package; clang and its libFuzzer runtime build the fuzz targets; python3 with
# numpy and pytest runs the Python module's tests; tshark (with editcap) dissects the test
# captures of Bluetooth links independently.
test_packages=(libgtest-dev ffmpeg sbc-tools sox alsa-utils groff-base dpkg-dev file lintian
               clang libclang-rt-14-dev python3 python3-numpy python3-pytest tshark)

peer_tools="\
ffmpeg ffmpeg interoperability with ffmpeg (its decoder and its WAVE writer)
sbcdec sbc-tools interoperability with sbcdec
sbcenc sbc-tools comparison of frames with sbcenc
sox sox conformance inputs and containers written by sox
arecord alsa-utils WAVE headers written by arecord on a pipe
lintian lintian the Debian package's policy check
tshark tshark the frames taken from captures against Wireshark's dissection
editcap tshark captures converted to pcapng"

ensure_packages() {
  command -v dpkg-query > /dev/null || {
    echo "not a Debian system: make sure these (or what stands for them here) are installed: $*" >&2
    return 0
  }
  local need=() pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2> /dev/null | grep -q "install ok installed" \
      || need+=("$pkg")
  done
  [ ${#need[@]} -gt 0 ] || return 0
  local sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then
    # sudo without a password, or with one typed at a terminal.
    if command -v sudo > /dev/null && { sudo -n true 2> /dev/null || [ -t 0 ]; }; then
      sudo_cmd=(sudo)
    else
      echo "missing packages; install them as root, then run this again:" >&2
      echo "  apt-get install ${need[*]}" >&2
      return 1
    fi
  fi
  echo "== installing: ${need[*]}"
  local apt=("${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -y -q
             -o Dpkg::Use-Pty=0 --no-install-recommends install)
  # A fresh system has no package lists yet; an update that fails (no network) is not fatal
  # here: the install says what it cannot get.
  "${sudo_cmd[@]}" apt-get update -q || true
  "${apt[@]}" "${need[@]}" && return 0
  # One package that this system's archive lacks fails them all: try them one by one, so that
  # the rest are installed and the line below names only what is still missing.
  local failed=()
  for pkg in "${need[@]}"; do
    "${apt[@]}" "$pkg" > /dev/null 2>&1 || failed+=("$pkg")
  done
  [ ${#failed[@]} -gt 0 ] || return 0
  echo "these packages could not be installed; install them, then run this again:" >&2
  echo "  apt-get install ${failed[*]}" >&2
  return 1
}

missing_peer_tools() {
  local tool package what
  while read -r tool package what; do
    command -v "$tool" > /dev/null || echo "$tool $package $what"
  done <<< "$peer_tools"
}
