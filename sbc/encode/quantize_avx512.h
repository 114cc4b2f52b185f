// Inside the encoder library: the quantiser in eight double lanes, for the AVX-512 sources
// (quantize_avx512.cpp, pack_avx512.cpp), which are compiled with -mavx512f -mavx512dq and get
// <immintrin.h> through it.
//
// The formula of quantize.cpp, the same double at every step:
//   q = trunc(clamp(fma(x, 2^-(sf+1), 1) × (levels × 0.5), 0, levels))
// - x × 2^-(sf+1) is exact (a float times a power of two within the double range), so the fused
//   multiply-add rounds once where the plain code rounds the same sum once;
// - ((a × levels) × 0.5) = (a × (levels × 0.5)): levels × 0.5 is exact, and halving commutes
//   with rounding to nearest unless the result is subnormal, which a = (x / S) + 1 (zero, or at
//   least 2^-25 in magnitude: x / S has a 24-bit mantissa) times levels (0 or at least 1) never is;
// - the clamp is max(q, 0) then min(q, levels), which keeps "q >= 0 ? q : 0" and
//   "q < levels ? q : levels" of the plain code (a NaN becomes 0, the second operand of max).
//
// Inside the encoder the clamp never changes a value, and quantize_lanes_within_scale leaves it
// out (two of its eight vector operations). The scale-factor stage picks sf with |x| <= 2^(sf+1)
// = S, and x is finite (a filtered 16-bit sample, clamped to ±65536). Then x / S lies in
// [-1, 1] exactly, a = round(x / S + 1) in [0, 2] and q = round(a × levels × 0.5) in
// [0, levels]: rounding to nearest is monotonic and the ends 0, 2 and levels are doubles, so no
// result crosses them, and the truncation of q is already in 0 .. levels.
#pragma once

#include <cstdint>
// g++ 12 warns about the deliberately undefined inputs of its own AVX-512 intrinsics.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#else
#include <immintrin.h>
#endif

namespace sbc {

// The constants of eight lanes, from their scale factors (0..15) and bit counts (0..16) as
// 64-bit integers.
struct QuantizerLanes {
    __m512d reciprocal;  // 2^-(sf + 1), straight from the exponent bits: (1022 − sf) << 52
    __m512d half_levels; // (2^bits − 1) × 0.5
    __m512d levels;      // 2^bits − 1
};

inline __m512d reciprocal_scales(__m512i scale_factor) {
    constexpr int64_t exponent_bias_less_one = 1022;
    return _mm512_castsi512_pd(_mm512_slli_epi64(
        _mm512_sub_epi64(_mm512_set1_epi64(exponent_bias_less_one), scale_factor), 52));
}

inline __m512d levels_of(__m512i bits) {
    const __m512i one = _mm512_set1_epi64(1);
    return _mm512_cvtepi64_pd(_mm512_sub_epi64(_mm512_sllv_epi64(one, bits), one));
}

inline QuantizerLanes quantizer_lanes(__m512i scale_factor, __m512i bits) {
    const __m512d levels = levels_of(bits);
    return {reciprocal_scales(scale_factor), _mm512_mul_pd(levels, _mm512_set1_pd(0.5)), levels};
}

// Eight samples quantised, before the truncation.
inline __m512d quantize_lanes_untruncated(__m256 x, const QuantizerLanes& k) {
    const __m512d a = _mm512_fmadd_pd(_mm512_cvtps_pd(x), k.reciprocal, _mm512_set1_pd(1.0));
    const __m512d q = _mm512_max_pd(_mm512_mul_pd(a, k.half_levels), _mm512_setzero_pd());
    return _mm512_min_pd(q, k.levels);
}

// Eight samples quantised, as 64-bit integers, for samples within their scale and finite (see
// above), as the encoder's are; others give unspecified values.
inline __m512i quantize_lanes_within_scale(__m256 x, const QuantizerLanes& k) {
    const __m512d a = _mm512_fmadd_pd(_mm512_cvtps_pd(x), k.reciprocal, _mm512_set1_pd(1.0));
    return _mm512_cvttpd_epi64(_mm512_mul_pd(a, k.half_levels));
}

} // namespace sbc
