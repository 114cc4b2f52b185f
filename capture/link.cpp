// L2CAP and AVDTP signalling of one connection (link.h).
#include "capture/link.h"

#include "sbc/frame.h"

#include <algorithm>

namespace capture {

namespace {

// L2CAP signalling command codes.
constexpr uint8_t connection_request = 0x02, connection_response = 0x03,
                  disconnection_request = 0x06;
// AVDTP.
constexpr uint8_t avdtp_single = 0, avdtp_command = 0, avdtp_reject = 3;
constexpr uint8_t set_configuration = 0x03, reconfigure = 0x05;
constexpr uint8_t media_codec_category = 0x07;
constexpr uint8_t sbc_element_bytes = 4;

void add_channel(LinkState& link, const PendingConnection& request, uint16_t responder_cid) {
    if (link.channels.size() >= MAX_CHANNELS) return;
    Channel ch;
    ch.local_cid = request.by_host ? request.source_cid : responder_cid;
    ch.remote_cid = request.by_host ? responder_cid : request.source_cid;
    ch.psm = request.psm;
    if (ch.psm == AVDTP_PSM) {
        const bool has_signalling =
            std::any_of(link.channels.begin(), link.channels.end(),
                        [](const Channel& c) { return c.role == ChannelRole::avdtp_signalling; });
        ch.role = has_signalling ? ChannelRole::avdtp_media : ChannelRole::avdtp_signalling;
    }
    std::erase_if(link.channels, [&](const Channel& c) {
        return c.local_cid == ch.local_cid || c.remote_cid == ch.remote_cid;
    });
    link.channels.push_back(ch);
}

// One signalling command: code, identifier and its data.
void take_command(LinkState& link, bool received, uint8_t code, uint8_t identifier, Bytes data) {
    if (code == connection_request && data.size() >= 4) {
        link.pending[link.pending_next++ % link.pending.size()] =
            PendingConnection{identifier, !received, le16(data, 0), le16(data, 2)};
    } else if (code == connection_response && data.size() >= 6) {
        const uint16_t responder = le16(data, 0), requester = le16(data, 2);
        const uint16_t result = le16(data, 4);
        for (PendingConnection& p : link.pending) {
            if (p.psm == 0 || p.identifier != identifier || p.source_cid != requester ||
                p.by_host != received)
                continue;
            if (result == 0) add_channel(link, p, responder);
            if (result != 1) p = PendingConnection{}; // 1: pending, a final response follows
            break;
        }
    } else if (code == disconnection_request && data.size() >= 4) {
        const uint16_t destination = le16(data, 0);
        std::erase_if(link.channels, [&](const Channel& c) {
            return (received ? c.local_cid : c.remote_cid) == destination;
        });
    }
}

// The SBC element of a capability list, when it has one.
bool read_codec(LinkState& link, Bytes caps) {
    for (size_t at = 0; at + 2 <= caps.size();) {
        const uint8_t category = caps[at], length = caps[at + 1];
        const Bytes data = caps.subspan(at + 2, std::min<size_t>(length, caps.size() - at - 2));
        at += 2u + length;
        if (category != media_codec_category || data.size() < 2) continue;
        link.codec_known = true;
        link.codec_type = data[1];
        if (data[1] != CODEC_SBC || data.size() < 2u + sbc_element_bytes) return true;
        SbcConfiguration& c = link.configuration;
        c.present = true;
        c.frequencies = data[2] >> 4;
        c.channel_modes = data[2] & 0x0F;
        c.blocks = data[3] >> 4;
        c.subbands = data[3] >> 2 & 3;
        c.allocations = data[3] & 3;
        c.min_bitpool = data[4];
        c.max_bitpool = data[5];
        return true;
    }
    return false;
}

} // namespace

const Channel* find_channel(const LinkState& link, bool received, uint16_t cid) {
    for (const Channel& c : link.channels)
        if ((received ? c.local_cid : c.remote_cid) == cid) return &c;
    return nullptr;
}

void l2cap_signalling(LinkState& link, const L2capPdu& pdu) {
    const Bytes p = pdu.payload;
    for (size_t at = 0; at + 4 <= p.size();) {
        const uint16_t length = le16(p, at + 2);
        const Bytes data = p.subspan(at + 4, std::min<size_t>(length, p.size() - at - 4));
        take_command(link, pdu.received, p[at], p[at + 1], data);
        at += 4u + length;
    }
}

void avdtp_signalling(LinkState& link, Bytes p) {
    if (p.size() < 2 || (p[0] >> 2 & 3) != avdtp_single) return;
    const uint8_t message = p[0] & 3, signal = p[1] & 0x3F;
    if (signal != set_configuration && signal != reconfigure) return;
    if (message == avdtp_command) {
        const size_t caps_at = signal == set_configuration ? 4 : 3;
        if (p.size() < caps_at) return;
        link.previous = link.configuration;
        read_codec(link, p.subspan(caps_at));
    } else if (message == avdtp_reject) {
        link.configuration = link.previous;
    }
}

int configuration_values(const SbcConfiguration& c, ConfigurationField field,
                         std::array<int32_t, 4>& values) {
    static constexpr std::array<std::array<int32_t, 4>, 5> meaning = {{
        {16000, 32000, 44100, 48000},
        {sbc::MONO, sbc::DUAL_CHANNEL, sbc::STEREO, sbc::JOINT_STEREO},
        {4, 8, 12, 16},
        {0, 0, 4, 8},
        {0, 0, sbc::SNR, sbc::LOUDNESS},
    }};
    const std::array<uint8_t, 5> bits = {c.frequencies, c.channel_modes, c.blocks, c.subbands,
                                         c.allocations};
    const auto f = static_cast<size_t>(field);
    int n = 0;
    for (size_t i = 0; i < 4; ++i)
        if ((bits[f] & (0x8 >> i)) != 0) values[static_cast<size_t>(n++)] = meaning[f][i];
    return n;
}

bool configured_shape(const SbcConfiguration& c, sbc::FrameHeader& shape) {
    if (!c.present) return false;
    std::array<int32_t, 4> v{};
    const auto one = [&](ConfigurationField f) { return configuration_values(c, f, v) == 1; };
    uint8_t byte = 0;
    if (!one(ConfigurationField::frequency)) return false;
    constexpr std::array<int32_t, 4> rates = {16000, 32000, 44100, 48000};
    byte |= static_cast<uint8_t>((std::find(rates.begin(), rates.end(), v[0]) - rates.begin())
                                 << sbc::FREQUENCY_SHIFT);
    if (!one(ConfigurationField::blocks)) return false;
    byte |= static_cast<uint8_t>((v[0] / 4 - 1) << sbc::BLOCKS_SHIFT);
    if (!one(ConfigurationField::channel_mode)) return false;
    byte |= static_cast<uint8_t>(v[0] << sbc::MODE_SHIFT);
    if (!one(ConfigurationField::allocation)) return false;
    if (v[0] == sbc::SNR) byte |= sbc::SNR_BIT;
    if (!one(ConfigurationField::subbands)) return false;
    if (v[0] == 8) byte |= sbc::EIGHT_SUBBANDS_BIT;
    const std::array<uint8_t, 3> header = {sbc::SYNCWORD, byte,
                                           static_cast<uint8_t>(c.max_bitpool)};
    return sbc::frame_header_parse(header, shape) == sbc::HEADER_OK;
}

} // namespace capture
