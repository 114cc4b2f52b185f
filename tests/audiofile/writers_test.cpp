// Header writers: the exact bytes of every container's header, the refusals of audio_open in mode
// "w", failed writes, every sample type read back by our readers and by sox, and the 80-bit rate
// converted both ways.
#include "audiofile/detect.h"
#include "audiofile/writers.h"
#include "fixtures.h"

#include <bit>
#include <cfloat>
#include <cmath>
#include <filesystem>
#include <tuple>

namespace audiofile_writers_test {

using namespace audiofile;

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

// 128 little-endian words, zero but for the (word, value) pairs given.
std::string h512_header(const std::vector<int32_t>& pairs) {
    std::array<uint32_t, 128> words{};
    for (size_t i = 0; i + 1 < pairs.size(); i += 2) words.at(pairs[i]) = pairs[i + 1];
    std::string out;
    for (const uint32_t w : words) out += aftest::le32(w);
    return out;
}

} // namespace

TEST(HeaderWriters, EveryContainerWritesItsExactHeader) {
    AudioInfo h512 = info_of(ST_H512_FLOAT32, 1, 16000, 1000);
    h512.aux_value_1 = 5, h512.aux_value_2 = -7, h512.ident_1 = 32149, h512.ident_2 = 123456;
    h512.aux_byte = -128, h512.aux_high = 127;
    const struct {
        AudioInfo info;
        std::string expected;
    } cases[] = {
        {info_of(ST_WAVE_PCM16, 2, 44100, 1000),
         "RIFF" + aftest::le32(4036) + "WAVEfmt " + aftest::le32(16) +
             aftest::fmt_fields(1, 2, 44100, 16) + "data" + aftest::le32(4000)},
        {info_of(ST_AIFF_PCM16, 2, 44100, 1000, "hello"),
         "FORM" + be32(4070) + "AIFFCOMM" + be32(18) + be16(2) + be32(1000) + be16(16) +
             "\x40\x0E\xAC\x44" + zeros(6) + "COMT" + be32(16) + be16(1) + zeros(6) + be16(5) +
             "hello" + zeros(1) + "SSND" + be32(4008) + zeros(8)},
        {info_of(ST_AIFC_FLOAT32, 1, 8000, 10),
         "FORM" + be32(120) + "AIFCFVER" + be32(4) + be32(0xA2805140) + "COMM" + be32(40) +
             be16(1) + be32(10) + be16(32) + "\x40\x0B\xFA" + zeros(7) +
             "fl32\x11IEEE 32-bit float" + "SSND" + be32(48) + zeros(8)},
        {info_of(ST_SPW_FIXED16, 1, 16000, 48000, "my signal"),
         "$SIGNAL_FILE 9\n$USER_COMMENT\nmy signal\n$COMMON_INFO\nSPW Version = 3.00\n"
         "System Type = sun4\nSampling Frequency =   16000\nStarting Time = 0\n$DATA_INFO\n"
         "Number of points =       48000\nSignal Type = Fixedpoint\n"
         "Fixed Point Format = <16,15,t>\n$DATA\n"},
        {info_of(ST_SPW_DOUBLE, 2, 8000, 5, "a\nb\n"),
         "$SIGNAL_FILE 9\n$USER_COMMENT\na\nb\n$COMMON_INFO\nSPW Version = 3.00\n"
         "System Type = sun4\nSampling Frequency =    8000\nStarting Time = 0\n$DATA_INFO\n"
         "Number of points =          10\nSignal Type = Double\n$DATA\n"},
        {h512, h512_header({4,    89, 5,     7,  11,     128, 35,    5,  37,     -7, 54,
                            1000, 61, 16000, 62, -32002, 63,  32149, 64, 123456, 65, 0x007F8000})}};
    testsupport::TempDir dir;
    for (auto c : cases) {
        EXPECT_EQ(write_audio((dir / "out").string(), c.info), "");
        EXPECT_EQ(testsupport::read_file(dir / "out"), c.expected) << c.info.sample_type;
    }
}

