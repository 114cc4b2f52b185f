// The filter bank's inner loop for AVX2 with FMA: four blocks side by side. Compiled with
// -mavx2 -mfma and called only when the processor has both. See analysis_kernel.h.
#if defined(__x86_64__) || defined(_M_X64)
#include "sbc/analysis_simd.h"

#include <immintrin.h>

namespace sbc {

namespace {

#include "sbc/analysis_kernel.h"

struct Avx2 {
    using reg = __m256d;
    static constexpr int32_t width = 4;
    static reg zero() { return _mm256_setzero_pd(); }
    static reg load(const double* p) { return _mm256_loadu_pd(p); }
    static reg broadcast(double v) { return _mm256_set1_pd(v); }
    static reg mul_add(reg a, reg b, reg acc) { return _mm256_fmadd_pd(a, b, acc); }
    static reg add(reg a, reg b) { return _mm256_add_pd(a, b); }
    static reg sub(reg a, reg b) { return _mm256_sub_pd(a, b); }
    static reg round_single(reg x) { return _mm256_cvtps_pd(_mm256_cvtpd_ps(x)); }
    static void store_single(float* p, reg x) { _mm_storeu_ps(p, _mm256_cvtpd_ps(x)); }
    static constexpr bool has_store_8x8 = false;
    static void store_8x8(float*, const reg (&)[8]) {}
};

} // namespace

void filter_frame_avx2(const FilterJob& job, int32_t subbands) {
    filter_frame_with<Avx2>(job, subbands);
}

} // namespace sbc
#endif
