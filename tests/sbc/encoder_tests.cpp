// Encoder lifecycle: header bytes and mode adjustment, format refusals (message and error
// result), bitpool limits, frame lengths, refusals of encode_frame, and stream continuity.
#include "sbc/sbc.h"
#include "sbc_test_util.h"

#include <cmath>
#include <gtest/gtest.h>
#include <numbers>
#include <string>
#include <vector>

namespace {

using sbctest::StreamParams;

std::unique_ptr<sbc::EncoderState> configured(int32_t fs, int32_t channels, int32_t subbands,
                                              int32_t blk_len, int32_t mode, int32_t bitpool,
                                              int32_t method) {
    auto enc = sbc::encoder_create(fs, channels, subbands, blk_len);
    EXPECT_TRUE(enc);
    if (enc) {
        EXPECT_EQ(sbc::encoder_configure(*enc, mode, bitpool, method), 0);
    }
    return enc;
}

std::vector<int16_t> sine_pcm(size_t instants, int32_t channels, double cycles_per_sample) {
    std::vector<int16_t> pcm;
    for (size_t t = 0; t < instants; ++t)
        for (int32_t c = 0; c < channels; ++c)
            pcm.push_back(static_cast<int16_t>(
                12000.0 * std::sin(2.0 * std::numbers::pi * cycles_per_sample * (c + 1) * t)));
    return pcm;
}

TEST(EncoderConfig, HeaderByteEncodesEveryParameter) {
    struct Case {
        int32_t fs, channels, mode, method, subbands, blk_len;
        uint8_t header;
    };
    const Case cases[] = {
        {44100, 2, sbc::JOINT_STEREO, sbc::SNR, 8, 16, 0xBF},
        {44100, 2, sbc::JOINT_STEREO, sbc::LOUDNESS, 8, 16, 0xBD},
        {48000, 2, sbc::DUAL_CHANNEL, sbc::SNR, 8, 16, 0xF7},
        {16000, 1, sbc::MONO, sbc::LOUDNESS, 4, 4, 0x00},
        {32000, 2, sbc::STEREO, sbc::SNR, 4, 8, 0x5A},
        {32000, 2, sbc::STEREO, 7, 4, 8, 0x5A}, // any non-zero method is SNR
    };
    for (const auto& c : cases) {
        auto enc = configured(c.fs, c.channels, c.subbands, c.blk_len, c.mode, 10, c.method);
        EXPECT_EQ(enc->header_byte, c.header) << c.fs << " " << c.mode;
        EXPECT_EQ(enc->allocation_method, c.method);
    }
}

TEST(EncoderConfig, ChannelModeFollowsTheChannelCount) {
    auto mono = configured(44100, 1, 8, 16, sbc::JOINT_STEREO, 10, sbc::SNR);
    EXPECT_EQ(mono->channel_mode, sbc::MONO);
    EXPECT_EQ(mono->header_byte & 0x0C, 0);
    for (int32_t asked : {0, 5, -1}) {
        auto dual = configured(44100, 2, 8, 16, asked, 10, sbc::SNR);
        EXPECT_EQ(dual->channel_mode, sbc::DUAL_CHANNEL) << asked;
    }
    EXPECT_EQ(sbc::encoder_frequency_index(44100), 2);
    EXPECT_EQ(sbc::encoder_frequency_index(8000), -1);
}

TEST(EncoderConfig, CreationRefusesOnlyWhatTheFilterBankCannotHold) {
    EXPECT_FALSE(sbc::encoder_create(44100, 2, 6, 16));
    EXPECT_FALSE(sbc::encoder_create(44100, 3, 8, 16));
    EXPECT_FALSE(sbc::encoder_create(44100, 0, 8, 16));
    auto enc = sbc::encoder_create(22050, 2, 8, 6); // checked at configuration
    ASSERT_TRUE(enc);
    EXPECT_EQ(enc->samples_per_channel, 48);
    // Block lengths are format_init's to refuse; an encoder that carries one never encodes.
    for (int32_t blk_len : {0, -4, 20}) {
        auto odd = sbc::encoder_create(44100, 2, 8, blk_len);
        ASSERT_TRUE(odd) << blk_len;
        EXPECT_EQ(sbc::encoder_frame_length(*odd), -1) << blk_len;
    }
}

// A refused format is an error result with its message, never the end of the host process:
// this test goes on running after each refusal, and the state stays unconfigured.
TEST(EncoderConfig, RefusedFormatPrintsItsValuesAndReturnsAnError) {
    struct Case {
        int32_t fs, channels, subbands, blk_len, mode, method;
        const char* message;
    };
    const Case cases[] = {
        {22050, 2, 8, 16, 3, 1, "\nError format_init (22050, 2, 3, 8, 16, 1)\n"},
        {44100, 1, 4, 6, 0, 0, "\nError format_init (44100, 1, 0, 4, 6, 0)\n"},
        {44100, 2, 8, 0, 3, 1, "\nError format_init (44100, 2, 3, 8, 0, 1)\n"},
        {44100, 2, 8, -4, 3, 1, "\nError format_init (44100, 2, 3, 8, -4, 1)\n"},
        {44100, 2, 8, 20, 3, 1, "\nError format_init (44100, 2, 3, 8, 20, 1)\n"},
    };
    for (const auto& c : cases) {
        auto enc = sbc::encoder_create(c.fs, c.channels, c.subbands, c.blk_len);
        ASSERT_TRUE(enc);
        testing::internal::CaptureStderr();
        EXPECT_EQ(sbc::encoder_configure(*enc, c.mode, 10, c.method), sbc::CONFIGURE_BAD_FORMAT);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
        EXPECT_EQ(enc->bitpool, -1) << c.message;
        EXPECT_EQ(enc->channel_mode, -1) << c.message;
        EXPECT_EQ(sbc::encoder_frame_length(*enc), -1) << c.message;
        EXPECT_EQ(sbc::encoder_destroy(std::move(enc)), 0);
    }
    // Values that creation already refuses still reach the message when a state carries them.
    sbc::EncoderState odd;
    odd.sampling_frequency = 48000;
    odd.channels = 3;
    odd.subbands = 8;
    odd.blk_len = 16;
    testing::internal::CaptureStderr();
    EXPECT_EQ(sbc::encoder_configure(odd, 2, 10, 7), sbc::CONFIGURE_BAD_FORMAT);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "\nError format_init (48000, 3, 2, 8, 16, 7)\n");
}

