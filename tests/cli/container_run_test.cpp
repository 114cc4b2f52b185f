// Every container through the whole program: the same signal in Sun, AIFF/AIFC, SPW or 512-byte-
// header form encodes to the same stream as from a 16-bit WAVE file, from a file and through a
// real pipe into "AUDIO_FROM_STDIN" alike (so every sample type reaches the 16-bit scale).
#include "audiofile/g711.h"
#include "banner.h"
#include "container_fixture.h"
#include "process.h"
#include "wave_fixture.h"

#include <gtest/gtest.h>

namespace cli_container_run_test {

namespace {

using namespace testsupport;

constexpr int rate = 44100;
constexpr int instants = 128 * 20 + 50;

std::vector<float> scaled(const std::vector<int16_t>& pcm, float factor) {
    std::vector<float> out;
    for (int16_t s : pcm) out.push_back(static_cast<float>(s) * factor);
    return out;
}

std::string stream_of(const std::string& input_path) {
    const auto r = run_process({vantrel_binary(), input_path});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

} // namespace

TEST(ContainerRun, EveryContainerEncodesLikeWaveFromAFileAndThroughAPipe) {
    const auto stereo = to_pcm16(sine_frames(2, rate, instants, 440, 0.5));
    const auto mono = to_pcm16(sine_frames(1, rate, instants, 440, 0.5));
    const auto comm = [](int bits, const std::string& type) {
        return aiff_chunk("COMM", comm_fields(2, instants, bits, rate, type, "name"));
    };
    const std::vector<std::pair<std::string, std::string>> cases = {
        // mono ones start with "$"
        {"sun", sun_file(3, rate, 2, pcm16_be(stereo))},
        {"sun unknown size", sun_file(3, rate, 2, pcm16_be(stereo), ~0u)},
        {"aiff", form("AIFF", comm(16, "") + ssnd(pcm16_be(stereo)))},
        {"aifc fl32",
         form("AIFC", comm(32, "fl32") + ssnd(float32_be(scaled(stereo, 1.0f / 32768))))},
        {"$spw", spw_header(rate, instants, "Fixedpoint") + pcm16_be(mono)},
        {"512", h512_file(h512_words(2, rate, -32000, instants), false, pcm16_le(stereo))},
        {"512 big-endian float, no count",
         h512_file(h512_words(2, rate, -32002), true, float32_be(scaled(stereo, 1.0f)))},
    };
    TempDir dir;
    write_file(dir / "stereo.wav", wave_file(2, rate, 16, pcm16_le(stereo)));
    write_file(dir / "mono.wav", wave_file(1, rate, 16, pcm16_le(mono)));
    const std::string stereo_stream = stream_of((dir / "stereo.wav").string());
    const std::string mono_stream = stream_of((dir / "mono.wav").string());
    ASSERT_EQ(stereo_stream.size(), 20u * 136);
    for (const auto& [name, file] : cases) {
        SCOPED_TRACE(name);
        write_file(dir / "in", file);
        const std::string& expected = name[0] == '$' ? mono_stream : stereo_stream;
        EXPECT_TRUE(stream_of((dir / "in").string()) == expected);
        const auto piped = run_process({vantrel_binary(), "AUDIO_FROM_STDIN"}, file);
        EXPECT_EQ(piped.status, 0) << piped.err;
        EXPECT_TRUE(piped.out == expected);
    }
}

// G.711 codes reach the encoder as the 16-bit values they expand to: a µ-law WAVE and an A-law
// Sun file encode like the 16-bit WAVE of those values, from a file and through a pipe.
TEST(ContainerRun, G711EncodesLikeTheWaveOfItsExpandedValues) {
    std::string codes;
    for (int i = 0; i < 2 * instants; ++i) codes += static_cast<char>((i * 37) ^ (i >> 5));
    TempDir dir;
    for (const bool mulaw : {true, false}) {
        std::vector<int16_t> values;
        for (char c : codes)
            values.push_back((mulaw ? audiofile::mulaw_values
                                    : audiofile::alaw_values)[static_cast<uint8_t>(c)]);
        write_file(dir / "plain.wav", wave_file(2, rate, 16, pcm16_le(values)));
        const std::string expected = stream_of((dir / "plain.wav").string());
        const std::string file =
            mulaw ? wave_file(2, rate, 8, codes, 7) : sun_file(27, rate, 2, codes);
        write_file(dir / "in", file);
        EXPECT_TRUE(stream_of((dir / "in").string()) == expected) << mulaw;
        EXPECT_TRUE(run_process({vantrel_binary(), "AUDIO_FROM_STDIN"}, file).out == expected);
    }
}

// A 16-bit WAVE file is encoded from its samples in place in the input's buffer, other sources
// through a copy: past the buffer's first 1 MiB, with frames of 12 blocks (384 bytes, which do
// not divide the buffer, so one frame straddles each refill), both still give the same stream.
TEST(ContainerRun, SamplesUsedInPlaceGiveTheSameStreamAcrossBufferRefills) {
    constexpr int long_instants = 96 * 3000 + 17; // about 1.15 MB of samples
    const auto stereo = to_pcm16(sine_frames(2, rate, long_instants, 997, 0.7));
    TempDir dir;
    write_file(dir / "in.wav", wave_file(2, rate, 16, pcm16_le(stereo)));
    write_file(dir / "in.au", sun_file(3, rate, 2, pcm16_be(stereo)));
    const auto wave = run_process({vantrel_binary(), "-l", "12", (dir / "in.wav").string()});
    const auto sun = run_process({vantrel_binary(), "-l", "12", (dir / "in.au").string()});
    ASSERT_EQ(wave.status, 0) << wave.err;
    ASSERT_EQ(sun.status, 0) << sun.err;
    EXPECT_TRUE(!wave.out.empty() && wave.out.size() % 3000 == 0); // 3000 whole frames
    EXPECT_TRUE(wave.out == sun.out);
}

// WAVE files as ffmpeg and sox write them today (a LIST chunk, a bext chunk, RF64, the
// extensible format for 24 and 32 bits) encode to the stream of the plain 16-bit file holding
// the same samples, from a file and through a pipe, with nothing said but the banner.
TEST(ContainerRun, WaveFilesOfTodaysToolsEncodeLikeThePlainFile) {
    const auto stereo = to_pcm16(sine_frames(2, rate, instants, 440, 0.5));
    TempDir dir;
    const std::string src = (dir / "src.wav").string(), out = (dir / "out.wav").string();
    write_file(src, wave_file(2, rate, 16, pcm16_le(stereo)));
    const std::string expected = stream_of(src);
    const std::vector<std::string> ffmpeg = {"ffmpeg", "-v", "error", "-y", "-i", src};
    const auto with = [](std::vector<std::string> a, const std::vector<std::string>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const std::vector<std::string> cases[] = {
        with(ffmpeg, {out}),
        with(ffmpeg, {"-write_bext", "1", out}),
        with(ffmpeg, {"-rf64", "always", out}),
        with(ffmpeg, {"-c:a", "pcm_s24le", out}),
        with(ffmpeg, {"-rf64", "always", "-f", "wav", "pipe:1"}), // written to a pipe
        {"sox", src, "-b", "24", out},
        {"sox", src, "-b", "32", out}};
    for (const auto& argv : cases) {
        if (!have_program(argv[0])) {
            std::cout << argv[0] << " is not installed: its WAVE forms are NOT checked\n";
            continue;
        }
        SCOPED_TRACE(shell_command(argv));
        const auto made = run_process(argv);
        ASSERT_EQ(made.status, 0) << made.err;
        const bool piped = argv.back() == "pipe:1";
        if (!piped) {
            EXPECT_TRUE(stream_of(out) == expected);
        }
        const auto r =
            run_process({vantrel_binary(), "AUDIO_FROM_STDIN"}, piped ? made.out : read_file(out));
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, banner);
        EXPECT_TRUE(r.out == expected);
    }
}

} // namespace cli_container_run_test
