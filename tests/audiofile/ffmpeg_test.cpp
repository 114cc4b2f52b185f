// Files read through FFmpeg's libraries, at the library's interface: the values and the speaker
// layout that the encoder and the mixdown of more than two channels are given.
#include "fixtures.h"
#include "refusals.h"

#include <cmath>

using namespace audiofile;

namespace {

// Every sample frame of a file, as audio_read_frames delivers them, with its description.
struct Samples {
    AudioInfo info{};
    std::vector<double> values;
};

Samples read_all(const std::string& path) {
    Samples s;
    auto file = audio_open(path.c_str(), "r", s.info);
    if (!file) return s;
    std::vector<double> block(4096 * static_cast<size_t>(s.info.channels));
    for (int got; (got = audio_read_frames(block, *file)) > 0;)
        s.values.insert(s.values.end(), block.begin(), block.begin() + got * s.info.channels);
    audio_close(file);
    return s;
}

bool ffmpeg(const std::string& args) {
    return testsupport::run_process({"sh", "-c", "ffmpeg -v error -y " + args}).status == 0;
}

// A 5.1 WavPack file says which speaker each channel feeds (FL FR FC LFE SL SR), and gives the
// 16-bit values ffmpeg's own decode of it gives; a 24-bit ALAC file gives the 24-bit WAVE's
// values at the top of 32 bits, as libsndfile's 24-bit files do.
TEST(FfmpegReader, LosslessFilesGiveTheSourceValuesAndTheirSpeakerLayout) {
    if (!testsupport::have_ffmpeg_reader) GTEST_SKIP() << "built without the FFmpeg reader";
    if (!testsupport::have_program("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
    const testsupport::TempDir dir;
    const auto at = [&](const char* name) { return (dir / name).string(); };
    ASSERT_TRUE(ffmpeg("-f lavfi -i sine=f=300:d=0.5 -filter_complex "
                       "\"[0]asplit=6[a][b][c][d][e][f];[a][b][c][d][e][f]join=inputs=6:"
                       "channel_layout=5.1(side)\" -c:a wavpack " +
                       at("six.wv")));
    ASSERT_TRUE(ffmpeg("-i " + at("six.wv") + " -c:a pcm_s16le " + at("six.wav")));
    const Samples six = read_all(at("six.wv"));
    const Samples six_wave = read_all(at("six.wav"));
    EXPECT_EQ(six.info.channels, 6);
    EXPECT_EQ(six.info.sample_type, ST_DECODED_PCM16);
    EXPECT_EQ(six.info.channel_mask, SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT |
                                         SPEAKER_FRONT_CENTER | SPEAKER_LOW_FREQUENCY |
                                         SPEAKER_SIDE_LEFT | SPEAKER_SIDE_RIGHT);
    EXPECT_TRUE(six.info.num_samples_known);
    EXPECT_EQ(six.info.num_samples, 22050);
    EXPECT_EQ(six.values.size(), 6u * 22050);
    EXPECT_TRUE(six.values == six_wave.values);

    ASSERT_TRUE(ffmpeg("-f lavfi -i anoisesrc=d=0.5:r=48000 -ac 2 -c:a pcm_s24le " + at("24.wav")));
    ASSERT_TRUE(ffmpeg("-i " + at("24.wav") + " -c:a alac " + at("24.m4a")));
    const Samples alac = read_all(at("24.m4a"));
    const Samples wave = read_all(at("24.wav"));
    EXPECT_EQ(alac.info.sample_type, ST_DECODED_PCM32);
    EXPECT_EQ(alac.info.channel_mask, SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT);
    ASSERT_EQ(alac.values.size(), wave.values.size());
    ASSERT_EQ(wave.values.size(), 2u * 24000);
    size_t differ = 0;
    for (size_t i = 0; i < wave.values.size(); ++i)
        differ += alac.values[i] != wave.values[i] * 256;
    EXPECT_EQ(differ, 0u);
}

} // namespace
