// The synthesis filter bank on AVX2: four outputs per register (see synthesis_kernel.h).
// Compiled with -mavx2 and called only when the processor has it.
#if defined(__x86_64__) || defined(_M_X64)
#include "sbc/decode/synthesis_simd.h"

#include <immintrin.h>

namespace sbc {

namespace {

#include "sbc/decode/synthesis_kernel.h"

struct Avx2 {
    using reg = __m256d;
    static constexpr int32_t width = 4;
    static reg load(const double* p) { return _mm256_loadu_pd(p); }
    static reg broadcast(double v) { return _mm256_set1_pd(v); }
    static void store(double* p, reg v) { _mm256_storeu_pd(p, v); }
    static reg mul(reg a, reg b) { return _mm256_mul_pd(a, b); }
    static reg add(reg a, reg b) { return _mm256_add_pd(a, b); }
};

} // namespace

void synthesize_avx2(double* rows, int32_t subbands, int32_t blocks, const double* sb,
                     double* pcm) {
    if (subbands == 4)
        synthesize_with<Avx2, 4>(rows, blocks, sb, pcm);
    else
        synthesize_with<Avx2, 8>(rows, blocks, sb, pcm);
}

} // namespace sbc
#endif
