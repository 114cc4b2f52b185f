// The encoding run end to end: the built program encodes WAVE files made in the test, and its
// standard error, exit status and output bytes are checked.
#include "banner.h"
#include "process.h"
#include "wave_fixture.h"

#include <cmath>
#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using testsupport::ProcessResult;
using testsupport::TempDir;
using namespace testsupport;

struct Encoded {
    ProcessResult process;
    std::string stream; // the output file's bytes
};

// Writes `wav` to a file and encodes it with `options` into another file.
Encoded encode(const std::string& wav, std::vector<std::string> options) {
    TempDir dir;
    write_file(dir / "in.wav", wav);
    options.insert(options.begin(), vantrel_binary());
    options.push_back("-o");
    options.push_back((dir / "out.sbc").string());
    options.push_back((dir / "in.wav").string());
    Encoded e;
    e.process = run_process(options);
    e.stream = read_file(dir / "out.sbc");
    return e;
}

std::string stereo_sine(int rate, int instants, double amplitude = 0.5) {
    return wave_file(2, rate, 16,
                     pcm16_le(to_pcm16(sine_frames(2, rate, instants, 440, amplitude))));
}

std::string mono_sine(int rate, int instants) {
    return wave_file(1, rate, 16, pcm16_le(to_pcm16(sine_frames(1, rate, instants, 440, 0.5))));
}

std::string figures(int bitpool, const char* bps, const char* kbps) {
    return "bitpool = " + std::to_string(bitpool) + "\nbps     = " + bps +
           " bit\nbitrate = " + kbps + " kbps\n";
}

// Every frame of `stream` has `length` bytes and begins with the same three bytes.
void expect_frames(const std::string& stream, size_t frames, size_t length, uint8_t header,
                   uint8_t bitpool) {
    ASSERT_EQ(stream.size(), frames * length);
    for (size_t f = 0; f < frames; ++f) {
        const size_t at = f * length;
        ASSERT_EQ(static_cast<uint8_t>(stream[at]), 0x9C) << "frame " << f;
        ASSERT_EQ(static_cast<uint8_t>(stream[at + 1]), header) << "frame " << f;
        ASSERT_EQ(static_cast<uint8_t>(stream[at + 2]), bitpool) << "frame " << f;
    }
}

TEST(EncodingRun, StereoDefaultsAreDualChannelAtBitpool31) {
    auto e = encode(stereo_sine(44100, 128 * 10 + 5), {"-v"});
    EXPECT_EQ(e.process.status, 0);
    EXPECT_EQ(e.process.out, "");
    EXPECT_EQ(e.process.err, banner + figures(31, "3.875000", "375.00"));
    expect_frames(e.stream, 10, 136, 0xB7, 31);
}

TEST(EncodingRun, JointStereoUsesBitpool61And135ByteFrames) {
    auto e = encode(stereo_sine(44100, 128 * 4), {"-j", "-v"});
    EXPECT_EQ(e.process.status, 0);
    EXPECT_EQ(e.process.err, banner + figures(61, "3.812500", "375.00"));
    expect_frames(e.stream, 4, 135, 0xBF, 61);
}

TEST(EncodingRun, StereoAndLoudnessAreSetByTheirOptions) {
    auto stereo = encode(stereo_sine(44100, 128 * 3), {"-s", "-v"});
    EXPECT_EQ(stereo.process.err, banner + figures(62, "3.875000", "375.00"));
    expect_frames(stereo.stream, 3, 136, 0xBB, 62);

    auto loudness = encode(stereo_sine(44100, 128 * 3), {"-p"});
    EXPECT_EQ(loudness.process.status, 0);
    expect_frames(loudness.stream, 3, 136, 0xB5, 31);
}

TEST(EncodingRun, TheLaterOfStereoAndJointWins) {
    auto joint_last = encode(stereo_sine(44100, 128), {"-s", "-j", "-v"});
    EXPECT_EQ(joint_last.process.err, banner + figures(61, "3.812500", "375.00"));
    auto stereo_last = encode(stereo_sine(44100, 128), {"-j", "-s", "-v"});
    EXPECT_EQ(stereo_last.process.err, banner + figures(62, "3.875000", "375.00"));
}

