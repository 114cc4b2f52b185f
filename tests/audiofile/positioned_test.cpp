// Reads at a position: any run of a regular file's sample frames, read where it lies and
// converted, holds exactly the values that reading the stream from the start delivers for those
// frames, in every container and sample type; where the file ends the count says so, and once
// the stream has been read from the handle is no longer served.
#include "audiofile/audiofile.h"
#include "process.h"
#include "sample_files.h"

#include <cstddef>
#include <filesystem>
#include <gtest/gtest.h>
#include <vector>

using namespace audiofile;

namespace {

TEST(PositionedReads, AnyRunHoldsTheValuesOfTheStreamReadFromTheStart) {
    testsupport::TempDir dir;
    constexpr int frames = 3000;
    for (const auto& f : testsupport::sample_files(frames)) {
        SCOPED_TRACE(f.name);
        // One byte short: the last frame is cut.
        testsupport::write_file(dir / f.name, f.bytes.substr(0, f.bytes.size() - 1));
        AudioInfo info{};
        auto file = audio_open((dir / f.name).c_str(), "r", info);
        ASSERT_TRUE(file);
        ASSERT_TRUE(audio_positioned(*file));
        const auto channels = static_cast<size_t>(f.channels);
        const size_t frame_bytes = channels * static_cast<size_t>(sample_bits(f.sample_type) / 8);
        std::vector<std::byte> raw(1000 * frame_bytes);
        std::vector<double> positioned(1000 * channels);
        int error = -1;
        // 998 whole frames from frame 2001 on, and the bytes of the cut one.
        EXPECT_EQ(audio_read_raw_at(*file, 2001, raw, error), 998);
        EXPECT_EQ(error, 0);
        EXPECT_EQ(audio_convert_frames(info, raw, positioned), 1000); // what the bytes hold
        if (sample_bits(f.sample_type) == 16 && !sample_is_float(f.sample_type)) {
            std::vector<std::int16_t> words(1000 * channels);
            ASSERT_EQ(
                audio_read_raw_at(*file, 2001, std::as_writable_bytes(std::span(words)), error),
                998);
            ASSERT_TRUE(audio_words_to_samples16(info, words));
            for (size_t i = 0; i < words.size(); ++i) ASSERT_EQ(words[i], positioned[i]) << i;
        }
        // Read from the start, the stream delivers the same values for the same frames.
        std::vector<double> streamed(frames * channels);
        ASSERT_EQ(audio_read_frames(streamed, *file), frames - 1);
        for (size_t i = 0; i < 998 * channels; ++i)
            ASSERT_EQ(std::bit_cast<std::uint64_t>(positioned[i]),
                      std::bit_cast<std::uint64_t>(streamed[2001 * channels + i]))
                << i;
        EXPECT_FALSE(audio_positioned(*file)); // the stream has moved on
        EXPECT_EQ(audio_close(file), 0);
    }
}

} // namespace
