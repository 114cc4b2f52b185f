// A2DP media packets: RTP, the SBC media header, the frames, and what was lost between packets.
//
//   RTP   V=2|P|X|CC  M|PT  sequence  timestamp  SSRC  CSRC × CC  [extension: profile, length
//         (32-bit words), data]  ...  [padding, its count in the last byte]
//   media header   F (fragmented) | S (first fragment) | L (last fragment) | RFA | count (4 bits)
//   then `count` whole SBC frames; or, when F is set, a piece of one frame, and `count` says how
//   many pieces are left, this one included
//
// Losses: a jump of the sequence number is that many packets lost; the timestamp counts samples,
// so once two packets in a row have shown that it does (it advanced by the frames carried), a
// timestamp ahead of the frames carried is that many frames lost; otherwise lost packets count
// as many frames as the packet before them held. A jump of more than MAX_GAP_SECONDS is taken
// for a break in the stream (a pause), not a loss. Packets that come back behind the sequence
// (duplicates) are passed over.
#pragma once

#include "capture/link.h"
#include "capture/sink.h"

#include <array>
#include <cstdint>

namespace capture {

struct RtpPacket {
    uint16_t sequence = 0;
    uint32_t timestamp = 0;
    uint8_t media_header = 0;
    Bytes frames{}; // after the media header
};

// The RTP and media headers of an L2CAP payload; false when it is no RTP version 2 packet with
// a media header.
bool rtp_parse(Bytes payload, RtpPacket& packet);

// True when a payload has the shape of A2DP SBC media: RTP version 2, a media header, and an SBC
// frame (or the first piece of one) whose header parses and whose CRC checks.
bool looks_like_sbc_media(Bytes payload);

struct MediaState {
    bool have_previous = false;
    uint16_t next_sequence = 0;
    uint32_t next_timestamp = 0;
    int32_t previous_frames = 0;          // frames the previous packet carried
    int8_t timestamps_count_samples = -1; // -1 not known yet, 0 no, 1 yes
    bool have_shape = false;
    sbc::FrameHeader shape{};          // of the last frame
    std::array<uint8_t, 1024> piece{}; // a fragmented frame being put together
    size_t piece_size = 0;
    bool in_piece = false;
};

// Takes one media packet of the stream (the L2CAP payload, `truncated` when the capture cut it
// short) and puts its packet event, losses and frames into `sink`.
void media_packet(MediaState& state, const SbcConfiguration& configuration, Bytes payload,
                  bool truncated, PacketInfo info, Sink& sink);

} // namespace capture