TEST(EncoderConfig, BitpoolIsRefusedBeyondWhatAllocationCanSpend) {
    struct Limit {
        int32_t channels, mode, subbands, largest;
    };
    const Limit limits[] = {
        {1, sbc::MONO, 8, 128},         {1, sbc::MONO, 4, 64},
        {2, sbc::DUAL_CHANNEL, 8, 128}, {2, sbc::DUAL_CHANNEL, 4, 64},
        {2, sbc::STEREO, 8, 255},       {2, sbc::JOINT_STEREO, 8, 255},
        {2, sbc::STEREO, 4, 128},       {2, sbc::JOINT_STEREO, 4, 128},
        {1, sbc::JOINT_STEREO, 8, 128}, // adjusted to MONO first
    };
    for (const auto& l : limits) {
        auto enc = sbc::encoder_create(44100, l.channels, l.subbands, 16);
        EXPECT_EQ(sbc::encoder_configure(*enc, l.mode, l.largest, sbc::SNR), 0);
        EXPECT_EQ(enc->bitpool, l.largest);
        EXPECT_EQ(sbc::encoder_configure(*enc, l.mode, l.largest + 1, sbc::LOUDNESS),
                  sbc::CONFIGURE_BAD_BITPOOL);
        EXPECT_EQ(sbc::encoder_configure(*enc, l.mode, -1, sbc::LOUDNESS),
                  sbc::CONFIGURE_BAD_BITPOOL);
        EXPECT_EQ(enc->bitpool, l.largest) << "a refusal leaves the configuration alone";
        EXPECT_EQ(enc->allocation_method, sbc::SNR);
        EXPECT_EQ(sbc::encoder_configure(*enc, l.mode, 0, sbc::SNR), 0);
    }
    EXPECT_EQ(sbc::encoder_max_bitpool(sbc::MONO, 8), 128);
    EXPECT_EQ(sbc::encoder_max_bitpool(sbc::JOINT_STEREO, 8), 255);
    EXPECT_EQ(sbc::encoder_max_bitpool(sbc::STEREO, 4), 128);
    EXPECT_EQ(sbc::encoder_max_bitpool(sbc::STEREO, 6), -1);
}

