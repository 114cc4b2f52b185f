// Quantiser.
//
// With scale value S = 2^(scale factor + 1) >= max |x| of the band, and levels = 2^bits − 1:
//
//     q = trunc( (x / S + 1) × levels × 0.5 )        x = −S → 0,  x = 0 → 2^(bits−1) − 1,
//                                                    x = +S → levels
//
// Every step is a double operation on the widened float sample (divide, add 1, multiply by
// levels, multiply by 0.5), and the final conversion truncates toward zero: 5.625 becomes 5.
// The scale-factor stage guarantees |x| <= S, so the result always lies in 0..levels
// (a caller breaking that gets saturated values, never an overflowing conversion).
#include "sbc/quantize.h"

#include "sbc/scale.h"

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
// saturates instead of overflowing the conversion.
int32_t truncate_to_level(double q, int32_t levels) {
    if (!(q >= 0.0)) return 0;
    if (q >= static_cast<double>(levels)) return levels;
    return static_cast<int32_t>(q);
}

} // namespace

int quantize_channel(const SampleRow& sb_sample, const SubbandRow& scale_factor,
                     QuantizedRow& quantized, const SubbandRow& bits, int32_t blk_len,
                     int32_t subbands) {
    if (!frame_shape_ok(subbands, blk_len) || !band_params_ok(scale_factor, bits, subbands))
        return -1;
    std::array<float, MAX_SUBBANDS> scale{};
    std::array<int32_t, MAX_SUBBANDS> levels{};
    for (int32_t sb = 0; sb < subbands; ++sb) {
        scale[sb] = scale_factor_value[scale_factor[sb]];
        levels[sb] = static_cast<int32_t>((1u << bits[sb]) - 1u);
    }
    for (int32_t blk = 0; blk < blk_len; ++blk) {
        for (int32_t sb = 0; sb < subbands; ++sb) {
            const int32_t i = blk * subbands + sb;
            const double x = sb_sample[i];
            const double q = ((x / static_cast<double>(scale[sb])) + 1.0) * levels[sb] * 0.5;
            quantized[i] = truncate_to_level(q, levels[sb]);
        }
    }
    return 0;
}

} // namespace sbc
