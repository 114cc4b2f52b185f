// Scale factors and joint stereo in one pass over the frame, 8 samples per AVX2 register.
// Compiled with -mavx2 and called only when the processor has it. The same pass as
// scale_avx512.cpp (see there, also for why mid and side may be formed in single precision),
// one block of 8 bands (or two blocks of 4) per register:
//
//   per 8 samples   L, R ──► mid = (L + R) × 0.5, side = (L − R) × 0.5   (into sb_sample_ms)
//                   max|L|, max|R|, max|mid|, max|side|   ("|x| > m ? |x| : m" as maxps)
//   after the pass  band maxima ──► scale factors from the exponent bits, join as a lane mask,
//                   the rare clamp, joined bands blended over left/right
#if defined(__x86_64__) || defined(_M_X64)
#include "sbc/encode/scale.h"
#include "sbc/encode/scale_simd.h"

#include <immintrin.h>

namespace sbc {

namespace {

constexpr int32_t lanes = 8;

// All ones in the lanes below n (a load/store mask), zeros above.
__m256i lanes_below(int32_t n) {
    const __m256i index = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(n), index);
}

__m256 load(const float* p, int32_t left) {
    return left >= lanes ? _mm256_loadu_ps(p) : _mm256_maskload_ps(p, lanes_below(left));
}

void store(float* p, int32_t left, __m256 v) {
    if (left >= lanes)
        _mm256_storeu_ps(p, v);
    else
        _mm256_maskstore_ps(p, lanes_below(left), v);
}

// maxps(a, m) is exactly "a > m ? a : m".
__m256 keep_larger(__m256 x, __m256 m) {
    const __m256 magnitude = _mm256_castsi256_ps(_mm256_set1_epi32(0x7FFFFFFF));
    return _mm256_max_ps(_mm256_and_ps(x, magnitude), m);
}

// Every lane ends up holding the maximum of its band (lane l carries band l mod M).
__m256 band_maxima(__m256 m, int32_t subbands) {
    if (subbands == 4) m = _mm256_max_ps(m, _mm256_permute2f128_ps(m, m, 1));
    return m;
}

// As the plain path: the exponent of min(max, bound), less one for a power of two, 0 up to 2.0.
__m256i scale_factors_of(__m256 largest) {
    const __m256 m = _mm256_min_ps(largest, _mm256_set1_ps(SAMPLE_BOUND));
    const __m256i bits = _mm256_castps_si256(m);
    const __m256i exponent = _mm256_sub_epi32(_mm256_srli_epi32(bits, 23), _mm256_set1_epi32(127));
    const __m256i power_of_two = _mm256_cmpeq_epi32(
        _mm256_and_si256(bits, _mm256_set1_epi32(0x7FFFFF)), _mm256_setzero_si256());
    const __m256i j = _mm256_add_epi32(exponent, power_of_two); // −1 where a power of two
    const __m256 fits_first = _mm256_cmp_ps(m, _mm256_set1_ps(scale_factor_value[0]), _CMP_LE_OQ);
    return _mm256_andnot_si256(_mm256_castps_si256(fits_first), j);
}

bool exceeds_bound(__m256 largest) {
    return _mm256_movemask_ps(_mm256_cmp_ps(largest, _mm256_set1_ps(SAMPLE_BOUND), _CMP_GT_OQ)) !=
           0;
}

// "B < x ? B : x", then "−B > x ? −B : x": minps/maxps return their second operand on a NaN.
void clamp_row(float* row, int32_t count) {
    const __m256 bound = _mm256_set1_ps(SAMPLE_BOUND), low = _mm256_set1_ps(-SAMPLE_BOUND);
    for (int32_t i = 0; i < count; i += lanes)
        store(row + i, count - i,
              _mm256_max_ps(low, _mm256_min_ps(bound, load(row + i, count - i))));
}

void store_bands(SubbandRow& row, int32_t subbands, __m256i v) {
    _mm256_maskstore_epi32(row.data(), lanes_below(subbands), v);
}

} // namespace

void scale_channel_avx2(SampleRow& row, SubbandRow& scale_factor, int32_t subbands, int32_t count) {
    __m256 m = _mm256_setzero_ps();
    for (int32_t i = 0; i < count; i += lanes) m = keep_larger(load(&row[i], count - i), m);
    const __m256 largest = band_maxima(m, subbands);
    store_bands(scale_factor, subbands, scale_factors_of(largest));
    if (exceeds_bound(largest)) clamp_row(row.data(), count);
}

void scale_joint_avx2(FrameWorkspace& ws, int32_t subbands, int32_t count) {
    float* const left = ws.sb_sample[0].data();
    float* const right = ws.sb_sample[1].data();
    float* const mid = ws.sb_sample_ms[0].data();
    float* const side = ws.sb_sample_ms[1].data();
    const __m256 half = _mm256_set1_ps(0.5f);
    __m256 max_left = _mm256_setzero_ps(), max_right = max_left;
    __m256 max_mid = max_left, max_side = max_left;
    for (int32_t i = 0; i < count; i += lanes) {
        const __m256 l = load(left + i, count - i), r = load(right + i, count - i);
        const __m256 m = _mm256_mul_ps(_mm256_add_ps(l, r), half);
        const __m256 s = _mm256_mul_ps(_mm256_sub_ps(l, r), half);
        store(mid + i, count - i, m);
        store(side + i, count - i, s);
        max_left = keep_larger(l, max_left);
        max_right = keep_larger(r, max_right);
        max_mid = keep_larger(m, max_mid);
        max_side = keep_larger(s, max_side);
    }

    const __m256 largest[4] = {band_maxima(max_left, subbands), band_maxima(max_right, subbands),
                               band_maxima(max_mid, subbands), band_maxima(max_side, subbands)};
    const __m256i sf_left = scale_factors_of(largest[0]), sf_right = scale_factors_of(largest[1]);
    const __m256i sf_mid = scale_factors_of(largest[2]), sf_side = scale_factors_of(largest[3]);
    // Lanes l with l mod M < M − 1: the last band is never joined.
    const __m256i joinable =
        subbands == 8 ? lanes_below(7) : _mm256_setr_epi32(-1, -1, -1, 0, -1, -1, -1, 0);
    const __m256i join = _mm256_and_si256(
        _mm256_cmpgt_epi32(_mm256_add_epi32(sf_left, sf_right), _mm256_add_epi32(sf_mid, sf_side)),
        joinable);
    const auto blend = [&join](__m256i kept, __m256i taken) {
        return _mm256_blendv_epi8(kept, taken, join);
    };
    store_bands(ws.join, subbands, _mm256_srli_epi32(join, 31));
    store_bands(ws.scale_factor[0], subbands, blend(sf_left, sf_mid));
    store_bands(ws.scale_factor[1], subbands, blend(sf_right, sf_side));
    store_bands(ws.scale_factor_ms[0], subbands, sf_mid);
    store_bands(ws.scale_factor_ms[1], subbands, sf_side);

    float* const rows[4] = {left, right, mid, side};
    for (int32_t r = 0; r < 4; ++r)
        if (exceeds_bound(largest[r])) clamp_row(rows[r], count);
    if (_mm256_testz_si256(join, join)) return;
    const __m256 joined = _mm256_castsi256_ps(join);
    for (int32_t i = 0; i < count; i += lanes) {
        store(left + i, count - i,
              _mm256_blendv_ps(load(left + i, count - i), load(mid + i, count - i), joined));
        store(right + i, count - i,
              _mm256_blendv_ps(load(right + i, count - i), load(side + i, count - i), joined));
    }
}

} // namespace sbc
#endif
