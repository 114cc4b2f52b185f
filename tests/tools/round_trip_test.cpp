// Round trips through every container: vantrel encodes, vantrel-decode writes the container
// (to a file, and to a pipe), and the audio file library (the encoder's reader), sox and ffmpeg
// read back the same parameters and samples.
#include "process.h"
#include "tools.h"
#include "wave_fixture.h"

#include <cmath>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using namespace testsupport;
using namespace toolstest;

struct Source {
    const char* name;
    int channels, rate;
    std::vector<std::string> options; // for vantrel
};

const Source sources[] = {
    {"stereo", 2, 44100, {"-j"}},
    {"mono", 1, 16000, {"-r", "128000"}},
};

// The source encoded, and its decoding as raw 16-bit and raw float samples: the references.
struct Encoded {
    std::string sbc_path;
    std::vector<int16_t> pcm;
    std::vector<float> floats;
};

Encoded encode(const Source& s, const TempDir& dir) {
    const int instants = s.rate / 2 + 77;
    const auto wav = dir / (std::string(s.name) + ".wav");
    write_file(
        wav, wave_file(s.channels, s.rate, 16,
                       pcm16_le(to_pcm16(sine_frames(s.channels, s.rate, instants, 523.0, 0.6)))));
    Encoded e;
    e.sbc_path = (dir / (std::string(s.name) + ".sbc")).string();
    std::vector<std::string> args = {vantrel_binary()};
    args.insert(args.end(), s.options.begin(), s.options.end());
    args.insert(args.end(), {"-o", e.sbc_path, wav.string()});
    EXPECT_EQ(run_process(args).status, 0);
    const auto raw = run_process({decode_binary(), "-t", "raw", e.sbc_path});
    const auto raw_float = run_process({decode_binary(), "-t", "raw", "-f", e.sbc_path});
    EXPECT_EQ(raw.status, 0);
    EXPECT_EQ(raw.err, "");
    e.pcm = pcm16(raw.out);
    e.floats = float32(raw_float.out);
    EXPECT_EQ(e.pcm.size(), e.floats.size());
    EXPECT_EQ(e.pcm.size(), static_cast<size_t>(instants / 128 * 128 * s.channels));
    return e;
}

struct Target {
    const char* type;
    bool float_samples;
    double scale; // what a float stored in the container is, in full-scale units
};

const Target targets[] = {
    {"wav", false, 0},   {"au", false, 0},       {"aiff", false, 0},      {"aifc", false, 0},
    {"spw", false, 0},   {"h512", false, 0},     {"wav", true, 1.0},      {"au", true, 1.0},
    {"aifc", true, 1.0}, {"spw", true, 32768.0}, {"h512", true, 32768.0},
};

// The samples read back equal the references: 16-bit values exactly, floats exactly as the
// decoder gave them (scaled where the container keeps the 16-bit scale).
void expect_samples(const ReadBack& r, const Encoded& e, const Target& t, const std::string& what) {
    ASSERT_EQ(r.samples.size(), e.pcm.size()) << what;
    size_t differ = 0;
    for (size_t i = 0; i < r.samples.size(); ++i) {
        const double want = t.float_samples ? static_cast<double>(e.floats[i]) * t.scale : e.pcm[i];
        differ += r.samples[i] != want;
    }
    EXPECT_EQ(differ, 0u) << what;
}

TEST(RoundTrip, EveryContainerReadsBackWithTheSameParametersAndSamples) {
    TempDir dir;
    for (const Source& s : sources) {
        const Encoded e = encode(s, dir);
        for (const Target& t : targets) {
            if (std::string(t.type) == "spw" && s.channels == 2) continue; // refused, below
            const std::string what =
                std::string(s.name) + " -t " + t.type + (t.float_samples ? " -f" : "");
            const auto file = dir / (std::string("out.") + t.type);
            const auto piped = dir / (std::string("piped.") + t.type);
            std::vector<std::string> args = {decode_binary(), "-t", t.type};
            if (t.float_samples) args.push_back("-f");
            const auto to_file = run_process([&] {
                auto a = args;
                a.insert(a.end(), {"-o", file.string(), e.sbc_path});
                return a;
            }());
            EXPECT_EQ(to_file.status, 0) << what << to_file.err;
            const auto to_pipe = run_process({"sh", "-c",
                                              shell_command(args) + " " + shell_quote(e.sbc_path) +
                                                  " | cat > " + shell_quote(piped.string())});
            EXPECT_EQ(to_pipe.status, 0) << what << to_pipe.err;
            for (const auto& path : {file, piped}) {
                const ReadBack r = read_back(path);
                ASSERT_TRUE(r.opened) << what << " " << path;
                EXPECT_EQ(r.channels, s.channels) << what;
                EXPECT_EQ(r.rate, s.rate) << what;
                // A header of unknown length (from the pipe) is counted from the file's size,
                // except SPW's, whose data is then read to its end.
                if (path == file || std::string(t.type) != "spw") {
                    EXPECT_TRUE(r.count_known) << what;
                    EXPECT_EQ(r.count, static_cast<long long>(e.pcm.size()) / s.channels) << what;
                }
                expect_samples(r, e, t, what + (path == file ? " (file)" : " (pipe)"));
            }
            // The encoder reads the 16-bit files back and encodes them as it encodes the
            // decoder's WAVE output.
            if (!t.float_samples) {
                const auto encode_to = [&](const std::string& out, const std::string& in) {
                    std::vector<std::string> a = {vantrel_binary()};
                    a.insert(a.end(), s.options.begin(), s.options.end());
                    a.insert(a.end(), {"-o", out, in});
                    return a;
                };
                const auto again =
                    run_process(encode_to((dir / "again.sbc").string(), file.string()));
                const auto reference =
                    run_process({"sh", "-c",
                                 shell_command({decode_binary(), e.sbc_path}) + " | " +
                                     shell_command(encode_to((dir / "reference.sbc").string(),
                                                             "AUDIO_FROM_STDIN"))});
                EXPECT_EQ(again.status, 0) << what << again.err;
                EXPECT_EQ(read_file(dir / "again.sbc"), read_file(dir / "reference.sbc")) << what;
            }
        }
    }
}

