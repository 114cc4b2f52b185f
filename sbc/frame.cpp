// Frame syntax shared by both directions: see frame.h for the layout and the CRC.
#include "sbc/frame.h"

#include <algorithm>

namespace sbc {

namespace {

constexpr int32_t max_value_bits = 32;
constexpr std::array<int32_t, 4> frequencies = {16000, 32000, 44100, 48000};
constexpr int32_t max_bits_per_entry = 16;
constexpr int32_t max_bitpool_byte = 255;

// The fixed parameters of every mSBC frame.
FrameHeader msbc_header() {
    FrameHeader h;
    h.kind = FrameKind::msbc;
    h.sampling_frequency = MSBC_SAMPLING_FREQUENCY;
    h.frequency_index = 0;
    h.blocks = MSBC_BLOCKS;
    h.channel_mode = MONO;
    h.channels = 1;
    h.allocation_method = MSBC_ALLOCATION_METHOD;
    h.subbands = MSBC_SUBBANDS;
    h.bitpool = MSBC_BITPOOL;
    h.length = MSBC_FRAME_LENGTH;
    return h;
}

// Bits of the join flags and scale factors, which the CRC covers after bytes 1 and 2.
int32_t crc_stream_bits(const FrameHeader& h) {
    return (h.channel_mode == JOINT_STEREO ? h.subbands : 0) +
           SCALE_FACTOR_BITS * h.channels * h.subbands;
}

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
int frame_header_parse(std::span<const uint8_t> bytes, FrameHeader& header) {
    if (bytes.empty()) return HEADER_SHORT;
    if (bytes[0] != SYNCWORD && bytes[0] != MSBC_SYNCWORD) return HEADER_INVALID;
    if (bytes.size() < 3) return HEADER_SHORT;
    if (bytes[0] == MSBC_SYNCWORD) {
        if (bytes[1] != 0 || bytes[2] != 0) return HEADER_INVALID;
        header = msbc_header();
        return HEADER_OK;
    }
    FrameHeader h;
    const uint8_t b = bytes[1];
    h.frequency_index = b >> FREQUENCY_SHIFT;
    h.sampling_frequency = frequencies[static_cast<size_t>(h.frequency_index)];
    h.blocks = 4 * (((b >> BLOCKS_SHIFT) & 3) + 1);
    h.channel_mode = (b >> MODE_SHIFT) & 3;
    h.channels = h.channel_mode == MONO ? 1 : 2;
    h.allocation_method = (b & SNR_BIT) != 0 ? SNR : LOUDNESS;
    h.subbands = (b & EIGHT_SUBBANDS_BIT) != 0 ? 8 : 4;
    h.bitpool = bytes[2];
    const bool shared_pool = h.channel_mode == STEREO || h.channel_mode == JOINT_STEREO;
    const int32_t limit =
        std::min(max_bitpool_byte, max_bits_per_entry * h.subbands * (shared_pool ? 2 : 1));
    if (h.bitpool > limit) return HEADER_INVALID;
    const int32_t pools = shared_pool ? 1 : h.channels;
    h.length = frame_bytes(h.channel_mode, h.channels, h.subbands, h.blocks * pools * h.bitpool);
    header = h;
    return HEADER_OK;
}

int32_t frame_crc_span(const FrameHeader& header) {
    return HEADER_BYTES + (crc_stream_bits(header) + 7) / 8;
}

bool frame_crc_ok(std::span<const uint8_t> frame, const FrameHeader& header) {
    if (frame.size() < static_cast<size_t>(frame_crc_span(header))) return false;
    int32_t crc = crc_byte(crc_byte(CRC_INIT, frame[1]), frame[2]);
    const int32_t bits = crc_stream_bits(header);
    const auto whole = static_cast<size_t>(bits / 8);
    for (size_t i = 0; i < whole; ++i) crc = crc_byte(crc, frame[HEADER_BYTES + i]);
    if (const int32_t left = bits % 8; left > 0)
        crc_len08(static_cast<uint32_t>(frame[HEADER_BYTES + whole] >> (8 - left)), left, crc);
    return crc == frame[3];
}

int32_t h2_unit_write(std::span<const uint8_t> frame, uint64_t unit_index,
                      std::span<uint8_t> unit) {
    if (frame.size() != static_cast<size_t>(MSBC_FRAME_LENGTH) ||
        unit.size() < static_cast<size_t>(H2_UNIT_LENGTH))
        return -1;
    unit[0] = H2_SYNC_BYTE;
    unit[1] = H2_SEQUENCE[unit_index % H2_SEQUENCE.size()];
    std::copy(frame.begin(), frame.end(), unit.begin() + 2);
    unit[static_cast<size_t>(H2_UNIT_LENGTH) - 1] = 0x00; // padding
    return H2_UNIT_LENGTH;
}

} // namespace sbc
