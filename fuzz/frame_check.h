// An independent reading of the SBC frame syntax, for the fuzz targets: they check every frame
// the encoder makes against it rather than against the encoder's own arithmetic.
//
//   byte 0  0x9C                  byte 2  bitpool
//   byte 1  ff bb mm a s          byte 3  CRC-8 over bytes 1-2 and the join + scale-factor bits
//           (frequency, blocks/4 - 1, channel mode, SNR, 8 subbands)
//
// Frame length = 4 + 4 × subbands × channels / 8
//                + ⌈blocks × channels × bitpool / 8⌉               MONO, DUAL_CHANNEL
//                + ⌈(join bits + blocks × bitpool) / 8⌉            STEREO, JOINT_STEREO
//
// mSBC frames start 0xAD 0x00 0x00 and have fixed parameters: MONO, 8 subbands, 15 blocks,
// bitpool 26, so 4 + 4 + ⌈390 / 8⌉ = 57 bytes; the CRC covers the two zero bytes as they stand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace fuzzcheck {

struct FrameShape {
    int blocks = 0;
    int channel_mode = 0;
    int channels = 0;
    int subbands = 0;
    int bitpool = 0;
};

inline FrameShape shape_of(std::span<const std::uint8_t> frame) {
    if (frame[0] == 0xAD) return {15, 0, 1, 8, 26};
    FrameShape s;
    s.blocks = 4 * (((frame[1] >> 4) & 3) + 1);
    s.channel_mode = (frame[1] >> 2) & 3;
    s.channels = s.channel_mode == 0 ? 1 : 2;
    s.subbands = (frame[1] & 1) ? 8 : 4;
    s.bitpool = frame[2];
    return s;
}

inline std::size_t frame_length(const FrameShape& s) {
    const int join_bits = s.channel_mode == 3 ? s.subbands : 0;
    const int sample_bits =
        s.channel_mode <= 1 ? s.blocks * s.channels * s.bitpool : join_bits + s.blocks * s.bitpool;
    return static_cast<std::size_t>(4 + 4 * s.subbands * s.channels / 8 + (sample_bits + 7) / 8);
}

// CRC-8, polynomial x^8 + x^4 + x^3 + x^2 + 1, register starting at 0x0F, one bit at a time.
inline std::uint8_t frame_crc(std::span<const std::uint8_t> frame, const FrameShape& s) {
    unsigned crc = 0x0F;
    const auto feed = [&crc](unsigned bit) {
        const unsigned top = ((crc >> 7) ^ bit) & 1;
        crc = ((crc << 1) & 0xFF) ^ (top ? 0x1D : 0);
    };
    for (int byte = 1; byte <= 2; ++byte)
        for (int b = 7; b >= 0; --b) feed((frame[static_cast<std::size_t>(byte)] >> b) & 1);
    const int bits = (s.channel_mode == 3 ? s.subbands : 0) + 4 * s.subbands * s.channels;
    for (int i = 0; i < bits; ++i)
        feed((frame[static_cast<std::size_t>(4 + i / 8)] >> (7 - i % 8)) & 1);
    return static_cast<std::uint8_t>(crc);
}

// True when `stream` is nothing but whole frames that all share the first frame's header, each
// of the length its header gives and with a correct CRC. An empty stream is whole.
inline bool whole_frames(std::span<const std::uint8_t> stream) {
    if (stream.empty()) return true;
    if (stream.size() < 4 || (stream[0] != 0x9C && stream[0] != 0xAD)) return false;
    if (stream[0] == 0xAD && (stream[1] != 0 || stream[2] != 0)) return false;
    const FrameShape s = shape_of(stream);
    const std::size_t length = frame_length(s);
    if (stream.size() % length != 0) return false;
    for (std::size_t at = 0; at < stream.size(); at += length) {
        const auto frame = stream.subspan(at, length);
        if (frame[0] != stream[0] || frame[1] != stream[1] || frame[2] != stream[2]) return false;
        if (frame[3] != frame_crc(frame, s)) return false;
    }
    return true;
}

} // namespace fuzzcheck
