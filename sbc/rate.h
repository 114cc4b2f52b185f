// From the user's terms to the encoder's: the bitpool that a bit rate gives, the interval of bit
// rates that give a usable bitpool, and 16-bit PCM from samples held as doubles. The programs and
// the C interface both call these, so they agree to the byte.
//
// Bitpool from the bit rate (32-bit integers, C division):
//   frame bytes = rate × subbands × blocks ÷ (frequency × 8),  frame bits = frame bytes × 8
//   fixed bits  = channels × subbands × 4 + 32
//   MONO, DUAL_CHANNEL:       (frame bits − fixed) ÷ (channels × blocks)
//   STEREO, JOINT_STEREO:     (frame bits − fixed − (subbands in JOINT_STEREO)) ÷ blocks
// The derived bitpool never falls as the rate rises, so the rates that give a bitpool in
// 0..encoder_max_bitpool() form one interval. The default rate, 375000 bit/s, asks for more than
// some frames carry (16000 Hz mono: bitpool 183 of at most 128); when no rate was asked for,
// such a frame takes the highest bitpool it allows instead.
//
// 16-bit PCM from a double:  value × scale ─► truncate toward zero ─► limit to −32768..32767
// (NaN gives 0). The scale is a power of two, so every product is exact.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace sbc {

// The frame shape a bitpool is derived for.
struct RateShape {
    int32_t sampling_frequency = 0; // Hz
    int32_t channels = 0;           // 1 or 2
    int32_t channel_mode = 0;       // as the encoder will use it (MONO for one channel)
    int32_t subbands = 0;           // > 0
    int32_t blocks = 0;             // > 0
};

// The bitpool for `bit_rate`, or nothing when a step would leave the 32-bit range (or the
// shape has a zero frequency, subband or block count). Not range-checked: compare it with
// encoder_max_bitpool().
std::optional<int32_t> bitpool_for_rate(const RateShape& shape, int32_t bit_rate);

// The bit rate used when none is asked for.
inline constexpr int32_t DEFAULT_BIT_RATE = 375000;

// The bitpool of the default bit rate, lowered to `max_bitpool` where it is higher (`lowered`
// says so); nothing where the derivation gives none.
struct DefaultBitpool {
    int32_t bitpool = 0;
    int32_t derived = 0; // what the default rate itself gives
    bool lowered = false;
};
std::optional<DefaultBitpool> default_bitpool(const RateShape& shape, int32_t max_bitpool);

// The lowest and highest bit rate whose bitpool lies in 0..max_bitpool, both searched with
// bitpool_for_rate itself; nothing when no rate does.
struct RateRange {
    int64_t lowest = 0;
    int64_t highest = 0;
};
std::optional<RateRange> rates_for_bitpools(const RateShape& shape, int32_t max_bitpool);

// pcm[i] = values[i] × scale, truncated and limited as above, for every value; pcm holds at
// least values.size() entries.
void to_pcm16(std::span<const double> values, double scale, std::span<int16_t> pcm);

} // namespace sbc
