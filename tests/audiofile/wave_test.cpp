// The WAVE reader: the chunk walk, the accepted and refused formats, and the sample count.
#include "audiofile/detect.h"
#include "fixtures.h"

#include <filesystem>

using namespace audiofile;
using namespace std::string_literals;
using aftest::chunk;
using aftest::fmt_fields;
using aftest::open_bytes;
using aftest::riff;

namespace {

const std::string stereo16 = chunk("fmt ", fmt_fields(1, 2, 44100, 16));
const std::string wave_error = "\nError reading WAVE file";

// The message of a WAVE file that fails to open (and the check that it did fail).
std::string refusal(const std::string& bytes) {
    auto o = open_bytes(bytes);
    EXPECT_EQ(o->file, nullptr);
    return o->err;
}

// A WAVE file whose data chunk promises `data_length` bytes, padded with zeros to `file_size`
// bytes without writing them (a sparse file).
std::unique_ptr<aftest::Opened> open_sparse(const std::string& fmt, uint32_t data_length,
                                            uint64_t file_size) {
    auto o = std::make_unique<aftest::Opened>();
    const auto path = o->dir / "big.wav";
    testsupport::write_file(path, riff(fmt + "data" + aftest::le32(data_length)) + "\1\0\xff\x7f"s);
    std::filesystem::resize_file(path, file_size);
    aftest::open_captured(*o, path.string());
    return o;
}

} // namespace

TEST(WaveHeader, CanonicalHeaderDescribesTheFile) {
    auto o = open_bytes(riff(stereo16 + chunk("data", "", 176400)));
    ASSERT_NE(o->file, nullptr) << o->err;
    EXPECT_EQ(o->info.sample_type, ST_WAVE_PCM16);
    EXPECT_EQ(o->info.channels, 2);
    EXPECT_EQ(o->info.sampling_frequency, 44100);
    EXPECT_EQ(o->info.num_samples, 44100);
    EXPECT_TRUE(o->info.num_samples_known);
    EXPECT_EQ(o->info.data_offset, 44);
    EXPECT_EQ(o->info.byte_order_marker, -32000);
    EXPECT_EQ(o->info.ident_1, 32149);
    EXPECT_EQ(o->info.ident_2, 123456);
    EXPECT_EQ(o->info.comment[0], '\0');
    EXPECT_EQ(o->err, "");
}

TEST(WaveHeader, SkippedChunksAndExtensionsLeaveTheStreamAtTheFirstSample) {
    // "fmt " of length 18, a "fact" chunk and a "cue " chunk of odd length 3 with its pad byte.
    const std::string fmt18 = chunk("fmt ", fmt_fields(3, 1, 8000, 32) + aftest::le16(0));
    auto o = open_bytes(riff(fmt18 + chunk("fact", "abcd") + chunk("cue ", "xyz") +
                             chunk("data", testsupport::float32_le({0.25f}))));
    ASSERT_NE(o->file, nullptr) << o->err;
    EXPECT_EQ(o->info.sample_type, ST_WAVE_FLOAT32);
    EXPECT_EQ(o->info.data_offset, 12 + 26 + 12 + 12 + 8);
    EXPECT_EQ(aftest::read_frames(*o->file, 1), (std::vector<std::vector<double>>{{0.25}}));
}

TEST(WaveHeader, ShortFmtChunkIsReadAsSixteenBytes) {
    const std::string fmt14 = chunk("fmt ", fmt_fields(1, 1, 8000, 16).substr(0, 14), 14);
    auto o = open_bytes(riff(fmt14 + aftest::le16(16) + chunk("data", aftest::le16(7))));
    ASSERT_NE(o->file, nullptr) << o->err;
    EXPECT_EQ(o->info.sample_type, ST_WAVE_PCM16);
    EXPECT_EQ(o->info.num_samples, 1);
}

TEST(WaveHeader, TheLastFmtChunkCountsAndAnUnknownTagChangesOnlyTheTag) {
    auto later = open_bytes(riff(stereo16 + chunk("fmt ", fmt_fields(3, 1, 8000, 64)) +
                                 chunk("data", std::string(16, '\0'))));
    ASSERT_NE(later->file, nullptr) << later->err;
    EXPECT_EQ(later->info.sample_type, ST_WAVE_FLOAT64);
    EXPECT_EQ(later->info.channels, 1);
    EXPECT_EQ(later->info.num_samples, 2);
    EXPECT_EQ(
        refusal(riff(stereo16 + chunk("fmt ", fmt_fields(0x11, 1, 8000, 4)) + chunk("data", ""))),
        "wave format: 17 not supported\n" + wave_error);
}

