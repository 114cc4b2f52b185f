// The filter bank's inner loop for AVX-512: eight blocks side by side. Compiled with
// -mavx512f and called only when the processor (and the system) support it.
// See analysis_kernel.h.
#if defined(__x86_64__) || defined(_M_X64)
#include "sbc/analysis_simd.h"

#include <immintrin.h>

namespace sbc {

namespace {

#include "sbc/analysis_kernel.h"

struct Avx512 {
    using reg = __m512d;
    static constexpr int32_t width = 8;
    static reg zero() { return _mm512_setzero_pd(); }
    static reg load(const double* p) { return _mm512_loadu_pd(p); }
    static reg broadcast(double v) { return _mm512_set1_pd(v); }
    static reg mul_add(reg a, reg b, reg acc) { return _mm512_fmadd_pd(a, b, acc); }
    static reg add(reg a, reg b) { return _mm512_add_pd(a, b); }
    static reg sub(reg a, reg b) { return _mm512_sub_pd(a, b); }
    // Zero-masked forms with every lane selected: the plain conversions start from an
    // "undefined" register, which GCC 12 reports as uninitialised.
    static __m256 to_single(reg x) { return _mm512_maskz_cvtpd_ps(all, x); }
    static reg round_single(reg x) { return _mm512_maskz_cvtps_pd(all, to_single(x)); }
    static void store_single(float* p, reg x) { _mm256_storeu_ps(p, to_single(x)); }
    static constexpr __mmask8 all = 0xFF;

    // Eight blocks × eight bands: rows r[band] (lanes = blocks) become rows (lanes = bands).
    static constexpr bool has_store_8x8 = true;
    static void store_8x8(float* out, const reg (&band)[8]) {
        __m256 r[8];
        for (int i = 0; i < 8; ++i) r[i] = to_single(band[i]);
        __m256 t[8];
        for (int i = 0; i < 8; i += 2) {
            t[i] = _mm256_unpacklo_ps(r[i], r[i + 1]);
            t[i + 1] = _mm256_unpackhi_ps(r[i], r[i + 1]);
        }
        __m256 u[8];
        for (int i = 0; i < 8; i += 4) {
            u[i] = _mm256_shuffle_ps(t[i], t[i + 2], 0x44);
            u[i + 1] = _mm256_shuffle_ps(t[i], t[i + 2], 0xEE);
            u[i + 2] = _mm256_shuffle_ps(t[i + 1], t[i + 3], 0x44);
            u[i + 3] = _mm256_shuffle_ps(t[i + 1], t[i + 3], 0xEE);
        }
        for (int i = 0; i < 4; ++i) {
            _mm256_storeu_ps(out + 8 * i, _mm256_permute2f128_ps(u[i], u[i + 4], 0x20));
            _mm256_storeu_ps(out + 8 * (i + 4), _mm256_permute2f128_ps(u[i], u[i + 4], 0x31));
        }
    }
};

} // namespace

void filter_frame_avx512(const FilterJob& job, int32_t subbands) {
    filter_frame_with<Avx512>(job, subbands);
}

} // namespace sbc
#endif
