// Header writers: the exact bytes of every container's header, the 80-bit rate, the refusals of
// audio_open in mode "w", failed writes, and sox reading what we write.
#include "audiofile/writers.h"
#include "fixtures.h"

#include <cmath>
#include <filesystem>
#include <map>

using namespace audiofile;
using namespace std::literals;

namespace {

std::string be16(uint32_t v) {
    return {static_cast<char>(v >> 8), static_cast<char>(v)};
}
std::string be32(uint32_t v) {
    return be16(v >> 16) + be16(v & 0xFFFF);
}
std::string zeros(size_t n) {
    return std::string(n, '\0');
}

AudioInfo info_of(int32_t type, int32_t channels, int32_t rate, int32_t frames,
                  const char* comment = "") {
    AudioInfo info{};
    info.sample_type = type;
    info.channels = channels;
    info.sampling_frequency = rate;
    info.num_samples = frames;
    std::snprintf(info.comment.data(), info.comment.size(), "%s", comment);
    return info;
}

// Opens `path` for writing, appends `samples`, closes; returns what was printed.
std::string write_audio(const std::string& path, AudioInfo& info, const std::string& samples = {}) {
    testing::internal::CaptureStderr();
    auto file = audio_open(path.c_str(), "w", info);
    if (file) {
        std::fwrite(samples.data(), 1, samples.size(), file->stream.get());
        EXPECT_EQ(file->access, ACCESS_WRITE);
        EXPECT_EQ(audio_close(file), 0);
    }
    return testing::internal::GetCapturedStderr();
}

std::string header_of(AudioInfo info) {
    testsupport::TempDir dir;
    EXPECT_EQ(write_audio((dir / "out").string(), info), "");
    return testsupport::read_file(dir / "out");
}

std::string h512_header(const std::map<int, int32_t>& words) {
    std::string out;
    for (int w = 0; w < 128; ++w) out += aftest::le32(words.contains(w) ? words.at(w) : 0);
    return out;
}

const std::string comm_stereo16_44100 =
    "COMM" + be32(18) + be16(2) + be32(1000) + be16(16) + "\x40\x0E\xAC\x44" + zeros(6);

} // namespace

