// Scale factors and joint stereo: bound the band samples, find each band's 4-bit exponent,
// and in JOINT_STEREO decide band by band between left/right and mid/side. See scale.cpp.
#pragma once

#include "sbc/sbc.h"

#include <array>
#include <cstdint>

namespace sbc {

// The scale of scale factor j is 2^(j + 1): 2, 4, ... 65536. Quantisation divides by it.
inline constexpr std::array<float, 16> scale_factor_value = {
    2.0f,   4.0f,    8.0f,    16.0f,   32.0f,   64.0f,    128.0f,   256.0f,
    512.0f, 1024.0f, 2048.0f, 4096.0f, 8192.0f, 16384.0f, 32768.0f, 65536.0f};

// Band samples are clamped to ±SAMPLE_BOUND, the largest scale.
inline constexpr float SAMPLE_BOUND = 65536.0f;

// The whole step for a frame of the configured encoder `s`: in JOINT_STEREO mid/side, all four
// scale-factor passes and the joint decision; otherwise the scale factors of each channel.
// Trusts `s` (encoder_encode_frame checks it) and the samples, which come from the filter bank
// (finite, below 2^126 in magnitude); the functions below check their shapes.
void scale_and_join(FrameWorkspace& ws, const EncoderState& s);

// The ways of doing that step: the plain functions below one after the other, or one pass in
// AVX2 or AVX-512 lanes. All give the same bits; scale_and_join takes the widest the
// processor has.
enum class ScalePath : int32_t { plain, avx2, avx512 };
bool scale_path_available(ScalePath path);

// scale_and_join on a given path, which must be available.
void scale_and_join_on(ScalePath path, FrameWorkspace& ws, const EncoderState& s);

// Clamps one channel's samples (blk_len × subbands, block-major) to ±SAMPLE_BOUND in place and
// writes its `subbands` scale factors: the smallest j with max |sample| <= 2^(j + 1).
// Returns 0, or -1 (nothing touched) for a shape that frame_shape_ok refuses.
int calc_scale_factors(SampleRow& samples, SubbandRow& scale_factor, int32_t subbands,
                       int32_t blk_len);

// Mid/side of both channels: sb_sample_ms[0] = (L + R) × 0.5, sb_sample_ms[1] = (L − R) × 0.5.
// Returns 0, or -1 (nothing touched) for a refused shape.
int joint_transform(const std::array<SampleRow, MAX_CHANNELS>& sb_sample,
                    std::array<SampleRow, MAX_CHANNELS>& sb_sample_ms, int32_t subbands,
                    int32_t blk_len);

// For every band but the last: when the left + right scale factors exceed mid + side, the
// band is joined (join = 1) and its scale factors and samples are replaced by the mid/side
// ones; otherwise join = 0. join[subbands - 1] is always 0.
// Returns 0, or -1 (nothing touched) for a refused shape.
int joint_decision(std::array<SampleRow, MAX_CHANNELS>& sb_sample,
                   const std::array<SampleRow, MAX_CHANNELS>& sb_sample_ms,
                   std::array<SubbandRow, MAX_CHANNELS>& scale_factor,
                   const std::array<SubbandRow, MAX_CHANNELS>& scale_factor_ms, SubbandRow& join,
                   int32_t subbands, int32_t blk_len);

} // namespace sbc
