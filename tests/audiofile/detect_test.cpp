// Container recognition: chunk identifiers, skipping, byte order, the look-ahead record and the
// order in which readers are tried.
#include "audiofile/detect.h"
#include "fixtures.h"

#include <cstdio>

using namespace audiofile;

namespace {

std::span<const uint8_t, 4> id(const char* text) {
    return std::span<const uint8_t, 4>(reinterpret_cast<const uint8_t*>(text), 4);
}

// A read-only stream over `bytes` (which must outlive it).
std::unique_ptr<FILE, StreamCloser> memory_stream(std::string& bytes) {
    return std::unique_ptr<FILE, StreamCloser>(fmemopen(bytes.data(), bytes.size(), "rb"));
}

} // namespace

TEST(ChunkIds, KnownIdentifiersGiveTheirIndexAndNearMissesNone) {
    EXPECT_EQ(chunk_id_lookup(id("FORM")), 0);
    EXPECT_EQ(chunk_id_lookup(id("RIFF")), 16);
    EXPECT_EQ(chunk_id_lookup(id("fmt ")), 18);
    EXPECT_EQ(chunk_id_lookup(id("wave")), 24);
    EXPECT_EQ(chunk_id_lookup(id("fmt\0")), -1);
    EXPECT_EQ(chunk_id_lookup(id("LIST")), -1);
    EXPECT_EQ(chunk_id_lookup(id("riff")), -1);
}

TEST(SkipBytes, OddCountsConsumeThePadByteAndTheEndStopsQuietly) {
    std::string bytes = "abcdefgh";
    auto stream = memory_stream(bytes);
    EXPECT_EQ(skip_bytes(stream.get(), 0), 0);
    EXPECT_EQ(std::fgetc(stream.get()), 'a');
    EXPECT_EQ(skip_bytes(stream.get(), 3), 0);
    EXPECT_EQ(std::fgetc(stream.get()), 'f');
    EXPECT_EQ(skip_bytes(stream.get(), 0xFFFFFFFFu), 0);
    EXPECT_EQ(std::fgetc(stream.get()), EOF);
}

TEST(ByteOrder, SwapHelpersReverseBytes) {
    EXPECT_EQ(swap16(0x1234), 0x3412);
    EXPECT_EQ(swap32(0x12345678u), 0x78563412u);
    const std::array<uint8_t, 4> one_single = {0x3F, 0x80, 0x00, 0x00};
    const std::array<uint8_t, 8> minus_two_double = {0xC0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(swapped_float32(one_single), 1.0f);
    EXPECT_EQ(swapped_float64(minus_two_double), -2.0);
}

TEST(LookAhead, RecordingsBeyondTheCapacityAreCountedButNeverStored) {
    std::vector<uint8_t> bytes(100);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i);
    lookahead_reset();
    lookahead_record(std::span(bytes).first(76));
    lookahead_record(std::span(bytes).subspan(76, 4));
    EXPECT_EQ(lookahead().fill, 80u);
    EXPECT_EQ(lookahead().dropped, 0u);
    lookahead_record(std::span(bytes).subspan(80));
    EXPECT_EQ(lookahead().fill, 80u);
    EXPECT_EQ(lookahead().dropped, 20u);
    const auto replay = lookahead_replay();
    EXPECT_TRUE(std::equal(replay.begin(), replay.end(), bytes.begin()));
    lookahead_reset();
    EXPECT_TRUE(lookahead_replay().empty());
}

TEST(Detection, UnknownFileEndsWithNotRecognizedAndItsFirstBytesRecorded) {
    std::string text = "hello, this is no audio file";
    auto stream = memory_stream(text);
    AudioInfo info{};
    testing::internal::CaptureStderr();
    EXPECT_EQ(detect_format(stream.get(), info), NOT_RECOGNIZED);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "\nInputfile error: filetype not recognized !\n"
              "convert it first, for example: ffmpeg -i in -fflags +bitexact out.wav\n");
    // Sun took the first 4 bytes, the AIFF/AIFC reader the next 4 as a chunk size.
    const auto replay = lookahead_replay();
    EXPECT_EQ(std::string(replay.begin(), replay.end()), "hello, t");
}

TEST(Detection, FileShorterThanAMagicWordIsNotRecognized) {
    std::string text = "RI";
    auto stream = memory_stream(text);
    AudioInfo info{};
    testing::internal::CaptureStderr();
    EXPECT_EQ(detect_format(stream.get(), info), NOT_RECOGNIZED);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(lookahead_replay().size(), 2u);
}

TEST(Detection, RiffOfAnotherFormStopsAtTheWaveReader) {
    auto o = aftest::open_bytes(aftest::riff(aftest::chunk("strl", "1234"), "AVI "));
    EXPECT_EQ(o->file, nullptr);
    EXPECT_EQ(o->err, "get_chunk_type: AVI  != WAVE_CHUNK\n\nError reading WAVE file");
}

TEST(Detection, UnprintableIdentifierBytesAreShownAsQuestionMarks) {
    auto o = aftest::open_bytes(aftest::riff("", std::string("WA\x1b\0", 4)));
    EXPECT_EQ(o->err, "get_chunk_type: WA?? != WAVE_CHUNK\n\nError reading WAVE file");
}
