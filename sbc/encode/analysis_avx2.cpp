// The filter bank's inner loop for AVX2 with FMA: two groups of four blocks side by side. Compiled
// with -mavx2 -mfma and called only when the processor has both. See analysis_kernel.h.
#if defined(__x86_64__) || defined(_M_X64)
#include "sbc/encode/analysis_simd.h"

#include <immintrin.h>

namespace sbc {

namespace {

#include "sbc/encode/analysis_kernel.h"

struct Avx2 {
    using dreg = __m256d;
    using freg = __m128;
    static constexpr int32_t width = 4;
    static constexpr int32_t groups = 2; // eight blocks per call: a little faster than four
    static dreg zero() { return _mm256_setzero_pd(); }
    static dreg load(const double* p) { return _mm256_loadu_pd(p); }
    static dreg broadcast(double v) { return _mm256_set1_pd(v); }
    static dreg mul_add(dreg a, dreg b, dreg acc) { return _mm256_fmadd_pd(a, b, acc); }
    static dreg add(dreg a, dreg b) { return _mm256_add_pd(a, b); }
    static dreg sub(dreg a, dreg b) { return _mm256_sub_pd(a, b); }
    static freg single(dreg x) { return _mm256_cvtpd_ps(x); }
    static dreg wide(freg x) { return _mm256_cvtps_pd(x); }
    static freg fadd(freg a, freg b) { return _mm_add_ps(a, b); }
    static freg fsub(freg a, freg b) { return _mm_sub_ps(a, b); }

    // Four blocks × four bands at a time, transposed in registers.
    template <int M, int G> static void store_bands(float* out, const freg (&band)[M][G]) {
        for (int g = 0; g < G; ++g) {
            float* blocks = out + g * width * M;
            for (int l0 = 0; l0 < M; l0 += 4) {
                __m128 r0 = band[l0][g], r1 = band[l0 + 1][g], r2 = band[l0 + 2][g],
                       r3 = band[l0 + 3][g];
                _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
                _mm_storeu_ps(blocks + l0, r0);
                _mm_storeu_ps(blocks + M + l0, r1);
                _mm_storeu_ps(blocks + 2 * M + l0, r2);
                _mm_storeu_ps(blocks + 3 * M + l0, r3);
            }
        }
    }
};

} // namespace

void filter_frame_avx2(const FilterJob& job, int32_t subbands) {
    filter_frame_with<Avx2>(job, subbands);
}

} // namespace sbc
#endif
