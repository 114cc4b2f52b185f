// Inside the encoder library: what the plain bit allocation (bitalloc.cpp) and its AVX-512 path
// (bitalloc_avx512.cpp) share, the tables and limits, and the vector path's entry points, which
// bitalloc.cpp calls only on processors that have AVX-512 F, BMI2 and POPCNT.
#pragma once

#include "sbc/sbc.h"

#include <array>
#include <cstdint>

namespace sbc::alloc {

// Loudness offsets per frequency index (16, 32, 44.1, 48 kHz) and band.
inline constexpr std::array<std::array<int32_t, 4>, 4> offset4 = {{
    {-1, 0, 0, 0},
    {-2, 0, 0, 1},
    {-2, 0, 0, 1},
    {-2, 0, 0, 1},
}};
inline constexpr std::array<std::array<int32_t, 8>, 4> offset8 = {{
    {-2, 0, 0, 0, 0, 0, 0, 1},
    {-3, 0, 0, 0, 0, 0, 1, 2},
    {-4, 0, 0, 0, 0, 0, 1, 2},
    {-4, 0, 0, 0, 0, 0, 1, 2},
}};

inline constexpr int32_t silent_bitneed = -5;
inline constexpr int32_t max_bits = 16;
inline constexpr int32_t max_scale_factor = 15;
inline constexpr int32_t max_bitneed_value = max_scale_factor; // SNR; LOUDNESS needs stay below
// No entry's need lies below silent_bitneed, so no slice this low or lower adds any bit:
// the search gives up there instead of spinning on a bitpool it can never spend.
inline constexpr int32_t lowest_useful_slice = silent_bitneed - max_bits;

#if defined(__x86_64__) || defined(_M_X64)
// The one- and two-channel pools as the plain functions compute them (any bitpool).
void allocate_one_avx512(int32_t subbands, const SubbandRow& scale_factor, int32_t bitpool,
                         SubbandRow& bits, int32_t allocation_method, int32_t frequency_index);
void allocate_two_avx512(int32_t subbands, const std::array<SubbandRow, MAX_CHANNELS>& scale_factor,
                         int32_t bitpool, std::array<SubbandRow, MAX_CHANNELS>& bits,
                         int32_t allocation_method, int32_t frequency_index);
#endif

} // namespace sbc::alloc
