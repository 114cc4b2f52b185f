// Reading frames back: the header's parameters and length, and the CRC-8, against streams from
// this encoder over every channel mode and shape, against an sbcenc -m stream (mSBC written
// elsewhere), and against headers no decoder can read.
#include "process.h"
#include "sbc/sbc.h"
#include "sbc_test_util.h"

#include <gtest/gtest.h>
#include <span>
#include <vector>

namespace {

using sbctest::StreamParams;

std::span<const uint8_t> bytes(const std::string& s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

std::vector<int16_t> noise(size_t count) {
    std::vector<int16_t> pcm(count);
    uint32_t state = 12345;
    for (auto& v : pcm) {
        state = state * 1664525u + 1013904223u;
        v = static_cast<int16_t>(static_cast<int32_t>(state >> 16) - 32768);
    }
    return pcm;
}

TEST(FrameHeader, EveryEncodedFrameParsesToItsParametersAndChecksItsCrc) {
    const StreamParams table[] = {
        {44100, 2, 8, 16, sbc::JOINT_STEREO, 53, sbc::SNR},
        {48000, 2, 4, 4, sbc::JOINT_STEREO, 2, sbc::LOUDNESS}, // 36 CRC bits: a part-byte
        {32000, 2, 8, 12, sbc::STEREO, 255, sbc::SNR},
        {16000, 2, 4, 8, sbc::DUAL_CHANNEL, 64, sbc::LOUDNESS},
        {16000, 1, 8, 4, sbc::MONO, 0, sbc::SNR},
    };
    for (const StreamParams& p : table) {
        const std::string stream = sbctest::encode_stream(p, noise(size_t(p.channels) * 2048));
        size_t frames = 0;
        for (size_t at = 0; at < stream.size(); ++frames) {
            sbc::FrameHeader h;
            const auto rest = bytes(stream).subspan(at);
            ASSERT_EQ(sbc::frame_header_parse(rest, h), sbc::HEADER_OK) << at;
            EXPECT_EQ(h.kind, sbc::FrameKind::sbc);
            EXPECT_EQ(h.sampling_frequency, p.sampling_frequency);
            EXPECT_EQ(h.channels, p.channels);
            EXPECT_EQ(h.channel_mode, p.channel_mode);
            EXPECT_EQ(h.subbands, p.subbands);
            EXPECT_EQ(h.blocks, p.blk_len);
            EXPECT_EQ(h.allocation_method, p.allocation_method);
            EXPECT_EQ(h.bitpool, p.bitpool);
            ASSERT_TRUE(sbc::frame_crc_ok(rest, h)) << "frame at " << at;
            // Every bit the CRC covers is guarded; the bits after the span are not.
            std::string damaged = stream.substr(at, static_cast<size_t>(h.length));
            for (int32_t bit = 8; bit < 8 * sbc::frame_crc_span(h); ++bit) {
                if (bit >= 24 && bit < 32) continue; // the CRC byte itself
                damaged[size_t(bit / 8)] ^= static_cast<char>(0x80 >> (bit % 8));
                sbc::FrameHeader dh;
                // A single flipped bit is always caught while the covered bits keep their
                // layout; bits past them (in the last part-byte) are free.
                const bool same_layout = sbc::frame_header_parse(bytes(damaged), dh) == 0 &&
                                         dh.channel_mode == h.channel_mode &&
                                         dh.subbands == h.subbands;
                const int32_t covered = 32 + 4 * h.channels * h.subbands +
                                        (h.channel_mode == sbc::JOINT_STEREO ? h.subbands : 0);
                if (same_layout && bit < covered) {
                    EXPECT_FALSE(sbc::frame_crc_ok(bytes(damaged), dh)) << bit;
                }
                damaged[size_t(bit / 8)] ^= static_cast<char>(0x80 >> (bit % 8));
            }
            EXPECT_FALSE(sbc::frame_crc_ok(rest.first(size_t(sbc::frame_crc_span(h)) - 1), h));
            at += static_cast<size_t>(h.length);
        }
        EXPECT_EQ(frames, 2048u / static_cast<size_t>(p.subbands * p.blk_len));
    }
}

TEST(FrameHeader, HeadersNoDecoderCanReadAreRefused) {
    struct Case {
        std::string hex;
        int result;
    };
    const Case cases[] = {
        {"", sbc::HEADER_SHORT},
        {"9C BF", sbc::HEADER_SHORT},
        {"9D BF 35 00", sbc::HEADER_INVALID}, // not a sync word
        {"9C 20 41 00", sbc::HEADER_INVALID}, // MONO, 4 subbands: bitpool 65 > 64
        {"9C 20 40 00", sbc::HEADER_OK},
        {"9C 28 81 00", sbc::HEADER_INVALID}, // STEREO, 4 subbands: bitpool 129 > 128
        {"9C 29 FF 00", sbc::HEADER_OK},      // STEREO, 8 subbands: 255, the byte's largest
        {"AD 00 00 00", sbc::HEADER_OK},
        {"AD 01 80 00", sbc::HEADER_INVALID}, // mSBC's reserved bytes must be zero
        {"AD 00 01 00", sbc::HEADER_INVALID},
    };
    for (const Case& c : cases) {
        const std::string b = sbctest::bytes_of(c.hex);
        sbc::FrameHeader h;
        EXPECT_EQ(sbc::frame_header_parse(bytes(b), h), c.result) << c.hex;
    }
}

// mSBC written elsewhere: every 57-byte frame of sbcenc -m parses with the fixed parameters and
// its CRC (over the two zero bytes and the scale factors) checks out.
TEST(FrameHeader, MsbcFramesFromSbcencParseAndCheck) {
    if (!testsupport::have_program("sbcenc")) GTEST_SKIP() << "sbcenc (sbc-tools) not installed";
    testsupport::TempDir dir;
    // A Sun header: 16-bit linear, 16000 Hz, mono, then 0.2 s of noise, big-endian.
    std::string au = sbctest::bytes_of("2E 73 6E 64 00 00 00 18 FF FF FF FF 00 00 00 03 "
                                       "00 00 3E 80 00 00 00 01");
    for (int16_t v : noise(3200)) {
        au += static_cast<char>(static_cast<uint16_t>(v) >> 8);
        au += static_cast<char>(v & 0xFF);
    }
    testsupport::write_file(dir / "in.au", au);
    const auto r = testsupport::run_process({"sbcenc", "-m", (dir / "in.au").string()});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.out.size() % sbc::MSBC_FRAME_LENGTH, 0u);
    ASSERT_GT(r.out.size(), 0u);
    for (size_t at = 0; at < r.out.size(); at += sbc::MSBC_FRAME_LENGTH) {
        sbc::FrameHeader h;
        ASSERT_EQ(sbc::frame_header_parse(bytes(r.out).subspan(at), h), sbc::HEADER_OK);
        EXPECT_EQ(h.kind, sbc::FrameKind::msbc);
        EXPECT_EQ(h.length, sbc::MSBC_FRAME_LENGTH);
        EXPECT_EQ(h.blocks, 15);
        EXPECT_TRUE(sbc::frame_crc_ok(bytes(r.out).subspan(at), h)) << "frame at " << at;
    }
}

} // namespace
