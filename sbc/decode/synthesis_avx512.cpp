// The synthesis filter bank on AVX-512: eight outputs per register with 8 subbands, one block's
// window in one register (see synthesis_kernel.h); 4 subbands fill only four lanes, so they
// run on AVX registers. Compiled with -mavx512f and called only when the processor has it.
#if defined(__x86_64__) || defined(_M_X64)
#include "sbc/decode/synthesis_simd.h"

#include <immintrin.h>

namespace sbc {

namespace {

#include "sbc/decode/synthesis_kernel.h"

struct Avx512 {
    using reg = __m512d;
    static constexpr int32_t width = 8;
    static reg load(const double* p) { return _mm512_loadu_pd(p); }
    static reg broadcast(double v) { return _mm512_set1_pd(v); }
    static void store(double* p, reg v) { _mm512_storeu_pd(p, v); }
    static reg mul(reg a, reg b) { return _mm512_mul_pd(a, b); }
    static reg add(reg a, reg b) { return _mm512_add_pd(a, b); }
};

} // namespace

void synthesize_avx512(double* rows, int32_t subbands, int32_t blocks, const double* sb,
                       double* pcm) {
    if (subbands == 4)
        synthesize_with<Avx, 4>(rows, blocks, sb, pcm);
    else
        synthesize_with<Avx512, 8>(rows, blocks, sb, pcm);
}

} // namespace sbc
#endif
