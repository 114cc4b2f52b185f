// Inputs of more than two channels through the built program: a 5.1 file whose speakers each
// hold a tone of their own, as extensible WAVE, as FLAC and as Ogg Vorbis (stored in Vorbis
// order), encodes to a stereo stream in which each tone has the gain the README documents; -m
// goes on to mono; a file that names no speakers gives its first two channels; -v says which.
// The streams are decoded by the library's decoder.
#include "foreign_files.h"
#include "process.h"
#include "wave_fixture.h"

#include "sbc/sbc.h"

#include <cmath>
#include <gtest/gtest.h>
#include <numbers>
#include <sndfile.h>

namespace downmix_run {

using namespace testsupport;

constexpr int input_rate = 48000;
constexpr int speakers = 6;                // 5.1: L R C LFE BL BR, in the WAVE order
constexpr double amplitude = 0.25;         // of full scale, every tone
constexpr int input_instants = input_rate; // one second

// The tone of speaker k: 250 × (k + 1) Hz, a whole number of periods in every half second at
// 48000 and at 16000 Hz.
double tone(int k) {
    return 250.0 * (k + 1);
}

// One second of the six tones, each speaker's channel stored at order[speaker].
std::vector<short> tones(const std::array<int, speakers>& order) {
    std::vector<short> pcm(static_cast<size_t>(input_instants * speakers));
    for (int t = 0; t < input_instants; ++t)
        for (int k = 0; k < speakers; ++k)
            pcm[static_cast<size_t>(t * speakers + order[static_cast<size_t>(k)])] =
                static_cast<short>(std::lround(
                    32767 * amplitude * std::sin(2 * std::numbers::pi * tone(k) * t / input_rate)));
    return pcm;
}

constexpr std::array<int, speakers> wave_order = {0, 1, 2, 3, 4, 5};
constexpr std::array<int, speakers> vorbis_order = {0, 2, 1, 5, 3, 4}; // stored L C R BL BR LFE

// The samples of an SBC or mSBC stream, decoded by the library's decoder.
std::vector<int16_t> decoded(const std::string& stream, int& channels) {
    auto decoder = sbc::decoder_create();
    std::vector<int16_t> pcm;
    std::array<int16_t, 256> frame{};
    const std::span bytes(reinterpret_cast<const uint8_t*>(stream.data()), stream.size());
    for (size_t at = 0; at < bytes.size();) {
        sbc::FrameHeader header;
        if (sbc::frame_header_parse(bytes.subspan(at), header) != sbc::HEADER_OK) break;
        const int32_t made = sbc::decoder_decode_frame(*decoder, bytes.subspan(at), header, frame);
        if (made <= 0) break;
        channels = header.channels;
        pcm.insert(pcm.end(), frame.begin(), frame.begin() + made * header.channels);
        at += static_cast<size_t>(header.length);
    }
    return pcm;
}

// The gain of each speaker's tone in output channel `channel`: its amplitude over half a second
// (after the first tenth, past every filter's delay), relative to the input's.
std::array<double, speakers> tone_gains(const std::vector<int16_t>& pcm, int channels, int channel,
                                        int out_rate) {
    std::array<double, speakers> gains{};
    const int first = out_rate / 10, count = out_rate / 2;
    for (int k = 0; k < speakers; ++k) {
        double re = 0, im = 0;
        for (int t = first; t < first + count; ++t) {
            const double v = pcm[static_cast<size_t>(t * channels + channel)];
            const double phase = 2 * std::numbers::pi * tone(k) * t / out_rate;
            re += v * std::cos(phase);
            im += v * std::sin(phase);
        }
        gains[static_cast<size_t>(k)] = 2 * std::hypot(re, im) / count / (32767 * amplitude);
    }
    return gains;
}

// The samples of the stream `vantrel -v options... file` writes, and what it said.
struct Encoded {
    ProcessResult process;
    std::vector<int16_t> pcm;
    int channels = 0;
};

Encoded encode(const std::string& file, const std::vector<std::string>& options) {
    TempDir dir;
    write_file(dir / "in", file);
    std::vector<std::string> args = {vantrel_binary(), "-v", "-o", (dir / "out.sbc").string()};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back((dir / "in").string());
    Encoded e;
    e.process = run_process(args);
    e.pcm = decoded(read_file(dir / "out.sbc"), e.channels);
    return e;
}

// The README's 5.1 gains: L and R 1 ÷ (1 + √2), C and the surrounds 1/√2 ÷ (1 + √2), LFE none;
// -m halves the sum of the two; a file without a layout gives its first two channels.
using SpeakerGains = std::array<double, speakers>;
constexpr double front = 0.4142, other = 0.2929;
constexpr SpeakerGains left_51 = {front, 0, other, 0, other, 0};
constexpr SpeakerGains right_51 = {0, front, other, 0, 0, other};
constexpr SpeakerGains mono_51 = {front / 2, front / 2, other, 0, other / 2, other / 2};
constexpr SpeakerGains first = {1, 0, 0, 0, 0, 0}, second = {0, 1, 0, 0, 0, 0};

} // namespace downmix_run

using namespace downmix_run;

TEST(Downmix, EachSpeakersToneHasTheDocumentedGainInTheStream) {
    const std::string wave51 =
        wave_extensible_file(speakers, input_rate, 0x3F, pcm16_le(tones(wave_order)));
    const std::vector<std::string> sbc = {"-s", "-r", "600000"};
    struct Case {
        const char* name;
        std::string file;
        std::vector<std::string> options;
        const char* said;                // the -v line
        std::vector<SpeakerGains> gains; // per output channel
    };
    const std::vector<Case> cases = {
        {"extensible WAVE",
         wave51,
         sbc,
         "downmixed: 6 channels (5.1) -> stereo",
         {left_51, right_51}},
        {"FLAC",
         written_by_libsndfile("t.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, input_rate, speakers,
                               tones(wave_order)),
         sbc,
         "downmixed: 6 channels (5.1) -> stereo",
         {left_51, right_51}},
        {"Ogg Vorbis",
         written_by_libsndfile("t.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, input_rate, speakers,
                               tones(vorbis_order)),
         sbc,
         "downmixed: 6 channels (5.1) -> stereo",
         {left_51, right_51}},
        {"mSBC", wave51, {"-m"}, "downmixed: 6 channels (5.1) -> mono", {mono_51}},
        {"plain WAVE",
         wave_file(speakers, input_rate, 16, pcm16_le(tones(wave_order))),
         sbc,
         "downmixed: 6 channels (layout unknown) -> stereo: the first two taken",
         {first, second}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Encoded e = encode(c.file, c.options);
        ASSERT_EQ(e.process.status, 0) << e.process.err;
        EXPECT_NE(e.process.err.find("\n" + std::string(c.said) + "\n"), std::string::npos)
            << e.process.err;
        ASSERT_EQ(static_cast<size_t>(e.channels), c.gains.size());
        const int out_rate = e.channels == 1 ? 16000 : input_rate;
        for (int o = 0; o < e.channels; ++o) {
            const auto gains = tone_gains(e.pcm, e.channels, o, out_rate);
            for (size_t k = 0; k < speakers; ++k)
                EXPECT_NEAR(gains[k], c.gains[static_cast<size_t>(o)][k], 0.01)
                    << "speaker " << k << " in output channel " << o;
        }
    }
}
