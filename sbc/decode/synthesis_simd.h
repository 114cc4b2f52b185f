// Inside the synthesis filter bank: the vector paths' entry points, which synthesis.cpp calls
// only on processors that have their instruction sets. Not part of the library's public face.
#pragma once

#include "sbc/decode/synthesis.h"

#include <cstdint>

namespace sbc {

#if defined(__x86_64__) || defined(_M_X64)
// One channel's frame on `rows` (that channel's history, synthesis.h), as the plain path
// computes it; the caller moves the last 9 rows back afterwards.
void synthesize_avx2(double* rows, int32_t subbands, int32_t blocks, const double* sb, double* pcm);
void synthesize_avx512(double* rows, int32_t subbands, int32_t blocks, const double* sb,
                       double* pcm);
#endif

} // namespace sbc
