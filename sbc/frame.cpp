// Frame syntax shared by both directions: see frame.h for the layout and the CRC.
#include "sbc/frame.h"

#include <algorithm>

namespace sbc {

namespace {

constexpr int32_t max_value_bits = 32;

} // namespace

int32_t frame_bytes(int32_t channel_mode, int32_t channels, int32_t subbands, int32_t sample_bits) {
    const int32_t join_bits = channel_mode == JOINT_STEREO ? subbands : 0;
    const int32_t stream_bits = join_bits + SCALE_FACTOR_BITS * channels * subbands + sample_bits;
    return HEADER_BYTES + (stream_bits + 7) / 8;
}

void crc_len08(uint32_t value, int32_t length, int32_t& crc) {
    for (int32_t i = std::min(length, max_value_bits) - 1; i >= 0; --i) {
        const int32_t feedback = static_cast<int32_t>((value >> i) & 1u) ^ ((crc >> 7) & 1);
        crc <<= 1;
        if (feedback != 0) crc ^= CRC_POLY;
        crc &= 0xFF; // only the low 8 bits carry meaning; masking each step keeps it bounded
    }
    crc &= 0xFF;
}

} // namespace sbc
