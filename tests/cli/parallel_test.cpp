// Encoding on several threads (-T) gives the single pass's bytes, messages and status: for input
// lengths around the span and frame boundaries in every channel mode, for every container and
// sample type, for data that ends early, fails to read or cannot be written, and in bounded
// memory.
#include "banner.h"
#include "cli/encode/parallel_run.h"
#include "process.h"
#include "sample_files.h"
#include "wave_fixture.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>


namespace cli_parallel_test {

namespace {

using namespace testsupport;


using namespace std::chrono_literals;

constexpr int rate = 44100;
const std::vector<std::string> thread_counts = {"2", "3", "16"};
constexpr auto patience = 10s; // for what must come; never reached when all is well

ProcessResult encode(const std::string& input, const std::string& threads,
                     std::vector<std::string> options, const std::string& output = "-") {
    std::vector<std::string> args = {vantrel_binary(), "-T", threads};
    args.insert(args.end(), options.begin(), options.end());
    if (output != "-") args.insert(args.end(), {"-o", output});
    args.push_back(input);
    return run_process(args);
}

// Compares the run with every thread count against the single pass: status, messages, bytes.
void expect_like_single_pass(const std::string& input, const std::vector<std::string>& options,
                             const std::string& label) {
    const ProcessResult single = encode(input, "1", options);
    for (const std::string& threads : thread_counts) {
        const ProcessResult r = encode(input, threads, options);
        EXPECT_EQ(r.status, single.status) << label << " -T " << threads;
        EXPECT_EQ(r.err, single.err) << label << " -T " << threads;
        EXPECT_TRUE(r.out == single.out) << label << " -T " << threads << ": " << r.out.size()
                                         << " bytes, single pass " << single.out.size();
    }
}

struct Shape {
    std::vector<std::string> options;
    int channels, subbands, blocks;
    int rate = 44100;
};

// Every channel mode, every block length (1, 2 or 3 frames of priming), both band counts, and
// mSBC in H2 units (whose sequence bytes count from the stream's first frame).
const std::vector<Shape> shapes = {
    {{}, 1, 8, 16},
    {{"-n", "4", "-l", "4"}, 1, 4, 4},
    {{"-l", "8"}, 2, 8, 8},
    {{"-s", "-l", "4"}, 2, 8, 4},
    {{"-j", "-v"}, 2, 8, 16},
    {{"-j", "-n", "4", "-l", "12", "-p"}, 2, 4, 12},
    {{"-m", "-H"}, 1, 8, 15, 16000},
};

// Sound with silences placed at the span boundaries B, 2B, 3B (in sample instants): two blocks
// of zeros before B and three frames after it (a span that starts silent with sound in its
// history), zeros from well before 2B into the span after it (a span that starts in digital
// silence), and a silent last frame before 3B.
std::vector<int16_t> bounded_signal(const Shape& s, int64_t instants, int64_t span) {
    const int64_t frame = s.subbands * s.blocks;
    const auto silent = [&](int64_t t) {
        return (t >= span - 2 * s.subbands && t < span + 3 * frame) ||
               (t >= 2 * span - 3 * frame - 9 * s.subbands && t < 2 * span + 2 * frame) ||
               (t >= 3 * span - frame && t < 3 * span);
    };
    std::vector<int16_t> pcm;
    uint32_t noise = 0x2545F491u;
    for (int64_t t = 0; t < instants; ++t) {
        for (int c = 0; c < s.channels; ++c) {
            noise ^= noise << 13, noise ^= noise >> 17, noise ^= noise << 5;
            const int32_t v = static_cast<int32_t>((t * (37 + 11 * c)) % 400 * 40) - 8000 +
                              static_cast<int32_t>(noise >> 22) - 512;
            pcm.push_back(silent(t) ? int16_t{0} : static_cast<int16_t>(v));
        }
    }
    return pcm;
}

TEST(ParallelRun, LengthsAroundSpansAndFramesGiveTheSinglePassStreamInEveryMode) {
    TempDir dir;
    for (const Shape& s : shapes) {
        const int64_t frame = s.subbands * s.blocks;
        // One frame's stream bytes, from a one-frame input.
        write_file(dir / "one.wav",
                   wave_file(s.channels, s.rate, 16,
                             pcm16_le(std::vector<int16_t>(frame * s.channels, 0))));
        const auto out_bytes = encode((dir / "one.wav").string(), "1", s.options).out.size();
        ASSERT_GT(out_bytes, 0u);
        const int64_t span =
            cli::span_frames(static_cast<size_t>(frame * s.channels * 2), out_bytes) * frame;
        struct Length {
            int64_t held;     // sample instants in the file
            int64_t promised; // the header's count (more than held: the data ends early)
        };
        const std::vector<Length> lengths = {
            {span - frame + 5, 0},              // less than one span
            {span + 2 * frame - 1, 0},          // one frame into a second span, and a part
            {2 * span, 0},                      // two whole spans
            {3 * span - 1, 0},                  // a frame short of three spans
            {5 * span + 2 * frame + 7, 0},      // five spans and a part
            {2 * span + frame / 2, 4 * span},   // data ends inside a frame of the third span
            {span, 3 * span},                   // data ends at a span boundary
            {3 * span - frame, 3 * span + 40}}; // ... and a frame before it
        for (const Length& l : lengths) {
            std::string label;
            for (const auto& o : s.options) label += o + " ";
            label += std::to_string(s.channels) + " ch, " + std::to_string(l.held) + " of " +
                     std::to_string(l.promised) + " instants, span " + std::to_string(span);
            const auto pcm = bounded_signal(s, l.held, span);
            const auto promised = l.promised == 0
                                      ? std::optional<uint32_t>()
                                      : static_cast<uint32_t>(l.promised * s.channels * 2);
            write_file(dir / "in.wav",
                       wave_file(s.channels, s.rate, 16, pcm16_le(pcm), 1, promised));
            expect_like_single_pass((dir / "in.wav").string(), s.options, label);
        }
    }
}

TEST(ParallelRun, EveryContainerAndSampleTypeGivesTheSinglePassStream) {
    TempDir dir;
    // Enough frames for several spans of every sample size (8-bit stereo: three).
    for (const SampleFile& f : sample_files(140000)) {
        write_file(dir / f.name, f.bytes);
        expect_like_single_pass((dir / f.name).string(), {"-j"}, f.name);
    }
}

std::string long_wave(int seconds) {
    return wave_file(2, rate, 16,
                     pcm16_le(to_pcm16(sine_frames(2, rate, seconds * rate, 440, 0.5))));
}

// The stored frames of long_wave and the spans they are read in.
constexpr int64_t frame_bytes = 128 * 4, data_start = 44;
const int64_t span_bytes = cli::span_frames(frame_bytes, 135) * frame_bytes;

// The encoder on `threads` with the preloaded positioned reads, which fail or stall as `setting`
// (VANTREL_FAIL_AT=offset or VANTREL_STALL_AT=offset) says.
std::vector<std::string> with_preloaded_pread(const std::string& setting,
                                              const std::string& threads,
                                              const std::string& input) {
    const char* asan = std::getenv("ASAN_OPTIONS");
    const std::string asan_options =
        std::string("ASAN_OPTIONS=") + (asan ? std::string(asan) + ":" : "") +
        "verify_asan_link_order=0"; // the preloaded library comes before the sanitizer's
    return {"env",
            std::string("LD_PRELOAD=") + FAILING_PREAD,
            setting,
            asan_options,
            vantrel_binary(),
            "-T",
            threads,
            "-j",
            input};
}

// A read that fails in the middle of the data (a bad sector, as a preloaded pread makes it) ends
// the run as the single pass ends it: the frames before the failing byte whole, then the
// system's text and status 1.
TEST(ParallelRun, AReadErrorInTheMiddleEndsTheStreamWithTheFramesBeforeIt) {
    TempDir dir;
    write_file(dir / "in.wav", long_wave(4));
    const ProcessResult whole = encode((dir / "in.wav").string(), "1", {"-j"});
    ASSERT_EQ(whole.status, 0);
    for (const int64_t failing_byte :
         {data_start + 2 * span_bytes + 3 * frame_bytes + 100, data_start + span_bytes,
          data_start + span_bytes - 10, data_start + 5}) {
        for (const std::string& threads : thread_counts) {
            const auto r =
                run_process(with_preloaded_pread("VANTREL_FAIL_AT=" + std::to_string(failing_byte),
                                                 threads, (dir / "in.wav").string()));
            const auto frames = static_cast<size_t>((failing_byte - data_start) / frame_bytes);
            EXPECT_EQ(r.status, 1) << failing_byte << " -T " << threads;
            EXPECT_EQ(r.err, banner + "\nError reading inputfile: Input/output error\n")
                << failing_byte << " -T " << threads;
            EXPECT_TRUE(r.out == whole.out.substr(0, frames * 135))
                << failing_byte << " -T " << threads << ": " << r.out.size() << " bytes, not "
                << frames * 135;
        }
    }
}

// A stop signal ends a run whose workers are stuck in reads that never return (a file system
// that stopped answering), by the signal, with the two spans written before them whole.
TEST(ParallelRun, AStopSignalEndsARunWhoseWorkersAreStuck) {
    TempDir dir;
    write_file(dir / "in.wav", long_wave(4));
    const ProcessResult whole = encode((dir / "in.wav").string(), "1", {"-j"});
    const auto written = static_cast<size_t>(2 * span_bytes / frame_bytes * 135);
    ASSERT_GT(whole.out.size(), written);
    for (const int signal : {SIGINT, SIGTERM}) {
        for (const char* threads : {"2", "16"}) {
            SCOPED_TRACE(std::string(strsignal(signal)) + ", -T " + threads);
            LiveProcess p(with_preloaded_pread(
                "VANTREL_STALL_AT=" + std::to_string(data_start + 2 * span_bytes + 100), threads,
                (dir / "in.wav").string()));
            ASSERT_TRUE(p.wait_for_output(written, patience));
            ASSERT_TRUE(p.wait_until_idle(patience)); // every worker asleep in its read
            p.send(signal);
            EXPECT_EQ(p.wait_for_exit(patience), 128 + signal);
            EXPECT_EQ(p.err, banner);
            EXPECT_TRUE(p.out == whole.out.substr(0, written)) << p.out.size() << " bytes";
        }
    }
}

// Standard input redirected from a file is a regular file as well.
TEST(ParallelRun, ARegularFileOnStandardInputGivesTheSinglePassStream) {
    TempDir dir;
    write_file(dir / "in.wav", long_wave(4));
    const auto from_stdin = [&](const std::string& threads) {
        return run_process(
            {"sh", "-c",
             shell_command({vantrel_binary(), "-T", threads, "-j", "AUDIO_FROM_STDIN"}) + " < " +
                 shell_quote((dir / "in.wav").string())});
    };
    const ProcessResult single = from_stdin("1");
    ASSERT_EQ(single.status, 0);
    for (const std::string& threads : thread_counts) {
        const ProcessResult r = from_stdin(threads);
        EXPECT_EQ(r.err, single.err) << threads;
        EXPECT_TRUE(r.out == single.out) << threads;
    }
}

TEST(ParallelRun, AFailedWriteIsReportedAsTheSinglePassReportsIt) {
    TempDir dir;
    write_file(dir / "in.wav", long_wave(4));
    const auto single = encode((dir / "in.wav").string(), "1", {}, "/dev/full");
    ASSERT_EQ(single.status, 1);
    for (const std::string& threads : thread_counts) {
        const auto r = encode((dir / "in.wav").string(), threads, {}, "/dev/full");
        EXPECT_EQ(r.status, 1) << threads;
        EXPECT_EQ(r.err, single.err) << threads;
    }
}

// Peak memory does not grow with the input, and with the most threads stays within 16 MiB.
// (Under the sanitizers the figures are theirs, and vary from run to run by several hundred KiB.)
TEST(ParallelRun, PeakMemoryIsBoundedWithSixteenThreads) {
    if (under_sanitizer) GTEST_SKIP() << "peak memory is the sanitizer's";
    TempDir dir;
    const auto peak_kib = [&](int seconds) {
        write_file(dir / "in.wav", long_wave(seconds));
        const auto r = run_process({PEAK_RSS, vantrel_binary(), "-T", "16", "-o",
                                    (dir / "out.sbc").string(), (dir / "in.wav").string()});
        EXPECT_EQ(r.status, 0) << r.err;
        return peak_rss_kib(r);
    };
    const long short_run = peak_kib(20); // 27 spans: every thread busy
    const long long_run = peak_kib(120);
    EXPECT_GT(short_run, 0);
    EXPECT_LT(long_run, short_run + 1024);
    EXPECT_LE(long_run, 16 * 1024);
}

} // namespace

} // namespace cli_parallel_test
