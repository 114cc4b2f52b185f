// What the signalling of one ACL connection says: which L2CAP channels carry AVDTP, and the SBC
// configuration the two sides agreed on.
//
//   L2CAP signalling (CID 0x0001)   Connection Request  id, PSM, source CID
//                                   Connection Response id, destination CID, source CID, result
//                                   Disconnection Request / Response
//   The first channel to PSM 0x0019 (AVDTP) is its signalling channel; every later one carries
//   media (one transport channel per stream).
//
//   AVDTP signalling    label|packet type|message type   signal id   body
//     SET_CONFIGURATION (0x03) command: ACP SEID, INT SEID, capabilities
//     RECONFIGURE       (0x05) command: ACP SEID, capabilities
//     capability        category, length, data; media codec (7): media type, codec type
//                       (0 SBC), and for SBC four bytes: frequencies|modes,
//                       blocks|subbands|allocation, minimum bitpool, maximum bitpool
//
// A configuration is taken from the command (the response adds nothing); a rejected one is
// dropped again. Each connection follows at most MAX_CHANNELS channels.
#pragma once

#include "capture/capture.h"
#include "capture/l2cap.h"

#include <array>
#include <cstdint>
#include <vector>

namespace capture {

inline constexpr uint16_t SIGNALLING_CID = 0x0001;
inline constexpr uint16_t FIRST_DYNAMIC_CID = 0x0040;
inline constexpr uint16_t AVDTP_PSM = 0x0019;
inline constexpr size_t MAX_CHANNELS = 64;
inline constexpr uint8_t CODEC_SBC = 0x00;

enum class ChannelRole : uint8_t { other, avdtp_signalling, avdtp_media };

struct Channel {
    uint16_t local_cid = 0;  // the host's end: received packets carry it
    uint16_t remote_cid = 0; // the peer's end: sent packets carry it
    uint16_t psm = 0;
    ChannelRole role = ChannelRole::other;
};

struct PendingConnection {
    uint8_t identifier = 0;
    bool by_host = false;
    uint16_t psm = 0;
    uint16_t source_cid = 0;
};

struct LinkState {
    std::vector<Channel> channels;
    std::array<PendingConnection, 8> pending{};
    size_t pending_next = 0;
    bool codec_known = false;
    uint8_t codec_type = CODEC_SBC;
    SbcConfiguration configuration;
    SbcConfiguration previous;     // before the last command, for a rejection
    std::vector<uint64_t> streams; // keys of the stream states on this connection
};

// The channel a PDU travels on, or null.
const Channel* find_channel(const LinkState& link, bool received, uint16_t cid);

// Takes a PDU of the L2CAP signalling channel.
void l2cap_signalling(LinkState& link, const L2capPdu& pdu);

// Takes a PDU of the AVDTP signalling channel.
void avdtp_signalling(LinkState& link, Bytes payload);

// The shape of a frame the configuration describes (its largest bitpool), for silence before the
// first frame; false when it is absent or not one value of each.
bool configured_shape(const SbcConfiguration& configuration, sbc::FrameHeader& shape);

} // namespace capture
