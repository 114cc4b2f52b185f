# The FFmpeg reader (audiofile/ffmpeg.h): a module that the audio file library loads with dlopen
# when a file needs it, built when FFmpeg's development files are there (VANTREL_FFMPEG).
#
#   build tree   audiofile/vantrel_ffmpeg.so; every program and test of the tree has that folder
#                in its run path, so the tree's own module is the one found
#   installed    LIB/vantrel/vantrel_ffmpeg.so (VANTREL_FFMPEG_MODULE_PATH); the installed
#                programs carry no run path and look there
find_package(PkgConfig QUIET)
vantrel_option_mode(VANTREL_FFMPEG ffmpeg_mode)
set(ffmpeg_found FALSE)
if(PkgConfig_FOUND AND NOT ffmpeg_mode STREQUAL "OFF")
  pkg_check_modules(AVLIBS QUIET IMPORTED_TARGET GLOBAL libavformat libavcodec libavutil)
  set(ffmpeg_found "${AVLIBS_FOUND}")
endif()
vantrel_optional_part(VANTREL_FFMPEG "${ffmpeg_found}"
  "the FFmpeg reader (M4A, WavPack, TTA, APE, ...: such files are refused with a hint)"
  "FFmpeg's libraries (libavformat-dev, libavcodec-dev)" VANTREL_FFMPEG_ON)
if(VANTREL_FFMPEG_ON)
  set(VANTREL_FFMPEG_MODULE_DIR ${CMAKE_INSTALL_LIBDIR}/vantrel)
  set(VANTREL_FFMPEG_MODULE_PATH ${CMAKE_INSTALL_FULL_LIBDIR}/vantrel/vantrel_ffmpeg.so)
  list(APPEND CMAKE_BUILD_RPATH ${PROJECT_BINARY_DIR}/audiofile)
endif()
