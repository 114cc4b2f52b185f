// Bit allocation.
//
// Each entry (a band of one channel, or of either channel in the two-channel pool) first gets
// a bit need: its scale factor (SNR), or its scale factor less a per-band loudness offset,
// halved when positive (LOUDNESS; a silent band needs -5). Then a water level, the bitslice,
// is lowered one step at a time from the largest need; an entry whose need lies above the
// level holds need − level bits (2 on first entry, then 1 more per step, at most 16):
//
//     need  9 ─┐
//     need  7 ─┤        ← level 5: 4 + 2 bits          bits(entry) = need − level
//     level 5 ═╪══════                                  (0 when need < level + 2)
//     need  3 ─┘        ← below the level: 0 bits
//
// The level stops where the next step would overspend the pool; the bits left over are
// handed out in entry order, first one more to entries already holding 2..15 (or 2 to an
// entry exactly at the next step), then one to any entry below 16. Within the bitpool limits
// the result spends the pool exactly; a decoder repeats this from the frame header.
//
// The functions here are the plain path; bitalloc_avx512.cpp and bitalloc_avx2.cpp hold the
// whole pool in registers and give the same bits, and the entry points take the widest the
// processor allows.
#include "sbc/bitalloc.h"

#include "sbc/bitalloc_simd.h"

#include <algorithm>
#include <span>

