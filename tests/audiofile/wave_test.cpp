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
        refusal(riff(stereo16 + chunk("fmt ", fmt_fields(6, 1, 8000, 8)) + chunk("data", ""))),
        "WAVE_FORMAT_ALAW not supported\n" + wave_error);
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
    EXPECT_EQ(refusal(with_fmt(chunk("fmt ", fmt_fields(7, 1, 8000, 8)))),
              "WAVE_FORMAT_MULAW not supported\n" + wave_error);
    EXPECT_EQ(refusal(with_fmt(chunk("fmt ", fmt_fields(6, 1, 8000, 8)))),
              "WAVE_FORMAT_ALAW not supported\n" + wave_error);
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

// Every form of WAVE that today's tools write gives the description and the samples of the plain
// file holding the same samples, from a file and through a pipe.
TEST(WaveForms, EveryFormReadsLikeThePlainFile) {
    using namespace testsupport;
    using aftest::extensible_fmt;
    using aftest::rf64;
    const std::vector<int16_t> s16 = {1, -2, 300, -32768, 32767, 7};
    std::vector<int32_t> s24, s32;
    std::vector<float> f32;
    for (int16_t v : s16) {
        s24.push_back(v * 256);
        s32.push_back(v * 65536);
        f32.push_back(static_cast<float>(v) / 32768);
    }
    const std::string data16 = chunk("data", pcm16_le(s16));
    const std::string plain16 = riff(stereo16 + data16);
    const std::string list = chunk("LIST", "INFOISFT" + aftest::le32(14) + "Lavf59.27.100" + '\0');
    const auto plain = [](int tag, int bits, const std::string& data) {
        return riff(chunk("fmt ", fmt_fields(tag, 2, 44100, bits)) + chunk("data", data));
    };
    const auto wide = [](const std::string& data) { return "data" + aftest::le32(~0u) + data; };
    const struct {
        const char* name;
        std::string bytes, plain;
    } cases[] = {
        {"LIST before fmt", riff(list + stereo16 + data16), plain16},
        {"bext, JUNK and an odd unknown chunk after fmt",
         riff(stereo16 + chunk("bext", std::string(602, '\0')) +
              chunk("JUNK", std::string(28, 'j')) + chunk("id3 ", "odd") + list + data16),
         plain16},
        {"extensible 16", riff(extensible_fmt(2, 44100, 16, 16, 1) + data16), plain16},
        {"extensible 24 in 32",
         riff(extensible_fmt(2, 44100, 32, 24, 1) + chunk("data", pcm32_le(s32))),
         plain(1, 32, pcm32_le(s32))},
        {"extensible 24", riff(extensible_fmt(2, 44100, 24, 24, 1) + chunk("data", pcm24_le(s24))),
         plain(1, 24, pcm24_le(s24))},
        {"extensible 32", riff(extensible_fmt(2, 44100, 32, 32, 1) + chunk("data", pcm32_le(s32))),
         plain(1, 32, pcm32_le(s32))},
        {"extensible float",
         riff(extensible_fmt(2, 44100, 32, 32, 3) + chunk("data", float32_le(f32))),
         plain(3, 32, float32_le(f32))},
        {"RF64", rf64(stereo16 + list + wide(pcm16_le(s16)), 12), plain16},
        {"BW64", rf64(stereo16 + wide(pcm16_le(s16)), 12, "BW64"), plain16},
        {"RF64 with a 32-bit data length", rf64(stereo16 + data16, 0), plain16},
    };
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(dir / "plain", c.plain);
        write_file(dir / "form", c.bytes);
        const std::string expected = aftest::dump((dir / "plain").string()).second;
        EXPECT_EQ(aftest::dump((dir / "form").string()).second, expected);
        EXPECT_EQ(aftest::dump("AUDIO_FROM_STDIN", c.bytes).second, expected);
    }
}

// Hostile headers of the new forms fail with their message, from a file and through a pipe,
// without reading what is not there.
TEST(WaveForms, HostileHeadersFailWithTheirMessage) {
    using aftest::extensible_fmt;
    const std::string ends = "get_chunk_type: file ends before the data chunk\n";
    const std::string pcm_tail = std::string("\0\0\0\0\x10\0\x80\0\0\xAA\0\x38\x9B\x71", 14);
    const std::string no_data = chunk("data", "");
    const struct {
        const char* name;
        std::string bytes, message;
    } cases[] = {
        {"unknown chunk past the end", riff(stereo16 + chunk("LIST", "abcd", 0xFFFFFFF0)), ends},
        {"odd chunk without its pad byte", riff(stereo16) + "JUNK" + aftest::le32(3) + "abc", ends},
        {"valid bits above the container", riff(extensible_fmt(2, 44100, 16, 24, 1) + no_data),
         "wave extensible format: 24 valid bits in 16-bit samples not supported\n"},
        {"ADPCM sub-format", riff(extensible_fmt(2, 44100, 16, 16, 2) + no_data),
         "wave extensible format: sub-format 00000002-0000-0010-8000-00AA00389B71 not "
         "supported\n"},
        {"foreign GUID",
         riff(extensible_fmt(2, 44100, 16, 16, 1, pcm_tail.substr(0, 13) + "x") + no_data),
         "wave extensible format: sub-format 00000001-0000-0010-8000-00AA00389B78 not "
         "supported\n"},
        {"extensible fmt cut", riff(extensible_fmt(2, 44100, 16, 16, 1).substr(0, 30)), ends},
        {"extensible fmt of 18 bytes",
         riff(chunk("fmt ", fmt_fields(0xFFFE, 2, 44100, 16) + aftest::le16(0)) + no_data),
         "wave format: -2 not supported\n"},
        {"ds64 too short",
         "RF64" + aftest::le32(~0u) + "WAVE" + chunk("ds64", std::string(16, '\0')),
         "get_chunk_type: ds64 chunk of 16 bytes, 24 needed\n"},
        {"ds64 size beyond the counter",
         aftest::rf64(stereo16 + "data" + aftest::le32(~0u), 1ull << 40),
         "audio data too long: 274877906944 sample frames, at most 2147483647 supported\n"},
        {"RF64 of another form", "RF64" + aftest::le32(~0u) + "AVI " + stereo16,
         "get_chunk_type: AVI  != WAVE_CHUNK\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(refusal(c.bytes), c.message + wave_error);
        const auto r = testsupport::run_process({AUDIOFILE_DUMP, "AUDIO_FROM_STDIN"}, c.bytes);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.message + wave_error);
    }
    // A 64-bit size past the end of the file is taken at its word: the frames that are there.
    auto o = open_bytes(
        aftest::rf64(stereo16 + "data" + aftest::le32(~0u) + std::string(8, '\1'), 1u << 20));
    ASSERT_NE(o->file, nullptr) << o->err;
    EXPECT_EQ(o->info.num_samples, 1 << 18);
    EXPECT_EQ(aftest::read_frames(*o->file, 2).size(), 2u);
}
