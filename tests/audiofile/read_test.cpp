// Sample reading: conversion of every encoding at its extremes, the buffer refill, and the end
// of the data.
#include "audiofile/detect.h"
#include "failing_stream.h"
#include "fixtures.h"

#include <cerrno>
#include <cfloat>
#include <climits>
#include <cstring>
#include <unistd.h>

using namespace audiofile;
using namespace std::string_literals;
using aftest::chunk;
using aftest::fmt_fields;
using aftest::riff;

namespace {

using Frames = std::vector<std::vector<double>>;

// A read handle over `bytes` that describes them with `code`, `channels` and `marker`; the
// handle's info lives in `info`, its bytes in `bytes`.
std::unique_ptr<AudioFile> handle_over(std::string& bytes, AudioInfo& info, int32_t code,
                                       int channels, int32_t marker = -32000) {
    info.sample_type = code;
    info.channels = channels;
    info.byte_order_marker = marker;
    auto file = std::make_unique<AudioFile>();
    file->info = &info;
    file->buffer = std::make_unique<SampleBuffer>();
    file->stream.reset(fmemopen(bytes.data(), bytes.size(), "rb"));
    return file;
}

Frames decode(std::string bytes, int32_t code, int channels, int32_t marker = -32000) {
    AudioInfo info{};
    auto file = handle_over(bytes, info, code, channels, marker);
    return aftest::read_frames(*file, channels);
}

// `size` bytes of a fixed pseudo-random sequence, chosen by `seed`.
std::string noise_bytes(size_t size, uint32_t seed) {
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 24);
    return bytes;
}

std::string be_double(double d) {
    uint64_t bits = 0;
    std::memcpy(&bits, &d, sizeof bits);
    std::string out;
    for (int shift = 56; shift >= 0; shift -= 8) out += static_cast<char>(bits >> shift);
    return out;
}

std::string le_double(double d) {
    std::string be = be_double(d);
    return std::string(be.rbegin(), be.rend());
}

} // namespace

TEST(SampleConversion, WaveEncodingsDeliverTheirExtremesUnscaled) {
    EXPECT_EQ(decode("\x00\x80\xff"s, ST_WAVE_PCM8, 3), (Frames{{-128, 0, 127}}));
    EXPECT_EQ(decode("\x34\x12\xcd\xab"s, ST_WAVE_PCM16, 2), (Frames{{4660, -21555}}));
    EXPECT_EQ(decode(testsupport::pcm16_le({-32768, 32767}), ST_WAVE_PCM16, 2),
              (Frames{{-32768, 32767}}));
    EXPECT_EQ(decode(testsupport::pcm24_le({-8388608, 8388607, -1}), ST_WAVE_PCM24, 3),
              (Frames{{-8388608, 8388607, -1}}));
    EXPECT_EQ(decode(testsupport::pcm32_le({INT32_MIN, INT32_MAX}), ST_WAVE_PCM32, 2),
              (Frames{{INT32_MIN, INT32_MAX}}));
    EXPECT_EQ(decode(testsupport::float32_le({0.5f, -FLT_MAX, FLT_MIN}), ST_WAVE_FLOAT32, 3),
              (Frames{{0.5, -FLT_MAX, FLT_MIN}}));
    EXPECT_EQ(decode(le_double(DBL_MAX) + le_double(-0.1), ST_WAVE_FLOAT64, 2),
              (Frames{{DBL_MAX, -0.1}}));
}

