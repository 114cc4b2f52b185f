// Bit allocation with the pool in two AVX2 registers: 8 int32 lanes each hold the bit needs of
// entries 0..7 and 8..15, in the order the leftover bits visit them. The same steps as
// bitalloc_avx512.cpp (see there), with lane masks taken by movemask and given back as lane
// vectors. Compiled with -mavx2 -mpopcnt, called only when the processor has both.
#if defined(__x86_64__) || defined(_M_X64)
#include "sbc/bitalloc_simd.h"

#include <algorithm>
#include <immintrin.h>

namespace sbc::alloc {

namespace {

constexpr int32_t half = 8;
constexpr int32_t absent = -1000; // the need of a lane without an entry, as on AVX-512

struct Lanes {
    __m256i lo; // entries 0..7
    __m256i hi; // entries 8..15
};

__m256i splat(int32_t v) {
    return _mm256_set1_epi32(v);
}

template <typename Op> Lanes each(Lanes a, Lanes b, Op op) {
    return {op(a.lo, b.lo), op(a.hi, b.hi)};
}
Lanes splat_lanes(int32_t v) {
    return {splat(v), splat(v)};
}
Lanes sub(Lanes a, Lanes b) {
    return each(a, b, [](__m256i x, __m256i y) { return _mm256_sub_epi32(x, y); });
}
Lanes greater(Lanes a, Lanes b) {
    return each(a, b, [](__m256i x, __m256i y) { return _mm256_cmpgt_epi32(x, y); });
}
Lanes equal(Lanes a, Lanes b) {
    return each(a, b, [](__m256i x, __m256i y) { return _mm256_cmpeq_epi32(x, y); });
}
Lanes both(Lanes a, Lanes b) {
    return each(a, b, [](__m256i x, __m256i y) { return _mm256_and_si256(x, y); });
}
Lanes select(Lanes where, Lanes taken, Lanes kept) {
    return {_mm256_blendv_epi8(kept.lo, taken.lo, where.lo),
            _mm256_blendv_epi8(kept.hi, taken.hi, where.hi)};
}

// Bit e of the mask for lane e of a compare result, and back.
uint32_t mask_of(Lanes m) {
    const auto half_mask = [](__m256i x) {
        return static_cast<uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(x)));
    };
    return half_mask(m.lo) | half_mask(m.hi) << half;
}
Lanes lanes_of(uint32_t mask) {
    const __m256i bit = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
    const auto half_lanes = [&bit](uint32_t m) {
        return _mm256_cmpeq_epi32(_mm256_and_si256(splat(static_cast<int32_t>(m)), bit), bit);
    };
    return {half_lanes(mask & 0xFF), half_lanes(mask >> half)};
}

int32_t count_of(uint32_t m) {
    return __builtin_popcount(m);
}

// SNR: the scale factor. LOUDNESS: −5 for 0, else sf − offset, halved (rounded down) if > 0.
Lanes needs_of(Lanes scale_factor, Lanes offset, int32_t allocation_method) {
    if (allocation_method != LOUDNESS) return scale_factor;
    const Lanes loudness = sub(scale_factor, offset);
    const Lanes halved = {_mm256_srai_epi32(loudness.lo, 1), _mm256_srai_epi32(loudness.hi, 1)};
    const Lanes need = select(greater(loudness, splat_lanes(0)), halved, loudness);
    return select(equal(scale_factor, splat_lanes(0)), splat_lanes(silent_bitneed), need);
}

int32_t largest_lane(Lanes x) {
    __m256i m = _mm256_max_epi32(x.lo, x.hi);
    m = _mm256_max_epi32(m, _mm256_permute2x128_si256(m, m, 1));
    m = _mm256_max_epi32(m, _mm256_shuffle_epi32(m, 0b01001110));
    m = _mm256_max_epi32(m, _mm256_shuffle_epi32(m, 0b10110001));
    return _mm256_cvtsi256_si32(m);
}

// The slice search on AVX2 lanes (see walk_slices).
Slice find_bitslice(Lanes need, int32_t bitpool) {
    return walk_slices(largest_lane(need), bitpool, [&](int32_t bitslice) {
        const Lanes next = splat_lanes(bitslice + 1);
        const uint32_t two = mask_of(equal(need, next));
        const uint32_t one =
            mask_of(both(greater(need, next), greater(splat_lanes(bitslice + max_bits), need)));
        return 2 * count_of(two) + count_of(one);
    });
}

// Inclusive prefix sums across the 16 lanes.
__m256i prefix_sum8(__m256i x) {
    x = _mm256_add_epi32(x, _mm256_slli_si256(x, 4));
    x = _mm256_add_epi32(x, _mm256_slli_si256(x, 8));
    const __m256i low_total = _mm256_permute2x128_si256(x, x, 0x08); // low half moved up
    return _mm256_add_epi32(x, _mm256_shuffle_epi32(low_total, 0xFF));
}
Lanes prefix_sum(Lanes x) {
    const __m256i lo = prefix_sum8(x.lo);
    const __m256i lo_total = _mm256_permutevar8x32_epi32(lo, splat(half - 1));
    return {lo, _mm256_add_epi32(prefix_sum8(x.hi), lo_total)};
}

