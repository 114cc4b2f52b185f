// Known-answer streams: inputs made by sox with fixed seeds and no dither, encoded through the
// library with the front end's parameter rules, compared by SHA-256 with the reference table.
#include "process.h"
#include "sbc/sbc.h"
#include "sbc_test_util.h"

#include <cstring>
#include <gtest/gtest.h>
#include <map>

namespace {

using testsupport::have_program;
using testsupport::run_process;
using testsupport::TempDir;

struct Input {
    const char* name;
    std::vector<std::string> sox_args; // after "sox -D -R -n"
    const char* sha256;
};

const std::vector<Input>& inputs() {
    static const std::vector<Input> list = {
        {"tones.wav",
         {"-r", "44100", "-c", "2", "-b", "16", "tones.wav", "synth", "1.5", "sine", "440", "sine",
          "1250", "gain", "-6"},
         "fb6b28e1c356e02afbd9de68165f2f722bf633cb5f0f3b721a3025839175b4e5"},
        {"sweep.wav",
         {"-r", "48000", "-c", "2", "-b", "16", "sweep.wav", "synth", "1.5", "sine", "100-12000",
          "sine", "12000-100", "gain", "-3"},
         "b0a3071cb06696aa9f668ce8e2202834941c52a1c0602e8442b268c38900bc58"},
        {"voice.wav",
         {"-r", "16000", "-c", "1", "-b", "16", "voice.wav", "synth", "1.5", "sine", "300",
          "tremolo", "5", "80", "gain", "-2"},
         "50e72c612dc7c2c5173325bb9a9af431e349c9b4a7f067cc6aa16126e84865e7"},
        {"noise.wav",
         {"-r", "32000", "-c", "2", "-b", "16", "noise.wav", "synth", "1.5", "whitenoise",
          "pinknoise", "gain", "-10"},
         "fc226f898add3f5f1af34ed49b3a41290da33729d26c6f3d3e1845dbf50b93d0"},
    };
    return list;
}

// One row of the reference table, with the options spelled out as the front end reads them.
struct Row {
    const char* input;
    const char* options; // for messages only
    int32_t mode;        // requested: DUAL_CHANNEL by default, -s STEREO, -j JOINT_STEREO
    int32_t allocation;  // SNR, or LOUDNESS with -p
    int32_t blk_len;     // -l, default 16
    int32_t subbands;    // -n, default 8
    int32_t rate;        // -r, default 375000
    size_t bytes;
    const char* sha256;
};

constexpr int32_t D = sbc::DUAL_CHANNEL, S = sbc::STEREO, J = sbc::JOINT_STEREO;
constexpr int32_t SNR = sbc::SNR, LOUD = sbc::LOUDNESS;

const Row rows[] = {
    {"tones.wav", "(defaults)", D, SNR, 16, 8, 375000, 70176,
     "54cf372ea2d416b0b58273a422181f8e1bd3ce0b3d18de4cb64af507871fcf44"},
    {"tones.wav", "-j", J, SNR, 16, 8, 375000, 69660,
     "7e586bfa7841ae75a38d7828bf41b70675b68ee718ff4f30a56964fc0341e569"},
    {"tones.wav", "-s", S, SNR, 16, 8, 375000, 70176,
     "c4ea5a93836f9a47057c0841814207b9d04a170a95294c2eece4222e7c42862b"},
    {"tones.wav", "-p", D, LOUD, 16, 8, 375000, 70176,
     "2cba703e4bd81a7646a94d5d64858ede9f9f29541f0e71e848de09ad53df1045"},
    {"tones.wav", "-j -p", J, LOUD, 16, 8, 375000, 69660,
     "71b06fe6ce8f02b0d5709396ee120965cd8d46064595dc16e064b34332acd28a"},
    {"tones.wav", "-n 4 -l 4", D, SNR, 4, 4, 375000, 70278,
     "13e12e2bad7a5affdcc2b93db553592aa5c589ba7c76b526379bd882a274b47b"},
    {"tones.wav", "-l 8 -s -p", S, LOUD, 8, 8, 375000, 70244,
     "bf195d65ed50aec976812c6e350298f5a1993b3091888675dfdd02c6276a4a49"},
    {"tones.wav", "-r 229000 -j", J, SNR, 16, 8, 229000, 42828,
     "0d093797daa14e0b17ad367776230d0fb9fe29164a8b663c15d5a57dff674c5d"},
    {"sweep.wav", "-j", J, SNR, 16, 8, 375000, 70250,
     "97ac1eb271758a40f40922335ecf4dc10bb20670ee0ab4133e5fe59860a78b8f"},
    {"sweep.wav", "-l 12 -n 4 -p", D, LOUD, 12, 4, 375000, 66000,
     "a0749607b20685be80cfdb0e351029eac9d97a00b2109f63007f088fb296da1c"},
    {"sweep.wav", "-s -r 512000", S, SNR, 16, 8, 512000, 95540,
     "2a746761b84ac1f18ebb971e1f1ce425109b8013b4aa3f30d27886b1b8f36ed2"},
    {"noise.wav", "-j", J, SNR, 16, 8, 375000, 70125,
     "36a2d0141c2d4be0927ad215c82e59331f96bac8bf2a394db0e2688eb6897340"},
    {"noise.wav", "-l 8 -p", D, LOUD, 8, 8, 375000, 69000,
     "d2e139f34c8ec9491833ab83799df39b6a5127985c0ba675e2f21bf4d3bd9d19"},
    {"voice.wav", "-r 128000", D, SNR, 16, 8, 128000, 23936,
     "b5de6dfd1ddebee228a01cd7cef40fb743e7cac1bff933724aa136851ff7e023"},
    {"voice.wav", "-p -l 4 -n 4 -r 96000", D, LOUD, 4, 4, 96000, 18000,
     "c973396de9f27a132ba1967ef811ef3d6f1991939becaa4067083a36d554a1bb"},
};

struct Wav {
    int32_t channels = 0;
    int32_t rate = 0;
    std::vector<int16_t> pcm;
};

uint32_t le32(const std::string& b, size_t at) {
    return static_cast<uint32_t>(static_cast<uint8_t>(b[at])) |
           static_cast<uint32_t>(static_cast<uint8_t>(b[at + 1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(b[at + 2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(b[at + 3])) << 24;
}
uint16_t le16(const std::string& b, size_t at) {
    return static_cast<uint16_t>(static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1])
                                                                   << 8);
}

// The canonical 44-byte header: RIFF, WAVE, a 16-byte PCM "fmt " chunk, then "data".
Wav parse_canonical_wav(const std::string& b) {
    Wav w;
    if (b.size() < 44 || b.compare(0, 4, "RIFF") != 0 || b.compare(8, 8, "WAVEfmt ") != 0 ||
        le32(b, 16) != 16 || le16(b, 20) != 1 || le16(b, 34) != 16 ||
        b.compare(36, 4, "data") != 0 || le32(b, 40) != b.size() - 44 ||
        le32(b, 4) != b.size() - 8) {
        ADD_FAILURE() << "not a canonical 16-bit PCM WAVE header";
        return w;
    }
    w.channels = le16(b, 22);
    w.rate = static_cast<int32_t>(le32(b, 24));
    EXPECT_EQ(le32(b, 28), static_cast<uint32_t>(w.rate * w.channels * 2)); // byte rate
    EXPECT_EQ(le16(b, 32), w.channels * 2);                                 // block align
    w.pcm.resize((b.size() - 44) / 2);
    std::memcpy(w.pcm.data(), b.data() + 44, w.pcm.size() * 2); // the host is little-endian
    return w;
}

TEST(Conformance, EveryReferenceStreamIsReproducedByteForByte) {
    if (!have_program("sox"))
        GTEST_SKIP() << "sox is not installed: conformance inputs cannot be made";
    if (!have_program("sha256sum")) GTEST_SKIP() << "sha256sum is not installed";
    TempDir dir;
    std::map<std::string, Wav> wavs;
    for (const auto& in : inputs()) {
        std::vector<std::string> argv = {"sox", "-D", "-R", "-n"};
        for (const auto& a : in.sox_args) argv.push_back(a == in.name ? (dir / a).string() : a);
        const auto r = run_process(argv);
        ASSERT_EQ(r.status, 0) << r.err;
        ASSERT_EQ(sbctest::sha256_of_file(dir / in.name), in.sha256) << in.name;
        wavs[in.name] = parse_canonical_wav(testsupport::read_file(dir / in.name));
    }
    for (const auto& row : rows) {
        const Wav& w = wavs.at(row.input);
        sbctest::StreamParams p;
        p.sampling_frequency = w.rate;
        p.channels = w.channels;
        p.subbands = row.subbands;
        p.blk_len = row.blk_len;
        p.channel_mode = w.channels == 1 ? sbc::MONO : row.mode;
        p.allocation_method = row.allocation;
        p.bitpool = sbctest::derive_bitpool(row.rate, w.rate, w.channels, p.channel_mode,
                                            p.subbands, p.blk_len);
        const std::string stream = sbctest::encode_stream(p, w.pcm);
        const auto file = dir / "out.sbc";
        testsupport::write_file(file, stream);
        EXPECT_EQ(stream.size(), row.bytes) << row.input << " " << row.options;
        EXPECT_EQ(sbctest::sha256_of_file(file), row.sha256) << row.input << " " << row.options;
    }
}

} // namespace
