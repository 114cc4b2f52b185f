// A2DP media packets (media.h).
#include "capture/media.h"

#include <algorithm>

namespace capture {

namespace {

constexpr size_t rtp_header = 12, extension_header = 4;
constexpr uint8_t fragmented = 0x80, first_piece = 0x40, last_piece = 0x20;

int32_t samples_per_frame(const sbc::FrameHeader& h) {
    return h.blocks * h.subbands;
}

// The shape of silence for this stream: the last frame's, else the configuration's.
bool shape_for(const MediaState& s, const SbcConfiguration& c, sbc::FrameHeader& shape) {
    if (s.have_shape) {
        shape = s.shape;
        return true;
    }
    return configured_shape(c, shape);
}

// Frames lost before this packet, from its sequence number and timestamp.
int64_t lost_before(const MediaState& s, const RtpPacket& rtp, int32_t spf, int32_t rate) {
    const auto sequence_gap = static_cast<uint16_t>(rtp.sequence - s.next_sequence);
    const int64_t ahead = static_cast<int32_t>(rtp.timestamp - s.next_timestamp);
    int64_t lost = 0;
    if (s.timestamps_count_samples == 1 && ahead > 0 && spf > 0) lost = (ahead + spf / 2) / spf;
    if (lost == 0 && sequence_gap > 0)
        lost = int64_t{sequence_gap} * std::max(s.previous_frames, s.in_piece ? 1 : 0);
    if (spf > 0 && rate > 0 && static_cast<double>(lost) * spf / rate > MAX_GAP_SECONDS) return 0;
    return lost;
}

void learn_timestamps(MediaState& s, const RtpPacket& rtp) {
    if (!s.have_previous || s.timestamps_count_samples >= 0 || s.previous_frames == 0) return;
    if (static_cast<uint16_t>(rtp.sequence - s.next_sequence) != 0) return;
    s.timestamps_count_samples = rtp.timestamp == s.next_timestamp ? 1 : 0;
}

// One whole frame at the start of `bytes`; returns the bytes it took, or 0 when none can be
// read there (then the rest of the packet cannot be trusted).
size_t take_frame(MediaState& s, Bytes bytes, Sink& sink) {
    sbc::FrameHeader h;
    if (sbc::frame_header_parse(bytes, h) != sbc::HEADER_OK ||
        static_cast<size_t>(h.length) > bytes.size())
        return 0;
    const Bytes frame = bytes.first(static_cast<size_t>(h.length));
    if (sbc::frame_crc_ok(frame, h)) {
        s.have_shape = true;
        s.shape = h;
        sink.frame(frame, h);
    } else {
        sink.damaged(1, h);
    }
    return frame.size();
}

// Whole frames: `count` of them (every one the bytes hold when the count is 0). Frames that run
// past the end of a packet cut short in the capture are lost, not damaged.
int32_t take_frames(MediaState& s, const SbcConfiguration& c, Bytes bytes, int32_t count,
                    bool truncated, Sink& sink) {
    int32_t taken = 0;
    while ((count == 0 ? !bytes.empty() : taken < count)) {
        const size_t used = take_frame(s, bytes, sink);
        if (used == 0) break;
        bytes = bytes.subspan(used);
        ++taken;
    }
    sbc::FrameHeader shape;
    if (count > taken && shape_for(s, c, shape)) {
        sbc::FrameHeader own;
        const bool cut = truncated || (sbc::frame_header_parse(bytes, own) == sbc::HEADER_OK &&
                                       static_cast<size_t>(own.length) > bytes.size());
        if (cut)
            sink.lost(count - taken, shape);
        else
            sink.damaged(count - taken, shape);
    }
    return count == 0 ? taken : count;
}

// A piece of a fragmented frame; returns 1 when it completed the frame.
int32_t take_piece(MediaState& s, const SbcConfiguration& c, const RtpPacket& rtp, Sink& sink) {
    if ((rtp.media_header & first_piece) != 0) {
        s.in_piece = true;
        s.piece_size = 0;
    }
    if (!s.in_piece) return 0;
    const size_t n = std::min(rtp.frames.size(), s.piece.size() - s.piece_size);
    std::copy_n(rtp.frames.begin(), n, s.piece.begin() + static_cast<ptrdiff_t>(s.piece_size));
    s.piece_size += n;
    if ((rtp.media_header & last_piece) == 0) return 0;
    s.in_piece = false;
    const Bytes frame(s.piece.data(), s.piece_size);
    if (take_frame(s, frame, sink) == 0) {
        sbc::FrameHeader shape;
        if (shape_for(s, c, shape)) sink.damaged(1, shape);
    }
    return 1;
}

} // namespace

bool rtp_parse(Bytes p, RtpPacket& rtp) {
    if (p.size() < rtp_header + 1 || (p[0] >> 6) != 2) return false;
    size_t at = rtp_header + 4u * (p[0] & 0x0F);
    size_t end = p.size();
    if ((p[0] & 0x10) != 0) {
        if (at + extension_header > end) return false;
        at += extension_header + 4u * be16(p, at + 2);
    }
    if ((p[0] & 0x20) != 0) {
        const size_t padding = p[end - 1];
        if (padding > end) return false;
        end -= padding;
    }
    if (at + 1 > end) return false;
    rtp.sequence = be16(p, 2);
    rtp.timestamp = be32(p, 4);
    rtp.media_header = p[at];
    rtp.frames = p.subspan(at + 1, end - at - 1);
    return true;
}

bool looks_like_sbc_media(Bytes payload) {
    RtpPacket rtp;
    if (!rtp_parse(payload, rtp)) return false;
    const bool piece = (rtp.media_header & fragmented) != 0;
    if ((rtp.media_header & 0x0F) == 0 || (piece && (rtp.media_header & first_piece) == 0))
        return false;
    sbc::FrameHeader h;
    return sbc::frame_header_parse(rtp.frames, h) == sbc::HEADER_OK &&
           h.kind == sbc::FrameKind::sbc && sbc::frame_crc_ok(rtp.frames, h);
}

void media_packet(MediaState& s, const SbcConfiguration& c, Bytes payload, bool truncated,
                  PacketInfo info, Sink& sink) {
    RtpPacket rtp;
    const bool parsed = rtp_parse(payload, rtp);
    info.truncated = truncated;
    if (parsed) {
        info.sequence = rtp.sequence;
        info.timestamp = rtp.timestamp;
        info.media_header = rtp.media_header;
        info.frame_count = rtp.media_header & 0x0F;
    }
    if (parsed && s.have_previous &&
        static_cast<uint16_t>(rtp.sequence - s.next_sequence) >= 0x8000)
        return; // behind the sequence: a duplicate or a straggler
    sink.packet(info);
    if (!parsed) return;

    sbc::FrameHeader shape;
    const bool have_shape = shape_for(s, c, shape);
    if (s.have_previous && have_shape) {
        const int64_t lost =
            lost_before(s, rtp, samples_per_frame(shape), shape.sampling_frequency);
        if (lost > 0) {
            sink.lost(lost, shape);
            s.in_piece = false;
        }
    }
    learn_timestamps(s, rtp);
    const int32_t count = rtp.media_header & 0x0F;
    const int32_t carried = (rtp.media_header & fragmented) != 0
                                ? take_piece(s, c, rtp, sink)
                                : take_frames(s, c, rtp.frames, count, truncated, sink);
    const int32_t spf = s.have_shape ? samples_per_frame(s.shape)
                        : have_shape ? samples_per_frame(shape)
                                     : 0;
    s.have_previous = true;
    s.next_sequence = static_cast<uint16_t>(rtp.sequence + 1);
    s.next_timestamp = rtp.timestamp + static_cast<uint32_t>(carried * spf);
    s.previous_frames = carried;
}

} // namespace capture
