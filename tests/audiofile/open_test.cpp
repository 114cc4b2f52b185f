// Opening and closing: modes, the reserved stream names, update handles, and a WAVE file
// arriving on standard input through a real pipe.
#include "container_fixture.h"
#include "fixtures.h"

#include <filesystem>
#include <unistd.h>

namespace audiofile_open_test {

using namespace audiofile;
using aftest::chunk;
using aftest::dump;
using aftest::fmt_fields;
using aftest::riff;

namespace {

const std::string stereo16 = chunk("fmt ", fmt_fields(1, 2, 44100, 16));
const std::string samples = testsupport::pcm16_le({1, -1, 32767, -32768, 300, -300});

std::string open_error(const char* path, const char* mode) {
    AudioInfo info{};
    testing::internal::CaptureStderr();
    EXPECT_EQ(audio_open(path, mode, info), nullptr);
    return testing::internal::GetCapturedStderr();
}

} // namespace

TEST(AudioOpen, ReservedNamesAndUnsupportedModesAreRefused) {
    EXPECT_EQ(open_error("AUDIO_FROM_STDIN", "r+"), "\nUnable to update stdin/stdout !!");
    EXPECT_EQ(open_error("AUDIO_TO_STDOUT", "r+b"), "\nUnable to update stdin/stdout !!");
    EXPECT_EQ(open_error("AUDIO_FROM_STDIN", "w"), "\nUnable to write stdin !!");
    EXPECT_EQ(open_error("/no/such/dir/x.wav", "rb"),
              "/no/such/dir/x.wav: No such file or directory\n");
    EXPECT_NE(open_error("x.wav", "a"), "");
}

TEST(AudioOpen, WritingIsRefusedWithoutCreatingTheFile) {
    testsupport::TempDir dir;
    const std::string path = (dir / "out.wav").string();
    EXPECT_NE(open_error(path.c_str(), "w+"), "");
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(AudioOpen, AFileNamedLikeTheOutputStreamIsAnOrdinaryInput) {
    testsupport::TempDir dir;
    testsupport::write_file(dir / "AUDIO_TO_STDOUT", riff(stereo16 + chunk("data", samples)));
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path);
    AudioInfo info{};
    auto file = audio_open("AUDIO_TO_STDOUT", "rx", info);
    std::filesystem::current_path(previous);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(info.num_samples, 3);
    EXPECT_EQ(audio_close(file), 0);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(audio_close(file), 0);
}

TEST(AudioOpen, ClosingAnUpdateHandleWritesNothingBack) {
    const std::string bytes = riff(stereo16 + chunk("data", samples));
    auto o = aftest::open_bytes(bytes, "r+");
    ASSERT_NE(o->file, nullptr) << o->err;
    EXPECT_EQ(o->file->access, ACCESS_UPDATE);
    EXPECT_EQ(aftest::read_frames(*o->file, 2, 2).size(), 2u);
    EXPECT_EQ(audio_close(o->file), 0);
    EXPECT_EQ(testsupport::read_file(o->dir / "in.wav"), bytes);
}

TEST(AudioOpen, AWaveFileThroughAPipeReadsAsFromTheFile) {
    testsupport::TempDir dir;
    const std::string bytes = riff(stereo16 + chunk("fact", "abcd") + chunk("data", samples));
    testsupport::write_file(dir / "in.wav", bytes);
    const auto from_file = dump((dir / "in.wav").string());
    const auto from_pipe = dump("AUDIO_FROM_STDIN", bytes);
    EXPECT_EQ(from_file.first, "offset 56");
    EXPECT_EQ(from_pipe.first, "offset -1");
    EXPECT_EQ(from_pipe.second, from_file.second);
    EXPECT_EQ(from_file.second, "channels 2 rate 44100 type 17 samples 3 known 1\n"
                                "1 -1 \n32767 -32768 \n300 -300 \n"
                                "close 0 stdin-open 1\n");
}

TEST(AudioOpen, AMissingLengthOnAPipeLeavesTheCountUnknownAndReadsToTheEnd) {
    for (uint32_t length : {0u, 0xFFFFFFFFu}) {
        const std::string bytes = riff(stereo16 + "data" + aftest::le32(length) + samples);
        EXPECT_EQ(dump("AUDIO_FROM_STDIN", bytes).second,
                  "channels 2 rate 44100 type 17 samples 0 known 0\n"
                  "1 -1 \n32767 -32768 \n300 -300 \n"
                  "close 0 stdin-open 1\n");
    }
}

// The sizes streaming tools leave in a header when they cannot seek back mean "length unknown"
// when the file comes through a pipe; from a regular file they are sizes like any other. A
// value next to a placeholder is a real size everywhere.
TEST(AudioOpen, PlaceholderSizesAreUnknownOnlyThroughAPipe) {
    using namespace testsupport;
    const std::string mono24 = chunk("fmt ", fmt_fields(1, 1, 44100, 24));
    const std::string stereo24 = chunk("fmt ", fmt_fields(1, 2, 44100, 24));
    const auto wave = [&](const std::string& fmt, uint32_t length) {
        return riff(fmt + "data" + aftest::le32(length) + samples);
    };
    const auto aiff = [](const std::string& form_type, int channels, uint32_t frames, int bits) {
        const std::string comm = form_type == "AIFF"
                                     ? comm_fields(channels, frames, bits, 44100)
                                     : comm_fields(channels, frames, bits, 44100, "NONE", "none");
        return form(form_type, aiff_chunk("COMM", comm) + ssnd(std::string(12, '\1')));
    };
    struct Case {
        const char* name;
        std::string bytes;
        bool placeholder;
        uint32_t count; // what the header says, read from a file
    };
    const Case cases[] = {
        {"sox wave", wave(stereo16, 0x7FFFF000), true, 0x7FFFF000 / 4},
        {"sox wave, 3-byte frames", wave(mono24, 0x7FFFEFFF), true, 0x7FFFEFFF / 3},
        {"wave, no whole 6-byte frames", wave(stereo24, 0x7FFFF000), false, 0x7FFFF000 / 6},
        {"arecord wave", wave(stereo16, 0x80000000), true, 0x80000000 / 4},
        {"wave, one frame less", wave(stereo16, 0x7FFFEFFC), false, 0x7FFFEFFC / 4},
        {"arecord sun", sun_file(3, 44100, 2, samples, 0xFFFFFFFE), true, 0xFFFFFFFE / 4},
        {"sun, one byte less", sun_file(3, 44100, 2, samples, 0xFFFFFFFD), false, 0xFFFFFFFD / 4},
        {"sox aiff", aiff("AIFF", 2, 0x7F000000 / 4, 16), true, 0x7F000000 / 4},
        {"sox aifc, 3-byte frames", aiff("AIFC", 1, 0x7F000000 / 3, 24), true, 0x7F000000 / 3},
        {"aiff, one frame more", aiff("AIFF", 2, 0x7F000000 / 4 + 1, 16), false,
         0x7F000000 / 4 + 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::TempDir dir;
        testsupport::write_file(dir / "in", c.bytes);
        const auto description = [](const std::string& dumped) {
            return dumped.substr(dumped.find("samples"),
                                 dumped.find('\n') - dumped.find("samples"));
        };
        const std::string from_file = "samples " + std::to_string(c.count) + " known 1";
        EXPECT_EQ(description(dump((dir / "in").string()).second), from_file);
        EXPECT_EQ(description(dump("AUDIO_FROM_STDIN", c.bytes).second),
                  c.placeholder ? "samples 0 known 0" : from_file);
    }
}

} // namespace audiofile_open_test
