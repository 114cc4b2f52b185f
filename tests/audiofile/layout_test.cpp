// The speakers of the channels (AudioInfo::channel_mask): an extensible WAVE's mask when it has
// a bit per channel, the formats' own orders for FLAC and Ogg decoded by libsndfile, with Ogg's
// channels delivered in the WAVE order, and nothing for files that name no speakers.
#include "fixtures.h"
#include "foreign_files.h"

#include <cmath>
#include <numbers>
#include <sndfile.h>

namespace layout_test {

using aftest::chunk;
using aftest::riff;
using testsupport::le16;
using testsupport::le32;

// A 6-channel 16-bit extensible "fmt " chunk with `mask` for its speakers.
std::string extensible_fmt(int channels, uint32_t mask) {
    return chunk("fmt ", aftest::fmt_fields(0xFFFE, channels, 48000, 16) + le16(22) + le16(16) +
                             le32(mask) + le16(1) +
                             std::string("\0\0\0\0\x10\0\x80\0\0\xAA\0\x38\x9B\x71", 14));
}

} // namespace layout_test

using namespace layout_test;

TEST(ChannelLayout, AnExtensibleMaskCountsWhenItHasABitPerChannel) {
    struct Case {
        const char* name;
        std::string fmt;
        int channels;
        uint32_t mask;
    };
    const std::vector<Case> cases = {
        {"5.1", extensible_fmt(6, 0x3F), 6, 0x3F},
        {"7.1", extensible_fmt(8, 0x63F), 8, 0x63F},
        {"stereo", extensible_fmt(2, 0x3), 2, 0x3},
        {"five bits for six channels", extensible_fmt(6, 0x37), 6, 0},
        {"seven bits for six channels", extensible_fmt(6, 0x13F), 6, 0},
        {"no mask", extensible_fmt(6, 0), 6, 0},
        {"the plain format", chunk("fmt ", aftest::fmt_fields(1, 6, 48000, 16)), 6, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto o = aftest::open_bytes(
            riff(c.fmt + chunk("data", std::string(static_cast<size_t>(c.channels) * 2 * 4, 0))));
        ASSERT_NE(o->file, nullptr) << o->err;
        EXPECT_EQ(o->info.channels, c.channels);
        EXPECT_EQ(o->info.channel_mask, c.mask);
    }
}

// FLAC keeps its channels (already in the WAVE order); Vorbis's 3.0 is stored L C R and comes
// out L R C: a tone stored in the second channel (the centre) is delivered in the third.
TEST(ChannelLayout, DecodedFilesNameTheirFormatsSpeakersInTheWaveOrder) {
    const std::vector<std::pair<int, uint32_t>> flac = {
        {1, 0x4}, {2, 0x3}, {3, 0x7}, {4, 0x33}, {5, 0x37}, {6, 0x3F}, {7, 0x70F}, {8, 0x63F}};
    for (const auto& [channels, mask] : flac) {
        std::vector<short> pcm(static_cast<size_t>(channels) * 64);
        for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<short>(i);
        const auto o = aftest::open_bytes(testsupport::written_by_libsndfile(
            "t.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 48000, channels, pcm));
        ASSERT_NE(o->file, nullptr) << o->err;
        EXPECT_EQ(o->info.channel_mask, mask) << channels << " channels";
        const auto frames = aftest::read_frames(*o->file, channels);
        ASSERT_EQ(frames.size(), 64u);
        EXPECT_EQ(frames[1][static_cast<size_t>(channels - 1)], 2 * channels - 1);
    }

    std::vector<short> centre(3 * 48000);
    for (size_t t = 0; t < centre.size() / 3; ++t)
        centre[3 * t + 1] = static_cast<short>(std::lround(
            16000 * std::sin(2 * std::numbers::pi * 1000 * static_cast<double>(t) / 48000)));
    const auto o = aftest::open_bytes(testsupport::written_by_libsndfile(
        "t.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 48000, 3, centre));
    ASSERT_NE(o->file, nullptr) << o->err;
    EXPECT_EQ(o->info.channel_mask, 0x7u);
    std::array<double, 3> energy{};
    for (const auto& frame : aftest::read_frames(*o->file, 3, 48000))
        for (size_t c = 0; c < 3; ++c) energy[c] += frame[c] * frame[c];
    EXPECT_GT(energy[2], 1000 * (energy[0] + energy[1]));
}