TEST(EncodingRun, MonoInputIsCodedAsMonoWhateverTheModeOption) {
    auto e = encode(mono_sine(44100, 128 * 2), {"-j", "-v"});
    EXPECT_EQ(e.process.status, 0);
    EXPECT_EQ(e.process.err, banner + figures(64, "8.000000", "375.00"));
    expect_frames(e.stream, 2, 136, 0xB3, 64);
}

TEST(EncodingRun, FourSubbandsAtEveryBlockLength) {
    struct Case {
        const char* blk_len;
        int blocks, bitpool, frame_length;
        uint8_t header;
    };
    for (const Case& c : {Case{"4", 4, 9, 17, 0x86}, Case{"8", 8, 13, 34, 0x96},
                          Case{"12", 12, 14, 50, 0xA6}, Case{"16", 16, 15, 68, 0xB6}}) {
        const int instants = 4 * c.blocks;
        auto e = encode(stereo_sine(44100, instants * 5 + 1), {"-n", "4", "-l", c.blk_len});
        EXPECT_EQ(e.process.status, 0) << c.blk_len;
        expect_frames(e.stream, 5, static_cast<size_t>(c.frame_length), c.header,
                      static_cast<uint8_t>(c.bitpool));
    }
}

TEST(EncodingRun, At48kHzJointStereoUsesBitpool56) {
    auto e = encode(stereo_sine(48000, 128 * 2), {"-j", "-v"});
    EXPECT_EQ(e.process.err, banner + figures(56, "3.500000", "375.00"));
    expect_frames(e.stream, 2, 4 + (8 + 64 + 16 * 56) / 8, 0xFF, 56);
}

TEST(EncodingRun, InputShorterThanOneFrameGivesAnEmptyStream) {
    auto e = encode(stereo_sine(44100, 127), {});
    EXPECT_EQ(e.process.status, 0);
    EXPECT_EQ(e.process.err, banner);
    EXPECT_EQ(e.stream, "");
}

TEST(EncodingRun, UnsupportedInputsAreRefused) {
    // The hint names the SBC rate closest above, and for mono voice mSBC as well.
    const std::pair<std::string, std::string> rates[] = {
        {stereo_sine(22050, 512), "22050 not supported\nresample it with -F 32000\n"},
        {stereo_sine(96000, 512), "96000 not supported\nresample it with -F 48000\n"},
        {stereo_sine(8000, 512), "8000 not supported\nresample it with -F 16000\n"},
        {mono_sine(8000, 512), "8000 not supported\nresample it with -F 16000, or make mSBC voice "
                               "frames of it with -m\n"},
    };
    for (const auto& [wav, hint] : rates) {
        auto rate = encode(wav, {});
        EXPECT_EQ(rate.process.status, 1);
        EXPECT_EQ(rate.process.err, banner + "\nSampling frequency: " + hint);
    }

    // 3 to 8 channels are mixed down; more are refused.
    auto nine = encode(wave_file(9, 44100, 16, pcm16_le(std::vector<int16_t>(9 * 256))), {});
    EXPECT_EQ(nine.process.status, 1);
    EXPECT_EQ(nine.process.err, banner + "\nnumber of channels: 9 exceeds the maximum number: 8\n");
    EXPECT_EQ(nine.stream, "");
}

TEST(EncodingRun, ParametersTheEncoderRefusesEndTheRun) {
    auto blocks = encode(stereo_sine(44100, 512), {"-l", "6"});
    EXPECT_EQ(blocks.process.status, 1);
    EXPECT_EQ(blocks.process.err, banner + "\nError format_init (44100, 2, 1, 8, 6, 1)\n");

    auto subbands = encode(stereo_sine(44100, 512), {"-n", "6"});
    EXPECT_EQ(subbands.process.status, 1);
    EXPECT_EQ(subbands.process.err, banner + "\nError creating SBC encoder\n");
}

TEST(EncodingRun, NonNumericShapeValuesNeverReachADivision) {
    auto subbands = encode(stereo_sine(44100, 512), {"-n", "four"});
    EXPECT_EQ(subbands.process.status, 1);
    EXPECT_EQ(subbands.process.err, banner + "\nsubbands: 0 is not a positive number\n");

    auto blocks = encode(stereo_sine(44100, 512), {"-l", "x"});
    EXPECT_EQ(blocks.process.status, 1);
    EXPECT_EQ(blocks.process.err, banner + "\nblk_len: 0 is not a positive number\n");

    auto negative = encode(stereo_sine(44100, 512), {"-l", "-4"});
    EXPECT_EQ(negative.process.status, 1);
    EXPECT_EQ(negative.process.err, banner + "\nblk_len: -4 is not a positive number\n");
}

