// Output on AVX2: four values per register, the same exact steps as output.cpp (clamp,
// truncate, step away from zero on a remainder of ½ or more), then a saturating pack to 16
// bits that interleaves the channels. Compiled with -mavx2 and called only when the processor
// has it.
#if defined(__x86_64__) || defined(_M_X64)
#include "sbc/decode/output_simd.h"

#include <immintrin.h>

namespace sbc {

namespace {

constexpr int32_t lanes = 4;

// Four values rounded half away from zero within −32768..32767, as int32.
__m128i rounded(const double* p) {
    const __m256d x = _mm256_loadu_pd(p);
    const __m256d c =
        _mm256_max_pd(_mm256_min_pd(x, _mm256_set1_pd(32767.0)), _mm256_set1_pd(-32768.0));
    const __m256d t = _mm256_round_pd(c, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    const __m256d frac = _mm256_sub_pd(c, t);
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d up = _mm256_and_pd(_mm256_cmp_pd(frac, _mm256_set1_pd(0.5), _CMP_GE_OQ), one);
    const __m256d down = _mm256_and_pd(_mm256_cmp_pd(frac, _mm256_set1_pd(-0.5), _CMP_LE_OQ), one);
    return _mm256_cvtpd_epi32(_mm256_sub_pd(_mm256_add_pd(t, up), down));
}

__m128 scaled(const double* p) {
    return _mm256_cvtpd_ps(_mm256_mul_pd(_mm256_loadu_pd(p), _mm256_set1_pd(1.0 / 32768.0)));
}

} // namespace

void write_pcm16_avx2(const double* left, const double* right, int32_t instants, int16_t* out) {
    if (right == nullptr) {
        for (int32_t i = 0; i < instants; i += 2 * lanes) {
            const __m128i packed = _mm_packs_epi32(rounded(left + i), rounded(left + i + lanes));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), packed);
        }
        return;
    }
    for (int32_t i = 0; i < instants; i += lanes) {
        const __m128i l = rounded(left + i);
        const __m128i r = rounded(right + i);
        const __m128i packed = _mm_packs_epi32(_mm_unpacklo_epi32(l, r), _mm_unpackhi_epi32(l, r));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i), packed);
    }
}

void write_float_avx2(const double* left, const double* right, int32_t instants, float* out) {
    if (right == nullptr) {
        for (int32_t i = 0; i < instants; i += lanes) _mm_storeu_ps(out + i, scaled(left + i));
        return;
    }
    for (int32_t i = 0; i < instants; i += lanes) {
        const __m128 l = scaled(left + i);
        const __m128 r = scaled(right + i);
        _mm_storeu_ps(out + 2 * i, _mm_unpacklo_ps(l, r));
        _mm_storeu_ps(out + 2 * i + lanes, _mm_unpackhi_ps(l, r));
    }
}

} // namespace sbc
#endif
