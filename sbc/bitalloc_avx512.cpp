// Bit allocation with the pool in one AVX-512 register: 16 int32 lanes hold the bit needs of
// up to 2 channels × 8 bands, lane e being entry e in the order the leftover bits visit them
// ((ch 0, sb 0), (ch 1, sb 0), (ch 0, sb 1), ... for two channels; sb 0, 1, ... for one).
// Compiled with -mavx512f -mpopcnt, called only when the processor has both.
// The steps and their results are those of bitalloc.cpp:
//
//   slice search   per step two lane compares and popcounts:
//                  slicecount = 2 × #(need = slice + 1) + #(slice + 1 < need < slice + 16)
//   distribution   bits = need − slice where need >= slice + 2, at most 16
//   first pass     cost 1 for 2 <= bits < 16, 2 for need = slice + 1, 0 otherwise; an entry is
//                  granted while the prefix sum of costs up to it fits the bits left. The pass
//                  passes over a 2-bit grant only with exactly one bit left; that bit then goes
//                  to the first 1-bit entry after it, if any.
//   second pass    +1 to the first `left` entries below 16 bits (first_entries)
#if defined(__x86_64__) || defined(_M_X64)
#include "sbc/bitalloc_simd.h"

#include <algorithm>
#include <immintrin.h>

