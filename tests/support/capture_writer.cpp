// Test captures (capture_writer.h): HCI packets laid out as btsnoop or pcap records.
#include "capture_writer.h"

#include "sbc/sbc.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

namespace testsupport {

namespace {

constexpr uint8_t h4_command = 1, h4_acl = 2, h4_sco = 3, h4_event = 4;
constexpr int64_t btsnoop_epoch_us = 0x00DCDDB30F2F8000; // 1970 in microseconds since year 0

void put16le(std::string& s, uint32_t v) {
    s += static_cast<char>(v & 0xFF);
    s += static_cast<char>(v >> 8 & 0xFF);
}
void put16be(std::string& s, uint32_t v) {
    s += static_cast<char>(v >> 8 & 0xFF);
    s += static_cast<char>(v & 0xFF);
}
void put32(std::string& s, uint32_t v, bool big) {
    for (int i = 0; i < 4; ++i) s += static_cast<char>(v >> (big ? 24 - 8 * i : 8 * i) & 0xFF);
}
void put64be(std::string& s, uint64_t v) {
    put32(s, static_cast<uint32_t>(v >> 32), true);
    put32(s, static_cast<uint32_t>(v), true);
}

uint16_t monitor_opcode(const HciRecord& r) {
    switch (r.type) {
    case h4_command:
        return 2;
    case h4_event:
        return 3;
    case h4_acl:
        return r.received ? 5 : 4;
    default:
        return r.received ? 7 : 6;
    }
}

// The record's bytes in the link's layout, before any cut.
std::string link_bytes(const HciRecord& r, CaptureFormat f) {
    std::string out;
    switch (f) {
    case CaptureFormat::btsnoop_h4:
        out += static_cast<char>(r.type);
        break;
    case CaptureFormat::pcap_h4:
        put32(out, r.received ? 1 : 0, true);
        out += static_cast<char>(r.type);
        break;
    case CaptureFormat::pcap_monitor:
        put16be(out, r.adapter);
        put16be(out, monitor_opcode(r));
        break;
    case CaptureFormat::btsnoop_hci:
    case CaptureFormat::btsnoop_monitor:
        break;
    }
    return out + r.packet;
}

std::string sbc_frame_bytes(sbc::EncoderState& e, const std::vector<int16_t>& pcm) {
    std::array<uint8_t, sbc::MAX_FRAME_LENGTH> out{};
    int32_t length = 0;
    sbc::encoder_encode_frame(e, pcm, out, length);
    return {reinterpret_cast<const char*>(out.data()), static_cast<size_t>(length)};
}

} // namespace

void CaptureBuilder::add(uint8_t type, bool received, std::string packet, size_t kept) {
    records.push_back({now_us, received, type, std::move(packet), kept, adapter});
    now_us += 10;
}

void CaptureBuilder::l2cap(bool received, uint16_t handle, uint16_t cid, const std::string& payload,
                           size_t fragment, size_t kept) {
    std::string pdu;
    put16le(pdu, static_cast<uint32_t>(payload.size()));
    put16le(pdu, cid);
    pdu += payload;
    const size_t size = fragment > 0 ? fragment : acl_size;
    for (size_t at = 0; at < pdu.size(); at += size) {
        const std::string piece = pdu.substr(at, size);
        std::string acl;
        put16le(acl, handle | (at == 0 ? 0x2000u : 0x1000u));
        put16le(acl, static_cast<uint32_t>(piece.size()));
        add(h4_acl, received, acl + piece, kept == SIZE_MAX ? SIZE_MAX : 4 + kept);
    }
}

void CaptureBuilder::sco(bool received, uint16_t handle, const std::string& data, int status) {
    std::string packet;
    put16le(packet, handle | static_cast<uint32_t>(status) << 12);
    packet += static_cast<char>(data.size());
    add(h4_sco, received, packet + data);
}

void CaptureBuilder::connection(uint16_t handle, uint8_t link_type) {
    std::string event{static_cast<char>(0x03), static_cast<char>(11), '\0'};
    put16le(event, handle);
    event += std::string{0x11, 0x22, 0x33, 0x44, 0x55, static_cast<char>(handle)};
    event += static_cast<char>(link_type);
    event += '\0';
    add(h4_event, true, event);
}

void CaptureBuilder::disconnection(uint16_t handle) {
    std::string event{static_cast<char>(0x05), static_cast<char>(4), '\0'};
    put16le(event, handle);
    event += static_cast<char>(0x13);
    add(h4_event, true, event);
}

const char* capture_format_name(CaptureFormat f) {
    switch (f) {
    case CaptureFormat::btsnoop_h4:
        return "btsnoop 1002";
    case CaptureFormat::btsnoop_hci:
        return "btsnoop 1001";
    case CaptureFormat::btsnoop_monitor:
        return "btsnoop 2001";
    case CaptureFormat::pcap_h4:
        return "pcap 201";
    case CaptureFormat::pcap_monitor:
        return "pcap 254";
    }
    return "?";
}

std::string write_capture(const CaptureBuilder& b, CaptureFormat f, bool big) {
    std::string out;
    const bool btsnoop = f == CaptureFormat::btsnoop_h4 || f == CaptureFormat::btsnoop_hci ||
                         f == CaptureFormat::btsnoop_monitor;
    if (btsnoop) {
        out += std::string("btsnoop\0", 8);
        put32(out, 1, true);
        put32(out,
              f == CaptureFormat::btsnoop_h4    ? 1002
              : f == CaptureFormat::btsnoop_hci ? 1001
                                                : 2001,
              true);
    } else {
        put32(out, 0xA1B2C3D4, big);
        put32(out, big ? 0x00020004 : 0x00040002, big); // version 2.4
        put32(out, 0, big);
        put32(out, 0, big);
        put32(out, 262144, big);
        put32(out, f == CaptureFormat::pcap_h4 ? 201 : 254, big);
    }
    for (const HciRecord& r : b.records) {
        const std::string bytes = link_bytes(r, f);
        const size_t prefix = bytes.size() - r.packet.size();
        const size_t kept =
            r.kept == SIZE_MAX ? bytes.size() : std::min(bytes.size(), prefix + r.kept);
        if (btsnoop) {
            put32(out, static_cast<uint32_t>(bytes.size()), true);
            put32(out, static_cast<uint32_t>(kept), true);
            uint32_t flags = r.received ? 1 : 0;
            if (r.type == h4_command || r.type == h4_event) flags |= 2;
            if (f == CaptureFormat::btsnoop_monitor)
                flags = uint32_t{r.adapter} << 16 | monitor_opcode(r);
            put32(out, flags, true);
            put32(out, 0, true);
            put64be(out,
                    static_cast<uint64_t>(btsnoop_epoch_us) + static_cast<uint64_t>(r.time_us));
        } else {
            put32(out, static_cast<uint32_t>(r.time_us / 1000000), big);
            put32(out, static_cast<uint32_t>(r.time_us % 1000000), big);
            put32(out, static_cast<uint32_t>(kept), big);
            put32(out, static_cast<uint32_t>(bytes.size()), big);
        }
        out += bytes.substr(0, kept);
    }
    return out;
}

std::string l2cap_connection_request(uint8_t id, uint16_t psm, uint16_t source_cid) {
    std::string s{0x02, static_cast<char>(id)};
    put16le(s, 4);
    put16le(s, psm);
    put16le(s, source_cid);
    return s;
}

std::string l2cap_connection_response(uint8_t id, uint16_t destination_cid, uint16_t source_cid) {
    std::string s{0x03, static_cast<char>(id)};
    put16le(s, 8);
    put16le(s, destination_cid);
    put16le(s, source_cid);
    put16le(s, 0);
    put16le(s, 0);
    return s;
}

std::string avdtp_set_configuration(uint8_t label, uint8_t element0, uint8_t element1,
                                    uint8_t min_bitpool, uint8_t max_bitpool) {
    return std::string{static_cast<char>(label << 4),
                       0x03,
                       0x04,
                       0x04,
                       0x01,
                       0x00,
                       0x07,
                       0x06,
                       0x00,
                       0x00,
                       static_cast<char>(element0),
                       static_cast<char>(element1),
                       static_cast<char>(min_bitpool),
                       static_cast<char>(max_bitpool)};
}

std::string rtp_packet(uint16_t sequence, uint32_t timestamp, uint8_t media_header,
                       const std::string& frames, int csrcs, bool extension) {
    std::string s;
    s += static_cast<char>(0x80 | (extension ? 0x10 : 0) | csrcs);
    s += static_cast<char>(96);
    put16be(s, sequence);
    put32(s, timestamp, true);
    put32(s, 0x12345678, true);
    for (int i = 0; i < csrcs; ++i) put32(s, 0xC0000000u + static_cast<uint32_t>(i), true);
    if (extension) {
        put16be(s, 0xBEDE);
        put16be(s, 1);
        put32(s, 0x10AA0000, true);
    }
    s += static_cast<char>(media_header);
    return s + frames;
}

std::vector<std::string> tone_frames(int count, int32_t bitpool) {
    auto e = sbc::encoder_create(44100, 2, 8, 16);
    sbc::encoder_configure(*e, sbc::JOINT_STEREO, bitpool, sbc::SNR);
    std::vector<std::string> frames;
    std::vector<int16_t> pcm(256);
    for (int f = 0; f < count; ++f) {
        for (int t = 0; t < 128; ++t)
            for (int c = 0; c < 2; ++c) {
                const double n = (f * 128.0 + t) / 44100.0;
                pcm[static_cast<size_t>(t * 2 + c)] = static_cast<int16_t>(
                    std::lround(8000 * std::sin(2 * std::numbers::pi * 440.0 * (c + 1) * n) +
                                4000 * std::sin(2 * std::numbers::pi * 3000.0 * n)));
            }
        frames.push_back(sbc_frame_bytes(*e, pcm));
    }
    return frames;
}

std::vector<std::string> msbc_tone_frames(int count) {
    auto e = sbc::encoder_create(16000, 1, 8, 15);
    sbc::encoder_configure_msbc(*e);
    std::vector<std::string> frames;
    std::vector<int16_t> pcm(120);
    for (int f = 0; f < count; ++f) {
        for (int t = 0; t < 120; ++t)
            pcm[static_cast<size_t>(t)] = static_cast<int16_t>(
                std::lround(9000 * std::sin(2 * std::numbers::pi * 700.0 * (f * 120 + t) / 16000)));
        frames.push_back(sbc_frame_bytes(*e, pcm));
    }
    return frames;
}

namespace {

constexpr uint16_t first_handle = 0x0001, second_handle = 0x0002;
constexpr uint16_t media_cid_remote = 0x0071, second_cid = 0x0042;

// The signalling of an A2DP source (the host) with a sink on `handle`, whose media channel the
// sink numbers `media_cid`.
void signalling(CaptureBuilder& b, uint16_t handle, uint16_t media_cid) {
    b.connection(handle);
    const auto avdtp = [&](bool received, std::string message) {
        b.l2cap(received, handle, received ? 0x0040 : 0x0070, message);
    };
    b.l2cap(false, handle, 0x0001, l2cap_connection_request(1, 0x0019, 0x0040));
    b.l2cap(true, handle, 0x0001, l2cap_connection_response(1, 0x0070, 0x0040));
    avdtp(false, std::string{0x00, 0x01}); // DISCOVER: SEID 1, an audio sink
    avdtp(true, std::string{0x02, 0x01, 0x04, 0x08});
    avdtp(false, std::string{0x10, 0x02, 0x04}); // GET_CAPABILITIES: SBC, every value
    avdtp(true,
          std::string{0x12, 0x02, 0x01, 0x00, 0x07, 0x06, 0x00, 0x00, '\xFF', '\xFF', 0x02, 0x35});
    // SET_CONFIGURATION: 44100 Hz, JOINT_STEREO; 16 blocks, 8 subbands, SNR; bitpool 2-53.
    avdtp(false, avdtp_set_configuration(2, 0x21, 0x16, 2, 53));
    avdtp(true, std::string{0x22, 0x03});
    avdtp(false, std::string{0x30, 0x06, 0x04}); // OPEN
    avdtp(true, std::string{0x32, 0x06});
    b.l2cap(false, handle, 0x0001, l2cap_connection_request(2, 0x0019, 0x0041));
    b.l2cap(true, handle, 0x0001, l2cap_connection_response(2, media_cid, 0x0041));
    avdtp(false, std::string{0x40, 0x07, 0x04}); // START
    avdtp(true, std::string{0x42, 0x07});
}

// The first connection's media: packets of `per` frames, sent; lost ones left out.
void first_stream(CaptureBuilder& b, const StandardOptions& o, ExpectedStream& s,
                  const std::vector<std::string>& frames, int packet, int64_t at) {
    const int per = o.frames_per_packet;
    const int cycle = static_cast<int>(frames.size()) / per;
    std::string payload;
    for (int i = 0; i < per; ++i) {
        const std::string& f = frames[static_cast<size_t>((packet % cycle) * per + i)];
        payload += f;
        if (o.repeat == 1) {
            s.frames.push_back(f);
            s.lost.push_back(o.lost_a2dp_packets.count(packet) > 0);
        }
    }
    if (o.lost_a2dp_packets.count(packet) > 0) return;
    b.now_us = at;
    const auto sequence = static_cast<uint16_t>(100 + packet);
    const auto timestamp = static_cast<uint32_t>(packet * per * 128);
    const int csrcs = packet % 4 == 1 ? 2 : 0;
    b.l2cap(
        false, first_handle, media_cid_remote,
        rtp_packet(sequence, timestamp, static_cast<uint8_t>(per), payload, csrcs, packet % 4 == 2),
        packet % 3 == 0 ? 200 : 0); // every third packet in ACL fragments of 200 bytes
    ++s.packets;
}

// The second connection: each frame in three pieces, one packet each.
void second_stream(CaptureBuilder& b, ExpectedStream& s, const std::string& frame, int index,
                   int64_t at) {
    s.frames.push_back(frame);
    s.lost.push_back(false);
    const size_t third = frame.size() / 3;
    for (int p = 0; p < 3; ++p) {
        const uint8_t header =
            static_cast<uint8_t>(0x80 | (p == 0 ? 0x40 : 0) | (p == 2 ? 0x20 : 0) | (3 - p));
        const std::string piece =
            frame.substr(static_cast<size_t>(p) * third, p == 2 ? std::string::npos : third);
        b.now_us = at + p * 100;
        b.l2cap(false, second_handle, second_cid,
                rtp_packet(static_cast<uint16_t>(7 + index * 3 + p),
                           static_cast<uint32_t>(index * 128), header, piece));
        ++s.packets;
    }
}

void sco_stream(CaptureBuilder& b, const StandardOptions& o, ExpectedStream& s, int size,
                const std::vector<std::string>& frames) {
    std::string units;
    std::array<uint8_t, sbc::H2_UNIT_LENGTH> unit{};
    for (size_t i = 0; i < frames.size(); ++i) {
        const auto* f = reinterpret_cast<const uint8_t*>(frames[i].data());
        sbc::h2_unit_write(std::span(f, frames[i].size()), i, unit);
        units.append(reinterpret_cast<const char*>(unit.data()), unit.size());
        s.frames.push_back(frames[i]);
        s.lost.push_back(false);
    }
    const int64_t start = b.now_us + 100000;
    for (size_t at = 0, n = 0; at < units.size(); at += static_cast<size_t>(size), ++n) {
        const int64_t time = start + static_cast<int64_t>(at) * 125;
        if (o.lost_sco_packets.count(static_cast<int>(n)) > 0) {
            for (size_t u = at / 60;
                 u <= (at + static_cast<size_t>(size) - 1) / 60 && u < s.lost.size(); ++u)
                s.lost[u] = true;
            continue;
        }
        b.now_us = time;
        std::string data = units.substr(at, static_cast<size_t>(size));
        data.resize(static_cast<size_t>(size), '\0');
        b.sco(true, s.handle, data);
        ++s.packets;
    }
}

} // namespace

StandardCapture standard_capture(const StandardOptions& o) {
    StandardCapture c;
    CaptureBuilder& b = c.builder;
    if (o.signalling) signalling(b, first_handle, media_cid_remote);
    if (o.second_connection && o.second_signalling) signalling(b, second_handle, second_cid);
    const auto frames = tone_frames(std::max(o.frames_per_packet * 8, 40));
    ExpectedStream first, second;
    first.handle = first_handle;
    first.channel = media_cid_remote;
    second.handle = second_handle;
    second.channel = second_cid;
    const int64_t start = b.now_us + 10000;
    const int64_t interval = o.frames_per_packet * 128 * 1000000LL / 44100;
    for (int p = 0; p < o.a2dp_packets * o.repeat; ++p) {
        first_stream(b, o, first, frames, p, start + p * interval);
        if (o.second_connection && p >= 2 && p < 2 + 12 && o.repeat == 1)
            second_stream(b, second, frames[static_cast<size_t>(p - 2)], p - 2,
                          start + p * interval + interval / 2);
    }
    c.streams.push_back(first);
    if (o.second_connection && o.repeat == 1) c.streams.push_back(second);
    const auto msbc = msbc_tone_frames(o.sco_units);
    uint16_t handle = 0x0101;
    for (const int size : o.sco_sizes) {
        ExpectedStream s;
        s.msbc = true;
        s.handle = handle++;
        sco_stream(b, o, s, size, msbc);
        c.streams.push_back(s);
    }
    return c;
}

} // namespace testsupport
