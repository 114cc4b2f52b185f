// Test support: streams of frames to read back, built from readable parts.
//
//   sbc_frames({44100, 2, sbc::JOINT_STEREO, 8, 16, 53}, 20)  20 frames of a two-tone signal,
//                                                             from the encoder library
//   msbc_frames(20, seed)       20 mSBC frames: random scale factors and samples, CRC set
//   h2_units(frames)            each frame in its 60-byte H2 unit, sequence numbers 0, 1, 2, 3, 0..
//   any_frame(rng)              a frame of random parameters and contents with a correct CRC: a
//                               false sync, when it sits in garbage
//   joined(frames)              the frames back to back
#pragma once

#include "sbc/frame.h"
#include "sbc/sbc.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>
#include <numbers>
#include <random>
#include <string>
#include <vector>

namespace testsupport {

struct SbcShape {
    int32_t rate = 44100;
    int32_t channels = 2;
    int32_t channel_mode = sbc::JOINT_STEREO;
    int32_t subbands = 8;
    int32_t blocks = 16;
    int32_t bitpool = 53;
    int32_t allocation_method = sbc::SNR;
};

// Frames of two tones (channel c at 440 × (c + 1) Hz and 3 kHz, about -8 dBFS), starting at
// sample instant `first` of the signal.
inline std::vector<std::string> sbc_frames(const SbcShape& s, int count, int64_t first = 0) {
    std::vector<std::string> frames;
    auto encoder = sbc::encoder_create(s.rate, s.channels, s.subbands, s.blocks);
    if (!encoder || sbc::encoder_configure(*encoder, s.channel_mode, s.bitpool,
                                           s.allocation_method) != sbc::CONFIGURE_OK) {
        ADD_FAILURE() << "the encoder refused the shape";
        return frames;
    }
    const int32_t instants = s.subbands * s.blocks;
    std::vector<int16_t> pcm(static_cast<size_t>(instants * s.channels));
    std::array<uint8_t, sbc::MAX_FRAME_LENGTH> out{};
    for (int f = 0; f < count; ++f) {
        for (int32_t t = 0; t < instants; ++t)
            for (int32_t c = 0; c < s.channels; ++c) {
                const double n = static_cast<double>(first + int64_t{f} * instants + t) / s.rate;
                const double v = 0.25 * std::sin(2 * std::numbers::pi * 440.0 * (c + 1) * n) +
                                 0.15 * std::sin(2 * std::numbers::pi * 3000.0 * n);
                pcm[static_cast<size_t>(t * s.channels + c)] =
                    static_cast<int16_t>(std::lround(32767 * v));
            }
        int32_t length = 0;
        if (sbc::encoder_encode_frame(*encoder, pcm, out, length) <= 0) {
            ADD_FAILURE() << "the encoder refused a frame";
            break;
        }
        frames.emplace_back(reinterpret_cast<const char*>(out.data()), static_cast<size_t>(length));
    }
    return frames;
}

// Sets byte 3 of a frame (whose header bytes are in place) to its CRC-8.
inline void set_crc(std::string& frame) {
    sbc::FrameHeader h;
    const auto bytes = [&] {
        return std::span(reinterpret_cast<const uint8_t*>(frame.data()), frame.size());
    };
    if (sbc::frame_header_parse(bytes(), h) != sbc::HEADER_OK) {
        ADD_FAILURE() << "set_crc: no header";
        return;
    }
    for (int crc = 0; crc < 256; ++crc) {
        frame[3] = static_cast<char>(crc);
        if (sbc::frame_crc_ok(bytes(), h)) return;
    }
    ADD_FAILURE() << "set_crc: no CRC fits";
}

// A frame with the given header bytes and random contents, its CRC set.
inline std::string frame_with_header(uint8_t sync, uint8_t parameters, uint8_t bitpool,
                                     std::mt19937& rng) {
    std::string frame{static_cast<char>(sync), static_cast<char>(parameters),
                      static_cast<char>(bitpool), '\0'};
    sbc::FrameHeader h;
    if (sbc::frame_header_parse(std::span(reinterpret_cast<const uint8_t*>(frame.data()), 3), h) !=
        sbc::HEADER_OK) {
        ADD_FAILURE() << "frame_with_header: not a header";
        return frame;
    }
    while (frame.size() < static_cast<size_t>(h.length)) frame += static_cast<char>(rng());
    set_crc(frame);
    return frame;
}

inline std::vector<std::string> msbc_frames(int count, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<std::string> frames;
    for (int i = 0; i < count; ++i) frames.push_back(frame_with_header(0xAD, 0, 0, rng));
    return frames;
}

// A frame of random parameters (bitpool within what allocation can spend) and contents.
inline std::string any_frame(std::mt19937& rng) {
    const auto parameters = static_cast<uint8_t>(rng());
    const int32_t mode = (parameters >> 2) & 3, subbands = (parameters & 1) ? 8 : 4;
    const int32_t limit = std::min(255, 16 * subbands * (mode >= sbc::STEREO ? 2 : 1));
    return frame_with_header(0x9C, parameters, static_cast<uint8_t>(rng() % (limit + 1)), rng);
}

inline std::string h2_units(const std::vector<std::string>& frames, int first_sequence = 0) {
    std::string units;
    for (size_t i = 0; i < frames.size(); ++i) {
        units += static_cast<char>(sbc::H2_SYNC_BYTE);
        units += static_cast<char>(sbc::H2_SEQUENCE[(i + static_cast<size_t>(first_sequence)) % 4]);
        units += frames[i];
        units += '\0';
    }
    return units;
}

inline std::string joined(const std::vector<std::string>& frames, size_t from = 0,
                          size_t to = SIZE_MAX) {
    std::string all;
    for (size_t i = from; i < std::min(to, frames.size()); ++i) all += frames[i];
    return all;
}

} // namespace testsupport