TEST(WaveHeader, RefusedFormatsNameTheirCause) {
    const auto with_fmt = [](const std::string& fmt) { return riff(fmt + chunk("data", "")); };
    // Extensible, but its sub-format GUID is all zeros.
    const std::string extensible =
        chunk("fmt ", fmt_fields(0xFFFE, 2, 48000, 24) + aftest::le16(22) + std::string(22, '\0'));
    EXPECT_EQ(refusal(with_fmt(extensible)),
              "wave extensible format: sub-format 00000000-0000-0000-0000-000000000000 not "
              "supported\n" +
                  wave_error);
    EXPECT_EQ(refusal(with_fmt(chunk("fmt ", fmt_fields(7, 1, 8000, 16)))),
              "wave MULAW format samplesize: 16 not supported\n" + wave_error);
    EXPECT_EQ(refusal(with_fmt(chunk("fmt ", fmt_fields(6, 1, 8000, 4)))),
              "wave ALAW format samplesize: 4 not supported\n" + wave_error);
    EXPECT_EQ(refusal(with_fmt(chunk("fmt ", fmt_fields(1, 1, 8000, 12)))),
              "wave PCM format samplesize: 12 not supported\n" + wave_error);
    EXPECT_EQ(refusal(with_fmt(chunk("fmt ", fmt_fields(3, 1, 8000, 16)))),
              "wave IEEE_FLOAT format samplesize: 16 not supported\n" + wave_error);
    // 24-bit samples in 4-byte slots (arecord -f S24_LE): block alignment 8 for 6 packed bytes.
    std::string slots = fmt_fields(1, 2, 44100, 24);
    slots.replace(12, 2, aftest::le16(8));
    EXPECT_EQ(refusal(with_fmt(chunk("fmt ", slots))),
              "wave block alignment: 8 not supported for 2 channels of 24 bits\n" + wave_error);
}

TEST(WaveHeader, MalformedFilesFailWithAMessageInsteadOfLoopingOrDividingByZero) {
    EXPECT_EQ(refusal(riff(stereo16)),
              "get_chunk_type: file ends before the data chunk\n" + wave_error);
    EXPECT_EQ(refusal(riff(stereo16 + chunk("fact", std::string(100, 'x')).substr(0, 20))),
              "get_chunk_type: file ends before the data chunk\n" + wave_error);
    EXPECT_EQ(refusal(riff(chunk("data", "abcd") + stereo16)),
              "get_chunk_type: data chunk before any fmt chunk\n" + wave_error);
    EXPECT_EQ(refusal(riff(chunk("fmt ", fmt_fields(1, 0, 8000, 16)) + chunk("data", ""))),
              "wave channels: 0 not supported\n" + wave_error);
    EXPECT_EQ(refusal(riff(chunk("fmt ", fmt_fields(1, -2, 8000, 16)) + chunk("data", ""))),
              "wave channels: -2 not supported\n" + wave_error);
}

TEST(WaveHeader, EveryTruncationOpensOrFailsWithAMessage) {
    const std::string full =
        riff(chunk("fmt ", fmt_fields(1, 2, 8000, 16) + aftest::le16(0)) + chunk("fact", "abcd") +
             chunk("cue ", "xyz") + chunk("data", testsupport::pcm16_le({1, 2, 3, 4, 5, 6})));
    for (size_t n = 0; n < full.size(); ++n) {
        auto o = open_bytes(full.substr(0, n));
        EXPECT_TRUE(o->file != nullptr || !o->err.empty()) << "prefix of " << n << " bytes";
        if (o->file) aftest::read_frames(*o->file, o->info.channels);
    }
}

TEST(WaveCount, MissingLengthIsEstimatedWithTheRealSampleSize) {
    auto pcm16 = open_bytes(riff(stereo16 + chunk("data", std::string(1000, '\0'), 0)));
    EXPECT_EQ(pcm16->info.num_samples, 250);
    EXPECT_TRUE(pcm16->info.num_samples_known);
    const std::string stereo24 = chunk("fmt ", fmt_fields(1, 2, 44100, 24));
    auto pcm24 = open_bytes(riff(stereo24 + chunk("data", std::string(600, '\0'), 0)));
    EXPECT_EQ(pcm24->info.num_samples, 100);
    auto placeholder =
        open_bytes(riff(stereo24 + chunk("data", std::string(600, '\0'), 0xFFFFFFFF)));
    EXPECT_EQ(placeholder->info.num_samples, 100);
}

TEST(WaveCount, CountsOfLargeFilesAreNotWrapped) {
    constexpr uint32_t data_length = 600u << 20; // 600 MiB: × 8 passes 2^32
    auto o = open_sparse(stereo16, data_length, 44 + uint64_t{data_length});
    ASSERT_NE(o->file, nullptr) << o->err;
    EXPECT_EQ(o->info.num_samples, 157286400);
    EXPECT_EQ(aftest::read_frames(*o->file, 2, 1), (std::vector<std::vector<double>>{{1, 32767}}));

    auto estimated = open_sparse(stereo16, 0, 44 + (uint64_t{5} << 30)); // 5 GiB, no length
    ASSERT_NE(estimated->file, nullptr) << estimated->err;
    EXPECT_EQ(estimated->info.num_samples, 1342177280);
}