TEST(HeaderWriters, TheStandardOutputNameWritesToStandardOutput) {
    AudioInfo info = info_of(ST_SUN_PCM8, 1, 8000, 3);
    testing::internal::CaptureStdout();
    EXPECT_EQ(write_audio("AUDIO_TO_STDOUT", info, "abc"), "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              ".snd" + be32(24) + be32(3) + be32(2) + be32(8000) + be32(1) + "abc");
}

TEST(HeaderWriters, UnwritableDescriptionsAreRefusedBeforeAnyFileIsTouched) {
    const std::pair<AudioInfo, std::string> cases[] = {
        {info_of(ST_WAVE_PCM16, 0, 8000, 1), "0 channels (at least 1 is needed)"},
        {info_of(ST_AIFF_PCM8, 1, 8000, -1), "num_samples -1 is negative"},
        {info_of(ST_H512_PCM16, 129, 8000, 1),
         "129 channels do not fit a 512-byte header (at most 128)"},
        {info_of(ST_WAVE_PCM16, 2, 2000000000, 1),
         "8000000000 bytes per second do not fit a WAVE header"},
        {info_of(ST_WAVE_PCM8, 3, 8000, 1431655754),
         "4294967262 bytes of samples do not fit a WAVE header"},
        {info_of(ST_SUN_PCM8, 3, 8000, 1431655765),
         "4294967295 bytes of samples do not fit a Sun audio header"},
        {info_of(ST_AIFF_PCM16, 2, 8000, 1073741813),
         "4294967252 bytes of samples do not fit an AIFF/AIFC header"},
        {info_of(ST_SPW_FIXED16, 2, 8000, 1 << 30), "2147483648 points do not fit an SPW header"},
    };
    std::vector<std::pair<AudioInfo, std::string>> all(std::begin(cases), std::end(cases));
    for (int32_t type : {1, 6, 15, 20, -1, 31}) // no writer for these codes
        all.push_back({info_of(type, 1, 8000, 1),
                       "sample type " + std::to_string(type) + " has no header writer"});
    testsupport::TempDir dir;
    const std::string path = (dir / "kept").string();
    for (const auto& [described, why] : all) {
        testsupport::write_file(path, "kept");
        AudioInfo info = described;
        EXPECT_EQ(write_audio(path, info), "\nUnable to write " + path + ": " + why + "\n");
        EXPECT_EQ(testsupport::read_file(path), "kept");
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

namespace {

// The writable sample types by container: the file type sox knows the container by ("" when sox
// does not read it), the byte order of its samples, the channels it keeps, whether it carries the
// 512-byte header's words, and the comment our reader gives back.
struct Written {
    const char* sox;
    bool big_endian;
    int32_t channels;
    bool aux_words;
    const char* comment;
    std::vector<int32_t> types;
};
// clang-format off
const Written containers[] = {
    {"", false, 2, true, "", {ST_H512_PCM16, ST_H512_FLOAT32, ST_H512_FLOAT64}},
    {"", true, 1, false, "a comment\n", {ST_SPW_FIXED16, ST_SPW_DOUBLE}},
    {"aiff", true, 2, false, "a comment", {ST_AIFF_PCM8, ST_AIFF_PCM16, ST_AIFF_PCM24, ST_AIFF_PCM32}},
    {"aifc", true, 2, false, "a comment", {ST_AIFC_PCM8, ST_AIFC_PCM16, ST_AIFC_PCM24, ST_AIFC_PCM32,
                                           ST_AIFC_FLOAT32, ST_AIFC_FLOAT64}},
    {"wav", false, 2, false, "", {ST_WAVE_PCM8, ST_WAVE_PCM16, ST_WAVE_PCM24, ST_WAVE_PCM32,
                                  ST_WAVE_FLOAT32, ST_WAVE_FLOAT64}},
    {"au", true, 2, false, "", {ST_SUN_PCM8, ST_SUN_PCM16, ST_SUN_PCM24, ST_SUN_PCM32,
                                ST_SUN_FLOAT32, ST_SUN_FLOAT64}},
};
// clang-format on

// Six samples reaching both ends of the range; exact in sox's 32-bit samples too.
std::vector<double> sample_values(int32_t type) {
    if (sample_is_float(type)) return {0.5, -1.0, 0.25, -0.125, 0.75, -0.0078125};
    const double top = std::ldexp(1.0, sample_bits(type) - 1);
    return {-top, top - 1, 0, -1, 1, std::floor(top / 3)};
}

std::string encode(int32_t type, const std::vector<double>& values, bool big_endian) {
    const int bytes = sample_bits(type) / 8;
    std::string out;
    for (const double v : values) {
        auto u = static_cast<uint64_t>(static_cast<int64_t>(v + (type == ST_WAVE_PCM8 ? 128 : 0)));
        if (sample_is_float(type))
            u = bytes == 4 ? std::bit_cast<uint32_t>(static_cast<float>(v))
                           : std::bit_cast<uint64_t>(v);
        for (int i = 0; i < bytes; ++i)
            out += static_cast<char>(u >> (8 * (big_endian ? bytes - 1 - i : i)));
    }
    return out;
}

// Writes the six samples of `type` to `path` (three stereo frames, or six of one channel), with a
// comment and the 512-byte header's words.
AudioInfo write_samples(const std::string& path, const Written& c, int32_t type) {
    AudioInfo info = info_of(type, c.channels, 22050, 6 / c.channels, "a comment");
    info.aux_value_1 = 5, info.aux_value_2 = -7, info.ident_1 = 77, info.ident_2 = -88;
    info.aux_byte = -3, info.aux_high = 300;
    EXPECT_EQ(write_audio(path, info, encode(type, sample_values(type), c.big_endian)), "");
    return info;
}

} // namespace

TEST(HeaderWriters, EverySampleTypeReadsBackAsWritten) {
    testsupport::TempDir dir;
    const auto facts = [](const AudioInfo& i) {
        return std::tuple(i.channels, i.sampling_frequency, i.num_samples, i.sample_type,
                          std::string(i.comment.data()), i.aux_value_1, i.aux_value_2, i.ident_1,
                          i.ident_2, i.aux_byte, i.aux_high);
    };
    for (const Written& c : containers) {
        for (const int32_t type : c.types) {
            SCOPED_TRACE(type);
            AudioInfo in = write_samples((dir / "out").string(), c, type);
            aftest::Opened out;
            aftest::open_captured(out, (dir / "out").string());
            ASSERT_NE(out.file, nullptr) << out.err;
            std::snprintf(in.comment.data(), in.comment.size(), "%s", c.comment);
            if (!c.aux_words) in.aux_value_1 = in.aux_value_2 = in.aux_byte = in.aux_high = 0;
            if (!c.aux_words) in.ident_1 = 32149, in.ident_2 = 123456;
            EXPECT_EQ(facts(out.info), facts(in));
            std::vector<double> got;
            for (const auto& frame : aftest::read_frames(*out.file, in.channels, 10))
                got.insert(got.end(), frame.begin(), frame.end());
            EXPECT_EQ(got, sample_values(type));
        }
    }
}

TEST(HeaderWriters, SoxReadsOurFilesAsWritten) {
    if (!testsupport::have_program("sox") || !testsupport::have_program("soxi"))
        GTEST_SKIP() << "sox is not installed: test skipped";
    testsupport::TempDir dir;
    for (const Written& c : containers) {
        for (const int32_t type : c.types) {
            if (*c.sox == '\0') continue;
            SCOPED_TRACE(type);
            const std::string path = (dir / "out.").string() + c.sox, raw = (dir / "raw").string();
            write_samples(path, c, type);
            std::string facts;
            for (const char* field : {"-c", "-r", "-p", "-s"})
                facts += testsupport::run_process({"soxi", field, path}).out;
            const int bits = sample_bits(type), precision = !sample_is_float(type) ? bits
                                                            : bits == 32           ? 25
                                                                                   : 54;
            EXPECT_EQ(facts, "2\n22050\n" + std::to_string(precision) + "\n3\n");
            const auto r = testsupport::run_process({"sox", path, "-t", "raw", "-L", raw});
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(testsupport::read_file(raw), encode(type, sample_values(type), false));
        }
    }
}

TEST(HeaderWriters, ExtendedNumbersConvertBackExactly) {
    std::array<uint8_t, 10> bytes{};
    double_to_extended(NAN, bytes); // no NaN in the format: it becomes infinity
    EXPECT_EQ(extended_to_double(bytes), INFINITY);
    std::vector<double> xs = {0.0, INFINITY, DBL_MAX, DBL_MIN, 0x1p-1074, 0x1.fffffffffffffp-1023};
    for (int rate = 1; rate <= 200000; ++rate) xs.push_back(rate + (rate % 7) / 8.0);
    for (int e = -1080; e <= 1030; ++e) xs.push_back(std::ldexp(1 + std::fmod(e * 0.618, 1.0), e));
    for (const double x : xs) {
        for (const double v : {x, -x}) {
            double_to_extended(v, bytes);
            const double back = extended_to_double(bytes);
            ASSERT_TRUE(back == v && (v == 0 || std::signbit(back) == std::signbit(v))) << v;
        }
    }
}

} // namespace audiofile_writers_test
