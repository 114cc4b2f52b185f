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
//
// The functions here are the plain path, in the order above; scale_avx512.cpp and
// scale_avx2.cpp do the whole step in one pass over the frame, and scale_and_join takes the
// widest the processor allows.
#include "sbc/encode/scale.h"

#include "sbc/encode/scale_simd.h"
#include "sbc/widest.h"

#include <algorithm>
#include <bit>
#include <cmath>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace sbc {

namespace {

// j = ⌈log2 m⌉ − 1, at least 0, at most 15: the exponent of m, less one when m is a power of two.
// Same as the linear search "smallest j with m <= 2^(j + 1)" for every m in 0..65536 (m is
// never NaN: a NaN sample never wins the maximum).
[[maybe_unused]] int32_t smallest_fitting_scale(float max_magnitude) {
    if (max_magnitude <= scale_factor_value[0]) return 0;
    const auto bits = std::bit_cast<uint32_t>(max_magnitude);
    const auto exponent = static_cast<int32_t>(bits >> 23) - 127; // m in [2^e, 2^(e + 1))
    const int32_t j = (bits & 0x7FFFFFu) == 0 ? exponent - 1 : exponent;
    return std::min(j, static_cast<int32_t>(scale_factor_value.size()) - 1);
}

// The clamp changes a magnitude only above the bound, so the largest clamped magnitude is the
// smaller of the bound and the largest raw one: one pass finds the maxima, and the samples are
// clamped (a second pass) only in the rare frame where some band exceeds the bound.
//   clamp(x) = "B < x ? B : x", then "−B > x ? −B : x" (a NaN stays NaN)
//   maximum  = "|x| > m ? |x| : m"                        (a NaN never wins)
float clamp_sample(float x) {
    x = SAMPLE_BOUND < x ? SAMPLE_BOUND : x;
    return -SAMPLE_BOUND > x ? -SAMPLE_BOUND : x;
}

#if defined(__SSE2__)
// Four bands per SSE2 instruction: maxps(a, m) is exactly "a > m ? a : m". The scale factors
// follow from the maxima's bits as smallest_fitting_scale does: the exponent, less one for a
// power of two, 0 up to 2.0 (every maximum here is at most the bound, so 15 is the ceiling).
template <int32_t M>
void scale_factors_of(SampleRow& samples, SubbandRow& scale_factor, int32_t blk_len) {
    constexpr int32_t lanes = 4;
    const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
    __m128 largest[M / lanes]; // NOLINT: one vector register per group of four bands
    for (auto& v : largest) v = _mm_setzero_ps();
    for (int32_t b = 0; b < blk_len; ++b)
        for (int32_t v = 0; v < M / lanes; ++v)
            largest[v] = _mm_max_ps(
                _mm_and_ps(_mm_loadu_ps(&samples[b * M + v * lanes]), magnitude), largest[v]);
    const __m128 bound = _mm_set1_ps(SAMPLE_BOUND);
    const __m128 smallest_scale = _mm_set1_ps(scale_factor_value[0]);
    const __m128i mantissa = _mm_set1_epi32(0x7FFFFF);
    int clamp = 0;
    for (int32_t v = 0; v < M / lanes; ++v) {
        clamp |= _mm_movemask_ps(_mm_cmpgt_ps(largest[v], bound));
        const __m128 m = _mm_min_ps(largest[v], bound);
        const __m128i bits = _mm_castps_si128(m);
        const __m128i exponent = _mm_sub_epi32(_mm_srli_epi32(bits, 23), _mm_set1_epi32(127));
        const __m128i power_of_two =
            _mm_cmpeq_epi32(_mm_and_si128(bits, mantissa), _mm_setzero_si128());
        const __m128i j = _mm_add_epi32(exponent, power_of_two); // −1 where a power of two
        const __m128i fits_first = _mm_castps_si128(_mm_cmple_ps(m, smallest_scale));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(&scale_factor[v * lanes]),
                         _mm_andnot_si128(fits_first, j));
    }
    if (clamp != 0)
        for (int32_t i = 0; i < M * blk_len; ++i) samples[i] = clamp_sample(samples[i]);
}
#else
template <int32_t M>
void scale_factors_of(SampleRow& samples, SubbandRow& scale_factor, int32_t blk_len) {
    std::array<float, M> largest{};
    for (int32_t b = 0; b < blk_len; ++b) {
        for (int32_t s = 0; s < M; ++s) {
            const float magnitude = std::fabs(samples[b * M + s]);
            largest[s] = magnitude > largest[s] ? magnitude : largest[s];
        }
    }
    bool clamp = false;
    for (int32_t s = 0; s < M; ++s) {
        clamp = clamp || largest[s] > SAMPLE_BOUND;
        scale_factor[s] = smallest_fitting_scale(std::min(largest[s], SAMPLE_BOUND));
    }
    if (clamp)
        for (int32_t i = 0; i < M * blk_len; ++i) samples[i] = clamp_sample(samples[i]);
}
#endif

void scale_factors_of(SampleRow& samples, SubbandRow& scale_factor, int32_t subbands,
                      int32_t blk_len) {
    if (subbands == 8)
        scale_factors_of<8>(samples, scale_factor, blk_len);
    else
        scale_factors_of<4>(samples, scale_factor, blk_len);
}