TEST(EncoderFrames, LengthAt44100MatchesTheWorkedFigures) {
    const std::vector<int16_t> pcm = sine_pcm(128 * 3, 2, 0.01);
    const std::vector<int16_t> mono_pcm = sine_pcm(128 * 3, 1, 0.01);
    struct Case {
        int32_t channels, mode, bitpool, bytes;
    };
    for (const Case c : {Case{1, sbc::MONO, 64, 136}, Case{2, sbc::DUAL_CHANNEL, 31, 136},
                         Case{2, sbc::STEREO, 62, 136}, Case{2, sbc::JOINT_STEREO, 61, 135}}) {
        StreamParams p{44100, c.channels, 8, 16, c.mode, c.bitpool, sbc::SNR};
        auto enc = configured(44100, c.channels, 8, 16, c.mode, c.bitpool, sbc::SNR);
        EXPECT_EQ(sbc::encoder_frame_length(*enc), c.bytes);
        EXPECT_EQ(sbctest::encode_stream(p, c.channels == 1 ? mono_pcm : pcm).size(),
                  static_cast<size_t>(3 * c.bytes));
    }
}

TEST(EncoderFrames, AnnouncedLengthHoldsForEveryShapeAndBitpool) {
    for (int32_t m : {4, 8}) {
        for (int32_t blocks : {4, 8, 12, 16}) {
            for (int32_t mode : {0, 1, 2, 3}) {
                const int32_t channels = mode == sbc::MONO ? 1 : 2;
                const auto pcm = sine_pcm(static_cast<size_t>(m * blocks * 2), channels, 0.031);
                const int32_t largest = sbc::encoder_max_bitpool(mode, m);
                for (int32_t pool : {0, 1, 2, 17, largest - 1, largest}) {
                    StreamParams p{48000, channels, m, blocks, mode, pool, pool % 2};
                    auto enc = configured(48000, channels, m, blocks, mode, pool, pool % 2);
                    const int32_t len = sbc::encoder_frame_length(*enc);
                    EXPECT_LE(len, sbc::MAX_FRAME_LENGTH);
                    ASSERT_EQ(sbctest::encode_stream(p, pcm).size(), static_cast<size_t>(2 * len))
                        << "m=" << m << " blocks=" << blocks << " mode=" << mode
                        << " pool=" << pool;
                }
            }
        }
    }
    auto longest = configured(44100, 2, 8, 16, sbc::DUAL_CHANNEL, 128, sbc::SNR);
    EXPECT_EQ(sbc::encoder_frame_length(*longest), sbc::MAX_FRAME_LENGTH);
}

TEST(EncoderFrames, RefusalsWriteNothingAndKeepTheFilterHistory) {
    const auto pcm = sine_pcm(128, 2, 0.02); // one frame
    auto enc = configured(44100, 2, 8, 16, sbc::JOINT_STEREO, 40, sbc::SNR);
    const int32_t len = sbc::encoder_frame_length(*enc);
    std::vector<uint8_t> out(static_cast<size_t>(len) + 10, 0x55);
    int32_t out_len = 11; // one byte short
    EXPECT_EQ(sbc::encoder_encode_frame(*enc, pcm, out, out_len), -1);
    EXPECT_EQ(out_len, 11);
    out_len = 0;
    EXPECT_EQ(sbc::encoder_encode_frame(*enc, std::span(pcm).first(255), out, out_len), -1);
    out_len = -3;
    EXPECT_EQ(sbc::encoder_encode_frame(*enc, pcm, out, out_len), -1);
    EXPECT_EQ(out, std::vector<uint8_t>(out.size(), 0x55));
    auto unconfigured = sbc::encoder_create(44100, 2, 8, 16);
    out_len = 0;
    EXPECT_EQ(sbc::encoder_frame_length(*unconfigured), -1);
    EXPECT_EQ(sbc::encoder_encode_frame(*unconfigured, pcm, out, out_len), -1);

    // After the refusals the stream is the same as from a fresh encoder.
    out_len = 10; // exactly room for one frame
    ASSERT_EQ(sbc::encoder_encode_frame(*enc, pcm, out, out_len), len);
    EXPECT_EQ(out_len, 10 + len);
    StreamParams p{44100, 2, 8, 16, sbc::JOINT_STEREO, 40, sbc::SNR};
    EXPECT_EQ(std::string(out.begin() + 10, out.end()), sbctest::encode_stream(p, pcm));
}