TEST(EncodingRun, BitRatesThatOverflowTheDerivationAreRefused) {
    for (const char* rate : {"99999999999", "20000000", "-99999999999"}) {
        auto e = encode(stereo_sine(44100, 512), {"-r", rate});
        EXPECT_EQ(e.process.status, 1) << rate;
        EXPECT_NE(e.process.err.find("bps is out of range"), std::string::npos) << e.process.err;
        EXPECT_EQ(e.stream, "") << rate;
    }
}

TEST(EncodingRun, ABitpoolTheFrameCannotCarryIsRefused) {
    auto high = encode(stereo_sine(44100, 512), {"-r", "1500000"});
    EXPECT_EQ(high.process.status, 1);
    EXPECT_EQ(high.process.err,
              banner + "\nbitpool: 133 (from a bit rate of 1500000 bps) is outside the valid "
                       "range 0 to 128\nbit rates from 24807 to 1455299 bps give a valid bitpool "
                       "at 44100 Hz in DUAL_CHANNEL with 8 subbands and 16 blocks\n");
    EXPECT_EQ(high.stream, "");

    auto low = encode(stereo_sine(44100, 512), {"-r", "1000"});
    EXPECT_EQ(low.process.status, 1);
    EXPECT_NE(low.process.err.find("bitpool: -"), std::string::npos) << low.process.err;

    // The largest bitpool a mode can spend is accepted, one more is not.
    auto joint_max = encode(stereo_sine(44100, 512), {"-j", "-n", "4", "-r", "1461000", "-v"});
    EXPECT_EQ(joint_max.process.status, 0);
    EXPECT_EQ(joint_max.process.err, banner + figures(128, "16.000000", "1461.00"));
    auto joint_over = encode(stereo_sine(44100, 512), {"-j", "-n", "4", "-r", "1472000"});
    EXPECT_EQ(joint_over.process.status, 1);
    EXPECT_EQ(joint_over.process.err,
              banner + "\nbitpool: 129 (from a bit rate of 1472000 bps) is outside the valid "
                       "range 0 to 128\nbit rates from 38588 to 1471837 bps give a valid bitpool "
                       "at 44100 Hz in JOINT_STEREO with 4 subbands and 16 blocks\n");
}

// A refused rate names the interval of rates that works for the input and the options. The
// interval is exact: both ends encode, and one bit/s beyond either end is refused.
// Without -r, a frame that cannot carry the default rate's bitpool takes the highest bitpool it
// allows, and -v says so; the same rate asked for with -r is refused (above).
TEST(EncodingRun, WithoutRTheDefaultRateFallsToTheHighestBitpoolTheFrameAllows) {
    struct Case {
        std::vector<std::string> options;
        int derived, bitpool;
    };
    for (const Case& c : {Case{{"-v"}, 183, 128}, Case{{"-v", "-n", "4"}, 90, 64}}) {
        const auto run = encode(mono_sine(16000, 512), c.options);
        EXPECT_EQ(run.process.status, 0) << run.process.err;
        const std::string said =
            "the default bit rate of 375000 bps gives bitpool " + std::to_string(c.derived) +
            ", more than this frame can carry: bitpool " + std::to_string(c.bitpool) +
            ", the highest it allows, is used\n" + "bitpool = " + std::to_string(c.bitpool) + "\n";
        EXPECT_NE(run.process.err.find(said), std::string::npos) << run.process.err;
        ASSERT_GT(run.stream.size(), 2u);
        EXPECT_EQ(static_cast<uint8_t>(run.stream[2]), c.bitpool);
    }
}

