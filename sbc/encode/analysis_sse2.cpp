// The filter bank's inner loop for SSE2, the x86-64 baseline: two groups of two blocks side by
// side, products and sums as separate instructions. See analysis_kernel.h.
#if defined(__x86_64__) || defined(_M_X64)
#include "sbc/encode/analysis_simd.h"

#include <emmintrin.h>

namespace sbc {

namespace {

#include "sbc/encode/analysis_kernel.h"

struct Sse2 {
    using dreg = __m128d;
    using freg = __m128; // two floats in the low half
    static constexpr int32_t width = 2;
    static constexpr int32_t groups = 2;
    static dreg zero() { return _mm_setzero_pd(); }
    static dreg load(const double* p) { return _mm_loadu_pd(p); }
    static dreg broadcast(double v) { return _mm_set1_pd(v); }
    static dreg mul_add(dreg a, dreg b, dreg acc) { return _mm_add_pd(acc, _mm_mul_pd(a, b)); }
    static dreg add(dreg a, dreg b) { return _mm_add_pd(a, b); }
    static dreg sub(dreg a, dreg b) { return _mm_sub_pd(a, b); }
    static freg single(dreg x) { return _mm_cvtpd_ps(x); }
    static dreg wide(freg x) { return _mm_cvtps_pd(x); }
    static freg fadd(freg a, freg b) { return _mm_add_ps(a, b); }
    static freg fsub(freg a, freg b) { return _mm_sub_ps(a, b); }

    // Two blocks × two bands at a time: one unpack, and each half to its block.
    template <int M, int G> static void store_bands(float* out, const freg (&band)[M][G]) {
        for (int g = 0; g < G; ++g) {
            float* blocks = out + g * width * M;
            for (int l = 0; l < M; l += 2) {
                const __m128 pair = _mm_unpacklo_ps(band[l][g], band[l + 1][g]);
                _mm_storel_pi(reinterpret_cast<__m64*>(blocks + l), pair);
                _mm_storeh_pi(reinterpret_cast<__m64*>(blocks + M + l), pair);
            }
        }
    }
};

} // namespace

void filter_frame_sse2(const FilterJob& job, int32_t subbands) {
    filter_frame_with<Sse2>(job, subbands);
}

} // namespace sbc
#endif
