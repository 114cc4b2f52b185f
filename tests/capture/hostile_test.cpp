// Captures that lie, end early or never complete: the reader reports what is really there,
// never more, and keeps going (the sanitizer build watches every access).
#include "capture_writer.h"
#include "reading.h"

#include "sbc/sbc.h"

#include <array>
#include <climits>
#include <gtest/gtest.h>
#include <random>

namespace {

using namespace testsupport;
using capturetest::read_capture;

size_t total_frames(const capturetest::Read& r) {
    size_t n = 0;
    for (const auto& s : r.streams) n += s.frames.size();
    return n;
}

TEST(HostileCapture, ACaptureCutShortAnywhereGivesThePacketsBeforeTheCut) {
    const std::string whole = write_capture(standard_capture().builder, CaptureFormat::btsnoop_h4);
    const size_t all = total_frames(read_capture(whole));
    size_t previous = 0;
    for (size_t cut = 0; cut < whole.size(); cut += 1237) {
        const auto read = read_capture(whole.substr(0, cut), 501);
        const size_t frames = total_frames(read);
        EXPECT_GE(frames, previous) << "cut at " << cut;
        EXPECT_LE(frames, all);
        previous = frames;
    }
    EXPECT_TRUE(read_capture(whole.substr(0, whole.size() - 3)).totals.ended_inside_record);
}

TEST(HostileCapture, CorruptedBytesNeverCrashTheReader) {
    const std::string whole = write_capture(standard_capture().builder, CaptureFormat::pcap_h4);
    std::mt19937 rng(7);
    for (int round = 0; round < 60; ++round) {
        std::string damaged = whole;
        for (int i = 0; i < 1 + round % 20; ++i)
            damaged[24 + rng() % (damaged.size() - 24)] = static_cast<char>(rng());
        const auto read = read_capture(damaged, 1 + rng() % 4000);
        EXPECT_LE(read.streams.size(), static_cast<size_t>(capture::MAX_STREAMS));
    }
}

TEST(HostileCapture, ClocksThatJumpAcrossTheirWholeRangeNeitherOverflowNorLoseFrames) {
    // btsnoop times just below 2^63, then past it (negative as signed), then back near 0.
    CaptureBuilder b;
    const auto frames = msbc_tone_frames(3);
    std::array<uint8_t, 60> unit{};
    for (int64_t i = 0; i < 3; ++i) {
        b.now_us = i == 0 ? INT64_MAX - 0x00DCDDB30F2F8000 - 10 : i == 1 ? INT64_MIN / 2 : 5;
        const auto* f = reinterpret_cast<const uint8_t*>(frames[static_cast<size_t>(i)].data());
        sbc::h2_unit_write(std::span(f, 57), static_cast<uint64_t>(i), unit);
        b.sco(true, 0x0301, std::string(reinterpret_cast<const char*>(unit.data()), 60));
    }
    const auto read = read_capture(write_capture(b, CaptureFormat::btsnoop_h4));
    ASSERT_EQ(read.streams.size(), 1u);
    EXPECT_EQ(read.streams[0].frames.size(), 3u);
}

TEST(HostileCapture, LyingLengthsAndUnfinishedFragmentsAreDroppedAndCounted) {
    CaptureBuilder b;
    const auto frames = tone_frames(6);
    const std::string media = rtp_packet(1, 0, 2, frames[0] + frames[1]);
    // An L2CAP header that claims 65535 bytes, then fragments that never reach them.
    std::string claim{'\xFF', '\xFF', 0x45, 0x00};
    b.add(2, false, std::string{0x01, 0x20, 0x08, 0x00} + claim + "abcd");
    for (int i = 0; i < 3; ++i) b.add(2, false, std::string{0x01, 0x10, 0x04, 0x00} + "wxyz");
    // Continuing fragments without a start, then an ACL length past the record's end.
    b.add(2, false, std::string{0x01, 0x10, 0x02, 0x00} + "zz");
    b.add(2, false, std::string{0x02, 0x20, '\xF0', 0x00} + "short");
    // A good stream after it all, on the same handle and channel.
    b.l2cap(false, 1, 0x0045, media);
    b.l2cap(false, 1, 0x0045, rtp_packet(2, 256, 2, frames[2] + frames[3]));
    const auto read = read_capture(write_capture(b, CaptureFormat::btsnoop_h4));
    ASSERT_EQ(read.streams.size(), 1u);
    EXPECT_EQ(read.streams[0].frames.size(), 4u);
    EXPECT_EQ(read.totals.unfinished_l2cap, 1);
}

TEST(HostileCapture, OversizedRecordsAndBrokenBlocksEndCleanly) {
    CaptureBuilder b;
    const auto frames = tone_frames(4);
    b.l2cap(false, 1, 0x0045, rtp_packet(1, 0, 2, frames[0] + frames[1]));
    b.add(2, false, std::string(300000, 'x')); // longer than any HCI packet: passed over
    b.l2cap(false, 1, 0x0045, rtp_packet(2, 256, 2, frames[2] + frames[3]));
    const auto read = read_capture(write_capture(b, CaptureFormat::pcap_h4));
    ASSERT_EQ(read.streams.size(), 1u);
    EXPECT_EQ(read.streams[0].frames.size(), 4u);
    EXPECT_EQ(read.totals.skipped_records, 1);

    // A pcapng block whose length is not a multiple of 4 breaks the file there.
    std::string pcapng("\x0A\x0D\x0D\x0A\x1C\x00\x00\x00\x4D\x3C\x2B\x1A\x01\x00\x00\x00"
                       "\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x1C\x00\x00\x00",
                       28);
    pcapng += std::string("\x01\x00\x00\x00\x0D\x00\x00\x00", 8) + std::string(8, '\0');
    const auto broken = read_capture(pcapng);
    EXPECT_TRUE(broken.totals.unreadable);
    EXPECT_EQ(broken.totals.unreadable_at, 28);
}

TEST(HostileCapture, AHundredThousandHandlesAreFollowedWithinTheLimits) {
    // Each handle starts an L2CAP packet of 64 KiB and sends an SCO packet; none completes.
    CaptureBuilder b;
    for (uint32_t i = 0; i < 100000; ++i) {
        b.adapter = static_cast<uint16_t>(i >> 12);
        const auto handle = static_cast<char>(i & 0xFF), high = static_cast<char>(i >> 8 & 0x0F);
        b.add(2, false,
              std::string{handle, static_cast<char>(high | 0x20), 0x08, 0x00} +
                  std::string{'\xFF', '\xFF', 0x45, 0x00, 1, 2, 3, 4});
        b.add(3, true, std::string{handle, high, 0x04} + "\x01\x08\xAD\x00");
    }
    const auto read = read_capture(write_capture(b, CaptureFormat::btsnoop_monitor));
    EXPECT_TRUE(read.streams.empty());
    EXPECT_GT(read.totals.untracked, 0);
    EXPECT_GE(read.totals.unfinished_l2cap, 100000 - 2 * capture::MAX_LINKS);
}

} // namespace