Lanes add_one(Lanes bits, uint32_t where) {
    return sub(bits, lanes_of(where)); // a selected lane holds −1
}

Lanes distribute(Lanes need, uint32_t entries, int32_t bitpool) {
    if (bitpool <= 0) return splat_lanes(0);
    const Slice slice = find_bitslice(need, bitpool);
    const Lanes over = sub(need, splat_lanes(slice.bitslice));
    const Lanes holding = greater(over, splat_lanes(1));
    const Lanes capped = each(over, splat_lanes(max_bits),
                              [](__m256i x, __m256i y) { return _mm256_min_epi32(x, y); });
    Lanes bits = both(holding, capped);
    const int32_t left = bitpool - slice.bitcount;
    if (left <= 0) return bits;

    const Lanes grow = both(holding, greater(splat_lanes(max_bits), bits));
    const Lanes start = equal(need, splat_lanes(slice.bitslice + 1));
    const Lanes cost = each(both(grow, splat_lanes(1)), both(start, splat_lanes(2)),
                            [](__m256i x, __m256i y) { return _mm256_add_epi32(x, y); });
    const uint32_t grow_mask = mask_of(grow), start_mask = mask_of(start);
    const uint32_t granted =
        mask_of(greater(splat_lanes(left + 1), prefix_sum(cost))) & (grow_mask | start_mask);
    const Leftover pass = first_pass(grow_mask, start_mask, granted, left);
    bits = add_one(bits, pass.one_more);
    bits = select(lanes_of(pass.two), splat_lanes(2), bits);
    if (pass.left <= 0) return bits;
    const uint32_t room = entries & mask_of(greater(splat_lanes(max_bits), bits));
    return add_one(bits, first_entries(room, pass.left));
}

// The first `subbands` values of a row; the lanes above are 0 (never read).
__m256i row_of(const int32_t* row, int32_t subbands) {
    return subbands == 8
               ? _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row))
               : _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row)));
}

void store_row(int32_t* row, int32_t subbands, __m256i v) {
    if (subbands == 8)
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(row), v);
    else
        _mm_storeu_si128(reinterpret_cast<__m128i*>(row), _mm256_castsi256_si128(v));
}

const int32_t* offsets(int32_t subbands, int32_t frequency_index) {
    return subbands == 4 ? offset4[frequency_index].data() : offset8[frequency_index].data();
}

// Entries (ch 0, sb 0), (ch 1, sb 0), (ch 0, sb 1), ... from two rows of 8.
Lanes interleaved(__m256i a, __m256i b) {
    const __m256i low = _mm256_unpacklo_epi32(a, b);  // a0 b0 a1 b1 | a4 b4 a5 b5
    const __m256i high = _mm256_unpackhi_epi32(a, b); // a2 b2 a3 b3 | a6 b6 a7 b7
    return {_mm256_permute2x128_si256(low, high, 0x20), _mm256_permute2x128_si256(low, high, 0x31)};
}

} // namespace

void allocate_one_avx2(int32_t subbands, const SubbandRow& scale_factor, int32_t bitpool,
                       SubbandRow& bits, int32_t allocation_method, int32_t frequency_index) {
    const uint32_t bands = (1u << subbands) - 1;
    const Lanes sf = {row_of(scale_factor.data(), subbands), splat(0)};
    const Lanes offset = {row_of(offsets(subbands, frequency_index), subbands), splat(0)};
    const Lanes need =
        select(lanes_of(bands), needs_of(sf, offset, allocation_method), splat_lanes(absent));
    store_row(bits.data(), subbands, distribute(need, bands, bitpool).lo);
}

void allocate_two_avx2(int32_t subbands, const std::array<SubbandRow, MAX_CHANNELS>& scale_factor,
                       int32_t bitpool, std::array<SubbandRow, MAX_CHANNELS>& bits,
                       int32_t allocation_method, int32_t frequency_index) {
    const uint32_t entries = (1u << (2 * subbands)) - 1;
    const Lanes sf = interleaved(row_of(scale_factor[0].data(), subbands),
                                 row_of(scale_factor[1].data(), subbands));
    const __m256i band_offset = row_of(offsets(subbands, frequency_index), subbands);
    const Lanes offset = interleaved(band_offset, band_offset);
    const Lanes need =
        select(lanes_of(entries), needs_of(sf, offset, allocation_method), splat_lanes(absent));
    const Lanes out = distribute(need, entries, bitpool);
    // Even lanes to channel 0, odd lanes to channel 1, in band order.
    const __m256i gather = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
    const __m256i lo = _mm256_permutevar8x32_epi32(out.lo, gather); // ch0 sb0..3 | ch1 sb0..3
    const __m256i hi = _mm256_permutevar8x32_epi32(out.hi, gather); // ch0 sb4..7 | ch1 sb4..7
    store_row(bits[0].data(), subbands, _mm256_permute2x128_si256(lo, hi, 0x20));
    store_row(bits[1].data(), subbands, _mm256_permute2x128_si256(lo, hi, 0x31));
}

} // namespace sbc::alloc
#endif