TEST(WaveCount, CountsBeyondTheSampleCounterAreRefused) {
    const std::string mono8 = chunk("fmt ", fmt_fields(1, 1, 8000, 8));
    EXPECT_EQ(refusal(riff(mono8 + chunk("data", "", 0xF0000000))),
              "audio data too long: 4026531840 sample frames, at most 2147483647 supported\n" +
                  wave_error);
    auto o = open_sparse(mono8, 0, 44 + (uint64_t{1} << 31) + 10);
    EXPECT_EQ(o->file, nullptr);
    EXPECT_EQ(o->err, "audio data too long: 2147483658 sample frames, at most 2147483647 "
                      "supported\n" +
                          wave_error);
}

// Every WAVE form of today's tools reads like the plain file of the same samples, from a file
// and through a pipe: skipped chunks (odd ones with their pad byte), extensible, RF64, BW64.
TEST(WaveForms, EveryFormReadsLikeThePlainFile) {
    using namespace testsupport;
    const std::string pcm16 = pcm16_le({1, -2, 300, -32768, 32767, 7});
    const std::string data16 = chunk("data", pcm16), plain16 = riff(stereo16 + data16);
    const std::string data32 = chunk("data", pcm32_le({65536, INT32_MIN, 300 << 16, 7 << 16}));
    const std::string dataf = chunk("data", float32_le({0.5f, -0.25f}));
    const std::string list = chunk("LIST", "INFOISFT" + le32(5) + "tool"),
                      wide = "data" + le32(~0u);
    const std::pair<std::string, std::string> cases[] = {
        // the form, the plain file
        {riff(list + stereo16 + chunk("bext", std::string(602, 0)) + chunk("id3 ", "j") + data16),
         plain16},
        {riff(aftest::extensible_fmt(2, 16, 16, 1) + data16), plain16},
        {riff(aftest::extensible_fmt(2, 32, 24, 1) + data32),
         riff(chunk("fmt ", fmt_fields(1, 2, 44100, 32)) + data32)},
        {riff(aftest::extensible_fmt(2, 32, 32, 3) + dataf),
         riff(chunk("fmt ", fmt_fields(3, 2, 44100, 32)) + dataf)},
        {aftest::rf64(stereo16 + list + wide + pcm16, 12), plain16},
        {aftest::rf64(stereo16 + wide + pcm16, 12, "BW64"), plain16},
        {aftest::rf64(stereo16 + data16, 0), plain16}, // a 32-bit length is taken as it is
    };
    TempDir dir;
    for (const auto& [form, plain] : cases) {
        write_file(dir / "plain", plain);
        write_file(dir / "form", form);
        const std::string expected = aftest::dump((dir / "plain").string()).second;
        EXPECT_EQ(aftest::dump((dir / "form").string()).second, expected) << form;
        EXPECT_EQ(aftest::dump("AUDIO_FROM_STDIN", form).second, expected) << form;
    }
}

// Hostile headers of these forms fail with their message, from a file and through a pipe; a
// 64-bit size past the end of the file is taken at its word, as a 32-bit one is.
TEST(WaveForms, HostileHeadersFailWithTheirMessage) {
    using aftest::extensible_fmt;
    const std::pair<std::string, std::string> cases[] = {
        {riff(stereo16 + chunk("LIST", "abcd", 0xFFFFFFF0)),
         "get_chunk_type: file ends before the data chunk\n"},
        {riff(extensible_fmt(2, 16, 24, 1).substr(0, 30)),
         "get_chunk_type: file ends before the data chunk\n"},
        {riff(extensible_fmt(2, 16, 24, 1) + chunk("data", "")),
         "wave extensible format: 24 valid bits in 16-bit samples not supported\n"},
        {riff(extensible_fmt(2, 16, 16, 2) + chunk("data", "")),
         "wave extensible format: sub-format "
         "00000002-0000-0010-8000-00AA00389B71 not supported\n"},
        {"RF64" + aftest::le32(~0u) + "WAVE" + chunk("ds64", std::string(16, 0)),
         "get_chunk_type: ds64 chunk of 16 bytes, 24 needed\n"},
        {aftest::rf64(stereo16 + "data" + aftest::le32(~0u), 1ull << 40),
         "audio data too long: 274877906944 sample frames, at most 2147483647 supported\n"},
    };
    for (const auto& [bytes, message] : cases) {
        EXPECT_EQ(refusal(bytes), message + wave_error);
        const auto r = testsupport::run_process({AUDIOFILE_DUMP, "AUDIO_FROM_STDIN"}, bytes);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, message + wave_error);
    }
    auto o = open_bytes(aftest::rf64(stereo16 + "data" + aftest::le32(~0u) + "12345678", 1 << 20));
    EXPECT_EQ(o->info.num_samples, 1 << 18);
    EXPECT_EQ(aftest::read_frames(*o->file, 2).size(), 2u);
}
