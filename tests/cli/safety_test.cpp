// Failures never pass as success: the audio a run reads is never destroyed by the output, and a
// read that fails is reported as a failure, not taken for the end of the data.
#include "banner.h"
#include "cli/encode/settings.h"
#include "failing_stream.h"
#include "process.h"
#include "wave_fixture.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace {

using namespace testsupport;

const std::string song =
    wave_file(2, 44100, 16, pcm16_le(to_pcm16(sine_frames(2, 44100, 128 * 20, 440, 0.5))));

std::string sh(const std::string& word) {
    return "'" + word + "'";
}

// Every way of naming the input as the output is refused before anything is truncated: the
// input keeps its bytes, and the run fails with a message naming the output.
TEST(OutputSafety, AnOutputThatIsTheInputIsRefusedAndTheInputKept) {
    TempDir dir;
    const std::string in = (dir / "song.wav").string();
    const std::string bin = sh(vantrel_binary());
    struct Case {
        std::string command;
        const char* named;
    };
    const Case cases[] = {
        {bin + " -o " + sh(in) + " " + sh(in), "song.wav"},
        {bin + " -o " + sh(in) + " -o " + sh(in + ".sbc") + " " + sh(in), "song.wav"},
        {"ln " + sh(in) + " " + sh(in + ".link") + " && " + bin + " -o " + sh(in + ".link") + " " +
             sh(in),
         "song.wav.link"},
        {bin + " -o " + sh(in) + " AUDIO_FROM_STDIN < " + sh(in), "song.wav"},
        {bin + " " + sh(in) + " >> " + sh(in), "standard output"},
    };
    for (const Case& c : cases) {
        write_file(in, song);
        std::filesystem::remove(in + ".link");
        const auto r = run_process({"sh", "-c", c.command});
        EXPECT_EQ(r.status, 1) << c.command;
        EXPECT_NE(r.err.find(std::string(c.named) + " is the inputfile"), std::string::npos)
            << c.command << "\n"
            << r.err;
        EXPECT_EQ(read_file(in), song) << c.command;
    }
    // An earlier -o that is not the input is still created and emptied, as before.
    write_file(dir / "old.sbc", "old bytes");
    const auto r = run_process(
        {vantrel_binary(), "-o", (dir / "old.sbc").string(), "-o", (dir / "new.sbc").string(), in});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir / "old.sbc"), "");
    EXPECT_EQ(read_file(dir / "new.sbc").size(), 20u * 136);
}

// A stream that fails in the middle of the samples ends the run with status 1 and the system's
// text, whether the header gave a count (a file) or not (a pipe); the frames before the failure
// stay whole.
TEST(ReadFailures, AFailedReadEndsTheRunAsAFailure) {
    const std::string pipe_song = song.substr(0, 40) + le32(0xFFFFFFFF) + song.substr(44);
    for (const std::string& input : {song, pipe_song}) {
        TempDir dir;
        std::FILE* output = std::fopen((dir / "out.sbc").c_str(), "wb");
        audiofile::AudioInfo info{};
        testing::internal::CaptureStderr();
        auto file = audiofile::audio_open_stream(failing_stream(input, 44 + 512 * 5 + 10), info);
        const int status = cli::encode_input(cli::Settings{}, output, std::move(file), info);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(status, 1);
        EXPECT_EQ(err, "\nError reading inputfile: Input/output error\n");
        EXPECT_EQ(read_file(dir / "out.sbc").size(), 136u * 5);
    }
}

// Recognition that cannot read says why in the system's words, not only "not recognized".
TEST(ReadFailures, UnreadableInputsSayWhyInTheSystemsWords) {
    TempDir dir;
    const std::string bin = sh(vantrel_binary());
    const std::pair<std::string, std::string> cases[] = {
        {bin + " " + sh(dir.path.string()), "Is a directory"},
        {bin + " AUDIO_FROM_STDIN <&-", "Bad file descriptor"},
        {bin + " -o " + sh((dir / "o.sbc").string()) + " AUDIO_FROM_STDIN <&-",
         "Bad file descriptor"},
    };
    for (const auto& [command, text] : cases) {
        const auto r = run_process({"sh", "-c", command});
        EXPECT_EQ(r.status, 1) << command;
        EXPECT_EQ(r.err,
                  banner + "\nError reading inputfile: " + text + "\n\nError opening inputfile\n")
            << command;
    }
}

// With standard error closed, a new output file must not take its descriptor: the frames stay
// frames, with no message text among them.
TEST(ReadFailures, MessagesNeverLandInTheOutputFile) {
    TempDir dir;
    write_file(dir / "in.wav", song);
    const auto out = dir / "out.sbc";
    const auto r = run_process({"sh", "-c",
                                sh(vantrel_binary()) + " -o " + sh(out.string()) + " -v " +
                                    sh((dir / "in.wav").string()) + " 2>&-"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(out).size(), 20u * 136);
    EXPECT_EQ(read_file(out).find("bitpool"), std::string::npos);
}

} // namespace
