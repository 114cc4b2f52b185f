// mSBC through the library: which encoders take the mSBC configuration, every frame of a
// stream read back by an independent reading of the frame syntax, and digital silence. (The H2
// units are checked end to end, tests/cli/msbc_test.cpp.)
#include "fuzz/frame_check.h"
#include "sbc/sbc.h"

#include <array>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

std::unique_ptr<sbc::EncoderState> msbc_encoder() {
    auto enc =
        sbc::encoder_create(sbc::MSBC_SAMPLING_FREQUENCY, 1, sbc::MSBC_SUBBANDS, sbc::MSBC_BLOCKS);
    EXPECT_TRUE(enc);
    if (enc) {
        EXPECT_EQ(sbc::encoder_configure_msbc(*enc), sbc::CONFIGURE_OK);
    }
    return enc;
}

// Encodes every whole frame of `pcm` and returns the frames back to back.
std::string encode(sbc::EncoderState& enc, const std::vector<int16_t>& pcm) {
    std::string stream;
    std::array<uint8_t, sbc::MAX_FRAME_LENGTH> out{};
    for (size_t at = 0; at + sbc::MSBC_FRAME_SAMPLES <= pcm.size(); at += sbc::MSBC_FRAME_SAMPLES) {
        int32_t len = 0;
        const auto frame = std::span(pcm).subspan(at, sbc::MSBC_FRAME_SAMPLES);
        EXPECT_EQ(sbc::encoder_encode_frame(enc, frame, out, len), sbc::MSBC_FRAME_LENGTH);
        stream.append(out.begin(), out.begin() + len);
    }
    return stream;
}

// Speech-like material for 60 frames: a tone whose loudness steps up to full scale (clipping
// square in the end), a silent stretch long enough for the silence shortcut, and one click
// in the last instant of a frame, the sample the filter remembers longest.
std::vector<int16_t> test_signal() {
    std::vector<int16_t> pcm;
    uint32_t noise = 12345;
    for (int t = 0; t < 60 * sbc::MSBC_FRAME_SAMPLES; ++t) {
        const int frame = t / sbc::MSBC_FRAME_SAMPLES;
        noise = noise * 1103515245u + 12345u;
        const int tone = (t / 9 % 2 ? 1 : -1) * (200 << (frame / 4 % 8)); // 200 .. 25600
        int v = frame < 32 ? tone + static_cast<int>(noise >> 24) - 128 : 0;
        if (frame >= 28 && frame < 32) v = t % 16 < 8 ? 32767 : -32768;
        if (t == 45 * sbc::MSBC_FRAME_SAMPLES - 1) v = 32767;
        pcm.push_back(static_cast<int16_t>(v));
    }
    return pcm;
}

} // namespace

// Only an encoder made for 16000 Hz, one channel, 8 bands and 15 blocks becomes an mSBC encoder;
// any other is refused with a result (silently: the library leaves messages to its host) and
// stays unconfigured.
TEST(MsbcEncoder, ConfigurationTakesOnlyTheMsbcShape) {
    struct Case {
        int32_t fs, channels, subbands, blk_len;
        int result;
    };
    const Case cases[] = {
        {16000, 1, 8, 15, sbc::CONFIGURE_OK},        {44100, 1, 8, 15, sbc::CONFIGURE_NOT_MSBC},
        {8000, 1, 8, 15, sbc::CONFIGURE_NOT_MSBC},   {16000, 2, 8, 15, sbc::CONFIGURE_NOT_MSBC},
        {16000, 1, 4, 15, sbc::CONFIGURE_NOT_MSBC},  {16000, 1, 8, 16, sbc::CONFIGURE_NOT_MSBC},
        {16000, 1, 8, 120, sbc::CONFIGURE_NOT_MSBC},
    };
    for (const Case& c : cases) {
        auto enc = sbc::encoder_create(c.fs, c.channels, c.subbands, c.blk_len);
        ASSERT_TRUE(enc);
        testing::internal::CaptureStderr();
        EXPECT_EQ(sbc::encoder_configure_msbc(*enc), c.result) << c.fs << " Hz, " << c.channels;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        const bool ok = c.result == sbc::CONFIGURE_OK;
        EXPECT_EQ(sbc::encoder_frame_length(*enc), ok ? sbc::MSBC_FRAME_LENGTH : -1);
        EXPECT_EQ(enc->samples_per_channel, c.subbands * c.blk_len);
    }
    // The SBC configuration has no header for 15 blocks, so an mSBC encoder stays one.
    auto enc = msbc_encoder();
    testing::internal::CaptureStderr();
    EXPECT_EQ(sbc::encoder_configure(*enc, sbc::MONO, 26, sbc::LOUDNESS),
              sbc::CONFIGURE_BAD_FORMAT);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(sbc::encoder_frame_length(*enc), sbc::MSBC_FRAME_LENGTH);
}

// Every frame, read without the library's help: 57 bytes, 0xAD 00 00, the CRC-8 over the two
// zero bytes and the eight scale factors. Silent frames after sound has died away are the
// frame a fresh encoder makes from silence, and so are the copies the encoder keeps.
TEST(MsbcEncoder, EveryFrameReadsBackAndSilenceIsTheFreshEncodersSilence) {
    auto enc = msbc_encoder();
    const std::string stream = encode(*enc, test_signal());
    ASSERT_EQ(stream.size(), 60u * sbc::MSBC_FRAME_LENGTH);
    const auto bytes = std::span(reinterpret_cast<const uint8_t*>(stream.data()), stream.size());
    EXPECT_TRUE(fuzzcheck::whole_frames(bytes));
    const auto shape = fuzzcheck::shape_of(bytes);
    EXPECT_EQ(fuzzcheck::frame_length(shape), static_cast<size_t>(sbc::MSBC_FRAME_LENGTH));
    for (size_t at = 0; at < bytes.size(); at += sbc::MSBC_FRAME_LENGTH)
        ASSERT_EQ(std::string(stream, at, 3), std::string("\xAD\0\0", 3)) << "frame at " << at;

    const std::string silent =
        encode(*msbc_encoder(), std::vector<int16_t>(sbc::MSBC_FRAME_SAMPLES));
    const auto frame = [&](int f) { return stream.substr(f * 57u, 57); };
    EXPECT_NE(frame(32), silent); // the sound's tail, within 9 blocks
    EXPECT_NE(frame(45), silent); // the click, which the window takes in one block later
    // 44 holds the click but is filtered, not copied: the same bytes.
    for (int f : {33, 34, 44, 46, 59}) EXPECT_EQ(frame(f), silent) << "frame " << f;
    EXPECT_NE(frame(20).substr(3, 5), silent.substr(3, 5)); // loud frames: other scale factors
}