namespace sbc::alloc {

namespace {

constexpr int32_t lanes = 16;
// The need of a lane without an entry: below every slice the search reaches, so it never
// counts, never holds bits and never starts at 2.
constexpr int32_t absent = -1000;

constexpr __mmask16 all = 0xFFFF;

__m512i splat(int32_t v) {
    return _mm512_set1_epi32(v);
}

// Zero-masked forms with every lane selected: the plain ones start from an "undefined"
// register, which GCC 12 reports as uninitialised.
template <int n> __m512i shifted_up(__m512i x) { // lane i takes lane i − n, zeros below
    return _mm512_maskz_alignr_epi32(all, x, _mm512_setzero_si512(), lanes - n);
}

int32_t largest_lane(__m512i x) {
    const auto larger = [](__m512i a, __m512i b) { return _mm512_maskz_max_epi32(all, a, b); };
    x = larger(x, _mm512_maskz_shuffle_i32x4(all, x, x, 0b01001110));
    x = larger(x, _mm512_maskz_shuffle_i32x4(all, x, x, 0b10110001));
    x = larger(x, _mm512_maskz_shuffle_epi32(all, x, _MM_PERM_BADC));
    x = larger(x, _mm512_maskz_shuffle_epi32(all, x, _MM_PERM_CDAB));
    return _mm512_cvtsi512_si32(x);
}

__mmask16 lanes_below(int32_t n) {
    return n >= lanes ? static_cast<__mmask16>(0xFFFF) : static_cast<__mmask16>((1u << n) - 1);
}

int32_t count_of(__mmask16 m) {
    return __builtin_popcount(m);
}

// SNR: the scale factor. LOUDNESS: −5 for 0, else sf − offset, halved (rounded down) if > 0.
__m512i needs_of(__m512i scale_factor, __m512i offset, int32_t allocation_method) {
    if (allocation_method != LOUDNESS) return scale_factor;
    const __m512i loudness = _mm512_sub_epi32(scale_factor, offset);
    const __mmask16 positive = _mm512_cmpgt_epi32_mask(loudness, _mm512_setzero_si512());
    const __m512i need = _mm512_mask_srai_epi32(loudness, positive, loudness, 1);
    const __mmask16 silent = _mm512_testn_epi32_mask(scale_factor, scale_factor);
    return _mm512_mask_mov_epi32(need, silent, splat(silent_bitneed));
}

// The slice search in one AVX-512 register (see walk_slices).
Slice find_bitslice(__m512i need, int32_t bitpool) {
    return walk_slices(largest_lane(need), bitpool, [&](int32_t bitslice) {
        const __mmask16 two = _mm512_cmpeq_epi32_mask(need, splat(bitslice + 1));
        const __m512i above = _mm512_sub_epi32(need, splat(bitslice + 2)); // 0..13 gains one
        const __mmask16 one = _mm512_cmplt_epu32_mask(above, splat(max_bits - 2));
        return 2 * count_of(two) + count_of(one);
    });
}

// Inclusive prefix sums across the 16 lanes.
__m512i prefix_sum(__m512i x) {
    x = _mm512_add_epi32(x, shifted_up<1>(x));
    x = _mm512_add_epi32(x, shifted_up<2>(x));
    x = _mm512_add_epi32(x, shifted_up<4>(x));
    return _mm512_add_epi32(x, shifted_up<8>(x));
}

__m512i add_one(__m512i bits, __mmask16 where) {
    return _mm512_mask_add_epi32(bits, where, bits, splat(1));
}

// The bits of every entry (lanes outside `entries` hold `absent` needs and get 0).
__m512i distribute(__m512i need, __mmask16 entries, int32_t bitpool) {
    if (bitpool <= 0) return _mm512_setzero_si512();
    const Slice slice = find_bitslice(need, bitpool);
    const __m512i over = _mm512_sub_epi32(need, splat(slice.bitslice));
    const __mmask16 holding = _mm512_cmpge_epi32_mask(over, splat(2));
    __m512i bits = _mm512_maskz_min_epi32(holding, over, splat(max_bits));
    const int32_t left = bitpool - slice.bitcount;
    if (left <= 0) return bits;

    const __mmask16 grow = holding & _mm512_cmplt_epi32_mask(bits, splat(max_bits));
    const __mmask16 start = _mm512_cmpeq_epi32_mask(need, splat(slice.bitslice + 1));
    const __m512i cost = _mm512_add_epi32(_mm512_maskz_mov_epi32(grow, splat(1)),
                                          _mm512_maskz_mov_epi32(start, splat(2)));
    const __mmask16 granted =
        _mm512_cmple_epi32_mask(prefix_sum(cost), splat(left)) & (grow | start);
    const Leftover pass = first_pass(grow, start, granted, left);
    bits = add_one(bits, static_cast<__mmask16>(pass.one_more));
    bits = _mm512_mask_mov_epi32(bits, static_cast<__mmask16>(pass.two), splat(2));
    if (pass.left <= 0) return bits;
    const __mmask16 room = entries & _mm512_cmplt_epi32_mask(bits, splat(max_bits));
    return add_one(bits, static_cast<__mmask16>(first_entries(room, pass.left)));
}

const int32_t* offsets(int32_t subbands, int32_t frequency_index) {
    return subbands == 4 ? offset4[frequency_index].data() : offset8[frequency_index].data();
}

} // namespace

void allocate_one_avx512(int32_t subbands, const SubbandRow& scale_factor, int32_t bitpool,
                         SubbandRow& bits, int32_t allocation_method, int32_t frequency_index) {
    const __mmask16 bands = lanes_below(subbands);
    const __m512i sf = _mm512_maskz_loadu_epi32(bands, scale_factor.data());
    const __m512i offset = _mm512_maskz_loadu_epi32(bands, offsets(subbands, frequency_index));
    const __m512i need =
        _mm512_mask_mov_epi32(splat(absent), bands, needs_of(sf, offset, allocation_method));
    _mm512_mask_storeu_epi32(bits.data(), bands, distribute(need, bands, bitpool));
}

void allocate_two_avx512(int32_t subbands, const std::array<SubbandRow, MAX_CHANNELS>& scale_factor,
                         int32_t bitpool, std::array<SubbandRow, MAX_CHANNELS>& bits,
                         int32_t allocation_method, int32_t frequency_index) {
    const __mmask16 bands = lanes_below(subbands);
    const __mmask16 entries = lanes_below(2 * subbands);
    const __m512i interleave =
        _mm512_setr_epi32(0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
    const __m512i sf = _mm512_permutex2var_epi32(
        _mm512_maskz_loadu_epi32(bands, scale_factor[0].data()), interleave,
        _mm512_maskz_loadu_epi32(bands, scale_factor[1].data()));
    const __m512i band_offset = _mm512_maskz_loadu_epi32(bands, offsets(subbands, frequency_index));
    const __m512i offset = _mm512_permutex2var_epi32(band_offset, interleave, band_offset);
    const __m512i need =
        _mm512_mask_mov_epi32(splat(absent), entries, needs_of(sf, offset, allocation_method));
    const __m512i deinterleave =
        _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15);
    const __m512i by_channel =
        _mm512_maskz_permutexvar_epi32(all, deinterleave, distribute(need, entries, bitpool));
    _mm512_mask_storeu_epi32(bits[0].data(), bands, by_channel);
    _mm512_mask_storeu_epi32(bits[1].data(), bands,
                             _mm512_maskz_alignr_epi32(all, by_channel, by_channel, lanes / 2));
}

} // namespace sbc::alloc
#endif
