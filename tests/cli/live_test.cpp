// Live pipelines through the built program: input fed through a real pipe piece by piece, the
// headers streaming tools write when they cannot seek, stop signals and a reader that goes away.
// No timing is asserted: every wait has a generous timeout, and only what has arrived by then
// (or what never arrives) is checked.
#include "banner.h"
#include "container_fixture.h"
#include "process.h"
#include "wave_fixture.h"

#include <csignal>
#include <gtest/gtest.h>

namespace cli_live_test {

namespace {

using namespace testsupport;
using namespace std::chrono_literals;

constexpr int rate = 44100;
constexpr size_t frame_bytes = 135; // -j at 44100 Hz, stereo: bitpool 61
constexpr auto patience = 10s;      // for what must come; never reached when all is well

std::vector<int16_t> stereo_samples(int instants) {
    return to_pcm16(sine_frames(2, rate, instants, 440, 0.5));
}

// The program's stream for `bytes` read from a regular file.
std::string stream_from_file(const std::string& bytes, const std::vector<std::string>& options) {
    TempDir dir;
    write_file(dir / "in", bytes);
    std::vector<std::string> argv = {vantrel_binary()};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back((dir / "in").string());
    const auto r = run_process(argv);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

// A WAVE file that fills a pipe many times over and is long enough for the threaded run, and
// the program's stream for it.
struct LongInput {
    TempDir dir;
    std::string path = (dir / "in.wav").string();
    std::string expected;
    LongInput() {
        const std::string wav = wave_file(2, rate, 16, pcm16_le(stereo_samples(128 * 4000)));
        write_file(path, wav);
        expected = stream_from_file(wav, {"-j"});
    }
};

LiveProcess live_encoder(bool sigpipe_ignored = false) {
    return LiveProcess({vantrel_binary(), "-j", "AUDIO_FROM_STDIN"}, sigpipe_ignored);
}

} // namespace

// After every piece of input, each frame whose samples are all in must be readable before the
// next piece is written. Pieces end on frame boundaries and inside frames (inside a sample
// too); the containers take the three ways samples reach the encoder (used in place, copied with
// their bytes swapped, converted from float), with a known and an unknown length.
TEST(LiveRun, EachFrameLeavesAsSoonAsItsSamplesHaveArrived) {
    constexpr int frames = 14;
    const auto pcm = stereo_samples(128 * frames + 77);
    std::vector<float> floats;
    for (int16_t s : pcm) floats.push_back(static_cast<float>(s) / 32768.0f);
    struct Case {
        const char* name;
        std::string header, data;
    };
    const auto aiff = [&](const std::string& data) {
        const std::string comm = aiff_chunk("COMM", comm_fields(2, 128 * frames + 77, 16, rate));
        return form("AIFF", comm + ssnd(data)).substr(0, 54);
    };
    const Case cases[] = {
        {"wave", wave_file(2, rate, 16, pcm16_le(pcm)).substr(0, 44), pcm16_le(pcm)},
        {"wave, length unknown", wave_file(2, rate, 16, "", 1, 0xFFFFFFFF), pcm16_le(pcm)},
        {"aiff", aiff(pcm16_be(pcm)), pcm16_be(pcm)},
        {"sun float", sun_file(6, rate, 2, "", ~0u), float32_be(floats)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string expected = stream_from_file(c.header + c.data, {"-j"});
        ASSERT_EQ(expected.size(), frames * frame_bytes);
        const size_t in_frame = c.data.size() / (128 * frames + 77) * 128; // bytes of a frame
        const size_t pieces[] = {
            0, in_frame * 2,       in_frame / 2 + 3, in_frame / 2 - 3, 1, in_frame * 5 - 1,
            7, in_frame * 3 + 100, c.data.size()};
        LiveProcess p = live_encoder();
        ASSERT_TRUE(p.write(c.header));
        size_t sent = 0;
        for (size_t piece : pieces) {
            piece = std::min(piece, c.data.size() - sent);
            ASSERT_TRUE(p.write(c.data.substr(sent, piece)));
            sent += piece;
            const size_t complete = std::min<size_t>(sent / in_frame, frames) * frame_bytes;
            EXPECT_TRUE(p.wait_for_output(complete, patience))
                << "after " << sent << " bytes: " << p.out.size() << " of " << complete;
            EXPECT_EQ(p.out.size(), complete) << "after " << sent << " bytes";
        }
        EXPECT_EQ(p.finish(), 0);
        EXPECT_EQ(p.err, banner);
        EXPECT_TRUE(p.out == expected);
    }
}

// What sox, ffmpeg and arecord write to a pipe, read from a pipe: every frame of the samples, and
// no message, whatever size the header shows. A real size cut short still says so.
TEST(LiveRun, PlaceholderSizesFromStreamingToolsEndWithoutAMessage) {
    const auto pcm = stereo_samples(128 * 30 + 50);
    const std::string raw = pcm16_le(pcm);
    const std::string wav = wave_file(2, rate, 16, raw);
    const std::string expected = stream_from_file(wav, {"-j"});
    const std::vector<std::string> sox_raw = {"sox", "-t", "raw", "-r", "44100",  "-c",
                                              "2",   "-b", "16",  "-e", "signed", "-"};
    const std::vector<std::string> ffmpeg_raw = {"ffmpeg", "-v",      "error",    "-f", "s16le",
                                                 "-ar",    "44100",   "-ac",      "2",  "-i",
                                                 "pipe:0", "-fflags", "+bitexact"};
    struct Case {
        std::vector<std::string> tool;
        std::vector<std::string> output;
    };
    const Case cases[] = {
        {sox_raw, {"-t", "wav", "-"}},
        {sox_raw, {"-t", "au", "-"}},
        {sox_raw, {"-t", "aiff", "-"}},
        {sox_raw, {"-t", "aifc", "-"}},
        {ffmpeg_raw, {"-f", "wav", "pipe:1"}},
        {ffmpeg_raw, {"-c:a", "pcm_s16be", "-f", "au", "pipe:1"}},
    };
    for (const Case& c : cases) {
        if (!have_program(c.tool[0])) {
            std::cout << c.tool[0] << " is not installed: its headers are NOT checked\n";
            continue;
        }
        std::vector<std::string> argv = c.tool;
        argv.insert(argv.end(), c.output.begin(), c.output.end());
        SCOPED_TRACE(shell_command(argv));
        const auto made = run_process(argv, raw); // standard output is a pipe: no seeking back
        ASSERT_EQ(made.status, 0) << made.err;
        const auto r = run_process({vantrel_binary(), "-j", "AUDIO_FROM_STDIN"}, made.out);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, banner);
        EXPECT_TRUE(r.out == expected);
    }

    if (have_program("arecord") && have_program("timeout")) {
        const auto made = run_process({"timeout", "0.5", "arecord", "-q", "-D", "null", "-f", "cd",
                                       "-t", "wav"}); // sound of no device, until killed
        if (made.out.size() > 44) {
            const auto r = run_process({vantrel_binary(), "-j", "AUDIO_FROM_STDIN"}, made.out);
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.err, banner) << "arecord";
            EXPECT_EQ(r.out.size(), (made.out.size() - 44) / 512 * frame_bytes);
        }
    } else {
        std::cout << "arecord is not installed: its header is NOT checked\n";
    }

