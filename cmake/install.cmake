# What `cmake --install` puts where (below the install prefix):
#
#   bin/vantrel, vantrel-decode, vantrel-info        the programs
#   share/man/man1/vantrel.1.gz, ...                 their manual pages (compressed, as Debian wants)
#   include/vantrel/sbc/sbc.h, scan.h                the codec library's public headers
#   include/vantrel/audiofile/audiofile.h            the audio file library's public header
#   LIB/libvantrel_sbc.a, LIB/libvantrel_audiofile.a the two libraries (static, position independent)
#   include/vantrel/vantrel.h                        the C interface's header
#   LIB/libvantrel.so.1 (.so.<version>, .so)         the C interface's shared library
#   LIB/vantrel/vantrel_ffmpeg.so                    the FFmpeg reader, loaded by the programs
#                                                    when a file needs it (VANTREL_FFMPEG)
#   LIB/cmake/vantrel/                               find_package(vantrel): vantrel::sbc,
#                                                    vantrel::audiofile, vantrel::vantrel (C)
#   LIB/pkgconfig/vantrel-sbc.pc, vantrel-audiofile.pc, vantrel.pc (C)
#
# LIB is GNUInstallDirs' CMAKE_INSTALL_LIBDIR: lib, and on Debian lib/<multiarch> (for example
# lib/x86_64-linux-gnu) when the build is configured for the prefix /usr.
#
# Headers and libraries carry the project's name so that they never clash with another SBC
# library on the same system; a consumer still writes #include "sbc/sbc.h". The exported targets
# carry only the include directory and the C++20 requirement: none of this build's warning,
# floating-point or sanitizer flags.
#
# `cpack -G DEB` in a build tree configured with -DCMAKE_INSTALL_PREFIX=/usr (with dpkg-dev and
# file installed) makes vantrel_<version>_<arch>.deb with all of the above below /usr, libraries
# in Debian's multiarch folder, plus share/doc/vantrel/changelog.gz and copyright (from
# cmake/deb/).
include(CMakePackageConfigHelpers)

