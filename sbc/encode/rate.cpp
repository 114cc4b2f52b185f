// Bitpool from a bit rate, its interval of workable rates, and 16-bit PCM from doubles
// (sbc/rate.h has the formulas).
#include "sbc/rate.h"

#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace sbc {

namespace {

bool fits(int64_t v) {
    return v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max();
}

// The first rate in lo..hi at which `reached` holds, for a test that, once it holds, holds for
// every higher rate; hi + 1 when it never holds.
template <typename Test> int64_t first_rate(int64_t lo, int64_t hi, Test reached) {
    while (lo <= hi) {
        const int64_t mid = lo + (hi - lo) / 2;
        if (reached(mid)) {
            hi = mid - 1;
        } else {
            lo = mid + 1;
        }
    }
    return lo;
}

// Written as selections rather than branches, so that a frame's values convert side by side.
int16_t saturate(double value) {
    value = value == value ? value : 0.0;
    value = value < 32767.0 ? value : 32767.0;
    value = value > -32768.0 ? value : -32768.0;
    return static_cast<int16_t>(static_cast<int32_t>(value));
}

} // namespace

std::optional<int32_t> bitpool_for_rate(const RateShape& s, int32_t bit_rate) {
    if (s.subbands == 0 || s.blocks == 0 || s.channels == 0) return std::nullopt;
    const int64_t product = int64_t{bit_rate} * s.subbands * s.blocks;
    const int64_t divisor = int64_t{s.sampling_frequency} * 8;
    if (!fits(product) || !fits(divisor) || divisor == 0) return std::nullopt;
    const int64_t frame_bits = product / divisor * 8;
    const int64_t fixed_bits = int64_t{s.channels} * s.subbands * 4 + 32;
    int64_t bitpool = 0;
    if (s.channel_mode == 0 || s.channel_mode == 1) { // MONO, DUAL_CHANNEL
        bitpool = (frame_bits - fixed_bits) / (int64_t{s.channels} * s.blocks);
    } else {
        const int64_t join_bits = s.channel_mode == 3 ? s.subbands : 0; // JOINT_STEREO
        bitpool = (frame_bits - fixed_bits - join_bits) / s.blocks;
    }
    if (!fits(frame_bits) || !fits(fixed_bits) || !fits(bitpool)) return std::nullopt;
    return static_cast<int32_t>(bitpool);
}

std::optional<DefaultBitpool> default_bitpool(const RateShape& s, int32_t max_bitpool) {
    const auto derived = bitpool_for_rate(s, DEFAULT_BIT_RATE);
    if (!derived) return std::nullopt;
    const bool lowered = *derived > max_bitpool;
    return DefaultBitpool{lowered ? max_bitpool : *derived, *derived, lowered};
}

std::optional<RateRange> rates_for_bitpools(const RateShape& s, int32_t max_bitpool) {
    if (s.subbands <= 0 || s.blocks <= 0) return std::nullopt;
    const auto bitpool_at = [&](int64_t rate) {
        return bitpool_for_rate(s, static_cast<int32_t>(rate));
    };
    // Beyond this rate the derivation leaves the 32-bit range; at and below 0 nothing is left
    // for the samples.
    const int64_t top = std::numeric_limits<int32_t>::max() / (int64_t{s.subbands} * s.blocks);
    const auto reaches_zero = [&](int64_t rate) {
        const auto b = bitpool_at(rate);
        return !b || *b >= 0;
    };
    const auto passes_max = [&](int64_t rate) {
        const auto b = bitpool_at(rate);
        return !b || *b > max_bitpool;
    };
    const int64_t lowest = first_rate(0, top, reaches_zero);
    const int64_t highest = first_rate(0, top, passes_max) - 1;
    const auto low_bitpool = bitpool_at(lowest), high_bitpool = bitpool_at(highest);
    if (lowest > highest || !low_bitpool || !high_bitpool || *low_bitpool < 0 ||
        *high_bitpool > max_bitpool)
        return std::nullopt;
    return RateRange{lowest, highest};
}

void to_pcm16(std::span<const double> values, double scale, std::span<int16_t> pcm) {
    const size_t n = values.size();
    size_t i = 0;
#if defined(__SSE2__)
    // Four values at a time, as saturate(): NaN masked to 0, then minpd(v, 32767) is
    // "v < 32767 ? v : 32767" and maxpd(v, −32768) "v > −32768 ? v : −32768"; the truncated
    // integers are then in range, so the saturating pack changes nothing.
    const __m128d factor = _mm_set1_pd(scale);
    const __m128d high = _mm_set1_pd(32767.0);
    const __m128d low = _mm_set1_pd(-32768.0);
    const auto to_int32 = [&](const double* at) {
        __m128d v = _mm_mul_pd(_mm_loadu_pd(at), factor);
        v = _mm_and_pd(v, _mm_cmpord_pd(v, v));
        return _mm_cvttpd_epi32(_mm_max_pd(_mm_min_pd(v, high), low));
    };
    for (; i + 4 <= n; i += 4) {
        const __m128i four = _mm_unpacklo_epi64(to_int32(&values[i]), to_int32(&values[i + 2]));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(&pcm[i]), _mm_packs_epi32(four, four));
    }
#endif
    for (; i < n; ++i) pcm[i] = saturate(values[i] * scale);
}

} // namespace sbc