    const std::string cut = wav.substr(0, 44 + 512 * 10 + 100);
    const auto r = run_process({vantrel_binary(), "-j", "AUDIO_FROM_STDIN"}, cut);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, banner + "\nThe input data ended early: 1305 of 3890 sample frames read; "
                              "the stream ends with the last whole frame\n");
    EXPECT_TRUE(r.out == expected.substr(0, 10 * frame_bytes));
}

// SIGINT or SIGTERM while the run waits for input: the frames encoded so far are all written,
// whole, to a pipe or a file, and the program ends by the signal.
TEST(LiveRun, StopSignalsLeaveWholeFramesAndEndByTheSignal) {
    const std::string wav = wave_file(2, rate, 16, pcm16_le(stereo_samples(128 * 40)));
    const std::string expected = stream_from_file(wav, {"-j"});
    const std::string first = wav.substr(0, 44 + 512 * 9 + 300); // 9 frames and a part
    for (const int signal : {SIGINT, SIGTERM}) {
        for (const bool to_file : {false, true}) {
            SCOPED_TRACE(std::string(strsignal(signal)) + (to_file ? " to a file" : " to a pipe"));
            TempDir dir;
            const std::string out = (dir / "out.sbc").string();
            std::vector<std::string> argv = {vantrel_binary(), "-j", "AUDIO_FROM_STDIN"};
            if (to_file) argv.insert(argv.begin() + 1, {"-o", out});
            LiveProcess p(argv);
            ASSERT_TRUE(p.write(first));
            // A pipe shows when the frames are out; a file keeps them until the end.
            ASSERT_TRUE(to_file ? p.wait_until_idle(patience)
                                : p.wait_for_output(9 * frame_bytes, patience));
            p.send(signal);
            EXPECT_EQ(p.wait_for_exit(patience), 128 + signal);
            EXPECT_EQ(p.err, banner);
            EXPECT_TRUE((to_file ? read_file(out) : p.out) == expected.substr(0, 9 * frame_bytes));
        }
    }
}