// Headerless output is the WAVE output's data; a stereo stream is refused for SPW, which
// holds one channel, and AIFF, which has no float samples, is refused with -f.
TEST(RoundTrip, RawIsTheDataAndImpossibleContainersAreRefused) {
    TempDir dir;
    const Encoded e = encode(sources[0], dir);
    const auto wav = run_process({decode_binary(), e.sbc_path});
    const auto raw = run_process({decode_binary(), "-t", "raw", e.sbc_path});
    ASSERT_EQ(wav.out.size(), raw.out.size() + 44);
    EXPECT_EQ(wav.out.substr(44), raw.out);
    EXPECT_EQ(wav.out.substr(0, 4), "RIFF");

    const auto spw = run_process({decode_binary(), "-t", "spw", e.sbc_path});
    EXPECT_EQ(spw.status, 1);
    EXPECT_EQ(spw.out, "");
    EXPECT_EQ(spw.err, "vantrel-decode: standard output: an SPW signal file holds one channel, and "
                       "the stream has two\n");
    const auto aiff =
        run_process({decode_binary(), "-f", "-o", (dir / "x.aiff").string(), e.sbc_path});
    EXPECT_EQ(aiff.status, 1);
    EXPECT_EQ(aiff.err, "vantrel-decode: AIFF has no float samples (AIFC has: -t aifc)\n");
}

// The container follows -t, else the -o name's suffix, else WAVE.
TEST(RoundTrip, TheContainerComesFromTheTypeThenTheSuffix) {
    TempDir dir;
    const Encoded e = encode(sources[1], dir);
    const struct {
        std::vector<std::string> options;
        const char* file;
        const char* magic;
    } cases[] = {
        {{}, "a.au", ".snd"},
        {{}, "b.AIFC", "FORM"},
        {{}, "c.snd", ".snd"},
        {{}, "d.unknown", "RIFF"},
        {{"-t", "au"}, "e.wav", ".snd"},
        {{}, "f.h512", ""},
        {{}, "g.spw", "$SIG"},
        {{}, "h.raw", ""},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {decode_binary()};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.insert(args.end(), {"-o", (dir / c.file).string(), e.sbc_path});
        ASSERT_EQ(run_process(args).status, 0) << c.file;
        if (*c.magic != '\0') {
            EXPECT_EQ(read_file(dir / c.file).substr(0, 4), c.magic) << c.file;
        }
    }
    EXPECT_EQ(read_file(dir / "h.raw").size(), e.pcm.size() * 2);
    EXPECT_EQ(read_file(dir / "f.h512").size(), e.pcm.size() * 2 + 512);
}

// What the decoder writes to a pipe, where no size can be known, sox and ffmpeg read to the
// end, every sample of it.
TEST(RoundTrip, SoxAndFfmpegReadThePipeHeaderToTheEnd) {
    TempDir dir;
    const Encoded e = encode(sources[0], dir);
    const struct {
        const char* type;
        const char* ffmpeg_format;
    } containers[] = {{"wav", "wav"}, {"au", "au"}, {"aiff", "aiff"}, {"aifc", "aiff"}};
    for (const auto& c : containers) {
        const std::string decode = shell_command({decode_binary(), "-t", c.type, e.sbc_path});
        const struct {
            const char* tool;
            std::string reader;
        } readers[] = {
            {"sox", shell_command({"sox", "-t", c.type, "-", "-t", "raw", "-e", "signed", "-b",
                                   "16", "-L", "-"})},
            {"ffmpeg", shell_command({"ffmpeg", "-v", "error", "-f", c.ffmpeg_format, "-i", "-",
                                      "-f", "s16le", "-"})},
        };
        for (const auto& r : readers) {
            if (!have_program(r.tool)) {
                std::printf("%s is not installed: its reading of the pipe header is NOT checked\n",
                            r.tool);
                continue;
            }
            const auto got = run_process({"sh", "-c", decode + " | " + r.reader + " 2>/dev/null"});
            EXPECT_EQ(got.status, 0) << r.tool << " " << c.type;
            EXPECT_EQ(pcm16(got.out), e.pcm) << r.tool << " " << c.type;
        }
    }
}

} // namespace
