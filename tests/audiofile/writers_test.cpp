// Header writers: the exact bytes of every container's header, the 80-bit rate, the refusals of
// audio_open in mode "w", failed writes, and sox reading what we write.
#include "audiofile/writers.h"
#include "fixtures.h"

#include <bit>
#include <cmath>
#include <filesystem>

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

// 128 little-endian words, zero but for the (word, value) pairs given.
std::string h512_header(const std::vector<int32_t>& pairs) {
    std::array<uint32_t, 128> words{};
    for (size_t i = 0; i + 1 < pairs.size(); i += 2) words.at(pairs[i]) = pairs[i + 1];
    std::string out;
    for (const uint32_t w : words) out += aftest::le32(w);
    return out;
}

const std::string comm_stereo16_44100 =
    "COMM" + be32(18) + be16(2) + be32(1000) + be16(16) + "\x40\x0E\xAC\x44" + zeros(6);

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
        // clang-format off
        {44100, "\x40\x0E\xAC\x44"sv}, {8000, "\x40\x0B\xFA"sv}, {0.0, ""sv}, {-0.0, ""sv},
        {-1.5, "\xBF\xFF\xC0"sv}, {INFINITY, "\x7F\xFF"sv}, {-INFINITY, "\xFF\xFF"sv},
        {0x1p-1074, "\x3B\xCD\x80"sv}, {NAN, "\x7F\xFF"sv},
        // clang-format on
    };
    for (const auto& c : cases) {
        std::array<uint8_t, 10> out{};
        double_to_extended(c.rate, out);
        EXPECT_EQ(std::string(out.begin(), out.end()),
                  std::string(c.bytes) + zeros(10 - c.bytes.size()))
            << c.rate;
    }
}

TEST(HeaderWriters, UnwritableDescriptionsAreRefusedBeforeAnyFileIsTouched) {
    const std::pair<AudioInfo, std::string> cases[] = {
        {info_of(ST_WAVE_PCM16, 0, 8000, 1), "0 channels (at least 1 is needed)"},
        {info_of(ST_AIFF_PCM8, 1, 8000, -1), "num_samples -1 is negative"},
        {info_of(ST_SUN_PCM8, 1, -8000, 1), "sampling frequency -8000 is negative"},
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
        {info_of(ST_H512_FLOAT64, 128, 8000, INT32_MAX),
         "2199023254528 bytes of samples do not fit a 512-byte header"},
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

namespace {

// How each writable sample type stores a sample; `sox` names the file type for sox ("" when sox
// does not read the container). Kind: 's' signed integer, 'u' unsigned (128 = zero), 'f' IEEE.
struct Stored {
    int32_t type;
    const char* sox;
    int bits;
    char kind;
    bool big_endian;
};
constexpr Stored stored_types[] = {
    {ST_H512_PCM16, "", 16, 's', false},      {ST_H512_FLOAT32, "", 32, 'f', false},
    {ST_H512_FLOAT64, "", 64, 'f', false},    {ST_SPW_FIXED16, "", 16, 's', true},
    {ST_SPW_DOUBLE, "", 64, 'f', true},       {ST_AIFF_PCM8, "aiff", 8, 's', true},
    {ST_AIFF_PCM16, "aiff", 16, 's', true},   {ST_AIFF_PCM24, "aiff", 24, 's', true},
    {ST_AIFF_PCM32, "aiff", 32, 's', true},   {ST_AIFC_PCM8, "aifc", 8, 's', true},
    {ST_AIFC_PCM16, "aifc", 16, 's', true},   {ST_AIFC_PCM24, "aifc", 24, 's', true},
    {ST_AIFC_PCM32, "aifc", 32, 's', true},   {ST_AIFC_FLOAT32, "aifc", 32, 'f', true},
    {ST_AIFC_FLOAT64, "aifc", 64, 'f', true}, {ST_WAVE_PCM8, "wav", 8, 'u', false},
    {ST_WAVE_PCM16, "wav", 16, 's', false},   {ST_WAVE_PCM24, "wav", 24, 's', false},
    {ST_WAVE_PCM32, "wav", 32, 's', false},   {ST_WAVE_FLOAT32, "wav", 32, 'f', false},
    {ST_WAVE_FLOAT64, "wav", 64, 'f', false}, {ST_SUN_PCM8, "au", 8, 's', true},
    {ST_SUN_PCM16, "au", 16, 's', true},      {ST_SUN_PCM24, "au", 24, 's', true},
    {ST_SUN_PCM32, "au", 32, 's', true},      {ST_SUN_FLOAT32, "au", 32, 'f', true},
    {ST_SUN_FLOAT64, "au", 64, 'f', true},
};

// Six samples (three stereo frames) reaching both ends of the range; exact in sox's 32 bits too.
std::vector<double> sample_values(const Stored& s) {
    if (s.kind == 'f') return {0.5, -1.0, 0.25, -0.125, 0.75, -0.0078125};
    const double top = std::ldexp(1.0, s.bits - 1);
    return {-top, top - 1, 0, -1, 1, std::floor(top / 3)};
}

std::string encode(const Stored& s, const std::vector<double>& values, bool big_endian) {
    std::string out;
    for (const double v : values) {
        uint64_t u = s.kind == 'u' ? static_cast<uint64_t>(v + 128)
                                   : static_cast<uint64_t>(static_cast<int64_t>(v));
        if (s.kind == 'f')
            u = s.bits == 32 ? std::bit_cast<uint32_t>(static_cast<float>(v))
                             : std::bit_cast<uint64_t>(v);
        for (int i = 0; i < s.bits / 8; ++i) {
            const int byte = big_endian ? s.bits / 8 - 1 - i : i;
            out += static_cast<char>(u >> (8 * byte));
        }
    }
    return out;
}

} // namespace

TEST(HeaderWriters, SoxReadsOurFilesAsWritten) {
    if (!testsupport::have_program("sox") || !testsupport::have_program("soxi"))
        GTEST_SKIP() << "sox is not installed: test skipped";
    testsupport::TempDir dir;
    for (const Stored& s : stored_types) {
        if (*s.sox == '\0') continue;
        SCOPED_TRACE(s.type);
        const std::string path = (dir / "out.").string() + s.sox;
        const std::vector<double> values = sample_values(s);
        AudioInfo info = info_of(s.type, 2, 22050, 3, "from vantrel");
        ASSERT_EQ(write_audio(path, info, encode(s, values, s.big_endian)), "");
        std::string facts;
        for (const char* field : {"-c", "-r", "-p", "-s"})
            facts += testsupport::run_process({"soxi", field, path}).out;
        const int precision = s.kind != 'f' ? s.bits : s.bits == 32 ? 25 : 54;
        EXPECT_EQ(facts, "2\n22050\n" + std::to_string(precision) + "\n3\n");
        const auto raw = (dir / "out.raw").string();
        const auto r = testsupport::run_process({"sox", path, "-t", "raw", "-L", raw});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(testsupport::read_file(raw), encode(s, values, false));
    }
}
