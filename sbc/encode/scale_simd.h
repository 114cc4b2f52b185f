// Inside the encoder library: the vector paths of scale factors and joint stereo
// (scale_avx512.cpp, scale_avx2.cpp), which scale.cpp calls only on processors that have
// AVX-512 F and DQ, or AVX2.
#pragma once

#include "sbc/sbc.h"

#include <cstdint>

namespace sbc {

#if defined(__x86_64__) || defined(_M_X64)
// The step's two forms over `count` = subbands × blk_len samples (1 <= blk_len <= 16): the
// scale factors of one channel's row, and for JOINT_STEREO the whole step (scale factors of
// both channels, mid/side, their scale factors and the joint decision). Give exactly what the
// plain path gives for samples below 2^126 in magnitude (every filter output is far below).
void scale_channel_avx512(SampleRow& row, SubbandRow& scale_factor, int32_t subbands,
                          int32_t count);
void scale_joint_avx512(FrameWorkspace& ws, int32_t subbands, int32_t count);
void scale_channel_avx2(SampleRow& row, SubbandRow& scale_factor, int32_t subbands, int32_t count);
void scale_joint_avx2(FrameWorkspace& ws, int32_t subbands, int32_t count);
#endif

} // namespace sbc
