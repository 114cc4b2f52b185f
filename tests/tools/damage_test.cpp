// Damaged streams through vantrel-decode: the length of the audio, the one summary line and the
// exit status, for every kind of damage a radio link or a cut file brings.
#include "process.h"
#include "sbc_streams.h"
#include "tools.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using namespace testsupport;
using namespace toolstest;

const SbcShape joint{44100, 2, sbc::JOINT_STEREO, 8, 16, 53}; // 119-byte frames, 128 instants

std::vector<std::string> flipped(std::vector<std::string> frames, size_t index, size_t at,
                                 uint8_t mask) {
    frames[index][at] = static_cast<char>(frames[index][at] ^ mask);
    return frames;
}

// With -c silence the summary says "replaced by silence"; concealing, "concealed".
std::string summary(int decoded, int damaged, int lost, int skipped) {
    return "vantrel-decode: " + std::to_string(decoded) + " frames decoded; " +
           std::to_string(damaged) + " damaged and " + std::to_string(lost) + " lost concealed; " +
           std::to_string(skipped) + " bytes skipped\n";
}

std::string silenced(std::string err) {
    const std::string word = " lost concealed;";
    if (const auto at = err.find(word); at != std::string::npos)
        err.replace(at, word.size(), " lost replaced by silence;");
    return err;
}

struct Case {
    const char* name;
    std::string stream;
    int instants;    // of audio written
    std::string err; // standard error, whole
    int status;
    int silent_frame;   // a frame whose audio must be all zeros, or -1
    int frame_instants; // instants of that frame
};

std::vector<Case> cases() {
    const auto f = sbc_frames(joint, 20);
    const auto at48k = sbc_frames({48000, 2, sbc::JOINT_STEREO, 8, 16, 53}, 20, 10 * 128);
    const auto msbc = msbc_frames(20, 5);
    const std::string units = h2_units(msbc);
    const std::string garbage(37, '\x55');
    const std::string change =
        "vantrel-decode: the stream changes from 44100 Hz with 2 channels to 48000 Hz with 2 "
        "channels at byte 1190; decoding stops there, and the audio before it is kept\n";
    return {
        {"clean", joined(f), 20 * 128, "", 0, -1, 0},
        {"sync word flipped", joined(flipped(f, 10, 0, 0x01)), 20 * 128, summary(19, 1, 0, 0), 0,
         10, 128},
        {"bitpool flipped", joined(flipped(f, 10, 2, 0x10)), 20 * 128, summary(19, 1, 0, 0), 0, 10,
         128},
        {"CRC flipped", joined(flipped(f, 10, 3, 0x80)), 20 * 128, summary(19, 1, 0, 0), 0, 10,
         128},
        {"scale factor flipped", joined(flipped(f, 10, 6, 0x02)), 20 * 128, summary(19, 1, 0, 0), 0,
         10, 128},
        {"sample flipped", joined(flipped(f, 10, 80, 0x04)), 20 * 128, "", 0, -1, 0},
        {"last frame cut short", joined(f).substr(0, 20 * 119 - 30), 19 * 128,
         summary(19, 0, 0, 89), 0, -1, 0},
        {"garbage between frames", joined(f, 0, 7) + garbage + joined(f, 7), 20 * 128,
         summary(20, 0, 0, 37), 0, -1, 0},
        {"an H2 unit lost", units.substr(0, 5 * 60) + units.substr(6 * 60), 20 * 120,
         summary(19, 0, 1, 0), 0, 5, 120},
        {"a frequency change", joined(f, 0, 10) + joined(at48k, 10), 10 * 128, change, 1, -1, 0},
        {"a lone frame of another frequency", joined(f, 0, 10) + at48k[10] + joined(f, 11),
         20 * 128, summary(19, 1, 0, 0), 0, 10, 128},
        {"garbage only", std::string(5000, '\x55'), 0,
         "vantrel-decode: no SBC or mSBC frame found in standard input (5000 bytes)\n", 1, -1, 0},
        {"empty", "", 0, "vantrel-decode: no SBC or mSBC frame found in standard input (0 bytes)\n",
         1, -1, 0},
    };
}

// Concealed (the default) or silenced (-c silence), a damaged or lost frame keeps the stream's
// length; silence is zeros, concealment is not.
TEST(DamagedStreams, OutputLengthSummaryAndStatusAreAsStated) {
    for (const Case& c : cases())
        for (const std::string mode : {"auto", "silence"}) {
            const bool silence = mode == "silence";
            const auto r = run_process({decode_binary(), "-c", mode, "-t", "raw", "-"}, c.stream);
            EXPECT_EQ(r.status, c.status) << c.name;
            EXPECT_EQ(r.err, silence ? silenced(c.err) : c.err) << c.name;
            const auto pcm = pcm16(r.out);
            const int channels = std::string(c.name).find("H2") != std::string::npos ? 1 : 2;
            EXPECT_EQ(pcm.size(), static_cast<size_t>(c.instants * channels)) << c.name;
            if (c.silent_frame < 0 || pcm.size() != static_cast<size_t>(c.instants * channels))
                continue;
            const auto first = static_cast<size_t>(c.silent_frame * c.frame_instants * channels);
            const auto count = static_cast<size_t>(c.frame_instants * channels);
            EXPECT_EQ(std::vector<int16_t>(pcm.begin() + first, pcm.begin() + first + count) ==
                          std::vector<int16_t>(count, 0),
                      silence)
                << c.name << " " << mode << ": the damaged frame is silent only with silence";
            EXPECT_NE(pcm[first + count + 64], 0) << c.name << ": the next frame is decoded";
        }
}

// A run that stops at a change of stream leaves a file whose header counts exactly the audio
// before the change.
TEST(DamagedStreams, AChangeOfStreamLeavesAValidFile) {
    TempDir dir;
    const auto f = sbc_frames(joint, 10);
    const auto mono = sbc_frames({44100, 1, sbc::MONO, 8, 16, 30}, 10, 6 * 128);
    write_file(dir / "in.sbc", joined(f, 0, 6) + joined(mono, 6));
    for (const char* type : {"wav", "au", "aiff", "aifc", "h512"}) {
        const auto out = dir / (std::string("out.") + type);
        const auto r =
            run_process({decode_binary(), "-o", out.string(), (dir / "in.sbc").string()});
        EXPECT_EQ(r.status, 1) << type;
        const ReadBack back = read_back(out);
        EXPECT_TRUE(back.count_known) << type;
        EXPECT_EQ(back.count, 6 * 128) << type;
        EXPECT_EQ(header_count(out), 6 * 128) << type << ": the header's own count";
        EXPECT_EQ(back.samples.size(), 6u * 128 * 2) << type;
    }
}

} // namespace