TEST(EncoderFrames, SuccessiveFramesAppendAndTheHistoryRunsOn) {
    const auto pcm = sine_pcm(64 * 3, 1, 0.05);
    auto enc = configured(16000, 1, 4, 16, sbc::MONO, 20, sbc::LOUDNESS);
    const int32_t len = sbc::encoder_frame_length(*enc);
    std::vector<uint8_t> out(static_cast<size_t>(3 * len));
    int32_t out_len = 0;
    for (size_t f = 0; f < 3; ++f)
        ASSERT_EQ(sbc::encoder_encode_frame(*enc, std::span(pcm).subspan(f * 64, 64), out, out_len),
                  len);
    EXPECT_EQ(out_len, 3 * len);
    StreamParams p{16000, 1, 4, 16, sbc::MONO, 20, sbc::LOUDNESS};
    EXPECT_EQ(std::string(out.begin(), out.end()), sbctest::encode_stream(p, pcm));
    // The third frame depends on what came before it.
    StreamParams fresh = p;
    EXPECT_NE(std::string(out.begin() + 2 * len, out.end()),
              sbctest::encode_stream(fresh, std::vector<int16_t>(pcm.begin() + 128, pcm.end())));
}

// Silent frames are copies of the first one an encoder makes: after a sound has died away
// (9 blocks after it) and after every reconfiguration, they must still be the frames a fresh
// encoder makes from silence under the parameters in force.
TEST(EncoderFrames, SilentFramesAreTheFreshEncodersUnderTheCurrentParameters) {
    struct Change {
        int32_t channels, subbands, blk_len, mode, bitpool, method;
        int32_t next_mode, next_bitpool, next_method;
    };
    const std::vector<Change> changes = {
        {2, 8, 16, sbc::JOINT_STEREO, 61, sbc::SNR, sbc::JOINT_STEREO, 61, sbc::LOUDNESS},
        {2, 4, 4, sbc::STEREO, 30, sbc::LOUDNESS, sbc::JOINT_STEREO, 30, sbc::LOUDNESS},
        {2, 8, 8, sbc::DUAL_CHANNEL, 20, sbc::SNR, sbc::DUAL_CHANNEL, 33, sbc::SNR},
        {1, 4, 12, sbc::MONO, 18, sbc::SNR, sbc::MONO, 18, sbc::LOUDNESS},
    };
    const auto silent_frame = [](const Change& c, int32_t mode, int32_t bitpool, int32_t method) {
        StreamParams p{48000, c.channels, c.subbands, c.blk_len, mode, bitpool, method};
        return sbctest::encode_stream(
            p, std::vector<int16_t>(static_cast<size_t>(c.subbands * c.blk_len * c.channels)));
    };
    for (const Change& c : changes) {
        auto enc =
            configured(48000, c.channels, c.subbands, c.blk_len, c.mode, c.bitpool, c.method);
        const auto values = static_cast<size_t>(c.subbands * c.blk_len * c.channels);
        const std::vector<int16_t> silence(values);
        std::vector<int16_t> click(values);
        click.back() = 32767; // the last instant: the one the filter keeps longest
        std::vector<uint8_t> out(sbc::MAX_FRAME_LENGTH);
        const auto encode = [&](const std::vector<int16_t>& pcm) {
            int32_t out_len = 0;
            EXPECT_GT(sbc::encoder_encode_frame(*enc, pcm, out, out_len), 0);
            return std::string(out.begin(), out.begin() + out_len);
        };
        const std::string first = silent_frame(c, c.mode, c.bitpool, c.method);
        EXPECT_EQ(encode(silence), first);
        EXPECT_EQ(encode(silence), first);
        encode(click);
        // Until 9 blocks after the click the frames still carry it.
        for (int32_t blocks = 0; blocks < 9; blocks += c.blk_len)
            EXPECT_NE(encode(silence), first) << c.subbands << " bands, " << c.blk_len << " blocks";
        EXPECT_EQ(encode(silence), first);
        ASSERT_EQ(sbc::encoder_configure(*enc, c.next_mode, c.next_bitpool, c.next_method), 0);
        EXPECT_EQ(encode(silence), silent_frame(c, c.next_mode, c.next_bitpool, c.next_method));
    }
}

TEST(EncoderFrames, SilentFirstFrameHasAllScaleFactorsZero) {
    StreamParams p{44100, 2, 8, 16, sbc::JOINT_STEREO, 61, sbc::SNR};
    const std::string frame = sbctest::encode_stream(p, std::vector<int16_t>(256, 0));
    ASSERT_EQ(frame.size(), 135u);
    EXPECT_EQ(sbctest::hex(frame.substr(0, 4)), "9cbf3d27");
    EXPECT_EQ(frame.substr(4, 9), std::string(9, '\0')); // 8 join flags + 16 scale factors
}

} // namespace
