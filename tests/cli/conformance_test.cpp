// Known-answer streams through the whole program: inputs made by sox with dithering off and a
// fixed seed, encoded with the options of each row, compared by SHA-256 with streams that two
// independent encoders agree on.
#include "process.h"

#include <gtest/gtest.h>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace testsupport;

struct Input {
    const char* name;
    std::vector<std::string> sox_args; // after "sox -D -R -n"
    const char* sha256;
};

const std::vector<Input> inputs = {
    {"tones.wav",
     {"-r", "44100", "-c", "2", "-b", "16", "@", "synth", "1.5", "sine", "440", "sine", "1250",
      "gain", "-6"},
     "fb6b28e1c356e02afbd9de68165f2f722bf633cb5f0f3b721a3025839175b4e5"},
    {"sweep.wav",
     {"-r", "48000", "-c", "2", "-b", "16", "@", "synth", "1.5", "sine", "100-12000", "sine",
      "12000-100", "gain", "-3"},
     "b0a3071cb06696aa9f668ce8e2202834941c52a1c0602e8442b268c38900bc58"},
    {"voice.wav",
     {"-r", "16000", "-c", "1", "-b", "16", "@", "synth", "1.5", "sine", "300", "tremolo", "5",
      "80", "gain", "-2"},
     "50e72c612dc7c2c5173325bb9a9af431e349c9b4a7f067cc6aa16126e84865e7"},
    {"noise.wav",
     {"-r", "32000", "-c", "2", "-b", "16", "@", "synth", "1.5", "whitenoise", "pinknoise", "gain",
      "-10"},
     "fc226f898add3f5f1af34ed49b3a41290da33729d26c6f3d3e1845dbf50b93d0"},
};

struct Expected {
    const char* input;
    std::vector<std::string> options;
    size_t bytes;
    const char* sha256;
};

const std::vector<Expected> streams = {
    {"tones.wav", {}, 70176, "54cf372ea2d416b0b58273a422181f8e1bd3ce0b3d18de4cb64af507871fcf44"},
    {"tones.wav",
     {"-j"},
     69660,
     "7e586bfa7841ae75a38d7828bf41b70675b68ee718ff4f30a56964fc0341e569"},
    {"tones.wav",
     {"-s"},
     70176,
     "c4ea5a93836f9a47057c0841814207b9d04a170a95294c2eece4222e7c42862b"},
    {"tones.wav",
     {"-p"},
     70176,
     "2cba703e4bd81a7646a94d5d64858ede9f9f29541f0e71e848de09ad53df1045"},
    {"tones.wav",
     {"-j", "-p"},
     69660,
     "71b06fe6ce8f02b0d5709396ee120965cd8d46064595dc16e064b34332acd28a"},
    {"tones.wav",
     {"-n", "4", "-l", "4"},
     70278,
     "13e12e2bad7a5affdcc2b93db553592aa5c589ba7c76b526379bd882a274b47b"},
    {"tones.wav",
     {"-l", "8", "-s", "-p"},
     70244,
     "bf195d65ed50aec976812c6e350298f5a1993b3091888675dfdd02c6276a4a49"},
    {"tones.wav",
     {"-r", "229000", "-j"},
     42828,
     "0d093797daa14e0b17ad367776230d0fb9fe29164a8b663c15d5a57dff674c5d"},
    {"sweep.wav",
     {"-j"},
     70250,
     "97ac1eb271758a40f40922335ecf4dc10bb20670ee0ab4133e5fe59860a78b8f"},
    {"sweep.wav",
     {"-l", "12", "-n", "4", "-p"},
     66000,
     "a0749607b20685be80cfdb0e351029eac9d97a00b2109f63007f088fb296da1c"},
    {"sweep.wav",
     {"-s", "-r", "512000"},
     95540,
     "2a746761b84ac1f18ebb971e1f1ce425109b8013b4aa3f30d27886b1b8f36ed2"},
    {"noise.wav",
     {"-j"},
     70125,
     "36a2d0141c2d4be0927ad215c82e59331f96bac8bf2a394db0e2688eb6897340"},
    {"noise.wav",
     {"-l", "8", "-p"},
     69000,
     "d2e139f34c8ec9491833ab83799df39b6a5127985c0ba675e2f21bf4d3bd9d19"},
    {"voice.wav",
     {"-r", "128000"},
     23936,
     "b5de6dfd1ddebee228a01cd7cef40fb743e7cac1bff933724aa136851ff7e023"},
    {"voice.wav",
     {"-p", "-l", "4", "-n", "4", "-r", "96000"},
     18000,
     "c973396de9f27a132ba1967ef811ef3d6f1991939becaa4067083a36d554a1bb"},
};

std::string sha256_of(const std::filesystem::path& file) {
    auto r = run_process({"sha256sum", file.string()});
    return r.out.substr(0, 64);
}

TEST(Conformance, EveryKnownAnswerStreamIsReproducedByteForByte) {
    if (!have_program("sox"))
        GTEST_SKIP() << "sox is not installed: the known-answer inputs cannot be made";
    if (!have_program("sha256sum")) GTEST_SKIP() << "sha256sum is not installed";
    TempDir dir;
    for (const Input& in : inputs) {
        std::vector<std::string> args = {"sox", "-D", "-R", "-n"};
        for (const auto& a : in.sox_args) args.push_back(a == "@" ? (dir / in.name).string() : a);
        auto made = run_process(args);
        ASSERT_EQ(made.status, 0) << made.err;
        ASSERT_EQ(sha256_of(dir / in.name), in.sha256) << in.name << " is not the reference input";
    }
    for (const Expected& e : streams) {
        std::vector<std::string> args = {vantrel_binary()};
        args.insert(args.end(), e.options.begin(), e.options.end());
        args.insert(args.end(), {"-o", (dir / "out.sbc").string(), (dir / e.input).string()});
        auto r = run_process(args);
        std::string label = e.input;
        for (const auto& o : e.options) label += " " + o;
        ASSERT_EQ(r.status, 0) << label << ": " << r.err;
        EXPECT_EQ(std::filesystem::file_size(dir / "out.sbc"), e.bytes) << label;
        EXPECT_EQ(sha256_of(dir / "out.sbc"), e.sha256) << label;
    }
}

} // namespace
