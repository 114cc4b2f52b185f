// The filter bank's inner loop for SSE2, the x86-64 baseline: two blocks side by side, products
// and sums as separate instructions. See analysis_kernel.h.
#if defined(__x86_64__) || defined(_M_X64)
#include "sbc/analysis_simd.h"

#include <emmintrin.h>

namespace sbc {

namespace {

#include "sbc/analysis_kernel.h"

struct Sse2 {
    using reg = __m128d;
    static constexpr int32_t width = 2;
    static reg zero() { return _mm_setzero_pd(); }
    static reg load(const double* p) { return _mm_loadu_pd(p); }
    static reg broadcast(double v) { return _mm_set1_pd(v); }
    static reg mul_add(reg a, reg b, reg acc) { return _mm_add_pd(acc, _mm_mul_pd(a, b)); }
    static reg add(reg a, reg b) { return _mm_add_pd(a, b); }
    static reg sub(reg a, reg b) { return _mm_sub_pd(a, b); }
    static reg round_single(reg x) { return _mm_cvtps_pd(_mm_cvtpd_ps(x)); }
    static void store_single(float* p, reg x) {
        _mm_storel_pi(reinterpret_cast<__m64*>(p), _mm_cvtpd_ps(x));
    }
    static constexpr bool has_store_8x8 = false;
    static void store_8x8(float*, const reg (&)[8]) {}
};

} // namespace

void filter_frame_sse2(const FilterJob& job, int32_t subbands) {
    filter_frame_with<Sse2>(job, subbands);
}

} // namespace sbc
#endif