TEST(SampleConversion, BigEndianAndMarkerOrderedEncodings) {
    EXPECT_EQ(decode("\xff\x80"s, ST_SUN_PCM8, 2), (Frames{{-1, -128}}));
    EXPECT_EQ(decode("\x80\x00\x7f\xff"s, ST_AIFF_PCM16, 2), (Frames{{-32768, 32767}}));
    EXPECT_EQ(decode("\x7f\xff\xff\x80\x00\x00"s, ST_SUN_PCM24, 2), (Frames{{8388607, -8388608}}));
    EXPECT_EQ(decode("\x80\x00\x00\x00"s, ST_AIFC_PCM32, 1), (Frames{{INT32_MIN}}));
    EXPECT_EQ(decode("\xbf\x00\x00\x00"s, ST_AIFC_FLOAT32, 1), (Frames{{-0.5}}));
    EXPECT_EQ(decode(be_double(-DBL_MAX), ST_SPW_DOUBLE, 1), (Frames{{-DBL_MAX}}));
    EXPECT_EQ(decode("\x01\x00"s, ST_H512_PCM16, 1), (Frames{{1}}));
    EXPECT_EQ(decode("\x01\x00"s, ST_H512_PCM16, 1, 0x0083FFFF), (Frames{{256}}));
    EXPECT_EQ(decode("\xbf\x00\x00\x00"s, ST_H512_FLOAT32, 1, static_cast<int32_t>(0xFE82FFFF)),
              (Frames{{-0.5}}));
    EXPECT_EQ(decode("\0\0\0\xbf"s, ST_H512_FLOAT32, 1, -32002), (Frames{{-0.5}}));
    EXPECT_EQ(decode(be_double(0.1), ST_H512_FLOAT64, 1, static_cast<int32_t>(0xFC82FFFF)),
              (Frames{{0.1}}));
}

TEST(SampleConversion, SampleSizesAndKinds) {
    EXPECT_EQ(sample_bits(ST_WAVE_PCM8), 8);
    EXPECT_EQ(sample_bits(ST_SUN_PCM24), 24);
    EXPECT_EQ(sample_bits(ST_H512_FLOAT32), 32);
    EXPECT_EQ(sample_bits(ST_SPW_DOUBLE), 64);
    for (int32_t unassigned : {1, 6, 15, 20}) EXPECT_EQ(sample_bits(unassigned), 16);
    EXPECT_EQ(sample_bits(37), 0);
    EXPECT_EQ(sample_bits(-1), 0);
    for (int32_t g711 : {ST_SUN_MULAW, ST_WAVE_ALAW, ST_AIFC_MULAW}) {
        EXPECT_EQ(sample_bits(g711), 8);
        EXPECT_EQ(sample_value_bits(g711), 16);
    }
    EXPECT_EQ(sample_value_bits(ST_WAVE_PCM8), 8);
    EXPECT_TRUE(sample_is_float(ST_SPW_DOUBLE));
    EXPECT_TRUE(sample_is_float(ST_H512_FLOAT64));
    EXPECT_TRUE(sample_is_float(ST_WAVE_FLOAT32));
    EXPECT_FALSE(sample_is_float(ST_WAVE_PCM32));
    EXPECT_FALSE(sample_is_float(ST_H512_PCM16));
    EXPECT_FALSE(sample_is_float(-5));
}

TEST(SampleReading, UnassignedCodesEndTheDataSoNoLoopSpins) {
    std::string bytes = "abcd";
    AudioInfo info{};
    std::array<double, 1> values = {42};
    for (int32_t code : {1, 6, 15, 20, 37, -1}) {
        auto file = handle_over(bytes, info, code, 1);
        EXPECT_EQ(audio_read(values, *file), -1) << code;
    }
    EXPECT_EQ(values[0], 42);
}

// A stream that fails is told apart from one that ends, in recognition and in sample reading.
TEST(SampleReading, AFailedReadIsNotTheEndOfTheData) {
    const std::string wav =
        testsupport::wave_file(2, 44100, 16, testsupport::pcm16_le({1, 2, 3, 4}));
    struct Case {
        std::size_t fail_after;
        size_t frames;
        int error;
        const char* message;
    };
    for (const Case c : {Case{wav.size() + 1, 2, 0, ""}, Case{wav.size() - 4, 1, EIO, ""},
                         Case{2, 0, EIO, "\nError reading inputfile: Input/output error\n"}}) {
        AudioInfo info{};
        testing::internal::CaptureStderr();
        auto file = audio_open_stream(testsupport::failing_stream(wav, c.fail_after), info);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message) << c.fail_after;
        if (!file) {
            EXPECT_EQ(c.frames, 0u);
            continue;
        }
        EXPECT_EQ(aftest::read_frames(*file, 2).size(), c.frames) << c.fail_after;
        EXPECT_EQ(audio_read_error(*file), c.error) << c.fail_after;
    }
}

