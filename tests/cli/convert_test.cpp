// -F and -m through the built program: inputs at other rates and stereo inputs for mSBC are
// converted, the same bytes with every -T, from a file and through a pipe, and the same bytes as
// an independent model wherever one exists; what cannot be converted is refused.
#include "banner.h"
#include "process.h"
#include "wave_fixture.h"

#include <chrono>
#include <csignal>
#include <gtest/gtest.h>

namespace {

using namespace testsupport;
using namespace std::chrono_literals;

std::string stereo16(int rate, int instants) {
    return wave_file(2, rate, 16, pcm16_le(to_pcm16(sine_frames(2, rate, instants, 997, 0.4))));
}

// The mono mix (L + R) ÷ 2 of a 16-bit stereo WAVE, written as floats of full scale 1.0 (the
// halves are exact in a float, and the reader scales them back by 32768 exactly).
std::string mixed_model(int rate, int instants) {
    const auto pcm = to_pcm16(sine_frames(2, rate, instants, 997, 0.4));
    std::vector<float> mono;
    for (size_t i = 0; i + 1 < pcm.size(); i += 2)
        mono.push_back(static_cast<float>((pcm[i] + pcm[i + 1]) / 2.0 / 32768.0));
    return wave_file(1, rate, 32, float32_le(mono), /*format_tag=*/3);
}

ProcessResult encode(const std::vector<std::string>& options, const std::string& path,
                     const std::string& threads = "1") {
    std::vector<std::string> args = {vantrel_binary(), "-T", threads};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(path);
    return run_process(args);
}

} // namespace

// Each conversion: -T 1, -T 2 and a pipe give the same bytes, whole frames of the resampled
// length (instants × to ÷ from, rounded), the -v line naming it, and where a model exists (the
// input unconverted, or the mix written out beforehand) exactly the model's bytes.
TEST(Conversion, SameBytesForEveryThreadCountAndThroughAPipeAndAsTheModel) {
    struct Case {
        const char* label;
        std::string wav;
        std::vector<std::string> options;
        int from, to, instants;
        int frame_bytes, frame_instants;
        const char* converted; // the -v line, "" when nothing is converted
        std::string model;     // a WAVE encoded with `model_options` to the same bytes, or ""
        std::vector<std::string> model_options;
    };
    // clang-format off
    const std::vector<Case> cases = {
        {"-F at the input's own rate", stereo16(44100, 4000), {"-F", "44100"}, 44100, 44100,
         4000, 136, 128, "", stereo16(44100, 4000), {}},
        {"-F 44100 from 22050 Hz", stereo16(22050, 3000), {"-F", "44100"}, 22050, 44100, 3000,
         136, 128, "converted: 22050 Hz stereo -> 44100 Hz stereo\n", "", {}},
        {"-F 48000 from 96000 Hz, 24 bits",
         wave_file(2, 96000, 24, pcm24_le(std::vector<int32_t>(2 * 9000, 1 << 20))),
         {"-F", "48000"}, 96000, 48000, 9000, 124, 128,
         "converted: 96000 Hz stereo -> 48000 Hz stereo\n", "", {}},
        {"-m on stereo at 44100 Hz", stereo16(44100, 6000), {"-m"}, 44100, 16000, 6000, 57, 120,
         "converted: 44100 Hz stereo -> 16000 Hz mono\n", mixed_model(44100, 6000), {"-m"}},
        {"-m -F 16000 on stereo at 16000 Hz: the mix alone", stereo16(16000, 2000),
         {"-m", "-F", "16000"}, 16000, 16000, 2000, 57, 120,
         "converted: 16000 Hz stereo -> 16000 Hz mono\n", mixed_model(16000, 2000), {"-m"}},
    };
    // clang-format on
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        write_file(dir / "in.wav", c.wav);
        auto verbose = c.options;
        verbose.push_back("-v");
        const auto one = encode(verbose, (dir / "in.wav").string());
        ASSERT_EQ(one.status, 0) << one.err;
        const std::string converted = c.converted;
        EXPECT_EQ(one.err.find(converted.empty() ? "converted" : converted),
                  converted.empty() ? std::string::npos : banner.size())
            << one.err;
        const int64_t resampled = (2LL * c.instants * c.to + c.from) / (2LL * c.from);
        EXPECT_EQ(one.out.size(),
                  static_cast<size_t>(resampled / c.frame_instants * c.frame_bytes));
        EXPECT_TRUE(encode(c.options, (dir / "in.wav").string(), "2").out == one.out);
        auto piped = c.options;
        piped.push_back("AUDIO_FROM_STDIN");
        piped.insert(piped.begin(), vantrel_binary());
        EXPECT_TRUE(run_process(piped, c.wav).out == one.out);
        if (!c.model.empty()) {
            write_file(dir / "model.wav", c.model);
            EXPECT_TRUE(encode(c.model_options, (dir / "model.wav").string()).out == one.out);
        }
    }
}