TEST(HeaderWriters, EveryContainerWritesItsExactHeader) {
    AudioInfo h512 = info_of(ST_H512_PCM16, 2, 16000, 1000);
    h512.aux_value_1 = 5, h512.aux_value_2 = -7, h512.ident_1 = 32149, h512.ident_2 = 123456;
    h512.aux_byte = -128, h512.aux_high = 127;
    const struct {
        AudioInfo info;
        std::string expected;
    } cases[] = {
        {info_of(ST_WAVE_PCM16, 2, 44100, 1000),
         "RIFF" + aftest::le32(4036) + "WAVEfmt " + aftest::le32(16) +
             aftest::fmt_fields(1, 2, 44100, 16) + "data" + aftest::le32(4000)},
        {info_of(ST_WAVE_FLOAT64, 1, 8000, 10),
         "RIFF" + aftest::le32(116) + "WAVEfmt " + aftest::le32(16) +
             aftest::fmt_fields(3, 1, 8000, 64) + "data" + aftest::le32(80)},
        {info_of(ST_SUN_PCM16, 1, 8000, 100),
         ".snd" + be32(24) + be32(200) + be32(3) + be32(8000) + be32(1)},
        {info_of(ST_AIFF_PCM16, 2, 44100, 1000),
         "FORM" + be32(4046) + "AIFF" + comm_stereo16_44100 + "SSND" + be32(4008) + zeros(8)},
        {info_of(ST_AIFF_PCM16, 2, 44100, 1000, "hello"),
         "FORM" + be32(4070) + "AIFF" + comm_stereo16_44100 + "COMT" + be32(16) + be16(1) +
             zeros(6) + be16(5) + "hello" + zeros(1) + "SSND" + be32(4008) + zeros(8)},
        {info_of(ST_AIFC_FLOAT32, 1, 8000, 10),
         "FORM" + be32(120) + "AIFCFVER" + be32(4) + be32(0xA2805140) + "COMM" + be32(40) +
             be16(1) + be32(10) + be16(32) + "\x40\x0B\xFA" + zeros(7) +
             "fl32\x11IEEE 32-bit float" + "SSND" + be32(48) + zeros(8)},
        {info_of(ST_AIFC_PCM8, 1, 8000, 10, "odd"), // 86 bytes without the COMT chunk
         "FORM" + be32(110) + "AIFCFVER" + be32(4) + be32(0xA2805140) + "COMM" + be32(38) +
             be16(1) + be32(10) + be16(8) + "\x40\x0B\xFA" + zeros(7) + "NONE\x0Enot compressed" +
             zeros(1) + "COMT" + be32(14) + be16(1) + zeros(6) + be16(3) + "odd" + zeros(1) +
             "SSND" + be32(18) + zeros(8)},
        {info_of(ST_SPW_FIXED16, 1, 16000, 48000, "my signal"),
         "$SIGNAL_FILE 9\n$USER_COMMENT\nmy signal\n$COMMON_INFO\nSPW Version = 3.00\n"
         "System Type = sun4\nSampling Frequency =   16000\nStarting Time = 0\n$DATA_INFO\n"
         "Number of points =       48000\nSignal Type = Fixedpoint\n"
         "Fixed Point Format = <16,15,t>\n$DATA\n"},
        {info_of(ST_SPW_DOUBLE, 2, 8000, 5, "a\nb\n"),
         "$SIGNAL_FILE 9\n$USER_COMMENT\na\nb\n$COMMON_INFO\nSPW Version = 3.00\n"
         "System Type = sun4\nSampling Frequency =    8000\nStarting Time = 0\n$DATA_INFO\n"
         "Number of points =          10\nSignal Type = Double\n$DATA\n"},
        {info_of(ST_H512_FLOAT32, 1, 16000, 1000),
         h512_header({{4, 89}, {5, 7}, {11, 128}, {54, 1000}, {61, 16000}, {62, -32002}})},
        {h512, h512_header({{4, 89},
                            {5, 7},
                            {11, 128},
                            {35, 5},
                            {37, -7},
                            {54, 1000},
                            {61, 16000},
                            {62, -32000},
                            {63, 32149},
                            {64, 123456},
                            {65, 0x007F8001}})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.info.sample_type);
        EXPECT_EQ(header_of(c.info), c.expected);
    }
}

