// Encoding one stream in parts: an encoder reset and primed with the frames before frame k codes
// frame k and everything after it exactly as one pass from the start does, at every k, in every
// frame shape, with silences shorter and longer than the filter's reach on either side of k.
#include "sbc/sbc.h"
#include "sbc_test_util.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using sbctest::StreamParams;

// One frame per letter: t a tone, z zeros, c zeros but for a click on the last instant (which
// the filter remembers for 9 blocks), f zeros but for the first instant.
constexpr const char* pattern = "ttzzttzzzzzczzzzzzzztfzztzctzzzzzczzt";

std::vector<int16_t> patterned_pcm(const StreamParams& p) {
    const size_t per_frame = static_cast<size_t>(p.subbands * p.blk_len * p.channels);
    std::vector<int16_t> pcm;
    uint32_t noise = 0x9E3779B9u;
    for (const char* kind = pattern; *kind != '\0'; ++kind) {
        for (size_t i = 0; i < per_frame; ++i) {
            noise ^= noise << 13, noise ^= noise >> 17, noise ^= noise << 5;
            int16_t v = 0;
            if (*kind == 't') v = static_cast<int16_t>(static_cast<int32_t>(noise >> 18) - 8192);
            if (*kind == 'c' && i == per_frame - 1) v = 32767;
            if (*kind == 'f' && i == 0) v = -32768;
            pcm.push_back(v);
        }
    }
    return pcm;
}

TEST(EncodingInParts, EveryFrameAfterASplitIsTheOnePassFrame) {
    const std::vector<StreamParams> shapes = {
        {44100, 2, 8, 16, sbc::JOINT_STEREO, 53, sbc::SNR},
        {48000, 2, 8, 12, sbc::STEREO, 40, sbc::LOUDNESS},
        {32000, 2, 8, 8, sbc::DUAL_CHANNEL, 30, sbc::SNR},
        {16000, 1, 4, 4, sbc::MONO, 20, sbc::LOUDNESS},
        {44100, 2, 4, 8, sbc::JOINT_STEREO, 24, sbc::SNR},
        {44100, 2, 8, 4, sbc::STEREO, 60, sbc::SNR},
    };
    for (const StreamParams& p : shapes) {
        SCOPED_TRACE(std::to_string(p.subbands) + " bands, " + std::to_string(p.blk_len) +
                     " blocks, mode " + std::to_string(p.channel_mode));
        const std::vector<int16_t> pcm = patterned_pcm(p);
        const std::string whole = sbctest::encode_stream(p, pcm);
        auto model = sbc::encoder_create(p.sampling_frequency, p.channels, p.subbands, p.blk_len);
        ASSERT_EQ(sbc::encoder_configure(*model, p.channel_mode, p.bitpool, p.allocation_method),
                  sbc::CONFIGURE_OK);
        const auto part = sbc::encoder_create_like(*model);
        ASSERT_TRUE(part);
        const auto frame_bytes = static_cast<size_t>(sbc::encoder_frame_length(*part));
        const size_t per_frame = static_cast<size_t>(part->samples_per_channel * p.channels);
        const int64_t frames = static_cast<int64_t>(pcm.size() / per_frame);
        ASSERT_EQ(whole.size(), static_cast<size_t>(frames) * frame_bytes);
        const int64_t reach = (9 + p.blk_len - 1) / p.blk_len;
        // One encoder for every split, reset in between, as a thread reuses its own; before
        // each reset it codes loud noise long enough to fill every column of its history.
        std::vector<uint8_t> out(sbc::MAX_FRAME_LENGTH);
        const std::vector<int16_t> loud(per_frame, 30000);
        for (int64_t k = 0; k < frames; ++k) {
            const int64_t priming = sbc::encoder_priming_frames(*part, k);
            ASSERT_EQ(priming, std::min(k, reach)) << k;
            for (int i = 0; i < 40; ++i) {
                int32_t length = 0;
                sbc::encoder_encode_frame(*part, loud, out, length);
            }
            sbc::encoder_reset(*part);
            std::string tail;
            for (int64_t f = k - priming; f < frames; ++f) {
                int32_t length = 0;
                const auto at = static_cast<size_t>(f) * per_frame;
                ASSERT_GT(sbc::encoder_encode_frame(*part, std::span(pcm).subspan(at, per_frame),
                                                    out, length),
                          0);
                if (f >= k) tail.append(out.begin(), out.begin() + length);
            }
            EXPECT_TRUE(tail == whole.substr(static_cast<size_t>(k) * frame_bytes))
                << "split at frame " << k << " (" << pattern[k] << ")";
        }
    }
}

} // namespace
