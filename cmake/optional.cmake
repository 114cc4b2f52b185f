# The optional parts of the build, and what each one needs beyond a compiler and CMake:
#
#   VANTREL_TESTS    AUTO   the test suite            GoogleTest (libgtest-dev)
#   VANTREL_BENCH    OFF    the micro-benchmarks      Google Benchmark (libbenchmark-dev)
#   VANTREL_FUZZ     OFF    the libFuzzer targets     clang with its fuzzer runtime
#   VANTREL_PACKAGE  AUTO   the Debian package (cpack) dpkg-shlibdeps (dpkg-dev) and file
#   VANTREL_FFMPEG   AUTO   the FFmpeg reader module   libavformat-dev, libavcodec-dev
#
# Each is ON, OFF or AUTO:
#   AUTO  on when what it needs is found; otherwise one configure line says what is missing and
#         the part stays off, and the three programs are built all the same;
#   ON    what it needs must be found, or configure fails (scripts/test asks for the tests so);
#   OFF   left out.
#
# A folder of tests that needs a tool of its own (an interpreter, a module) asks
# vantrel_optional_part() under VANTREL_TESTS in the same way, so that it is switched off with one
# line when the tool is missing, and fails configure when the tests were asked for with ON.

# vantrel_option(<name> <default> <doc>): declares the switch <name> (ON, OFF or AUTO).
function(vantrel_option name default doc)
  set(${name} ${default} CACHE STRING "${doc}: ON, OFF or AUTO (on when what it needs is found)")
  set_property(CACHE ${name} PROPERTY STRINGS ON OFF AUTO)
endfunction()

# vantrel_option_mode(<name> <out>): <out> becomes ON, OFF or AUTO for the switch <name>, which
# may hold any of CMake's words for true and false.
function(vantrel_option_mode name out)
  string(TOUPPER "${${name}}" value)
  if(value STREQUAL "AUTO")
    set(${out} AUTO PARENT_SCOPE)
  elseif(${name})
    set(${out} ON PARENT_SCOPE)
  else()
    set(${out} OFF PARENT_SCOPE)
  endif()
endfunction()

# vantrel_optional_part(<switch> <found> <what> <needs> <out>): whether the part <what>, governed by
# <switch>, is built, given whether what it needs was found (<found> TRUE or FALSE). When it is
# missing, AUTO turns the part off with one line naming <needs>, and ON fails configure.
function(vantrel_optional_part switch found what needs out)
  vantrel_option_mode(${switch} mode)
  if(mode STREQUAL "OFF")
    set(${out} OFF PARENT_SCOPE)
  elseif(found)
    set(${out} ON PARENT_SCOPE)
  elseif(mode STREQUAL "ON")
    message(FATAL_ERROR "${switch}=ON, but ${needs} is missing: no ${what} without it")
  else()
    message(STATUS "${needs} not found: the build goes on without ${what}")
    set(${out} OFF PARENT_SCOPE)
  endif()
endfunction()

# vantrel_find_optional(<switch> <package> <what> <needs> <out>): find_package(<package>) for the
# part <what>: with CMake's own report of what it missed when <switch> is ON, quietly when it is
# AUTO, not at all when it is OFF.
function(vantrel_find_optional switch package what needs out)
  vantrel_option_mode(${switch} mode)
  if(mode STREQUAL "ON")
    find_package(${package})
  elseif(mode STREQUAL "AUTO")
    find_package(${package} QUIET)
  endif()
  vantrel_optional_part(${switch} "${${package}_FOUND}" "${what}" "${needs}" on)
  set(${out} ${on} PARENT_SCOPE)
endfunction()
