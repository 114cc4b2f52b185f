// Streams of the whole program, decoded by decoders written elsewhere: a long file comes back
// as its input, and every sample width of the same signal comes back equally well.
#include "decoders.h"
#include "process.h"
#include "wave_fixture.h"

#include <array>
#include <cmath>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using namespace testsupport;

constexpr int rate = 44100;
constexpr int frame_instants = 128; // 8 subbands × 16 blocks
// Tonal signals at the default joint-stereo bitpool decode at 32 dB or more across the whole
// parameter grid of the encoder's own interoperability test; 29 dB leaves the same margin.
constexpr double tonal_threshold_db = 29.0;

// Two sines per channel, at unrelated frequencies, at about -6 dBFS.
std::vector<double> two_tones(int instants) {
    auto low = sine_frames(2, rate, instants, 441.3, 0.3);
    const auto high = sine_frames(2, rate, instants, 3107.9, 0.2);
    for (size_t i = 0; i < low.size(); ++i) low[i] += high[i];
    return low;
}

// Encodes `wav` with `options` and decodes the stream with `decoder`.
Decoded encode_and_decode(const std::string& decoder, const std::string& wav,
                          const std::vector<std::string>& options, const TempDir& dir) {
    write_file(dir / "in.wav", wav);
    std::vector<std::string> args = {vantrel_binary()};
    args.insert(args.end(), options.begin(), options.end());
    args.insert(args.end(), {"-o", (dir / "out.sbc").string(), (dir / "in.wav").string()});
    const auto r = run_process(args);
    if (r.status != 0) return {"vantrel failed: " + r.err, {}};
    return decode_sbc(decoder, dir / "out.sbc", dir.path, rate, 2);
}

class DecodedRun : public ::testing::TestWithParam<const char*> {
  protected:
    void SetUp() override {
        if (!have_program(GetParam()))
            GTEST_SKIP() << GetParam() << " is not installed: decoding is NOT checked";
    }
};

TEST_P(DecodedRun, ALongFileDecodesToItsInput) {
    const int instants = rate * 30 + 77; // 30 s and a remainder that is dropped
    const auto pcm = to_pcm16(two_tones(instants));
    TempDir dir;
    for (const std::vector<std::string>& options :
         {std::vector<std::string>{"-j"}, std::vector<std::string>{}}) {
        const auto d =
            encode_and_decode(GetParam(), wave_file(2, rate, 16, pcm16_le(pcm)), options, dir);
        ASSERT_EQ(d.problem, "");
        const int frames = instants / frame_instants;
        ASSERT_EQ(d.pcm.size(), static_cast<size_t>(frames * frame_instants * 2));
        const int measured = frames * frame_instants - codec_delay(8);
        const double snr = snr_db(pcm, d.pcm, 2, codec_delay(8), 0, measured);
        std::cout << GetParam() << (options.empty() ? " dual channel" : " joint stereo")
                  << ", 30 s two-tone stereo: SNR " << snr << " dB\n";
        EXPECT_GT(snr, tonal_threshold_db);
    }
}

TEST_P(DecodedRun, TwentyFourBitAndFloatSourcesDecodeAsWellAsSixteenBit) {
    const int instants = rate * 2;
    const auto unit = two_tones(instants);
    std::vector<int32_t> pcm24;
    std::vector<float> floats;
    for (double v : unit) {
        pcm24.push_back(static_cast<int32_t>(std::lround(v * 8388607.0)));
        floats.push_back(static_cast<float>(v));
    }
    const auto reference = to_pcm16(unit);
    TempDir dir;
    const auto snr_of = [&](const std::string& wav) {
        const auto d = encode_and_decode(GetParam(), wav, {"-j"}, dir);
        EXPECT_EQ(d.problem, "");
        const int measured = instants / frame_instants * frame_instants - codec_delay(8);
        return snr_db(reference, d.pcm, 2, codec_delay(8), 0, measured);
    };
    const double snr16 = snr_of(wave_file(2, rate, 16, pcm16_le(reference)));
    const double snr24 = snr_of(wave_file(2, rate, 24, pcm24_le(pcm24)));
    const double snr_float = snr_of(wave_file(2, rate, 32, float32_le(floats), 3));
    std::cout << GetParam() << ": SNR 16-bit " << snr16 << " dB, 24-bit " << snr24 << " dB, float "
              << snr_float << " dB\n";
    EXPECT_GT(snr16, tonal_threshold_db);
    EXPECT_NEAR(snr24, snr16, 1.0);
    EXPECT_NEAR(snr_float, snr16, 1.0);
}

// sox writes each container and sample type; sox also turns that file back into a 16-bit WAVE
// holding the same signal (for 8-bit files, the signal quantised to 8 bits). Both streams decode
// equally well against the original.
TEST_P(DecodedRun, SoxFilesOfEveryContainerDecodeAsTheSameSignalFromSixteenBitWave) {
    if (!have_program("sox")) GTEST_SKIP() << "sox is not installed: test skipped";
    const int instants = rate * 2;
    const auto pcm = to_pcm16(two_tones(instants));
    const int measured = instants / frame_instants * frame_instants - codec_delay(8);
    TempDir dir;
    write_file(dir / "source.wav", wave_file(2, rate, 16, pcm16_le(pcm)));
    const auto snr_of = [&](const std::string& path) {
        const auto d = encode_and_decode(GetParam(), read_file(path), {"-j"}, dir);
        EXPECT_EQ(d.problem, "");
        return snr_db(pcm, d.pcm, 2, codec_delay(8), 0, measured);
    };
    const std::string source = (dir / "source.wav").string(), file = (dir / "sox.out").string(),
                      reference = (dir / "reference.wav").string();
    const std::vector<std::array<std::string, 3>> formats = {
        {"au", "signed-integer", "8"},    {"au", "signed-integer", "16"},
        {"au", "signed-integer", "24"},   {"au", "signed-integer", "32"},
        {"au", "floating-point", "32"},   {"au", "floating-point", "64"},
        {"aiff", "signed-integer", "8"},  {"aiff", "signed-integer", "16"},
        {"aiff", "signed-integer", "24"}, {"aiff", "signed-integer", "32"},
        {"aifc", "signed-integer", "16"}, {"aifc", "floating-point", "32"},
        {"aifc", "floating-point", "64"},
    };
    for (const auto& [type, encoding, bits] : formats) {
        SCOPED_TRACE(type + " " + encoding + " " + bits);
        ASSERT_EQ(
            run_process({"sox", "-D", source, "-t", type, "-e", encoding, "-b", bits, file}).status,
            0);
        ASSERT_EQ(run_process({"sox", "-D", file, "-t", "wavpcm", "-e", "signed-integer", "-b",
                               "16", reference})
                      .status,
                  0);
        const double snr = snr_of(file), snr_reference = snr_of(reference);
        std::cout << GetParam() << ", sox " << type << " " << encoding << " " << bits << ": SNR "
                  << snr << " dB (16-bit WAVE " << snr_reference << " dB)\n";
        EXPECT_NEAR(snr, snr_reference, 1.0);
        EXPECT_GT(snr_reference, bits == "8" ? 35.0 : tonal_threshold_db);
    }
}

INSTANTIATE_TEST_SUITE_P(Decoders, DecodedRun, ::testing::ValuesIn(sbc_decoders));

} // namespace
