// Frame packing and CRC.
//
// One SBC frame, every field most significant bit first, bytes filled from bit 7 down:
//
//   byte 0   0x9C                       sync word
//   byte 1   fs(2) blocks(2) mode(2) alloc(1) subbands(1)   = header_byte
//   byte 2   bitpool (low 8 bits)
//   byte 3   CRC-8 over byte 1, byte 2, join flags and scale factors
//   byte 4.. [join flag × subbands]     JOINT_STEREO only, last flag always 0
//            scale factor × 4 bits      channel 0 bands 0..M-1, then channel 1
//            samples                    for each block, channel, band: `bits` bits
//            0..7 zero bits             padding to a byte boundary
//
// CRC-8: generator x^8 + x^4 + x^3 + x^2 + 1 (0x1D), register starts at 0x0F, no reflection,
// no final inversion. Samples and padding are not covered.
//
// Invariant: pack_frame writes exactly the bytes [out_len, out_len + length) and nothing
// else; it checks that they fit before writing any.
#include "sbc/pack.h"

#include <algorithm>

namespace sbc {

namespace {

constexpr int32_t crc_init = 0x0F;
constexpr int32_t crc_poly = 0x1D;
constexpr int32_t scale_factor_bits = 4;
constexpr int32_t max_value_bits = 32;
constexpr int32_t max_sample_bits = 16;

bool bits_ok(const std::array<SubbandRow, MAX_CHANNELS>& bits, int32_t channels, int32_t subbands) {
    for (int32_t ch = 0; ch < channels; ++ch)
        for (int32_t sb = 0; sb < subbands; ++sb)
            if (bits[ch][sb] < 0 || bits[ch][sb] > max_sample_bits) return false;
    return true;
}

int32_t total_sample_bits(const std::array<SubbandRow, MAX_CHANNELS>& bits, int32_t channels,
                          int32_t subbands, int32_t blk_len) {
    int32_t per_block = 0;
    for (int32_t ch = 0; ch < channels; ++ch)
        for (int32_t sb = 0; sb < subbands; ++sb) per_block += bits[ch][sb];
    return per_block * blk_len;
}

void write_header(std::span<uint8_t> frame, uint8_t header_byte, int32_t bitpool) {
    frame[0] = SYNCWORD;
    frame[1] = header_byte;
    frame[2] = static_cast<uint8_t>(bitpool & 0xFF);
}

// Join flags and scale factors: the CRC-covered part of the bit stream.
int32_t write_side_info(std::span<uint8_t> frame, BitPosition& pos, const SubbandRow& join,
                        const std::array<SubbandRow, MAX_CHANNELS>& scale_factor,
                        uint8_t header_byte, int32_t bitpool, int32_t channels,
                        int32_t channel_mode, int32_t subbands) {
    int32_t crc = crc_init;
    crc_len08(header_byte, 8, crc);
    crc_len08(static_cast<uint32_t>(bitpool), 8, crc);
    if (channel_mode == JOINT_STEREO) {
        for (int32_t sb = 0; sb < subbands; ++sb) {
            const auto flag = static_cast<uint32_t>(join[sb]);
            put_bits(flag, frame, 1, pos);
            crc_len08(flag, 1, crc);
        }
    }
    for (int32_t ch = 0; ch < channels; ++ch) {
        for (int32_t sb = 0; sb < subbands; ++sb) {
            const auto sf = static_cast<uint32_t>(scale_factor[ch][sb]);
            put_bits(sf, frame, scale_factor_bits, pos);
            crc_len08(sf, scale_factor_bits, crc);
        }
    }
    return crc;
}

void write_samples(std::span<uint8_t> frame, BitPosition& pos,
                   const std::array<QuantizedRow, MAX_CHANNELS>& quantized,
                   const std::array<SubbandRow, MAX_CHANNELS>& bits, int32_t channels,
                   int32_t subbands, int32_t blk_len) {
    for (int32_t blk = 0; blk < blk_len; ++blk)
        for (int32_t ch = 0; ch < channels; ++ch)
            for (int32_t sb = 0; sb < subbands; ++sb)
                if (bits[ch][sb] > 0)
                    put_bits(static_cast<uint32_t>(quantized[ch][blk * subbands + sb]), frame,
                             bits[ch][sb], pos);
}

} // namespace

int32_t frame_bytes(int32_t channel_mode, int32_t channels, int32_t subbands, int32_t sample_bits) {
    const int32_t join_bits = channel_mode == JOINT_STEREO ? subbands : 0;
    const int32_t stream_bits = join_bits + scale_factor_bits * channels * subbands + sample_bits;
    return HEADER_BYTES + (stream_bits + 7) / 8;
}

void put_bits(uint32_t value, std::span<uint8_t> frame, int32_t count, BitPosition& pos) {
    for (int32_t i = std::min(count, max_value_bits) - 1; i >= 0; --i) {
        if (pos.byte_index < 0 || static_cast<size_t>(pos.byte_index) >= frame.size()) return;
        const auto bit = static_cast<uint8_t>((value >> i) & 1u);
        uint8_t& byte = frame[static_cast<size_t>(pos.byte_index)];
        if (pos.bit_index == 7)
            byte = static_cast<uint8_t>(bit << 7);
        else
            byte = static_cast<uint8_t>(byte + (bit << pos.bit_index));
        if (pos.bit_index == 0) {
            ++pos.byte_index;
            pos.bit_index = 7;
        } else {
            --pos.bit_index;
        }
    }
}

void crc_len08(uint32_t value, int32_t length, int32_t& crc) {
    for (int32_t i = std::min(length, max_value_bits) - 1; i >= 0; --i) {
        const int32_t feedback = static_cast<int32_t>((value >> i) & 1u) ^ ((crc >> 7) & 1);
        crc <<= 1;
        if (feedback != 0) crc ^= crc_poly;
        crc &= 0xFF; // only the low 8 bits carry meaning; masking each step keeps it bounded
    }
    crc &= 0xFF;
}

int32_t pack_frame(std::span<uint8_t> out, int32_t& out_len, const SubbandRow& join,
                   const std::array<SubbandRow, MAX_CHANNELS>& scale_factor,
                   const std::array<QuantizedRow, MAX_CHANNELS>& quantized, uint8_t header_byte,
                   int32_t bitpool, int32_t channels, int32_t channel_mode, int32_t subbands,
                   int32_t blk_len, const std::array<SubbandRow, MAX_CHANNELS>& bits) {
    if (channels < 1 || channels > MAX_CHANNELS || !frame_shape_ok(subbands, blk_len)) return -1;
    if (!bits_ok(bits, channels, subbands)) return -1;
    const int32_t length = frame_bytes(channel_mode, channels, subbands,
                                       total_sample_bits(bits, channels, subbands, blk_len));
    if (out_len < 0 || static_cast<size_t>(out_len) > out.size() ||
        out.size() - static_cast<size_t>(out_len) < static_cast<size_t>(length))
        return -1;
    const auto frame = out.subspan(static_cast<size_t>(out_len), static_cast<size_t>(length));
    write_header(frame, header_byte, bitpool);
    BitPosition pos;
    frame[3] = static_cast<uint8_t>(write_side_info(frame, pos, join, scale_factor, header_byte,
                                                    bitpool, channels, channel_mode, subbands));
    write_samples(frame, pos, quantized, bits, channels, subbands, blk_len);
    const int32_t written = pos.byte_index + (pos.bit_index != 7 ? 1 : 0);
    out_len += written;
    return written;
}

} // namespace sbc
