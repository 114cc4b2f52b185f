# VANTREL_FUZZ: the libFuzzer targets need clang and its fuzzer runtime (with AddressSanitizer
# and UBSan). A program of one empty fuzz function, compiled and linked with
# -fsanitize=fuzzer,address,undefined, tells whether this compiler has them. Sets VANTREL_FUZZ_ON.
vantrel_option_mode(VANTREL_FUZZ fuzz_mode)
set(fuzzer_found FALSE)
if(NOT fuzz_mode STREQUAL "OFF" AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  include(CheckCXXSourceCompiles)
  set(CMAKE_REQUIRED_FLAGS -fsanitize=fuzzer,address,undefined)
  set(CMAKE_REQUIRED_LINK_OPTIONS -fsanitize=fuzzer,address,undefined)
  check_cxx_source_compiles([[
    #include <cstddef>
    #include <cstdint>
    extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t*, std::size_t) { return 0; }
  ]] VANTREL_HAVE_LIBFUZZER)
  unset(CMAKE_REQUIRED_FLAGS)
  unset(CMAKE_REQUIRED_LINK_OPTIONS)
  set(fuzzer_found ${VANTREL_HAVE_LIBFUZZER})
endif()
vantrel_optional_part(VANTREL_FUZZ "${fuzzer_found}" "the fuzz targets"
  "clang++ with libFuzzer (CXX=clang++, libclang-rt-dev)" VANTREL_FUZZ_ON)
