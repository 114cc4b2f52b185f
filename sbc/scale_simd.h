// Inside the encoder library: the vector paths of scale factors and joint stereo
// (scale_avx512.cpp, scale_avx2.cpp), which scale.cpp calls only on processors that have
// AVX-512 F and DQ, or AVX2.
#pragma once

#include "sbc/sbc.h"

#include <cstdint>

namespace sbc {

#if defined(__x86_64__) || defined(_M_X64)
// The whole step for one frame: scale factors of every channel and, when `joint`, mid/side,
// their scale factors and the joint decision. Gives exactly what the plain path gives for
// samples below 2^126 in magnitude (every filter output is far below). 1 <= blk_len <= 16.
void scale_and_join_avx512(FrameWorkspace& ws, int32_t channels, int32_t subbands, int32_t blk_len,
                           bool joint);
void scale_and_join_avx2(FrameWorkspace& ws, int32_t channels, int32_t subbands, int32_t blk_len,
                         bool joint);
#endif

} // namespace sbc