// Four samples per step (count is a multiple of 4), so the loop vectorises at -O2 too.
SBC_WIDEST_VECTORS void mid_side_of(const std::array<SampleRow, MAX_CHANNELS>& sb_sample,
                                    std::array<SampleRow, MAX_CHANNELS>& sb_sample_ms,
                                    int32_t count) {
    constexpr int32_t step = 4;
    for (int32_t i0 = 0; i0 < count; i0 += step) {
        for (int32_t i = i0; i < i0 + step; ++i) {
            const double left = sb_sample[0][i];
            const double right = sb_sample[1][i];
            sb_sample_ms[0][i] = static_cast<float>((left + right) * 0.5);
            sb_sample_ms[1][i] = static_cast<float>((left - right) * 0.5);
        }
    }
}

void decide_joins(std::array<SampleRow, MAX_CHANNELS>& sb_sample,
                  const std::array<SampleRow, MAX_CHANNELS>& sb_sample_ms,
                  std::array<SubbandRow, MAX_CHANNELS>& scale_factor,
                  const std::array<SubbandRow, MAX_CHANNELS>& scale_factor_ms, SubbandRow& join,
                  int32_t subbands, int32_t blk_len) {
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
}

void scale_and_join_plain(FrameWorkspace& ws, const EncoderState& s) {
    if (s.channel_mode == JOINT_STEREO) {
        mid_side_of(ws.sb_sample, ws.sb_sample_ms, s.subbands * s.blk_len);
        for (int32_t c = 0; c < s.channels; ++c) {
            scale_factors_of(ws.sb_sample[c], ws.scale_factor[c], s.subbands, s.blk_len);
            scale_factors_of(ws.sb_sample_ms[c], ws.scale_factor_ms[c], s.subbands, s.blk_len);
        }
        decide_joins(ws.sb_sample, ws.sb_sample_ms, ws.scale_factor, ws.scale_factor_ms, ws.join,
                     s.subbands, s.blk_len);
        return;
    }
    for (int32_t c = 0; c < s.channels; ++c)
        scale_factors_of(ws.sb_sample[c], ws.scale_factor[c], s.subbands, s.blk_len);
}

} // namespace

bool scale_path_available(ScalePath path) {
#if defined(__x86_64__) || defined(_M_X64)
    if (path == ScalePath::avx512)
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
    if (path == ScalePath::avx2) return __builtin_cpu_supports("avx2");
#endif
    return path == ScalePath::plain;
}

void scale_and_join(FrameWorkspace& ws, const EncoderState& s) {
    static const ScalePath widest = scale_path_available(ScalePath::avx512) ? ScalePath::avx512
                                    : scale_path_available(ScalePath::avx2) ? ScalePath::avx2
                                                                            : ScalePath::plain;
    scale_and_join_on(widest, ws, s);
}

void scale_and_join_on([[maybe_unused]] ScalePath path, FrameWorkspace& ws, const EncoderState& s) {
#if defined(__x86_64__) || defined(_M_X64)
    if (path == ScalePath::avx512 || path == ScalePath::avx2) {
        const bool wide = path == ScalePath::avx512;
        const int32_t count = s.subbands * s.blk_len;
        if (s.channel_mode == JOINT_STEREO) {
            (wide ? scale_joint_avx512 : scale_joint_avx2)(ws, s.subbands, count);
            return;
        }
        const auto channel = wide ? scale_channel_avx512 : scale_channel_avx2;
        for (int32_t c = 0; c < s.channels; ++c)
            channel(ws.sb_sample[c], ws.scale_factor[c], s.subbands, count);
        return;
    }
#endif
    scale_and_join_plain(ws, s);
}

int calc_scale_factors(SampleRow& samples, SubbandRow& scale_factor, int32_t subbands,
                       int32_t blk_len) {
    if (!frame_shape_ok(subbands, blk_len)) return -1;
    scale_factors_of(samples, scale_factor, subbands, blk_len);
    return 0;
}

int joint_transform(const std::array<SampleRow, MAX_CHANNELS>& sb_sample,
                    std::array<SampleRow, MAX_CHANNELS>& sb_sample_ms, int32_t subbands,
                    int32_t blk_len) {
    if (!frame_shape_ok(subbands, blk_len)) return -1;
    mid_side_of(sb_sample, sb_sample_ms, subbands * blk_len);
    return 0;
}

int joint_decision(std::array<SampleRow, MAX_CHANNELS>& sb_sample,
                   const std::array<SampleRow, MAX_CHANNELS>& sb_sample_ms,
                   std::array<SubbandRow, MAX_CHANNELS>& scale_factor,
                   const std::array<SubbandRow, MAX_CHANNELS>& scale_factor_ms, SubbandRow& join,
                   int32_t subbands, int32_t blk_len) {
    if (!frame_shape_ok(subbands, blk_len)) return -1;
    decide_joins(sb_sample, sb_sample_ms, scale_factor, scale_factor_ms, join, subbands, blk_len);
    return 0;
}

} // namespace sbc
