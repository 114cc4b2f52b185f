// Scale factors and joint stereo.
//
// Scale factor of one band in one frame: the smallest j in 0..15 with
//
//     max over the frame's blocks |x| <= 2^(j + 1)          (single-precision compare)
//
// after every sample has been clamped to ±65536 = 2^16, so j = 15 always fits. The clamp is
// kept: quantisation sees the clamped values, which the scale always covers.
//
// Joint stereo works on mid = (L + R) / 2 and side = (L − R) / 2, formed from the unclamped
// left/right samples and then clamped by their own scale-factor pass. A band is sent as
// mid/side when that costs fewer scale-factor steps:
//
//     sf[L] + sf[R]  >  sf[mid] + sf[side]   →  joined (ties stay left/right)
//
// The highest band is never joined (the frame has no flag for it; its bit is sent as 0).
#include "sbc/scale.h"

#include <algorithm>
#include <cmath>

namespace sbc {

namespace {

int32_t smallest_fitting_scale(float max_magnitude) {
    int32_t j = 0;
    while (j < static_cast<int32_t>(scale_factor_value.size()) - 1 &&
           max_magnitude > scale_factor_value[j])
        ++j;
    return j;
}

float clamp_sample(float x) {
    if (x > SAMPLE_BOUND) return SAMPLE_BOUND;
    if (x < -SAMPLE_BOUND) return -SAMPLE_BOUND;
    return x;
}

} // namespace

int calc_scale_factors(SampleRow& samples, SubbandRow& scale_factor, int32_t subbands,
                       int32_t blk_len) {
    if (!frame_shape_ok(subbands, blk_len)) return -1;
    for (int32_t s = 0; s < subbands; ++s) {
        float max_magnitude = 0.0f;
        for (int32_t b = 0; b < blk_len; ++b) {
            float& x = samples[b * subbands + s];
            x = clamp_sample(x);
            max_magnitude = std::max(max_magnitude, std::fabs(x));
        }
        scale_factor[s] = smallest_fitting_scale(max_magnitude);
    }
    return 0;
}

int joint_transform(const std::array<SampleRow, MAX_CHANNELS>& sb_sample,
                    std::array<SampleRow, MAX_CHANNELS>& sb_sample_ms, int32_t subbands,
                    int32_t blk_len) {
    if (!frame_shape_ok(subbands, blk_len)) return -1;
    for (int32_t i = 0; i < subbands * blk_len; ++i) {
        const double left = sb_sample[0][i];
        const double right = sb_sample[1][i];
        sb_sample_ms[0][i] = static_cast<float>((left + right) * 0.5);
        sb_sample_ms[1][i] = static_cast<float>((left - right) * 0.5);
    }
    return 0;
}

int joint_decision(std::array<SampleRow, MAX_CHANNELS>& sb_sample,
                   const std::array<SampleRow, MAX_CHANNELS>& sb_sample_ms,
                   std::array<SubbandRow, MAX_CHANNELS>& scale_factor,
                   const std::array<SubbandRow, MAX_CHANNELS>& scale_factor_ms, SubbandRow& join,
                   int32_t subbands, int32_t blk_len) {
    if (!frame_shape_ok(subbands, blk_len)) return -1;
    for (int32_t s = 0; s < subbands - 1; ++s) {
        const int32_t lr_cost = scale_factor[0][s] + scale_factor[1][s];
        const int32_t ms_cost = scale_factor_ms[0][s] + scale_factor_ms[1][s];
        join[s] = lr_cost > ms_cost ? 1 : 0;
        if (join[s] == 0) continue;
        for (int32_t ch = 0; ch < MAX_CHANNELS; ++ch) {
            scale_factor[ch][s] = scale_factor_ms[ch][s];
            for (int32_t b = 0; b < blk_len; ++b)
                sb_sample[ch][b * subbands + s] = sb_sample_ms[ch][b * subbands + s];
        }
    }
    join[subbands - 1] = 0;
    return 0;
}

} // namespace sbc