TEST(SampleReading, EndOfDataAndUnreadableRequestsReturnMinusOneUntouched) {
    std::string bytes = testsupport::pcm16_le({1, 2, 3, 4}) + "\x05"s; // 2 frames + a partial one
    AudioInfo info{};
    auto file = handle_over(bytes, info, ST_WAVE_PCM16, 2);
    EXPECT_EQ(aftest::read_frames(*file, 2), (Frames{{1, 2}, {3, 4}}));
    std::array<double, 2> values = {7, 8};
    EXPECT_EQ(audio_read(values, *file), -1);
    EXPECT_EQ(audio_read(values, *file), -1);
    EXPECT_EQ(values, (std::array<double, 2>{7, 8}));

    std::string more = testsupport::pcm16_le({1, 2});
    auto fresh = handle_over(more, info, ST_WAVE_PCM16, 2);
    EXPECT_EQ(audio_read(std::span(values).first(1), *fresh), -1); // too few values
    info.channels = 0;
    EXPECT_EQ(audio_read(values, *fresh), -1);
    info.channels = 2;
    fresh->access = ACCESS_WRITE;
    testing::internal::CaptureStderr();
    EXPECT_EQ(audio_read(values, *fresh), 82);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "\nRead attempt at outputfile");
    EXPECT_EQ(values, (std::array<double, 2>{7, 8}));
}

TEST(SampleReading, PartialFrameAloneInTheLastRefillIsEndOfData) {
    // 24-bit stereo: a refill takes 1048572 bytes (174762 frames); 3 bytes remain after them.
    std::string bytes(1048572, '\0');
    bytes.replace(bytes.size() - 6, 6, "\1\0\0\2\0\0"s);
    bytes += "\x09\x09\x09"s;
    AudioInfo info{};
    auto file = handle_over(bytes, info, ST_WAVE_PCM24, 2);
    const Frames frames = aftest::read_frames(*file, 2, 200000);
    ASSERT_EQ(frames.size(), 174762u);
    EXPECT_EQ(frames.back(), (std::vector<double>{1, 2}));
}

// The bulk path delivers what as many audio_read calls deliver, across refills of the 1 MiB
// buffer (whose size is no multiple of the 24-bit frames), with a short last run and then 0.
TEST(SampleReading, BulkReadingMatchesFrameByFrameReadingAcrossRefills) {
    for (const auto& [code, bytes_per_frame] : {std::pair{ST_WAVE_PCM16, 4}, {ST_WAVE_PCM24, 6}}) {
        std::string bytes =
            noise_bytes(1300000 / bytes_per_frame * bytes_per_frame + 5 * bytes_per_frame, 1);
        std::string copy = bytes;
        AudioInfo one_info{}, bulk_info{};
        const Frames expected =
            aftest::read_frames(*handle_over(copy, one_info, code, 2), 2, 400000);
        auto bulk = handle_over(bytes, bulk_info, code, 2);
        Frames got;
        std::array<double, 2 * 128> values{};
        int n = 0;
        while ((n = audio_read_frames(values, *bulk)) > 0) {
            for (int f = 0; f < n; ++f) got.push_back({values[2 * f], values[2 * f + 1]});
            if (n < 128) break;
        }
        EXPECT_EQ(n, static_cast<int>(expected.size() % 128)) << code;
        EXPECT_EQ(audio_read_frames(values, *bulk), 0) << code;
        EXPECT_EQ(got, expected) << code;
    }
}

