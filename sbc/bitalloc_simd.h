// Inside the encoder library: what the plain bit allocation (bitalloc.cpp) and its AVX-512 path
// (bitalloc_avx512.cpp, bitalloc_avx2.cpp) share: the tables and limits, the leftover passes on
// lane masks, and the vector paths' entry points, which bitalloc.cpp calls only on processors
// that have AVX-512 F or AVX2 (and POPCNT).
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

// Where the slice search of a vector path stops: the slice below which the first
// distribution hands out bits, and how many it hands out. `slicecount_at(s)` counts the bits
// that slice s adds (2 for each need of s + 1, 1 for each need of s + 2 .. s + 15). For a
// bitpool of at least 1: the first slice, the largest need, adds nothing (no need lies above
// it), so the walk starts one step below.
struct Slice {
    int32_t bitslice;
    int32_t bitcount;
};

template <class SliceCount>
inline Slice walk_slices(int32_t largest_need, int32_t bitpool, SliceCount slicecount_at) {
    int32_t bitslice = largest_need > 0 ? largest_need : 0;
    int32_t bitcount = 0;
    int32_t slicecount = 0;
    do {
        --bitslice;
        bitcount += slicecount;
        slicecount = slicecount_at(bitslice);
    } while (bitcount + slicecount < bitpool && bitslice > lowest_useful_slice);
    if (bitcount + slicecount == bitpool) {
        bitcount += slicecount;
        --bitslice;
    }
    return {bitslice, bitcount};
}

// The leftover passes of a vector path, on lane masks (bit e = entry e, in visiting order).
// `grow`: entries holding 2..15 bits (cost 1 in the first pass); `start`: entries at the next
// step (cost 2); `granted`: the entries of both kinds whose running cost, in entry order, fits
// the `left` bits. Returns the entries that get one bit more (`one_more`) or 2 bits (`two`),
// and the bits still left. The pass passes over a 2-bit grant only with exactly one bit left,
// which then goes to the next 1-bit entry; what is still left goes to the second pass.
struct Leftover {
    uint32_t one_more = 0;
    uint32_t two = 0;
    int32_t left = 0; // bits for the second pass
};

inline Leftover first_pass(uint32_t grow, uint32_t start, uint32_t granted, int32_t left) {
    Leftover out;
    out.one_more = granted & grow;
    out.two = granted & start;
    out.left = left - __builtin_popcount(out.one_more) - 2 * __builtin_popcount(out.two);
    const uint32_t later = grow & ~granted;
    if (out.left == 1 && later != 0) {
        out.one_more |= later & (0u - later);
        out.left = 0;
    }
    return out;
}

// The second pass: the first `count` entries of `room` (those below 16 bits) get one bit.
inline uint32_t first_entries(uint32_t room, int32_t count) {
    uint32_t taken = 0;
    for (; count > 0 && room != 0; --count) {
        taken |= room & (0u - room);
        room &= room - 1;
    }
    return taken;
}

#if defined(__x86_64__) || defined(_M_X64)
// The one- and two-channel pools as the plain functions compute them (any bitpool).
void allocate_one_avx512(int32_t subbands, const SubbandRow& scale_factor, int32_t bitpool,
                         SubbandRow& bits, int32_t allocation_method, int32_t frequency_index);
void allocate_two_avx512(int32_t subbands, const std::array<SubbandRow, MAX_CHANNELS>& scale_factor,
                         int32_t bitpool, std::array<SubbandRow, MAX_CHANNELS>& bits,
                         int32_t allocation_method, int32_t frequency_index);
void allocate_one_avx2(int32_t subbands, const SubbandRow& scale_factor, int32_t bitpool,
                       SubbandRow& bits, int32_t allocation_method, int32_t frequency_index);
void allocate_two_avx2(int32_t subbands, const std::array<SubbandRow, MAX_CHANNELS>& scale_factor,
                       int32_t bitpool, std::array<SubbandRow, MAX_CHANNELS>& bits,
                       int32_t allocation_method, int32_t frequency_index);
#endif

} // namespace sbc::alloc