TEST(EncodingRun, ARefusedBitRateNamesTheRatesThatWork) {
    auto mono = encode(mono_sine(16000, 512), {"-r", "375000"});
    EXPECT_EQ(mono.process.status, 1);
    EXPECT_EQ(mono.process.err,
              banner + "\nbitpool: 183 (from a bit rate of 375000 bps) is outside the valid range "
                       "0 to 128\nbit rates from 7000 to 265999 bps give a valid bitpool at 16000 "
                       "Hz in MONO with 8 subbands and 16 blocks\n");

    struct Case {
        std::string wav;
        std::vector<std::string> options; // all refused
        const char* shape;                // as the message names it
    };
    const Case cases[] = {
        {mono_sine(16000, 512), {"-r", "375000"}, "16000 Hz in MONO with 8 subbands and 16 blocks"},
        {stereo_sine(44100, 512),
         {"-r", "1000"},
         "44100 Hz in DUAL_CHANNEL with 8 subbands and 16 blocks"},
        {stereo_sine(48000, 512),
         {"-j", "-n", "4", "-l", "4", "-r", "3000000"},
         "48000 Hz in JOINT_STEREO with 4 subbands and 4 blocks"},
        {stereo_sine(32000, 512),
         {"-s", "-l", "12", "-r", "20000000"},
         "32000 Hz in STEREO with 8 subbands and 12 blocks"},
    };
    for (const auto& c : cases) {
        auto refused = encode(c.wav, c.options);
        EXPECT_EQ(refused.process.status, 1) << c.shape;
        const auto at = refused.process.err.find("bit rates from ");
        ASSERT_NE(at, std::string::npos) << refused.process.err;
        long long lowest = 0, highest = 0;
        ASSERT_EQ(std::sscanf(refused.process.err.c_str() + at, "bit rates from %lld to %lld bps",
                              &lowest, &highest),
                  2);
        EXPECT_NE(refused.process.err.find(c.shape, at), std::string::npos) << refused.process.err;
        auto with_rate = [&](long long rate) {
            auto options = c.options;
            options.insert(options.end(), {"-r", std::to_string(rate)});
            return encode(c.wav, options).process.status;
        };
        EXPECT_EQ(with_rate(lowest), 0) << c.shape << " at " << lowest;
        EXPECT_EQ(with_rate(highest), 0) << c.shape << " at " << highest;
        EXPECT_EQ(with_rate(lowest - 1), 1) << c.shape << " at " << lowest - 1;
        EXPECT_EQ(with_rate(highest + 1), 1) << c.shape << " at " << highest + 1;
    }
}

TEST(EncodingRun, DataEndingBeforeThePromisedCountEndsWithTheLastWholeFrame) {
    const auto samples = to_pcm16(sine_frames(2, 44100, 500, 440, 0.5));
    auto e = encode(wave_file(2, 44100, 16, pcm16_le(samples), 1, 1280 * 4), {});
    EXPECT_EQ(e.process.status, 0);
    EXPECT_EQ(e.process.err, banner + "\nThe input data ended early: 500 of 1280 sample frames "
                                      "read; the stream ends with the last whole frame\n");
    EXPECT_EQ(e.stream.size(), 3u * 136);

    // The whole frames are those of a file that holds exactly the data.
    auto exact = encode(wave_file(2, 44100, 16, pcm16_le(samples)), {});
    EXPECT_EQ(exact.stream, e.stream);
}

TEST(EncodingRun, StandardInputAndOutputGiveTheSameBytesAsFiles) {
    TempDir dir;
    const auto wav = stereo_sine(44100, 128 * 20 + 7);
    write_file(dir / "in.wav", wav);
    auto from_file = encode(wav, {"-j"});
    ASSERT_EQ(from_file.process.status, 0);
    ASSERT_EQ(from_file.stream.size(), 20u * 135);

    auto piped = run_process({vantrel_binary(), "-j", "AUDIO_FROM_STDIN"}, wav);
    EXPECT_EQ(piped.status, 0);
    EXPECT_EQ(piped.err, banner);
    EXPECT_EQ(piped.out, from_file.stream);

    std::string redirect = shell_command(
        {vantrel_binary(), "-j", "-o", (dir / "out.sbc").string(), "AUDIO_FROM_STDIN"});
    redirect += " < ";
    redirect += shell_quote((dir / "in.wav").string());
    auto redirected = run_process({"sh", "-c", redirect});
    EXPECT_EQ(redirected.status, 0);
    EXPECT_EQ(read_file(dir / "out.sbc"), from_file.stream);
}

