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
};

} // namespace

void filter_frame_avx512(const FilterJob& job, int32_t subbands) {
    filter_frame_with<Avx512>(job, subbands);
}

} // namespace sbc
#endif
