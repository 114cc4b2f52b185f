// vantrel-info: the report of a stream as key: value lines, -v's line per frame, the exit status.
#include "process.h"
#include "sbc_streams.h"
#include "tools.h"

#include <gtest/gtest.h>
#include <string>

namespace {

using namespace testsupport;
using namespace toolstest;

std::string report(const char* kind, int frames, const char* duration, const char* parameters,
                   const char* bitpool, const char* rate, int damaged, int lost, int skipped) {
    return std::string("kind: ") + kind + "\nframes: " + std::to_string(frames) +
           "\nduration: " + duration + " s\n" + parameters + bitpool + "bit rate: " + rate +
           " kbit/s\ndamaged frames: " + std::to_string(damaged) +
           "\nlost frames: " + std::to_string(lost) +
           "\nskipped bytes: " + std::to_string(skipped) + "\n";
}

TEST(StreamInfo, TheReportDescribesTheStream) {
    const auto joint = sbc_frames({44100, 2, sbc::JOINT_STEREO, 8, 16, 53}, 100);
    auto varying = sbc_frames({32000, 2, sbc::STEREO, 4, 8, 20, sbc::LOUDNESS}, 30);
    const auto more = sbc_frames({32000, 2, sbc::STEREO, 4, 8, 35, sbc::LOUDNESS}, 10, 30 * 32);
    varying.insert(varying.begin() + 10, more.begin(), more.end());
    std::string mono = joined(sbc_frames({16000, 1, sbc::MONO, 4, 4, 10}, 4)); // 11-byte frames
    mono[11 + 3] ^= 0x01; // the second frame's CRC
    const std::string units = h2_units(msbc_frames(40, 3));
    const struct {
        const char* name;
        std::string stream;
        std::string out;
        int status;
    } cases[] = {
        {"joint stereo", joined(joint),
         report("SBC", 100, "0.290",
                "sampling frequency: 44100 Hz\nchannel mode: JOINT_STEREO\nsubbands: 8\nblocks: "
                "16\nallocation: SNR\n",
                "bitpool: 53\n", "327.994", 0, 0, 0),
         0},
        {"a bitpool that varies", joined(varying),
         report("SBC", 40, "0.040",
                "sampling frequency: 32000 Hz\nchannel mode: STEREO\nsubbands: 4\nblocks: "
                "8\nallocation: LOUDNESS\n",
                "bitpool: 20-35\nbitpool 20: 30 frames\nbitpool 35: 10 frames\n", "254.000", 0, 0,
                0),
         0},
        {"H2 units, one lost, and garbage", units.substr(0, 600) + units.substr(660) + "xyz",
         report("H2-framed mSBC", 39, "0.300",
                "sampling frequency: 16000 Hz\nchannel mode: MONO\nsubbands: 8\nblocks: "
                "15\nallocation: LOUDNESS\n",
                "bitpool: 26\n", "60.800", 0, 1, 3),
         0},
        {"mono with a damaged frame", mono,
         report("SBC", 3, "0.004", // 4 frames of 16 instants at 16 kHz
                "sampling frequency: 16000 Hz\nchannel mode: MONO\nsubbands: 4\nblocks: "
                "4\nallocation: SNR\n",
                "bitpool: 10\n", "88.000", 1, 0, 0),
         0},
        {"no frame", std::string(300, 'x'),
         report("none", 0, "0.000",
                "sampling frequency: \nchannel mode: \nsubbands: \nblocks: \nallocation: \n",
                "bitpool: \n", "0.000", 0, 0, 300),
         1},
    };
    for (const auto& c : cases) {
        const auto r = run_process({info_binary(), "-"}, c.stream);
        EXPECT_EQ(r.out, c.out) << c.name;
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_EQ(r.err, c.status == 0
                             ? ""
                             : "vantrel-info: no SBC or mSBC frame found in standard input\n")
            << c.name;
    }
}

// -v: a line for each frame, damaged ones with their CRC verdict, and for skipped bytes and lost
// units where they are, before the report.
TEST(StreamInfo, VerboseListsEveryFrame) {
    TempDir dir;
    auto frames = sbc_frames({48000, 2, sbc::DUAL_CHANNEL, 8, 12, 20}, 5);
    frames[2][6] ^= 0x01; // a scale factor
    write_file(dir / "in.sbc", joined(frames, 0, 4) + "garbage" + joined(frames, 4));
    const auto r = run_process({info_binary(), "-v", (dir / "in.sbc").string()});
    EXPECT_EQ(r.status, 0);
    const std::string params =
        "SBC, 48000 Hz, DUAL_CHANNEL, 12 blocks, 8 subbands, SNR, bitpool 20";
    const std::string length = std::to_string(frames[0].size());
    const auto frame = [&](int n, int offset, const char* crc) {
        return "frame " + std::to_string(n) + ": offset " + std::to_string(offset) + ", length " +
               length + ", " + params + ", CRC " + crc + "\n";
    };
    const int l = static_cast<int>(frames[0].size());
    const std::string lines = frame(0, 0, "ok") + frame(1, l, "ok") + frame(2, 2 * l, "bad") +
                              frame(3, 3 * l, "ok") + "skipped: offset " + std::to_string(4 * l) +
                              ", 7 bytes\n" + frame(4, 4 * l + 7, "ok");
    EXPECT_EQ(r.out.substr(0, lines.size()), lines);
    EXPECT_NE(r.out.find("\nframes: 4\n"), std::string::npos);
    EXPECT_NE(r.out.find("\ndamaged frames: 1\n"), std::string::npos);
}

} // namespace
