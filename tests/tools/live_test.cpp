// vantrel-decode in a live pipeline: each frame's audio can be read as soon as the frame has
// been written to its input; SIGINT leaves a valid file; a closed downstream ends the run.
// Ordering, not timing: every wait has a generous limit, and only a hang fails it.
#include "process.h"
#include "sbc_streams.h"
#include "tools.h"

#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <string>
#include <thread>

namespace tools_live_test {

namespace {

using namespace testsupport;
using namespace toolstest;
using namespace std::chrono_literals;

const SbcShape joint{44100, 2, sbc::JOINT_STEREO, 8, 16, 53}; // 119-byte frames, 128 instants
constexpr size_t frame_pcm_bytes = 128 * 2 * 2;
constexpr size_t wave_header_bytes = 44;

TEST(LiveDecoding, EachFramesAudioIsReadableBeforeTheNextChunkIsWritten) {
    const std::string stream = joined(sbc_frames(joint, 120));
    const auto expected = run_process({decode_binary(), "-"}, stream);
    ASSERT_EQ(expected.status, 0);
    // Chunks that end on a frame boundary, inside a header, and inside the samples.
    const size_t sizes[] = {119, 1, 3, 115, 238, 50, 69, 357, 1000, 119 * 7};
    LiveProcess live({decode_binary(), "-"}, true);
    size_t written = 0;
    for (size_t i = 0; written < stream.size(); ++i) {
        const size_t n = std::min(sizes[i % std::size(sizes)], stream.size() - written);
        ASSERT_TRUE(live.write(stream.substr(written, n)));
        written += n;
        const size_t whole_frames = written / 119;
        ASSERT_TRUE(live.wait_for_output(wave_header_bytes + whole_frames * frame_pcm_bytes, 20s))
            << "after " << written << " bytes, the audio of " << whole_frames
            << " frames did not come out (" << live.out.size() << " bytes did)";
        EXPECT_EQ(live.out.size(), wave_header_bytes + whole_frames * frame_pcm_bytes)
            << "audio beyond the frames written";
    }
    live.close_input();
    EXPECT_EQ(live.wait_for_exit(20s), 0);
    EXPECT_EQ(live.out, expected.out) << "a live run writes what a run on the file writes";
}

// SIGINT while the input is still open: the output file holds whole frames, its header counts
// them, and the process ends by the signal.
TEST(LiveDecoding, SigintLeavesAValidFile) {
    TempDir dir;
    const std::string stream = joined(sbc_frames(joint, 40));
    for (const char* type : {"wav", "au", "aiff"}) {
        const auto out = dir / (std::string("live.") + type);
        LiveProcess live({decode_binary(), "-o", out.string(), "-"}, true);
        ASSERT_TRUE(live.write(stream));
        // The header is written with the first frame: then the run is under way.
        const auto size = [&] {
            std::error_code ec;
            const auto n = std::filesystem::file_size(out, ec);
            return ec ? 0 : n;
        };
        for (int i = 0; i < 2000 && size() == 0; ++i) std::this_thread::sleep_for(10ms);
        ASSERT_GT(size(), 0u) << type;
        live.send(SIGINT);
        EXPECT_EQ(live.wait_for_exit(20s), 128 + SIGINT) << type;
        const ReadBack back = read_back(out);
        ASSERT_TRUE(back.opened) << type;
        EXPECT_TRUE(back.count_known) << type;
        EXPECT_GE(back.count, 128) << type;
        EXPECT_EQ(back.count % 128, 0) << type;
        EXPECT_EQ(header_count(out), back.count) << type << ": the header's own count";
        EXPECT_EQ(back.samples.size(), static_cast<size_t>(back.count) * 2) << type;
        EXPECT_EQ(live.err, "") << type;
    }
}

// The reader of the audio goes away while the input is still open: the run ends at once, with
// one message and status 1 (SIGPIPE ignored) instead of writing on.
TEST(LiveDecoding, AClosedDownstreamEndsTheRun) {
    const std::string stream = joined(sbc_frames(joint, 40));
    LiveProcess live({decode_binary(), "-t", "raw", "-"}, true);
    ASSERT_TRUE(live.write(stream.substr(0, 119 * 10)));
    ASSERT_TRUE(live.wait_for_output(10 * frame_pcm_bytes, 20s));
    live.close_output();
    live.write(stream.substr(119 * 10, 119 * 10)); // more audio, nowhere to go
    EXPECT_EQ(live.wait_for_exit(20s), 1) << "the run did not end";
    EXPECT_EQ(live.err, "vantrel-decode: cannot write standard output: Broken pipe\n");
}

} // namespace

} // namespace tools_live_test
