# Cross-building the programs for 64-bit ARM Linux (aarch64) on a Debian amd64 system, with
# Debian's cross compiler and the arm64 builds of libsndfile and libsoxr (multiarch):
#
#   dpkg --add-architecture arm64 && apt-get update
#   apt-get install g++-aarch64-linux-gnu qemu-user libsndfile1-dev:arm64 libsoxr-dev:arm64
#   cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
#         -DCMAKE_BUILD_TYPE=Release -DVANTREL_TESTS=OFF
#   cmake --build build-aarch64 --target vantrel vantrel-decode vantrel-info
#   qemu-aarch64 build-aarch64/cli/vantrel -j song.wav > song.sbc
#
# The programs run on an aarch64 board, or here under qemu-aarch64 as it is, without -L: the
# arm64 libraries brought the arm64 C library and its loader (/lib/ld-linux-aarch64.so.1), and
# a program must run with the loader of its own C library's build. -L /usr/aarch64-linux-gnu
# would take the cross toolchain's loader, from another glibc build than libc.so.6, which
# qemu still finds beside the arm64 libraries; the two disagree on the loader's private data,
# and the first thread a program starts never starts.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(VANTREL_CROSS_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${VANTREL_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VANTREL_CROSS_TRIPLE}-g++)

# Libraries from the target's multiarch folders (/usr/lib/aarch64-linux-gnu), programs from the
# host's.
set(CMAKE_LIBRARY_ARCHITECTURE ${VANTREL_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# pkg-config reads the arm64 .pc files only (libsndfile, libsoxr), never the host's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${VANTREL_CROSS_TRIPLE}/pkgconfig:/usr/share/pkgconfig)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