TEST(EncodingRun, APipeOfUnknownLengthIsReadToTheEndOfItsData) {
    // A streaming writer leaves the data length at 0: on a pipe no count can be known.
    const auto samples = to_pcm16(sine_frames(2, 44100, 128 * 7 + 30, 440, 0.5));
    auto piped = run_process({vantrel_binary(), "AUDIO_FROM_STDIN"},
                             wave_file(2, 44100, 16, pcm16_le(samples), 1, 0));
    EXPECT_EQ(piped.status, 0);
    EXPECT_EQ(piped.err, banner);
    EXPECT_EQ(piped.out, encode(wave_file(2, 44100, 16, pcm16_le(samples)), {}).stream);
}

TEST(EncodingRun, LongInputNamesAreOpenedAsGiven) {
    TempDir dir;
    const auto input = dir / (std::string(180, 'i') + ".wav");
    write_file(input, stereo_sine(44100, 128 * 2));
    auto r = run_process({vantrel_binary(), input.string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.size(), 2u * 136);
}

TEST(EncodingRun, AFailedWriteIsReportedAsAFailure) {
    TempDir dir;
    write_file(dir / "in.wav", stereo_sine(44100, 128 * 50));
    auto to_file = run_process({vantrel_binary(), "-o", "/dev/full", (dir / "in.wav").string()});
    EXPECT_EQ(to_file.status, 1);
    EXPECT_NE(to_file.err.find("outputfile"), std::string::npos) << to_file.err;

    auto to_stdout = run_process(
        {"sh", "-c",
         shell_command({vantrel_binary(), (dir / "in.wav").string()}) + " > /dev/full"});
    EXPECT_EQ(to_stdout.status, 1);
    EXPECT_NE(to_stdout.err.find("outputfile"), std::string::npos) << to_stdout.err;
}

// Samples of every width reach the encoder on the 16-bit scale: a file whose samples are exact
// multiples encodes to the same bytes as the 16-bit file they came from.
TEST(EncodingRun, EveryIntegerWidthAndFloatComeToTheSixteenBitScale) {
    const auto unit = sine_frames(2, 44100, 128 * 6, 440, 0.7);
    std::vector<int16_t> pcm16;
    std::vector<int32_t> pcm24, pcm32;
    std::vector<float> floats;
    std::string pcm8;
    for (double v : unit) {
        const auto s8 = static_cast<int8_t>(std::lround(v * 127));
        pcm8 += static_cast<char>(static_cast<uint8_t>(s8 + 128));
        pcm16.push_back(static_cast<int16_t>(s8 * 256));
    }
    for (int16_t s : pcm16) {
        pcm24.push_back(s * 256 + (s >= 0 ? 255 : -255)); // the low bits are truncated away
        pcm32.push_back(s * 65536 + (s >= 0 ? 65535 : -65535));
        floats.push_back(static_cast<float>(s / 32768.0));
    }
    const auto reference = encode(wave_file(2, 44100, 16, pcm16_le(pcm16)), {"-j"});
    ASSERT_EQ(reference.process.status, 0);
    ASSERT_EQ(reference.stream.size(), 6u * 135);
    EXPECT_EQ(encode(wave_file(2, 44100, 8, pcm8), {"-j"}).stream, reference.stream);
    EXPECT_EQ(encode(wave_file(2, 44100, 24, pcm24_le(pcm24)), {"-j"}).stream, reference.stream);
    EXPECT_EQ(encode(wave_file(2, 44100, 32, pcm32_le(pcm32)), {"-j"}).stream, reference.stream);
    EXPECT_EQ(encode(wave_file(2, 44100, 32, float32_le(floats), 3), {"-j"}).stream,
              reference.stream);
}

TEST(EncodingRun, OutOfRangeFloatSamplesSaturate) {
    std::vector<float> loud;
    std::vector<int16_t> clipped;
    for (int i = 0; i < 128 * 4; ++i) {
        const float v = (i / 16) % 2 == 0 ? 3.0f : -3.0f;
        loud.push_back(v);
        loud.push_back(v / 4);
        clipped.push_back(v > 0 ? 32767 : -32768);
        clipped.push_back(static_cast<int16_t>(v / 4 * 32768));
    }
    const auto reference = encode(wave_file(2, 44100, 16, pcm16_le(clipped)), {});
    ASSERT_EQ(reference.stream.size(), 4u * 136);
    EXPECT_EQ(encode(wave_file(2, 44100, 32, float32_le(loud), 3), {}).stream, reference.stream);
}

} // namespace
