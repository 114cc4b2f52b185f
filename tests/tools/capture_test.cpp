// vantrel-info and vantrel-decode on captures of Bluetooth links, as users run them: against
// tshark's dissection, through editcap's pcapng, decoded against the extracted streams, with
// losses, filtered logs and hostile captures.
#include "capture_writer.h"
#include "process.h"
#include "tools.h"

#include "sbc/sbc.h"

#include <gtest/gtest.h>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace testsupport;
using namespace toolstest;

// The value after `key` in a vantrel-info stream line ("frames 200, ..."), or -1.
long long field(const std::string& line, const std::string& key) {
    const size_t at = line.find(key + " ");
    return at == std::string::npos ? -1 : std::stoll(line.substr(at + key.size() + 1));
}

// vantrel-info's stream lines.
std::vector<std::string> stream_lines(const std::string& report) {
    std::vector<std::string> lines;
    for (size_t at = report.find("\nstream "); at != std::string::npos;
         at = report.find("\nstream ", at + 1))
        lines.push_back(report.substr(at + 1, report.find('\n', at + 1) - at - 1));
    return lines;
}

std::string hex4(long long value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04llx", value);
    return text;
}

// What tshark's sbc layer holds, per connection handle and L2CAP channel.
struct TsharkStream {
    std::string bytes;                // every packet's sbc layer less its media header
    std::vector<size_t> frame_starts; // where tshark found a sync word, in `bytes`
    long long packets = 0, frames = 0;
};

int hex_value(char c) {
    return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
}

std::string unhex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(hex_value(hex[i]) << 4 | hex_value(hex[i + 1]));
    return out;
}

// Reads `tshark -T json -x` line by line: the packet's handle and channel, its sbc layer's raw
// bytes and position, the sync words' positions, the frame count and fragment bits.
std::map<std::string, TsharkStream> tshark_sbc(const std::string& json) {
    std::map<std::string, TsharkStream> streams;
    std::string handle, cid, hex;
    long long base = 0, frames = 0;
    bool fragmented = false, last = false;
    std::vector<long long> syncs;
    const auto quoted = [](const std::string& line) {
        const size_t a = line.find('"'), b = line.rfind('"');
        return a == b ? std::string() : line.substr(a + 1, b - a - 1);
    };
    const auto finish = [&] {
        if (hex.empty()) return;
        TsharkStream& s = streams[handle + "/" + cid];
        const size_t offset = s.bytes.size();
        s.bytes += unhex(hex).substr(1);
        for (const long long at : syncs) s.frame_starts.push_back(offset + (at - base - 1));
        ++s.packets;
        s.frames += fragmented ? (last ? 1 : 0) : frames;
        hex.clear();
        syncs.clear();
    };
    std::istringstream in(json);
    std::string line, next;
    while (std::getline(in, line)) {
        const auto value_of = [&](const char* key) {
            return line.find(std::string("\"") + key + "\":") != std::string::npos;
        };
        if (value_of("frame.number")) finish();
        if (value_of("bthci_acl.chandle")) handle = quoted(line.substr(line.find(':')));
        if (value_of("btl2cap.cid")) cid = quoted(line.substr(line.find(':')));
        if (value_of("sbc.number_of_frames"))
            frames = std::stoll(quoted(line.substr(line.find(':'))));
        if (value_of("sbc.fragmented")) fragmented = quoted(line.substr(line.find(':'))) == "1";
        if (value_of("sbc.last_packet")) last = quoted(line.substr(line.find(':'))) == "1";
        if (value_of("sbc_raw") || value_of("sbc.syncword_raw")) {
            std::getline(in, next);
            const std::string bytes = quoted(next);
            std::getline(in, next);
            const long long pos = std::stoll(next);
            if (value_of("sbc_raw")) {
                hex = bytes;
                base = pos;
            } else {
                syncs.push_back(pos);
            }
        }
    }
    finish();
    return streams;
}

// Where the frames of a bare SBC stream start.
std::vector<size_t> frame_starts(const std::string& stream) {
    std::vector<size_t> starts;
    for (size_t at = 0; at < stream.size();) {
        sbc::FrameHeader h;
        if (sbc::frame_header_parse(
                std::span(reinterpret_cast<const uint8_t*>(stream.data()) + at, stream.size() - at),
                h) != sbc::HEADER_OK)
            break;
        starts.push_back(at);
        at += static_cast<size_t>(h.length);
    }
    return starts;
}

StandardOptions with_losses() {
    StandardOptions o;
    o.second_signalling = true; // tshark dissects media only after the signalling
    o.lost_a2dp_packets = {5, 6, 20};
    o.lost_sco_packets = {9, 10, 30};
    return o;
}

