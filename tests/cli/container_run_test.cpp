// Every container through the whole program: the same signal in Sun, AIFF/AIFC, SPW or 512-byte-
// header form encodes to the same stream as from a 16-bit WAVE file, from a file and through a
// real pipe into "AUDIO_FROM_STDIN" alike.
#include "container_fixture.h"
#include "process.h"
#include "wave_fixture.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using namespace testsupport;

constexpr int rate = 44100;
constexpr int instants = 128 * 20 + 50;

struct ContainerCase {
    const char* name;
    int channels;
    std::string file;
};

// The channel-0 samples of interleaved stereo.
std::vector<int16_t> left(const std::vector<int16_t>& stereo) {
    std::vector<int16_t> out;
    for (size_t i = 0; i < stereo.size(); i += 2) out.push_back(stereo[i]);
    return out;
}

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
    const auto mono = left(stereo);
    const auto n = static_cast<uint32_t>(instants);
    const auto comm = [&](int bits, const std::string& type, const std::string& name) {
        return aiff_chunk("COMM", comm_fields(2, n, bits, rate, type, name));
    };
    const std::vector<ContainerCase> cases = {
        {"sun 16-bit", 2, sun_file(3, rate, 2, pcm16_be(stereo))},
        {"sun unknown size", 2, sun_file(3, rate, 2, pcm16_be(stereo), ~0u)},
        {"sun float", 2, sun_file(6, rate, 2, float32_be(scaled(stereo, 1.0f / 32768)))},
        {"aiff 16-bit", 2, form("AIFF", comm(16, "", "") + ssnd(pcm16_be(stereo)))},
        {"aifc fl32", 2,
         form("AIFC", comm(32, "fl32", "float") + ssnd(float32_be(scaled(stereo, 1.0f / 32768))))},
        {"spw fixed point", 1, spw_header(rate, instants, "Fixedpoint") + pcm16_be(mono)},
        {"512-byte header", 2,
         h512_file(h512_words(2, rate, -32000, instants), false, pcm16_le(stereo))},
        {"512-byte header big-endian float", 2,
         h512_file(h512_words(2, rate, -32002, 0), true, float32_be(scaled(stereo, 1.0f)))},
    };
    TempDir dir;
    write_file(dir / "stereo.wav", wave_file(2, rate, 16, pcm16_le(stereo)));
    write_file(dir / "mono.wav", wave_file(1, rate, 16, pcm16_le(mono)));
    const std::string stereo_stream = stream_of((dir / "stereo.wav").string());
    const std::string mono_stream = stream_of((dir / "mono.wav").string());
    ASSERT_EQ(stereo_stream.size(), 20u * 136);
    for (const ContainerCase& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(dir / "in", c.file);
        const std::string& expected = c.channels == 2 ? stereo_stream : mono_stream;
        EXPECT_TRUE(stream_of((dir / "in").string()) == expected);
        const auto piped = run_process({vantrel_binary(), "AUDIO_FROM_STDIN"}, c.file);
        EXPECT_EQ(piped.status, 0) << piped.err;
        EXPECT_TRUE(piped.out == expected);
    }
}
