// The synthesis filter bank on AVX2: four outputs per register (the Avx lanes of
// synthesis_kernel.h). Compiled with -mavx2 and called only when the processor has it.
#if defined(__x86_64__) || defined(_M_X64)
#include "sbc/decode/synthesis_simd.h"

#include <immintrin.h>

namespace sbc {

namespace {

#include "sbc/decode/synthesis_kernel.h"

} // namespace

void synthesize_avx2(double* rows, int32_t subbands, int32_t blocks, const double* sb,
                     double* pcm) {
    if (subbands == 4)
        synthesize_with<Avx, 4>(rows, blocks, sb, pcm);
    else
        synthesize_with<Avx, 8>(rows, blocks, sb, pcm);
}

} // namespace sbc
#endif