namespace sbc {

namespace {

using alloc::lowest_useful_slice;
using alloc::max_bitneed_value;
using alloc::max_bits;
using alloc::max_scale_factor;
using alloc::offset4;
using alloc::offset8;
using alloc::silent_bitneed;

constexpr int32_t max_entries = MAX_CHANNELS * MAX_SUBBANDS;

// One pool of entries, listed in the order the leftover bits visit them.
struct Pool {
    std::array<int32_t, max_entries> scale_factor{};
    std::array<int32_t, max_entries> subband{};
    std::array<int32_t, max_entries> bitneed{};
    std::array<int32_t, max_entries> bits{};
    int32_t count = 0;
};

int32_t loudness_need(int32_t scale_factor, int32_t offset) {
    if (scale_factor == 0) return silent_bitneed;
    const int32_t loudness = scale_factor - offset;
    return loudness > 0 ? loudness / 2 : loudness;
}

void compute_bitneed(Pool& pool, int32_t subbands, int32_t allocation_method,
                     int32_t frequency_index) {
    for (int32_t e = 0; e < pool.count; ++e) {
        const int32_t sf = pool.scale_factor[e];
        const int32_t sb = pool.subband[e];
        if (allocation_method != LOUDNESS) {
            pool.bitneed[e] = sf;
        } else {
            const int32_t offset =
                subbands == 4 ? offset4[frequency_index][sb] : offset8[frequency_index][sb];
            pool.bitneed[e] = loudness_need(sf, offset);
        }
    }
}

// Lowers the bitslice until the next step would not fit; returns the bits spent so far.
// What a slice adds depends only on how many entries have each bit need, so the search keeps a
// count per need and a running sum over the window of needs that gain one bit:
//
//   slicecount(slice) = 2 × count[slice + 1] + Σ count[slice + 2 .. slice + 15]
//
// and moving the slice down one step adds count[slice + 2] to the window and drops
// count[slice + 16]. Needs lie in silent_bitneed .. max_bitneed_value.
int32_t find_bitslice(const Pool& pool, int32_t bitpool, int32_t& bitslice) {
    constexpr int32_t lowest = lowest_useful_slice;
    std::array<int32_t, max_bitneed_value + max_bits - lowest + 1> count_of{};
    const auto count = [&count_of](int32_t need) {
        return count_of[static_cast<size_t>(need - lowest)];
    };
    int32_t max_bitneed = 0;
    for (int32_t e = 0; e < pool.count; ++e) {
        ++count_of[static_cast<size_t>(pool.bitneed[e] - lowest)];
        max_bitneed = std::max(max_bitneed, pool.bitneed[e]);
    }
    int32_t bitcount = 0;
    int32_t slicecount = 0;
    int32_t window = 0; // Σ count[bitslice + 2 .. bitslice + 15]: nothing above the largest need
    bitslice = max_bitneed + 1;
    do {
        --bitslice;
        window += count(bitslice + 2) - count(bitslice + max_bits);
        bitcount += slicecount;
        slicecount = window + 2 * count(bitslice + 1);
    } while (bitcount + slicecount < bitpool && bitslice > lowest);
    if (bitcount + slicecount == bitpool) {
        bitcount += slicecount;
        --bitslice;
    }
    return bitcount;
}

void distribute(Pool& pool, int32_t bitpool) {
    int32_t bitslice = 0;
    int32_t bitcount = find_bitslice(pool, bitpool, bitslice);
    for (int32_t e = 0; e < pool.count; ++e) {
        const int32_t need = pool.bitneed[e];
        pool.bits[e] = need < bitslice + 2 ? 0 : std::min(need - bitslice, max_bits);
    }
    for (int32_t e = 0; e < pool.count && bitcount < bitpool; ++e) {
        int32_t& bits = pool.bits[e];
        if (bits >= 2 && bits < max_bits) {
            ++bits;
            ++bitcount;
        } else if (pool.bitneed[e] == bitslice + 1 && bitpool > bitcount + 1) {
            bits = 2;
            bitcount += 2;
        }
    }
    for (int32_t e = 0; e < pool.count && bitcount < bitpool; ++e) {
        if (pool.bits[e] < max_bits) {
            ++pool.bits[e];
            ++bitcount;
        }
    }
}

bool allocation_args_ok(int32_t subbands, int32_t frequency_index) {
    return (subbands == 4 || subbands == 8) && frequency_index >= 0 && frequency_index <= 3;
}

bool scale_factors_ok(const SubbandRow& scale_factor, int32_t subbands) {
    return std::all_of(scale_factor.begin(), scale_factor.begin() + subbands,
                       [](int32_t sf) { return sf >= 0 && sf <= max_scale_factor; });
}

void allocate_one(int32_t subbands, const SubbandRow& scale_factor, int32_t bitpool,
                  SubbandRow& bits, int32_t allocation_method, int32_t frequency_index) {
    Pool pool;
    for (int32_t sb = 0; sb < subbands; ++sb) {
        pool.scale_factor[pool.count] = scale_factor[sb];
        pool.subband[pool.count] = sb;
        ++pool.count;
    }
    compute_bitneed(pool, subbands, allocation_method, frequency_index);
    distribute(pool, bitpool);
    for (int32_t sb = 0; sb < subbands; ++sb) bits[sb] = pool.bits[sb];
}

void allocate_two(int32_t subbands, const std::array<SubbandRow, MAX_CHANNELS>& scale_factor,
                  int32_t bitpool, std::array<SubbandRow, MAX_CHANNELS>& bits,
                  int32_t allocation_method, int32_t frequency_index) {
    Pool pool;
    for (int32_t sb = 0; sb < subbands; ++sb) {
        for (int32_t ch = 0; ch < MAX_CHANNELS; ++ch) {
            pool.scale_factor[pool.count] = scale_factor[ch][sb];
            pool.subband[pool.count] = sb;
            ++pool.count;
        }
    }
    compute_bitneed(pool, subbands, allocation_method, frequency_index);
    distribute(pool, bitpool);
    for (int32_t sb = 0; sb < subbands; ++sb)
        for (int32_t ch = 0; ch < MAX_CHANNELS; ++ch) bits[ch][sb] = pool.bits[sb * 2 + ch];
}

} // namespace

bool allocation_path_available(AllocationPath path) {
#if defined(__x86_64__) || defined(_M_X64)
    if (path == AllocationPath::avx512)
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("popcnt");
    if (path == AllocationPath::avx2)
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
#endif
    return path == AllocationPath::plain;
}

AllocationPath widest_allocation_path() {
    static const AllocationPath widest =
        allocation_path_available(AllocationPath::avx512) ? AllocationPath::avx512
        : allocation_path_available(AllocationPath::avx2) ? AllocationPath::avx2
                                                          : AllocationPath::plain;
    return widest;
}

void allocate_one_pool_on([[maybe_unused]] AllocationPath path, int32_t subbands,
                          const SubbandRow& scale_factor, int32_t bitpool, SubbandRow& bits,
                          int32_t allocation_method, int32_t frequency_index) {
#if defined(__x86_64__) || defined(_M_X64)
    if (path == AllocationPath::avx512) {
        alloc::allocate_one_avx512(subbands, scale_factor, bitpool, bits, allocation_method,
                                   frequency_index);
        return;
    }
    if (path == AllocationPath::avx2) {
        alloc::allocate_one_avx2(subbands, scale_factor, bitpool, bits, allocation_method,
                                 frequency_index);
        return;
    }
#endif
    allocate_one(subbands, scale_factor, bitpool, bits, allocation_method, frequency_index);
}

void allocate_two_pool_on([[maybe_unused]] AllocationPath path, int32_t subbands,
                          const std::array<SubbandRow, MAX_CHANNELS>& scale_factor, int32_t bitpool,
                          std::array<SubbandRow, MAX_CHANNELS>& bits, int32_t allocation_method,
                          int32_t frequency_index) {
#if defined(__x86_64__) || defined(_M_X64)
    if (path == AllocationPath::avx512) {
        alloc::allocate_two_avx512(subbands, scale_factor, bitpool, bits, allocation_method,
                                   frequency_index);
        return;
    }
    if (path == AllocationPath::avx2) {
        alloc::allocate_two_avx2(subbands, scale_factor, bitpool, bits, allocation_method,
                                 frequency_index);
        return;
    }
#endif
    allocate_two(subbands, scale_factor, bitpool, bits, allocation_method, frequency_index);
}

int allocate_bits_one_channel(int32_t subbands, const SubbandRow& scale_factor, int32_t bitpool,
                              SubbandRow& bits, int32_t allocation_method,
                              int32_t frequency_index) {
    if (!allocation_args_ok(subbands, frequency_index) || !scale_factors_ok(scale_factor, subbands))
        return -1;
    allocate_one_pool_on(widest_allocation_path(), subbands, scale_factor, bitpool, bits,
                         allocation_method, frequency_index);
    return 0;
}

int allocate_bits_two_channels(int32_t subbands,
                               const std::array<SubbandRow, MAX_CHANNELS>& scale_factor,
                               int32_t bitpool, std::array<SubbandRow, MAX_CHANNELS>& bits,
                               int32_t allocation_method, int32_t frequency_index) {
    if (!allocation_args_ok(subbands, frequency_index) ||
        !scale_factors_ok(scale_factor[0], subbands) ||
        !scale_factors_ok(scale_factor[1], subbands))
        return -1;
    allocate_two_pool_on(widest_allocation_path(), subbands, scale_factor, bitpool, bits,
                         allocation_method, frequency_index);
    return 0;
}

} // namespace sbc
