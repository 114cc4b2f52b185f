// Helpers shared by the encoder tests: whole-stream encoding through the public API, the
// front end's bitpool rule, SHA-256 through the system tool, and plain signal builders.
#pragma once

#include "process.h"
#include "sbc/sbc.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <gtest/gtest.h>
#include <span>
#include <string>
#include <vector>

namespace sbctest {

struct StreamParams {
    int32_t sampling_frequency = 44100;
    int32_t channels = 2;
    int32_t subbands = 8;
    int32_t blk_len = 16;
    int32_t channel_mode = sbc::JOINT_STEREO;
    int32_t bitpool = 32;
    int32_t allocation_method = sbc::SNR;
};

// Encodes every whole frame of interleaved `pcm` (the remainder is dropped) and returns the
// frames back to back. Fails the calling test (and returns what it has) on any refusal.
inline std::string encode_stream(const StreamParams& p, const std::vector<int16_t>& pcm) {
    std::string stream;
    auto enc = sbc::encoder_create(p.sampling_frequency, p.channels, p.subbands, p.blk_len);
    if (!enc) {
        ADD_FAILURE() << "encoder_create refused";
        return stream;
    }
    if (sbc::encoder_configure(*enc, p.channel_mode, p.bitpool, p.allocation_method) != 0) {
        ADD_FAILURE() << "encoder_configure refused bitpool " << p.bitpool;
        return stream;
    }
    const size_t per_frame = static_cast<size_t>(enc->samples_per_channel) * p.channels;
    std::array<uint8_t, sbc::MAX_FRAME_LENGTH> out{};
    for (size_t start = 0; start + per_frame <= pcm.size(); start += per_frame) {
        int32_t out_len = 0;
        const std::span<const int16_t> frame(pcm.data() + start, per_frame);
        if (sbc::encoder_encode_frame(*enc, frame, out, out_len) < 0) {
            ADD_FAILURE() << "encoder_encode_frame refused";
            break;
        }
        stream.append(reinterpret_cast<const char*>(out.data()), static_cast<size_t>(out_len));
    }
    sbc::encoder_destroy(std::move(enc));
    return stream;
}

// FNV-1a over `size` bytes, continuing from `h`: for locked digests of output.
inline uint64_t fnv1a(const void* data, size_t size, uint64_t h = 0xcbf29ce484222325u) {
    const auto* p = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < size; ++i) h = (h ^ p[i]) * 0x100000001b3u;
    return h;
}

// The front end's bitpool from a bit rate: 32-bit integers, C division.
inline int32_t derive_bitpool(int32_t rate, int32_t fs, int32_t channels, int32_t mode,
                              int32_t subbands, int32_t blk_len) {
    const int32_t frame_bytes = rate * subbands * blk_len / (fs * 8);
    const int32_t frame_bits = frame_bytes * 8;
    const int32_t fixed = channels * subbands * 4 + 32;
    if (mode == sbc::MONO || mode == sbc::DUAL_CHANNEL)
        return (frame_bits - fixed) / (channels * blk_len);
    return (frame_bits - fixed - (mode == sbc::JOINT_STEREO ? subbands : 0)) / blk_len;
}

// SHA-256 of a file, in lower-case hex, from the system's sha256sum.
inline std::string sha256_of_file(const std::filesystem::path& file) {
    const auto r = testsupport::run_process({"sha256sum", file.string()});
    if (r.status != 0 || r.out.size() < 64) {
        ADD_FAILURE() << "sha256sum failed: " << r.err;
        return {};
    }
    return r.out.substr(0, 64);
}

inline std::string hex(const std::string& bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string s;
    for (unsigned char c : bytes) {
        s += digits[c >> 4];
        s += digits[c & 15];
    }
    return s;
}

// Bytes written as hex pairs, e.g. "9C 02 03".
inline std::string bytes_of(const std::string& hex_pairs) {
    std::string out;
    for (size_t i = 0; i + 1 < hex_pairs.size();) {
        if (hex_pairs[i] == ' ') {
            ++i;
            continue;
        }
        out += static_cast<char>(std::stoi(hex_pairs.substr(i, 2), nullptr, 16));
        i += 2;
    }
    return out;
}

} // namespace sbctest
