// Quantiser.
//
// With scale value S = 2^(scale factor + 1) >= max |x| of the band, and levels = 2^bits − 1:
//
//     q = trunc( (x / S + 1) × levels × 0.5 )        x = −S → 0,  x = 0 → 2^(bits−1) − 1,
//                                                    x = +S → levels
//
// Every step is a double operation on the widened float sample (divide, add 1, multiply by
// levels, multiply by 0.5), and the final conversion truncates toward zero: 5.625 becomes 5.
// The division by S is done as a multiplication by 1/S, a power of two: the same double.
// The scale-factor stage guarantees |x| <= S, so the result always lies in 0..levels
// (a caller breaking that gets saturated values, never an overflowing conversion).
// Where the processor has AVX-512 the same arithmetic runs in hand-written double lanes
// (quantize_avx512.cpp); packing can also quantise on its own way (pack_avx512.cpp).
#include "sbc/encode/quantize.h"

#include "sbc/encode/scale.h"
#include "sbc/widest.h"

#include <array>

namespace sbc {

namespace {

constexpr int32_t max_bits = 16;

bool band_params_ok(const SubbandRow& scale_factor, const SubbandRow& bits, int32_t subbands) {
    for (int32_t sb = 0; sb < subbands; ++sb) {
        if (scale_factor[sb] < 0 ||
            scale_factor[sb] >= static_cast<int32_t>(scale_factor_value.size()))
            return false;
        if (bits[sb] < 0 || bits[sb] > max_bits) return false;
    }
    return true;
}

// Truncation toward zero. A sample beyond its scale (which the scale-factor stage rules out)
// saturates instead of overflowing the conversion; written without branches so that the bands
// of a block share vector lanes.
SBC_INLINE int32_t truncate_to_level(double q, double levels) {
    q = q >= 0.0 ? q : 0.0; // NaN too
    q = q < levels ? q : levels;
    return static_cast<int32_t>(q);
}

// Division by the scale 2^(sf + 1) is multiplication by its exact reciprocal 2^-(sf + 1): the
// same double, since the product of a single-precision sample and a power of two is exact.
template <int32_t M>
SBC_INLINE void quantize_rows(const SampleRow& sb_sample, const SubbandRow& scale_factor,
                              QuantizedRow& quantized, const SubbandRow& bits, int32_t blk_len) {
    std::array<double, M> reciprocal{};
    std::array<double, M> levels{};
    for (int32_t sb = 0; sb < M; ++sb) {
        reciprocal[sb] = 1.0 / static_cast<double>(scale_factor_value[scale_factor[sb]]);
        levels[sb] = static_cast<double>((1u << bits[sb]) - 1u);
    }
    for (int32_t blk = 0; blk < blk_len; ++blk) {
        for (int32_t sb = 0; sb < M; ++sb) {
            const double x = sb_sample[blk * M + sb];
            const double q = ((x * reciprocal[sb]) + 1.0) * levels[sb] * 0.5;
            quantized[blk * M + sb] = truncate_to_level(q, levels[sb]);
        }
    }
}

SBC_WIDEST_VECTORS void quantize_rows(const SampleRow& sb_sample, const SubbandRow& scale_factor,
                                      QuantizedRow& quantized, const SubbandRow& bits,
                                      int32_t blk_len, int32_t subbands) {
    if (subbands == 8)
        quantize_rows<8>(sb_sample, scale_factor, quantized, bits, blk_len);
    else
        quantize_rows<4>(sb_sample, scale_factor, quantized, bits, blk_len);
}

void quantize_rows_on(QuantizePath path, const SampleRow& sb_sample, const SubbandRow& scale_factor,
                      QuantizedRow& quantized, const SubbandRow& bits, int32_t blk_len,
                      int32_t subbands) {
#if defined(__x86_64__) || defined(_M_X64)
    if (path == QuantizePath::avx512) {
        quantize_rows_avx512(sb_sample, scale_factor, quantized, bits, blk_len, subbands);
        return;
    }
#endif
    (void)path;
    quantize_rows(sb_sample, scale_factor, quantized, bits, blk_len, subbands);
}

QuantizePath widest_path() {
    static const QuantizePath widest =
        quantize_path_available(QuantizePath::avx512) ? QuantizePath::avx512 : QuantizePath::plain;
    return widest;
}

} // namespace

bool quantize_path_available(QuantizePath path) {
#if defined(__x86_64__) || defined(_M_X64)
    if (path == QuantizePath::avx512)
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
#endif
    return path == QuantizePath::plain;
}

void quantize_frame_on(QuantizePath path, FrameWorkspace& ws, const EncoderState& s) {
    for (int32_t c = 0; c < s.channels; ++c)
        quantize_rows_on(path, ws.sb_sample[c], ws.scale_factor[c], ws.quantized[c], ws.bits[c],
                         s.blk_len, s.subbands);
}

void quantize_frame(FrameWorkspace& ws, const EncoderState& s) {
    quantize_frame_on(widest_path(), ws, s);
}

int quantize_channel(const SampleRow& sb_sample, const SubbandRow& scale_factor,
                     QuantizedRow& quantized, const SubbandRow& bits, int32_t blk_len,
                     int32_t subbands) {
    if (!frame_shape_ok(subbands, blk_len) || !band_params_ok(scale_factor, bits, subbands))
        return -1;
    quantize_rows_on(widest_path(), sb_sample, scale_factor, quantized, bits, blk_len, subbands);
    return 0;
}

} // namespace sbc