set(VANTREL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vantrel)
set(VANTREL_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

target_compile_features(sbc INTERFACE cxx_std_20)
target_compile_features(audiofile INTERFACE cxx_std_20)

# A text file compressed for installation with gzip -9n (no name, no time stamp, so the bytes
# do not depend on when it was built), installed into `destination` as <name>.gz.
function(vantrel_install_gzipped source name destination)
  set(gz ${PROJECT_BINARY_DIR}/gz/${name}.gz)
  add_custom_command(OUTPUT ${gz}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/gz
    COMMAND gzip -9nc ${source} > ${gz}
    DEPENDS ${source} VERBATIM)
  add_custom_target(gzip_${name} ALL DEPENDS ${gz})
  install(FILES ${gz} DESTINATION ${destination})
endfunction()

install(TARGETS vantrel vantrel-decode vantrel-info RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
foreach(page vantrel vantrel-decode vantrel-info)
  vantrel_install_gzipped(${PROJECT_SOURCE_DIR}/man/${page}.1 ${page}.1
                          ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
install(TARGETS sbc audiofile vantrel_capi EXPORT vantrelTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
if(VANTREL_FFMPEG_ON)
  install(TARGETS vantrel_ffmpeg LIBRARY DESTINATION ${VANTREL_FFMPEG_MODULE_DIR})
endif()
install(FILES ${PROJECT_SOURCE_DIR}/capi/vantrel/vantrel.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vantrel)
install(FILES ${PROJECT_SOURCE_DIR}/sbc/sbc.h ${PROJECT_SOURCE_DIR}/sbc/scan.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vantrel/sbc)
install(FILES ${PROJECT_SOURCE_DIR}/audiofile/audiofile.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vantrel/audiofile)

# The CMake package.
install(EXPORT vantrelTargets NAMESPACE vantrel:: DESTINATION ${VANTREL_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/vantrelConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/vantrelConfig.cmake
                              INSTALL_DESTINATION ${VANTREL_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/vantrelConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/vantrelConfig.cmake
              ${PROJECT_BINARY_DIR}/vantrelConfigVersion.cmake
        DESTINATION ${VANTREL_CMAKE_DIR})

# pkg-config files. The prefix is found from the file's own place (${pcfiledir}), so the same
# files serve an install below any prefix and the Debian package below /usr.
file(RELATIVE_PATH VANTREL_PC_TO_PREFIX ${CMAKE_INSTALL_PREFIX}/${VANTREL_PKGCONFIG_DIR}
     ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" VANTREL_PC_TO_PREFIX "${VANTREL_PC_TO_PREFIX}")
foreach(lib sbc audiofile)
  set(VANTREL_PC_LIBRARY ${lib})
  if(lib STREQUAL "sbc")
    set(VANTREL_PC_DESCRIPTION "SBC (Bluetooth A2DP sub-band codec) codec library of vantrel: encoder and decoder")
    set(VANTREL_PC_REQUIRES "")
  else()
    set(VANTREL_PC_DESCRIPTION "Audio file reading library of vantrel (WAVE, AIFF/AIFC, Sun, SPW, 512-byte header; FLAC, Ogg, MP3, W64, CAF through libsndfile; the rest through FFmpeg)")
    # The library is static: whoever links it links libsndfile too.
    set(VANTREL_PC_REQUIRES "Requires: sndfile")
  endif()
  configure_file(${CMAKE_CURRENT_LIST_DIR}/vantrel.pc.in ${PROJECT_BINARY_DIR}/vantrel-${lib}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/vantrel-${lib}.pc DESTINATION ${VANTREL_PKGCONFIG_DIR})
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/vantrel-c.pc.in ${PROJECT_BINARY_DIR}/vantrel.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vantrel.pc DESTINATION ${VANTREL_PKGCONFIG_DIR})

# The Debian package: everything above, below /usr, with the changelog and copyright file a
# Debian package carries. CPack finds the libraries the programs need with dpkg-shlibdeps, which
# looks at the files that `file` says are programs; without the two there is no package
# (VANTREL_PACKAGE).
vantrel_install_gzipped(${CMAKE_CURRENT_LIST_DIR}/deb/changelog changelog
                        ${CMAKE_INSTALL_DATAROOTDIR}/doc/vantrel)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/deb/copyright
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/vantrel)
find_program(VANTREL_DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(VANTREL_FILE_PROGRAM file)
if(VANTREL_DPKG_SHLIBDEPS AND VANTREL_FILE_PROGRAM)
  set(deb_tools_found TRUE)
else()
  set(deb_tools_found FALSE)
endif()
vantrel_optional_part(VANTREL_PACKAGE ${deb_tools_found} "the Debian package (cpack)"
                      "dpkg-shlibdeps (dpkg-dev) or file" VANTREL_PACKAGE_ON)
if(VANTREL_PACKAGE_ON)
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME vantrel)
  set(CPACK_PACKAGE_VENDOR "the vantrel developers")
  set(CPACK_PACKAGE_CONTACT "vantrel developers <maintainers@users.noreply.c-seed-61f5fc64.example>")
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "SBC (Bluetooth A2DP) encoder, decoder and stream inspector")
  # Lines of at most 80 characters, as Debian's control files want them.
  set(CPACK_PACKAGE_DESCRIPTION
      "vantrel turns an audio file (WAVE, RF64, AIFF/AIFC, Sun audio, FLAC, Ogg
Vorbis, Opus, MP3, W64, CAF, SPW signal files, a 512-byte-header format, and
through FFmpeg M4A (AAC, ALAC), WavPack, TTA, APE and more), at
any sample rate, into a raw stream of SBC frames, the low-complexity sub-band
codec of Bluetooth A2DP. vantrel-decode turns SBC and mSBC streams (bare, or in
the H2 units of a voice link) back into audio, keeping the timing of damaged
streams; vantrel-info describes a stream. The
package also holds the codec and audio file libraries, their headers, a CMake
package and pkg-config files, and libvantrel, the codec's C interface.")
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION sound)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The package installs below /usr; a tree configured for another prefix makes none.
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_VANTREL_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
  set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/deb/package_prefix.cmake)
  # libvantrel.so.1 is a public shared library: the package declares it (shlibs) and has dpkg run
  # ldconfig when it is installed or removed (triggers), once; the ldconfig scripts CPack adds
  # besides are taken out after it (without_ldconfig_scripts.cmake). The one package holds
  # everything, so lintian's wish for a libvantrel1 package of its own is overridden.
  configure_file(${CMAKE_CURRENT_LIST_DIR}/deb/shlibs.in ${PROJECT_BINARY_DIR}/deb/shlibs @ONLY)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/deb/shlibs
      ${CMAKE_CURRENT_LIST_DIR}/deb/triggers)
  set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/deb/without_ldconfig_scripts.cmake)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/deb/lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME vantrel)
  set(CPACK_STRIP_FILES bin/vantrel bin/vantrel-decode bin/vantrel-info
      ${CMAKE_INSTALL_LIBDIR}/libvantrel.so.${PROJECT_VERSION})
  if(VANTREL_FFMPEG_ON)
    list(APPEND CPACK_STRIP_FILES ${VANTREL_FFMPEG_MODULE_DIR}/vantrel_ffmpeg.so)
  endif()
  include(CPack)
endif()
