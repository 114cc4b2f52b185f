// Inside the filter bank: the jobs that the per-instruction-set kernels share, and the kernels
// themselves. Not part of the library's public face.
#pragma once

#include "sbc/encode/analysis.h"

#include <cstdint>

namespace sbc {

// One channel's frame for a kernel (see analysis_kernel.h for the layout).
struct FilterJob {
    const double* poly;   // polyphase history: row r starts at poly + r × POLY_COLUMNS
    int32_t first;        // column of the frame's first block
    int32_t blocks;       // blocks in the frame
    const double* window; // 10M window taps, signs included
    const double* cosine; // M/2 rows of M folded coefficients
    float* out;           // block-major: out[block × M + band], room for 16 blocks
};

// One frame of interleaved PCM for a loader: sample r of block q of channel c goes to
// poly[c][r × POLY_COLUMNS + first + q].
struct LoadJob {
    const int16_t* pcm; // blocks × M × channels values
    int32_t channels;   // 1 or 2
    int32_t blocks;     // 1 .. MAX_BLOCKS
    int32_t first;      // column of the frame's first block; first + 16 <= POLY_COLUMNS
    double* poly[MAX_CHANNELS];
};

void filter_frame_scalar(const FilterJob& job, int32_t subbands);
#if defined(__x86_64__) || defined(_M_X64)
void filter_frame_sse2(const FilterJob& job, int32_t subbands);
void filter_frame_avx2(const FilterJob& job, int32_t subbands); // needs AVX2 and FMA
// These two need AVX-512F, BW and DQ. The loader may write columns up to first + 15 whatever
// the block count: they belong to later frames, which overwrite them before any block reads them.
void filter_frame_avx512(const FilterJob& job, int32_t subbands);
bool load_frame_avx512(const LoadJob& job, int32_t subbands); // true: all samples zero
#endif

} // namespace sbc
