// Inside the filter bank: the frame job that the per-instruction-set kernels share, and the
// kernels themselves. Not part of the library's public face.
#pragma once

#include <cstdint>

namespace sbc {

// One channel's frame for a kernel (see analysis_kernel.h for the layout).
struct FilterJob {
    const double* poly;   // polyphase history: row r starts at poly + r × row_stride
    int32_t row_stride;   // columns per row
    int32_t first;        // column of the frame's first block
    int32_t blocks;       // blocks in the frame
    const double* window; // 10M window taps, signs included
    const double* cosine; // M/2 rows of M folded coefficients
    float* out;           // block-major: out[block × M + band], room for 16 blocks
};

void filter_frame_scalar(const FilterJob& job, int32_t subbands);
#if defined(__x86_64__) || defined(_M_X64)
void filter_frame_sse2(const FilterJob& job, int32_t subbands);
void filter_frame_avx2(const FilterJob& job, int32_t subbands);   // needs AVX2 and FMA
void filter_frame_avx512(const FilterJob& job, int32_t subbands); // needs AVX-512F
#endif

} // namespace sbc