// A stop signal while the run waits for a reader that takes nothing: the write goes on when the
// reader comes back, so the frames stay whole and no write is reported as failed; or, when the
// reader does not come back, a second signal (SIGINT after SIGTERM) ends the run at once. The
// file is long enough for the threaded run (-T 2), whose workers stop taking spans, and the
// single pass.
TEST(LiveRun, AStopSignalDuringABlockedWriteKeepsTheFramesWholeASecondEndsTheRun) {
    const LongInput input;
    const std::string& expected = input.expected;
    for (const char* threads : {"1", "2"}) {
        for (const bool second : {false, true}) {
            SCOPED_TRACE(std::string("-T ") + threads + (second ? ", a second signal" : ""));
            LiveProcess p({vantrel_binary(), "-j", "-T", threads, input.path});
            ASSERT_TRUE(p.wait_until_idle(patience)); // asleep in a write to the full pipe
            p.send(SIGTERM);
            ASSERT_TRUE(p.wait_until_taken(SIGTERM, patience));
            if (second) {
                p.send(SIGINT);
                EXPECT_EQ(p.wait_for_exit(patience, false), 128 + SIGINT); // nothing read
                continue;
            }
            EXPECT_EQ(p.finish(), 128 + SIGTERM);
            EXPECT_EQ(p.err, banner);
            EXPECT_EQ(p.out.size() % frame_bytes, 0u);
            EXPECT_GT(p.out.size(), 0u);
            EXPECT_LT(p.out.size(), expected.size()); // it stopped before the end
            EXPECT_TRUE(p.out == expected.substr(0, p.out.size()));
        }
    }
}

// A reader that goes away ends the run at the next frame, although the input goes on: by
// SIGPIPE, or, with SIGPIPE ignored, with one message and status 1.
TEST(LiveRun, AClosedDownstreamEndsTheRunAtOnce) {
    const std::string wav = wave_file(2, rate, 16, pcm16_le(stereo_samples(128 * 40)));
    for (const bool ignored : {false, true}) {
        SCOPED_TRACE(ignored ? "SIGPIPE ignored" : "SIGPIPE by default");
        LiveProcess p = live_encoder(ignored);
        ASSERT_TRUE(p.write(wav.substr(0, 44 + 512 * 3)));
        ASSERT_TRUE(p.wait_for_output(3 * frame_bytes, patience));
        p.close_output();
        p.write(wav.substr(44 + 512 * 3, 512 * 2)); // the input stays open
        EXPECT_EQ(p.wait_for_exit(patience), ignored ? 1 : 128 + SIGPIPE);
        EXPECT_EQ(p.err, banner + (ignored ? "\nError writing outputfile\n" : ""));
    }
}

// A standard output left non-blocking by whoever shares the pipe: a full pipe is waited for, as
// a blocking write would wait, and every frame arrives; it is no failed write.
TEST(LiveRun, ANonBlockingOutputThatFillsUpIsWaitedFor) {
    const LongInput input;
    for (const char* threads : {"1", "2"}) {
        SCOPED_TRACE(std::string("-T ") + threads);
        LiveProcess p({vantrel_binary(), "-j", "-T", threads, input.path}, false, true);
        ASSERT_TRUE(p.wait_until_idle(patience)); // the pipe is full and nobody reads yet
        EXPECT_EQ(p.finish(), 0);
        EXPECT_EQ(p.err, banner);
        EXPECT_TRUE(p.out == input.expected);
    }
}

} // namespace cli_live_test
