// Inside the decoder: the output's AVX2 path, which output.cpp calls only on processors that
// have AVX2. Not part of the library's public face.
#pragma once

#include <cstdint>

namespace sbc {

#if defined(__x86_64__) || defined(_M_X64)
// write_pcm16 and write_float of output.h for `instants` (a multiple of 8) values of `left`
// and, unless null, `right`.
void write_pcm16_avx2(const double* left, const double* right, int32_t instants, int16_t* out);
void write_float_avx2(const double* left, const double* right, int32_t instants, float* out);
#endif

} // namespace sbc