TEST(HeaderWriters, TheStandardOutputNameWritesToStandardOutput) {
    AudioInfo info = info_of(ST_SUN_PCM8, 1, 8000, 3);
    testing::internal::CaptureStdout();
    EXPECT_EQ(write_audio("AUDIO_TO_STDOUT", info, "abc"), "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              ".snd" + be32(24) + be32(3) + be32(2) + be32(8000) + be32(1) + "abc");
}

TEST(HeaderWriters, RatesBecomeEightyBitExtendedNumbers) {
    const struct {
        double rate;
        std::string_view bytes; // the rest are zero bytes
    } cases[] = {
        {44100, "\x40\x0E\xAC\x44"sv},
        {8000, "\x40\x0B\xFA"sv},
        {0.0, ""sv},
        {-0.0, ""sv},
        {-1.5, "\xBF\xFF\xC0"sv},
        {INFINITY, "\x7F\xFF"sv},
        {-INFINITY, "\xFF\xFF"sv},
        {0x1p-1074, "\x3B\xCD\x80"sv},
        {NAN, "\x7F\xFF"sv},
    };
    for (const auto& c : cases) {
        std::array<uint8_t, 10> out{};
        double_to_extended(c.rate, out);
        EXPECT_EQ(std::string(out.begin(), out.end()),
                  std::string(c.bytes) + zeros(10 - c.bytes.size()))
            << c.rate;
    }
}

TEST(HeaderWriters, PascalStringsArePaddedToAnEvenLength) {
    std::array<uint8_t, 300> out{};
    EXPECT_EQ(write_pstring(out, "not compressed"), 16u);
    EXPECT_EQ(out[15], 0);
    EXPECT_EQ(write_pstring(out, "IEEE 32-bit float"), 18u);
    EXPECT_EQ(write_pstring(out, std::string(300, 'x')), 256u); // cut to a count of 255
    EXPECT_EQ(out[0], 255);
    EXPECT_EQ(write_pstring(std::span(out).first(17), "IEEE 32-bit float"), 0u);
}

TEST(HeaderWriters, UnwritableDescriptionsAreRefusedBeforeAnyFileIsTouched) {
    const struct {
        AudioInfo info;
        const char* why;
    } cases[] = {
        {info_of(1, 1, 8000, 1), "sample type 1 has no header writer"},
        {info_of(6, 1, 8000, 1), "sample type 6 has no header writer"},
        {info_of(15, 1, 8000, 1), "sample type 15 has no header writer"},
        {info_of(20, 1, 8000, 1), "sample type 20 has no header writer"},
        {info_of(-1, 1, 8000, 1), "sample type -1 has no header writer"},
        {info_of(31, 1, 8000, 1), "sample type 31 has no header writer"},
        {info_of(ST_WAVE_PCM16, 0, 8000, 1), "0 channels (at least 1 is needed)"},
        {info_of(ST_SPW_DOUBLE, -2, 8000, 1), "-2 channels (at least 1 is needed)"},
        {info_of(ST_AIFF_PCM8, 1, 8000, -1), "num_samples -1 is negative"},
        {info_of(ST_SUN_PCM8, 1, -8000, 1), "sampling frequency -8000 is negative"},
        {info_of(ST_H512_PCM16, 129, 8000, 1),
         "129 channels do not fit a 512-byte header (at most 128)"},
        {info_of(ST_AIFC_PCM8, 40000, 8000, 1),
         "40000 channels do not fit an AIFF/AIFC header (at most 32767)"},
        {info_of(ST_WAVE_FLOAT64, 8192, 8000, 1),
         "8192 channels do not fit a WAVE header (at most 8191)"},
        {info_of(ST_WAVE_PCM16, 2, 2000000000, 1),
         "8000000000 bytes per second do not fit a WAVE header"},
        {info_of(ST_WAVE_PCM8, 3, 8000, 1431655754),
         "4294967262 bytes of samples do not fit a WAVE header"},
        {info_of(ST_SUN_PCM8, 3, 8000, 1431655765),
         "4294967295 bytes of samples do not fit a Sun audio header"},
        {info_of(ST_AIFF_PCM16, 2, 8000, 1073741813),
         "4294967252 bytes of samples do not fit an AIFF/AIFC header"},
        {info_of(ST_H512_FLOAT64, 128, 8000, INT32_MAX),
         "2199023254528 bytes of samples do not fit a 512-byte header"},
        {info_of(ST_SPW_FIXED16, 2, 8000, 1 << 30), "2147483648 points do not fit an SPW header"},
    };
    testsupport::TempDir dir;
    const std::string path = (dir / "kept").string();
    for (const auto& c : cases) {
        testsupport::write_file(path, "kept");
        AudioInfo info = c.info;
        EXPECT_EQ(write_audio(path, info), "\nUnable to write " + path + ": " + c.why + "\n");
        EXPECT_EQ(testsupport::read_file(path), "kept");
        EXPECT_FALSE(header_problem(info).ok());
        EXPECT_EQ(write_header(stdout, info), -1);
    }
    // One frame less than each size limit is written.
    EXPECT_TRUE(header_problem(info_of(ST_SUN_PCM8, 3, 8000, 1431655764)).ok());
    EXPECT_TRUE(header_problem(info_of(ST_WAVE_PCM8, 3, 8000, 1431655753)).ok());
    EXPECT_TRUE(header_problem(info_of(ST_AIFF_PCM16, 2, 8000, 1073741812)).ok());
}

TEST(HeaderWriters, WritesThatDoNotArriveAreReported) {
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    AudioInfo info = info_of(ST_WAVE_PCM16, 2, 44100, 1000);
    EXPECT_EQ(write_audio("/dev/full", info),
              "\nError writing the header of /dev/full: No space left on device\n");
    // Samples still buffered when a write handle is closed: the close reports them lost.
    AudioFile file;
    file.access = ACCESS_WRITE;
    file.stream.reset(std::fopen("/dev/full", "wb"));
    ASSERT_NE(file.stream, nullptr);
    std::fputs("samples", file.stream.get());
    auto handle = std::make_unique<AudioFile>(std::move(file));
    testing::internal::CaptureStderr();
    EXPECT_EQ(audio_close(handle), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "\nError closing file");
}
