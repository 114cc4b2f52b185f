# The Debian packages vantrel needs, in one place, and the configuration of the build tree that
# scripts/demo and scripts/test share; sourced by scripts/demo, scripts/test, scripts/fuzz and
# .ci/run.
#
#   program_packages    what building the three programs needs (scripts/demo)
#   test_packages       what the tests, the install check and the fuzz pass need besides
#   skippable_packages  those of test_packages that scripts/test --allow-skips can go without:
#                       the peer tools (their tests skip and are named at the end), numpy and
#                       pytest (the Python tests skip), clang and its runtime (scripts/fuzz's)
#   peer_tools          the programs nobody here wrote that the interoperability tests compare
#                       with: "command package what-goes-unchecked-without-it", one a line
#   build_options       the configuration of the tree `build`: scripts/demo builds the programs
#                       in it and scripts/test everything, with the same compiler flags, so the
#                       test compiles nothing that the demo compiled
#
#   ensure_packages PKG...   installs those of PKG that are not installed yet (apt-get, as root
#                            or through sudo, non-interactive); when it cannot, prints which are
#                            missing and the one `apt-get install` line that is needed, leaves
#                            them in missing_packages, and returns 1 (what to do next is the
#                            caller's to say)
#   missing_peer_tools       prints the lines of peer_tools whose command is not on the PATH
# shellcheck shell=bash

# libavformat-dev and libavcodec-dev build the FFmpeg reader (optional, but the package has it).
program_packages=(g++ cmake make pkgconf libsndfile1-dev libsoxr-dev libavformat-dev
                  libavcodec-dev libavutil-dev)

# libgtest-dev the test framework; ffmpeg, sbc-tools and sox the peer decoders and encoders (and
# sox makes the conformance inputs); alsa-utils gives arecord, whose WAVE header on a pipe the
# live-run tests read; groff-base checks the manual pages; dpkg-dev and file serve CPack, lintian
# checks the Debian package; clang and its libFuzzer runtime build the fuzz targets; python3 with
# numpy and pytest runs the Python module's tests, and with venv, setuptools and wheel it
# installs the module with pip into a fresh virtual environment; tshark (with editcap) dissects
# the test captures of Bluetooth links independently.
test_packages=(libgtest-dev ffmpeg sbc-tools sox alsa-utils groff-base dpkg-dev file lintian
               clang libclang-rt-14-dev python3 python3-numpy python3-pytest python3-venv
               python3-setuptools python3-wheel tshark)

skippable_packages=(ffmpeg sbc-tools sox alsa-utils lintian python3-numpy python3-pytest clang
                    libclang-rt-14-dev tshark)

# Optimised as RelWithDebInfo is, with line tables (-g1) instead of full debug information: the
# same code, the same file and line in every sanitizer report and backtrace, and a compile of the
# test sources about a fifth shorter. No -Werror here, which would make the demo's objects
# differ from the test's (and has no place in a build users run): scripts/test fails on this
# tree's warnings itself, and its other two builds take them as errors.
build_options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTREL_WERROR=OFF
               "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG"
               "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG")

peer_tools="\
ffmpeg ffmpeg interoperability with ffmpeg (its decoder and its WAVE writer)
sbcdec sbc-tools interoperability with sbcdec
sbcenc sbc-tools comparison of frames with sbcenc
sox sox conformance inputs and containers written by sox
arecord alsa-utils WAVE headers written by arecord on a pipe
lintian lintian the Debian package's policy check
tshark tshark the frames taken from captures against Wireshark's dissection
editcap tshark captures converted to pcapng"

missing_packages=()

ensure_packages() {
  missing_packages=()
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
      missing_packages=("${need[@]}")
      echo "missing packages, which only root can install (this user is not root and cannot use" \
           "sudo here):" >&2
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
  missing_packages=("${failed[@]}")
  echo "these packages could not be installed:" >&2
  echo "  apt-get install ${failed[*]}" >&2
  return 1
}

missing_peer_tools() {
  local tool package what
  while read -r tool package what; do
    command -v "$tool" > /dev/null || echo "$tool $package $what"
  done <<< "$peer_tools"
}

# scripts/cross-aarch64: the aarch64 cross compiler, the emulator that runs its programs here,
# and the arm64 builds of the programs' libraries, which bring the arm64 C library and its loader
# (the arm64 architecture must be set up first: ensure_architecture arm64).
cross_aarch64_packages=(g++-aarch64-linux-gnu qemu-user libsndfile1-dev:arm64 libsoxr-dev:arm64)

# ensure_architecture ARCH: makes the Debian architecture ARCH installable (dpkg
# --add-architecture, as root or through sudo) unless it already is; ensure_packages then fetches
# its package lists. When it cannot, prints the line that is needed and returns 1.
ensure_architecture() {
  local arch=$1
  command -v dpkg > /dev/null || return 0
  if [ "$(dpkg --print-architecture)" = "$arch" ] \
     || dpkg --print-foreign-architectures | grep -qx "$arch"; then
    return 0
  fi
  local sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo > /dev/null && { sudo -n true 2> /dev/null || [ -t 0 ]; }; then
      sudo_cmd=(sudo)
    else
      echo "the Debian architecture $arch is missing; as root, run this, then this again:" >&2
      echo "  dpkg --add-architecture $arch" >&2
      return 1
    fi
  fi
  echo "== adding the Debian architecture $arch"
  "${sudo_cmd[@]}" dpkg --add-architecture "$arch"
}