// Data that ends before its header's count: the run says how much of the input it read, as
// without conversion, and the stream holds whole frames of what was read.
TEST(Conversion, DataEndingEarlyIsReportedInTheInputsSampleFrames) {
    const auto pcm = to_pcm16(sine_frames(2, 22050, 3000, 997, 0.4));
    const std::string cut = wave_file(2, 22050, 16, pcm16_le(pcm), 1, 4 * 5000);
    const auto r = run_process({vantrel_binary(), "-F", "44100", "AUDIO_FROM_STDIN"}, cut);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, banner + "\nThe input data ended early: 3000 of 5000 sample frames read; "
                              "the stream ends with the last whole frame\n");
    EXPECT_EQ(r.out.size(), 6000 / 128 * 136u);
}

// A rate SBC lacks, or anything but a whole number, is refused before the input is read, with
// the value quoted as it was given.
TEST(Conversion, AnFOfNoSbcRateIsRefused) {
    const std::string choices = "16000, 32000, 44100 or 48000\n";
    for (const char* value : {"12345", "8000", "99999999999"}) {
        const auto r = run_process({vantrel_binary(), "-F", value, "/nonexistent.wav"});
        EXPECT_EQ(r.status, 1) << value;
        EXPECT_EQ(r.err, banner + "\n-F " + value + ": SBC has no sampling frequency of " + value +
                             " Hz; use " + choices);
        EXPECT_EQ(r.out, "");
    }
    for (const char* value : {"x", "44100abc", "+44100", "44100.0", " 44100", ""}) {
        const auto r = run_process({vantrel_binary(), "-m", "-F", value, "/nonexistent.wav"});
        EXPECT_EQ(r.status, 1) << value;
        EXPECT_EQ(r.err, banner + "\n-F " + value +
                             ": the sampling frequency must be a whole number of Hz: " + choices);
    }
}

// Live input through the resampler: frames leave while the input is still coming, and SIGINT
// ends the run by the signal with whole frames of the stream the whole input gives.
TEST(Conversion, LiveInputIsResampledAsItArrivesAndStopsCleanly) {
    const std::string wav = stereo16(22050, 22050);
    const auto whole = run_process({vantrel_binary(), "-F", "44100", "AUDIO_FROM_STDIN"}, wav);
    LiveProcess p({vantrel_binary(), "-F", "44100", "AUDIO_FROM_STDIN"});
    ASSERT_TRUE(p.write(wav.substr(0, wav.size() / 2)));
    ASSERT_TRUE(p.wait_for_output(100 * 136, 10s));
    p.send(SIGINT);
    EXPECT_EQ(p.wait_for_exit(10s), 128 + SIGINT);
    EXPECT_EQ(p.out.size() % 136, 0u);
    EXPECT_TRUE(whole.out.substr(0, p.out.size()) == p.out);
}