// The 16-bit path gives audio_read's values in both byte orders, across refills, and refuses
// every other sample type without reading.
TEST(SampleReading, SixteenBitPathMatchesFrameByFrameReadingInBothByteOrders) {
    for (const int32_t code : {ST_WAVE_PCM16, ST_SUN_PCM16, ST_WAVE_PCM24}) {
        std::string bytes = noise_bytes(1300000 / 12 * 12 + 20, 7);
        std::string copy = bytes;
        AudioInfo one_info{}, bulk_info{};
        const Frames expected =
            aftest::read_frames(*handle_over(copy, one_info, code, 2), 2, 400000);
        auto bulk = handle_over(bytes, bulk_info, code, 2);
        std::array<int16_t, 2 * 128> values{};
        if (code == ST_WAVE_PCM24) {
            EXPECT_EQ(audio_read_frames16(values, *bulk), -1);
            std::array<double, 2> first{};
            EXPECT_EQ(audio_read(first, *bulk), 0); // nothing was consumed
            EXPECT_EQ(std::vector<double>(first.begin(), first.end()), expected.front());
            continue;
        }
        Frames got;
        int n = 0;
        while ((n = audio_read_frames16(values, *bulk)) > 0) {
            for (int f = 0; f < n; ++f)
                got.push_back({values[2 * f] * 1.0, values[2 * f + 1] * 1.0});
            if (n < 128) break;
        }
        EXPECT_EQ(n, static_cast<int>(expected.size() % 128)) << code;
        EXPECT_EQ(audio_read_frames16(values, *bulk), 0) << code;
        EXPECT_EQ(got, expected) << code;

        // In place, 96 frames at a time (which does not divide the buffer's 262144 frames), the
        // rest of a frame from the 16-bit path, as the encoding run reads: the same values, and
        // views only of samples in the host's order.
        std::string third = copy;
        AudioInfo view_info{};
        auto viewed = handle_over(third, view_info, code, 2);
        got.clear();
        size_t views = 0;
        for (;;) {
            const auto view = audio_view_frames16(*viewed, 96);
            views += view.empty() ? 0 : 1;
            std::vector<int16_t> frame(view.begin(), view.end());
            std::array<int16_t, 2 * 96> rest{};
            const int more =
                audio_read_frames16(std::span(rest).first(2 * 96 - frame.size()), *viewed);
            if (more > 0) frame.insert(frame.end(), rest.begin(), rest.begin() + 2 * more);
            for (size_t f = 0; f < frame.size() / 2; ++f)
                got.push_back({frame[2 * f] * 1.0, frame[2 * f + 1] * 1.0});
            if (frame.size() < 2 * 96) break;
        }
        EXPECT_EQ(got, expected) << code;
        EXPECT_EQ(views > 0, code == ST_WAVE_PCM16) << code;
    }
}

// A pipe is read as it arrives: a read delivers the frames that have come and no more, a frame
// split between two writes (inside a sample, too) is completed by the next one, and only the
// closed pipe is the end. A wrong wait here would hang: the alarm then fails the test.
TEST(SampleReading, APipeDeliversWhatHasArrivedAndCompletesSplitFrames) {
    std::array<int, 2> fds{};
    ASSERT_EQ(pipe(fds.data()), 0);
    const std::string header =
        riff(chunk("fmt ", fmt_fields(1, 2, 44100, 16)) + "data" + aftest::le32(0xFFFFFFFF));
    const std::string pcm = testsupport::pcm16_le({1, -1, 2, -2, 3, -3, 4, -4, 5, -5, 6, -6});
    const auto send = [&](const std::string& bytes) {
        ASSERT_EQ(write(fds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    };
    send(header + pcm.substr(0, 9)); // two frames and one byte of the third
    alarm(10);
    AudioInfo info{};
    testing::internal::CaptureStderr();
    auto file = audio_open(("/proc/self/fd/" + std::to_string(fds[0])).c_str(), "r", info);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_NE(file, nullptr);
    EXPECT_TRUE(file->live);
    std::array<double, 2 * 100> values{};
    EXPECT_EQ(audio_read_frames(values, *file), 2);
    EXPECT_EQ(values[2], 2.0);
    EXPECT_EQ(audio_frames_buffered(*file), 0u);
    send(pcm.substr(9, 9)); // the rest of the third, the fourth and half of the fifth
    std::array<int16_t, 2 * 100> pcm16{};
    EXPECT_EQ(audio_read_frames16(pcm16, *file), 2);
    EXPECT_EQ(pcm16[3], -4);
    send(pcm.substr(18));
    EXPECT_EQ(audio_view_frames16(*file, 100).size(), 4u); // the fifth and sixth frames
    close(fds[1]);
    EXPECT_EQ(audio_read_frames(values, *file), 0);
    EXPECT_EQ(audio_read_error(*file), 0);
    alarm(0);
    EXPECT_EQ(audio_close(file), 0);
    close(fds[0]);
}
