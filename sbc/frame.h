// Frame syntax that both directions share: the header's fields, the frame's length, and the
// CRC-8 that guards the header and scale factors. See frame.cpp; frame_header_parse and
// frame_crc_ok (sbc.h) read a frame back.
//
//   byte 0   0x9C                       sync word
//   byte 1   fs(2) blocks(2) mode(2) alloc(1) subbands(1)
//   byte 2   bitpool
//   byte 3   CRC-8 over byte 1, byte 2, the join flags and the scale factors (exactly their bits)
//   byte 4.. [join flag × subbands]     JOINT_STEREO only
//            scale factor × 4 bits      channel 0 bands 0..M-1, then channel 1
//            samples                    for each block, channel, band: `bits` bits
//            0..7 zero bits             padding to a byte boundary
//
// mSBC: byte 0 is 0xAD, bytes 1 and 2 are zero (the CRC covers them as they stand), and the
// parameters are fixed (sbc.h: MSBC_*), so no join flags; 8 scale factors, 15 blocks.
// On a voice link it travels in a 60-byte H2 unit (h2_unit_write in sbc.h):
//
//   0x01  sequence byte  57-byte mSBC frame  0x00
//         (0x08, 0x38, 0xC8, 0xF8 for units 0, 1, 2, 3, 4, ...: the 2-bit number, each bit twice)
//
// CRC-8: generator x^8 + x^4 + x^3 + x^2 + 1 (0x1D), register starts at 0x0F, most significant
// bit first, no reflection, no final inversion. Samples and padding are not covered.
#pragma once

#include "sbc/sbc.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace sbc {

inline constexpr uint8_t SYNCWORD = 0x9C;
inline constexpr uint8_t MSBC_SYNCWORD = 0xAD; // then two zero bytes; every parameter is fixed
inline constexpr int32_t HEADER_BYTES = 4;
inline constexpr int32_t SCALE_FACTOR_BITS = 4;

// Fields of header byte 1.
inline constexpr int32_t FREQUENCY_SHIFT = 6; // 2 bits: 0..3 = 16000, 32000, 44100, 48000 Hz
inline constexpr int32_t BLOCKS_SHIFT = 4;    // 2 bits: 0..3 = 4, 8, 12, 16 blocks
inline constexpr int32_t MODE_SHIFT = 2;      // 2 bits: the channel mode
inline constexpr uint8_t SNR_BIT = 0x02;      // set: SNR, clear: LOUDNESS
inline constexpr uint8_t EIGHT_SUBBANDS_BIT = 0x01;

// Bytes of a frame whose sample bits total `sample_bits`: header, join flags (JOINT_STEREO),
// 4-bit scale factors, samples, padded to a whole byte.
int32_t frame_bytes(int32_t channel_mode, int32_t channels, int32_t subbands, int32_t sample_bits);

// Feeds the low `length` bits of `value` (at most 32), most significant first, into the CRC-8
// register `crc` (polynomial x^8 + x^4 + x^3 + x^2 + 1), then keeps its low 8 bits.
void crc_len08(uint32_t value, int32_t length, int32_t& crc);

// The CRC-8 register's start, the generator, and the register after 8 bits fed from value i, for
// a byte at a time.
inline constexpr int32_t CRC_INIT = 0x0F;
inline constexpr int32_t CRC_POLY = 0x1D;
inline constexpr std::array<uint8_t, 256> CRC_TABLE = [] {
    std::array<uint8_t, 256> t{};
    for (int32_t i = 0; i < 256; ++i) {
        int32_t crc = i;
        for (int32_t bit = 0; bit < 8; ++bit)
            crc = ((crc << 1) ^ ((crc & 0x80) ? CRC_POLY : 0)) & 0xFF;
        t[static_cast<size_t>(i)] = static_cast<uint8_t>(crc);
    }
    return t;
}();

inline int32_t crc_byte(int32_t crc, uint32_t byte) {
    return CRC_TABLE[static_cast<size_t>((static_cast<uint32_t>(crc) ^ byte) & 0xFF)];
}

// The register is linear in its start and in the bytes fed, so n bytes b0 .. b(n-1) from
// register r give  CRC_AFTER[n-1][r ^ b0] ^ CRC_AFTER[n-2][b1] ^ ... ^ CRC_AFTER[0][b(n-1)],
// lookups that do not wait for one another. CRC_AFTER[k][x]: the register after byte x and k
// zero bytes, from register 0 (CRC_AFTER[0] is CRC_TABLE). Enough for the bytes 1..2 and the
// join flags and scale factors of any frame (up to 9 bytes).
inline constexpr int32_t CRC_SPAN = 11;
inline constexpr std::array<std::array<uint8_t, 256>, CRC_SPAN> CRC_AFTER = [] {
    std::array<std::array<uint8_t, 256>, CRC_SPAN> t{};
    t[0] = CRC_TABLE;
    for (size_t k = 1; k < t.size(); ++k)
        for (size_t i = 0; i < 256; ++i) t[k][i] = CRC_TABLE[t[k - 1][i]];
    return t;
}();

} // namespace sbc
