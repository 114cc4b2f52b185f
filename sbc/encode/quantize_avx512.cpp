// The quantiser in AVX-512 lanes (quantize_avx512.h): eight samples a vector, one block of 8
// bands or two blocks of 4, the bands' constants repeating with them. Compiled with
// -mavx512f -mavx512dq and called only when the processor has them; the same values as the
// plain loop of quantize.cpp.
#if defined(__x86_64__) || defined(_M_X64)
#include "sbc/encode/quantize_avx512.h"
#include "sbc/encode/quantize.h"

namespace sbc {

void quantize_rows_avx512(const SampleRow& sb_sample, const SubbandRow& scale_factor,
                          QuantizedRow& quantized, const SubbandRow& bits, int32_t blk_len,
                          int32_t subbands) {
    const auto per_lane = [subbands](const SubbandRow& row) { // the bands of eight samples
        const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row.data()));
        const __m128i high =
            subbands == 8 ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(row.data() + 4)) : low;
        return _mm512_cvtepu32_epi64(_mm256_set_m128i(high, low));
    };
    const QuantizerLanes k = quantizer_lanes(per_lane(scale_factor), per_lane(bits));
    const int32_t count = blk_len * subbands;
    int32_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m256 x = _mm256_loadu_ps(sb_sample.data() + i);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(quantized.data() + i),
                            _mm512_cvttpd_epi32(quantize_lanes_untruncated(x, k)));
    }
    if (i < count) { // 4 bands and an odd number of blocks: the last block alone
        const __m256 x = _mm256_zextps128_ps256(_mm_loadu_ps(sb_sample.data() + i));
        _mm_storeu_si128(
            reinterpret_cast<__m128i*>(quantized.data() + i),
            _mm256_castsi256_si128(_mm512_cvttpd_epi32(quantize_lanes_untruncated(x, k))));
    }
}

} // namespace sbc
#endif
