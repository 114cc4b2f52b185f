// The capture reader against captures whose contents are known: every format and link type,
// signalling present or not, lost packets and SCO gaps, status flags, a handle used twice.
#include "capture_writer.h"
#include "reading.h"

#include <gtest/gtest.h>

namespace {

using namespace testsupport;
using capturetest::read_capture;

// The good frames a stream was sent with (the expected ones not lost).
std::vector<std::string> kept_frames(const ExpectedStream& s) {
    std::vector<std::string> kept;
    for (size_t i = 0; i < s.frames.size(); ++i)
        if (!s.lost[i]) kept.push_back(s.frames[i]);
    return kept;
}

void expect_streams(const capturetest::Read& read, const StandardCapture& c, const char* name) {
    ASSERT_EQ(read.streams.size(), c.streams.size()) << name;
    for (size_t i = 0; i < c.streams.size(); ++i) {
        const ExpectedStream& want = c.streams[i];
        const auto& got = read.streams[i];
        SCOPED_TRACE(std::string(name) + ", stream " + std::to_string(i));
        EXPECT_EQ(got.info.kind == capture::StreamKind::msbc, want.msbc);
        EXPECT_EQ(got.info.handle, want.handle);
        EXPECT_EQ(got.info.channel, want.channel);
        EXPECT_EQ(got.info.packets, want.packets);
        EXPECT_TRUE(got.frames == kept_frames(want)) << got.frames.size() << " frames";
        EXPECT_EQ(got.missing, want.lost);
        EXPECT_EQ(got.info.lost, std::count(want.lost.begin(), want.lost.end(), true));
        EXPECT_EQ(got.info.damaged, 0);
        const double per_frame = want.msbc ? 120.0 / 16000 : 128.0 / 44100;
        EXPECT_NEAR(got.info.seconds, per_frame * static_cast<double>(want.frames.size()), 1e-9);
    }
}

TEST(CaptureReader, EveryFormatAndLinkTypeGivesTheFramesThatWentIn) {
    const StandardCapture c = standard_capture();
    for (const CaptureFormat format : all_capture_formats)
        for (const bool big : {false, true}) {
            if (big && format != CaptureFormat::pcap_h4 && format != CaptureFormat::pcap_monitor)
                continue;
            const std::string name = std::string(capture_format_name(format)) + (big ? " BE" : "");
            // Pieces of odd sizes: the records' and packets' cuts fall anywhere.
            const auto read = read_capture(write_capture(c.builder, format, big), 997);
            expect_streams(read, c, name.c_str());
            EXPECT_EQ(read.totals.skipped_records, 0);
            EXPECT_FALSE(read.totals.unreadable || read.totals.ended_inside_record);
        }
}

TEST(CaptureReader, TheSignallingGivesTheConfigurationAndTheShapeFindsMediaWithoutIt) {
    for (const bool signalling : {true, false}) {
        StandardOptions o;
        o.signalling = signalling;
        const StandardCapture c = standard_capture(o);
        const auto read = read_capture(write_capture(c.builder, CaptureFormat::btsnoop_h4));
        expect_streams(read, c, signalling ? "signalling" : "no signalling");
        const capture::SbcConfiguration& conf = read.streams[0].info.configuration;
        EXPECT_EQ(conf.present, signalling);
        if (signalling) {
            // 44100 Hz, JOINT_STEREO, 16 blocks, 8 subbands, SNR, bitpool 2-53.
            EXPECT_EQ(std::tuple(conf.frequencies, conf.channel_modes, conf.blocks, conf.subbands,
                                 conf.allocations, conf.min_bitpool, conf.max_bitpool),
                      std::tuple(0x2, 0x1, 0x1, 0x1, 0x2, 2, 53));
        }
        EXPECT_FALSE(read.streams[1].info.configuration.present);
    }
}

TEST(CaptureReader, LostPacketsAndScoGapsKeepTheStreamsTimedLength) {
    StandardOptions o;
    o.lost_a2dp_packets = {3, 10, 11, 39}; // 39: the last, which no later packet reveals
    o.lost_sco_packets = {4, 5, 17, 30};
    const StandardCapture c = standard_capture(o);
    auto read = read_capture(write_capture(c.builder, CaptureFormat::pcap_h4));
    // Nothing follows the last A2DP packet, so its loss cannot be seen: the stream ends earlier.
    StandardCapture seen = c;
    auto& first = seen.streams[0];
    first.frames.resize(first.frames.size() - 5);
    first.lost.resize(first.lost.size() - 5);
    expect_streams(read, seen, "losses");
    EXPECT_EQ(read.streams[0].info.lost, 15);
}

TEST(CaptureReader, TimestampsCountLostFramesWhenSequenceNumbersDoNotShowThem) {
    // Packets of 5 frames whose sequence runs on while one timestamp jumps 3 frames ahead.
    CaptureBuilder b;
    const auto frames = tone_frames(10);
    const std::string five = frames[0] + frames[1] + frames[2] + frames[3] + frames[4];
    for (int p = 0; p < 4; ++p)
        b.l2cap(false, 1, 0x0045,
                rtp_packet(static_cast<uint16_t>(p), (p * 5 + (p >= 2) * 3) * 128, 5, five));
    const auto read = read_capture(write_capture(b, CaptureFormat::btsnoop_h4));
    ASSERT_EQ(read.streams.size(), 1u);
    EXPECT_EQ(read.streams[0].info.lost, 3);
    EXPECT_EQ(read.streams[0].frames.size(), 20u);
}

TEST(CaptureReader, ScoStatusFlagsMarkLostAndDamagedUnits) {
    const auto frames = msbc_tone_frames(8);
    std::string units;
    std::array<uint8_t, 60> unit{};
    for (size_t i = 0; i < frames.size(); ++i) {
        sbc::h2_unit_write(std::span(reinterpret_cast<const uint8_t*>(frames[i].data()), 57), i,
                           unit);
        units.append(reinterpret_cast<const char*>(unit.data()), 60);
    }
    CaptureBuilder b;
    for (size_t u = 0; u < 8; ++u) {
        b.now_us = 1000000 + static_cast<int64_t>(u) * 7500;
        // Unit 3: no data received (zeros); unit 5: possibly invalid.
        const int status = u == 3 ? 2 : u == 5 ? 1 : 0;
        b.sco(true, 0x0201, status == 2 ? std::string(60, '\0') : units.substr(u * 60, 60), status);
    }
    const auto read = read_capture(write_capture(b, CaptureFormat::btsnoop_monitor));
    ASSERT_EQ(read.streams.size(), 1u);
    const auto& s = read.streams[0];
    EXPECT_EQ(s.info.lost, 1);
    EXPECT_EQ(s.info.damaged, 1);
    EXPECT_EQ(s.missing, (std::vector<bool>{false, false, false, true, false, true, false, false}));
}

TEST(CaptureReader, AHandleUsedAgainAfterADisconnectionIsANewStream) {
    CaptureBuilder b;
    const auto frames = tone_frames(4);
    b.l2cap(false, 3, 0x0050, rtp_packet(1, 0, 2, frames[0] + frames[1]));
    b.disconnection(3);
    b.l2cap(false, 3, 0x0050, rtp_packet(900, 77777, 2, frames[2] + frames[3]));
    const auto read = read_capture(write_capture(b, CaptureFormat::pcap_monitor));
    ASSERT_EQ(read.streams.size(), 2u);
    EXPECT_EQ(read.streams[1].info.lost, 0); // the new stream's numbers are its own
    EXPECT_EQ(read.streams[1].frames, (std::vector<std::string>{frames[2], frames[3]}));
}

TEST(CaptureReader, RecognitionNeedsTheMagicAndRulesOutOtherInputEarly) {
    const auto format_of = [](const std::string& s) {
        return capture::format_of(std::span(reinterpret_cast<const uint8_t*>(s.data()), s.size()));
    };
    const auto possible = [](const std::string& s) {
        return capture::format_possible(
            std::span(reinterpret_cast<const uint8_t*>(s.data()), s.size()));
    };
    const CaptureBuilder empty;
    EXPECT_EQ(format_of(write_capture(empty, CaptureFormat::btsnoop_h4)), capture::Format::btsnoop);
    EXPECT_EQ(format_of(write_capture(empty, CaptureFormat::pcap_h4, true)), capture::Format::pcap);
    EXPECT_EQ(format_of(std::string("btsnoop\0\0\0\0\2", 12)), capture::Format::none); // version 2
    EXPECT_EQ(format_of(std::string("\x9c\xbf\x35\x00", 4)), capture::Format::none);
    EXPECT_TRUE(possible(std::string("bts")));
    EXPECT_FALSE(possible(std::string("\x9c")));
    EXPECT_FALSE(possible(std::string("RIFF")));
}

} // namespace