TEST(Capture, TheExtractedFramesAreTsharksFramesByteForByte) {
    if (!have_program("tshark")) GTEST_SKIP() << "tshark is not installed: NOT checked";
    TempDir dir;
    const auto path = dir / "link.log";
    write_file(path,
               write_capture(standard_capture(with_losses()).builder, CaptureFormat::btsnoop_h4));
    const auto dissected = run_process({"tshark", "-r", path, "-T", "json", "-x", "-Y", "sbc"});
    ASSERT_EQ(dissected.status, 0) << dissected.err;
    const auto tshark = tshark_sbc(dissected.out);
    const auto info = run_process({info_binary(), path});
    ASSERT_EQ(info.status, 0) << info.err;
    int a2dp = 0;
    for (const std::string& line : stream_lines(info.out)) {
        if (line.find("A2DP SBC") == std::string::npos) continue;
        ++a2dp;
        SCOPED_TRACE(line);
        const std::string key =
            hex4(std::stoll(line.substr(line.find("handle ") + 7), nullptr, 16)) + "/" +
            hex4(std::stoll(line.substr(line.find("channel ") + 8), nullptr, 16));
        ASSERT_EQ(tshark.count(key), 1u) << key;
        const TsharkStream& t = tshark.at(key);
        const auto out = dir / "stream.sbc";
        const std::string number = line.substr(7, line.find(':') - 7);
        ASSERT_EQ(run_process({decode_binary(), "-s", number, "-t", "sbc", "-o", out, path}).status,
                  0);
        const std::string ours = read_file(out);
        EXPECT_TRUE(ours == t.bytes) << ours.size() << " bytes, tshark " << t.bytes.size();
        if (line.find("handle 0x0001") != std::string::npos) { // whole frames, no fragments
            EXPECT_EQ(frame_starts(ours), t.frame_starts);
        }
        EXPECT_EQ(field(line, "packets"), t.packets);
        EXPECT_EQ(field(line, "frames"), t.frames);
    }
    EXPECT_EQ(a2dp, 2);
}

TEST(Capture, EditcapsPcapngAndEveryLinkGiveTheSameStreams) {
    TempDir dir;
    const auto capture = standard_capture(with_losses());
    const auto streams = [&](const std::filesystem::path& p) {
        const auto r = run_process({info_binary(), p});
        EXPECT_EQ(r.status, 0) << p << r.err;
        return r.out.substr(r.out.find("\nstreams:"));
    };
    write_file(dir / "h4.pcap", write_capture(capture.builder, CaptureFormat::pcap_h4, true));
    const std::string want = streams(dir / "h4.pcap");
    EXPECT_EQ(stream_lines(want).size(), 6u);
    for (const CaptureFormat f : all_capture_formats) {
        write_file(dir / "x", write_capture(capture.builder, f));
        EXPECT_EQ(streams(dir / "x"), want) << capture_format_name(f);
    }
    if (!have_program("editcap")) GTEST_SKIP() << "editcap is not installed: pcapng NOT checked";
    ASSERT_EQ(run_process({"editcap", "-F", "pcapng", dir / "h4.pcap", dir / "h4.pcapng"}).status,
              0);
    EXPECT_EQ(streams(dir / "h4.pcapng"), want);
    // Through a pipe, the same.
    const auto piped = run_process({info_binary(), "-"}, read_file(dir / "h4.pcapng"));
    EXPECT_EQ(piped.out.substr(piped.out.find("\nstreams:")), want);
}

TEST(Capture, ADecodedStreamIsItsExtractedFramesDecodedAndLossesKeepItsLength) {
    TempDir dir;
    const auto lossless = standard_capture();
    const auto lossy = standard_capture(with_losses());
    write_file(dir / "clean.log", write_capture(lossless.builder, CaptureFormat::btsnoop_h4));
    write_file(dir / "lossy.log", write_capture(lossy.builder, CaptureFormat::btsnoop_h4));
    for (size_t n = 0; n < lossless.streams.size(); ++n) {
        const bool msbc = lossless.streams[n].msbc;
        const std::string s = std::to_string(n);
        SCOPED_TRACE("stream " + s);
        const auto bare = dir / "bare";
        ASSERT_EQ(run_process({decode_binary(), "-s", s, "-t", msbc ? "h2" : "sbc", "-o", bare,
                               dir / "clean.log"})
                      .status,
                  0);
        const auto direct = run_process({decode_binary(), "-s", s, "-t", "raw", dir / "clean.log"});
        EXPECT_EQ(direct.status, 0) << direct.err;
        EXPECT_TRUE(direct.out == run_process({decode_binary(), "-t", "raw", bare}).out);
        // With losses: every frame's time is there, the lost ones concealed.
        const auto decoded =
            run_process({decode_binary(), "-s", s, "-t", "raw", dir / "lossy.log"});
        const size_t bytes_per_frame = msbc ? 120 * 2 : 128 * 2 * 2;
        const auto& want = lossy.streams[n];
        const size_t frames = want.frames.size(); // no stream loses its last packet
        EXPECT_EQ(decoded.out.size(), frames * bytes_per_frame);
        if (std::count(want.lost.begin(), want.lost.end(), true) > 0) {
            EXPECT_NE(decoded.err.find(" lost concealed"), std::string::npos)
                << decoded.err;
        }
    }
}

TEST(Capture, VerboseListsEveryPacketAndTheStatusSaysWhetherThereIsAudio) {
    TempDir dir;
    const auto capture = standard_capture();
    write_file(dir / "a.pcap", write_capture(capture.builder, CaptureFormat::pcap_monitor));
    const auto v = run_process({info_binary(), "-v", dir / "a.pcap"});
    EXPECT_EQ(v.status, 0);
    long long packets = 0, lines = 0;
    for (const auto& s : capture.streams) packets += s.packets;
    // SCO packets before the first whole H2 unit come before the stream is found: counted, not
    // listed (two of 24 bytes, one of 48).
    packets -= 3;
    for (size_t at = v.out.find("packet: "); at != std::string::npos;
         at = v.out.find("\npacket: ", at + 1))
        ++lines;
    EXPECT_EQ(lines, packets);
    EXPECT_NE(
        v.out.find(", stream 0, 0.010180 s, 608 bytes, RTP sequence 100, timestamp 0, 5 frames\n"),
        std::string::npos)
        << v.out.substr(0, 400);

    // Signalling alone: no audio.
    StandardOptions none;
    none.a2dp_packets = 0;
    none.second_connection = false;
    none.sco_sizes = {};
    write_file(dir / "none.log",
               write_capture(standard_capture(none).builder, CaptureFormat::btsnoop_h4));
    for (const auto& program : {info_binary(), decode_binary()}) {
        const auto r = run_process({program, dir / "none.log", "-o", dir / "none.wav"});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("no A2DP SBC or mSBC audio found in"), std::string::npos) << r.err;
    }
}

TEST(Capture, AFilteredAndroidLogIsSaidPlainlyWithHowToTakeAFullOne) {
    TempDir dir;
    CaptureBuilder b;
    const auto frames = tone_frames(10);
    for (int p = 0; p < 5; ++p)
        b.l2cap(false, 1, 0x0071,
                rtp_packet(static_cast<uint16_t>(p), p * 256, 2, frames[0] + frames[1]), 0,
                20); // the ACL data kept: L2CAP header and RTP header, nothing more
    StandardOptions o;
    o.a2dp_packets = 0;
    o.second_connection = false;
    o.sco_sizes = {};
    auto c = standard_capture(o);
    c.builder.records.insert(c.builder.records.end(), b.records.begin(), b.records.end());
    write_file(dir / "filtered.log", write_capture(c.builder, CaptureFormat::btsnoop_h4));
    const auto r = run_process({info_binary(), dir / "filtered.log"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("filtered HCI snoop log"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("\"Enabled\""), std::string::npos) << r.err;
}

TEST(Capture, MemoryStaysFlatWhateverTheCapture) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "peak memory is measured in the optimised build (the sanitizer's own is large)";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    GTEST_SKIP() << "peak memory is measured in the optimised build (the sanitizer's own is large)";
#endif
#endif
    TempDir dir;
    const auto peak = [&](const std::filesystem::path& p) {
        const auto r = run_process({PEAK_RSS, info_binary(), p});
        const size_t at = r.err.rfind("peak_rss_kib ");
        return at == std::string::npos ? -1LL : std::stoll(r.err.substr(at + 13));
    };
    StandardOptions small, large;
    small.repeat = 20;
    large.repeat = 400;
    write_file(dir / "small.log",
               write_capture(standard_capture(small).builder, CaptureFormat::btsnoop_h4));
    write_file(dir / "large.log",
               write_capture(standard_capture(large).builder, CaptureFormat::btsnoop_h4));
    EXPECT_LT(peak(dir / "large.log") - peak(dir / "small.log"), 1024);
    // A hundred thousand handles, each with a 64 KiB L2CAP packet that never completes.
    CaptureBuilder b;
    for (uint32_t i = 0; i < 100000; ++i) {
        b.adapter = static_cast<uint16_t>(i >> 12);
        b.add(2, false,
              std::string{static_cast<char>(i), static_cast<char>((i >> 8 & 0x0F) | 0x20), 0x08,
                          0x00} +
                  std::string{'\xFF', '\xFF', 0x45, 0x00, 1, 2, 3, 4});
        b.add(2, false,
              std::string{static_cast<char>(i), static_cast<char>((i >> 8 & 0x0F) | 0x10), 0x04,
                          0x00} +
                  std::string(4, 'x'));
    }
    write_file(dir / "handles.log", write_capture(b, CaptureFormat::btsnoop_monitor));
    EXPECT_LT(peak(dir / "handles.log"), 64 * 1024);
}

} // namespace
