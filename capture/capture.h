// Captures of Bluetooth links: the audio of A2DP and hands-free connections, straight from an
// HCI log (Android's btsnoop_hci.log, `btmon -w`, a Wireshark capture).
//
//   capture bytes ──► records ──► HCI packets ──┬─► ACL ─► L2CAP (reassembled per handle and
//   (btsnoop, pcap,   (records.h)  (hci.h)       │         direction) ─┬─► signalling: channels,
//    pcapng; any                                 │                     │   AVDTP configuration
//    pieces)                                     │                     └─► media: RTP, media
//                                                │                         header ─► SBC frames
//                                                └─► SCO ─► bytes per handle and direction ─►
//                                                           H2 units ─► mSBC frames
//
// Out come events, in capture order, like the stream scanner's (sbc/scan.h): a stream found, a
// packet of a stream, a good frame, damaged frames, lost frames. Every stream is numbered from 0
// in the order it was found; its frames, damage and losses are given with its number, so a
// program follows one stream or all of them in one pass.
//
// Losses: a gap in an A2DP stream's RTP sequence numbers, or a timestamp that jumps by more than
// the frames carried, is a loss of that many frames; for SCO, bytes that arrived later than the
// link's clock allows (8000 bytes a second) or that the controller flagged as missing are lost,
// and every H2 unit they touch is a lost frame; a skipped H2 sequence number also counts.
//
// Memory never grows with the capture: a window of CAPTURE_WINDOW_BYTES, L2CAP reassembly within
// REASSEMBLY_BUDGET_BYTES, at most MAX_STREAMS streams and MAX_LINKS connections (and SCO
// handles) followed at once. Nothing is printed; a reader is used by one thread at a time.
#pragma once

#include "sbc/sbc.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace capture {

// ---- Recognition ---------------------------------------------------------------------------

enum class Format : int32_t { none, btsnoop, pcap, pcapng };

// Bytes that recognition needs at most; fewer are enough when they already rule a format out.
inline constexpr size_t RECOGNITION_BYTES = 16;

// The capture format the first bytes of a file show: "btsnoop\0" version 1; a pcap magic
// (microseconds or nanoseconds) in either byte order; a pcapng section header with its
// byte-order magic. Format::none for anything else (an SBC stream, audio, too few bytes).
Format format_of(std::span<const uint8_t> head);

const char* format_name(Format format); // "btsnoop", "pcap", "pcapng"

// False once the first bytes rule every capture format out (a reader of live input stops
// waiting for more then); true while they may still begin one.
bool format_possible(std::span<const uint8_t> head);

// What to tell a user whose capture is Android's filtered HCI snoop log (its media packets cut
// short), in sentences of its own.
const char* filtered_log_advice();

// ---- Streams -----------------------------------------------------------------------------

enum class StreamKind : int32_t { a2dp_sbc, msbc };

// An SBC codec element, as AVDTP SET_CONFIGURATION or RECONFIGURE carries it: each field is a
// set of bits, with one bit set in a configuration.
struct SbcConfiguration {
    bool present = false;      // the capture held the signalling
    uint8_t frequencies = 0;   // 0x8 16000, 0x4 32000, 0x2 44100, 0x1 48000 Hz
    uint8_t channel_modes = 0; // 0x8 MONO, 0x4 DUAL_CHANNEL, 0x2 STEREO, 0x1 JOINT_STEREO
    uint8_t blocks = 0;        // 0x8 4, 0x4 8, 0x2 12, 0x1 16
    uint8_t subbands = 0;      // 0x2 4, 0x1 8
    uint8_t allocations = 0;   // 0x2 SNR, 0x1 LOUDNESS
    int32_t min_bitpool = 0;
    int32_t max_bitpool = 0;
};

// The values of a configuration's bit set, highest bit first: frequency in Hz, channel mode
// code, blocks, subbands, allocation code (SNR, LOUDNESS). `values` gets at most 4; returns how
// many.
enum class ConfigurationField { frequency, channel_mode, blocks, subbands, allocation };
int configuration_values(const SbcConfiguration& configuration, ConfigurationField field,
                         std::array<int32_t, 4>& values);

struct StreamInfo {
    int32_t index = 0; // 0, 1, ... in the order the streams were found
    StreamKind kind = StreamKind::a2dp_sbc;
    bool received = false; // true: controller to host (the local device listens)
    uint16_t adapter = 0;  // the controller's index (Linux monitor captures; 0 otherwise)
    uint16_t handle = 0;   // connection handle (ACL for A2DP, SCO for mSBC)
    uint16_t channel = 0;  // A2DP: the L2CAP channel its packets carry; 0 for SCO
    SbcConfiguration configuration;
    sbc::FrameHeader first{}; // the first good frame's header (sampling_frequency 0: none yet)
    int64_t start_us = 0;     // its first packet, from the capture's first record
    int64_t packets = 0;      // packets of the stream (A2DP media packets, SCO packets)
    int64_t frames = 0;       // good frames
    int64_t damaged = 0;      // frames that cannot be trusted (CRC, flags, parse)
    int64_t lost = 0;         // frames missing from the capture
    int64_t truncated = 0;    // packets cut short in the capture (a filtered or snapped log)
    double seconds = 0;       // the audio the stream stands for, damaged and lost frames included
    int64_t instants = 0;     // its sample instants (per channel), damaged and lost ones included
};

// ---- Reading ----------------------------------------------------------------------------------

inline constexpr size_t CAPTURE_WINDOW_BYTES = size_t{1} << 20;
inline constexpr size_t MAX_RECORD_BYTES = size_t{256} << 10; // longer records are skipped
inline constexpr size_t REASSEMBLY_BUDGET_BYTES = size_t{8} << 20;
inline constexpr int32_t MAX_STREAMS = 1024;
inline constexpr int32_t MAX_LINKS = 4096;

enum class EventType : int32_t {
    need_input, // every byte given has been used: commit more, or call capture_finish
    stream,     // stream `stream` was found (streams(reader)[stream] describes it)
    packet,     // a packet of stream `stream` (`packet` says what it carried)
    frame,      // a good frame of stream `stream`: `bytes`, `header`
    damaged,    // `count` frames of stream `stream` that cannot be trusted: silence of `header`
    lost,       // `count` frames of stream `stream` missing: silence (concealment) of `header`
    end,        // capture_finish was called and everything has been reported
};

// What one packet of a stream carried, for a line of a verbose listing.
struct PacketInfo {
    int64_t record = 0;  // the capture record (1, 2, ...) that completed it
    int64_t time_us = 0; // from the capture's first record
    int32_t length = 0;  // bytes: A2DP the L2CAP payload, SCO the packet's data
    bool truncated = false;
    // A2DP:
    int32_t sequence = -1;    // RTP sequence number
    int64_t timestamp = -1;   // RTP timestamp
    int32_t frame_count = 0;  // the media header's count (fragments left, when fragmented)
    uint8_t media_header = 0; // F S L RFA count
    // SCO:
    bool sco = false;
    int32_t status = 0; // packet status flag: 0 good, 1 possibly invalid, 2 no data,
                        // 3 partially lost
};

struct Event {
    EventType type = EventType::need_input;
    int32_t stream = -1;
    int64_t count = 0;                // damaged, lost
    sbc::FrameHeader header{};        // frame: its header; damaged, lost: the shape of silence
    std::span<const uint8_t> bytes{}; // frame: its bytes; valid until the next capture_next
                                      // that needs input, capture_space or capture_push
    PacketInfo packet{};              // packet
    int32_t h2_sequence = -1;         // frame of mSBC: its unit's sequence number 0..3
};

// What the capture as a whole showed (besides its streams).
struct CaptureTotals {
    Format format = Format::none;
    int32_t link_type = -1; // btsnoop datalink, pcap link type (pcapng: the first)
    int64_t records = 0;
    int64_t hci_packets = 0; // records that were HCI packets
    int64_t first_us = 0, last_us = 0;
    int64_t bytes = 0;                 // bytes committed
    int64_t skipped_records = 0;       // records of other link types, oversized, or unreadable
    int64_t truncated_media = 0;       // A2DP media packets cut short in the capture
    int64_t unfinished_l2cap = 0;      // L2CAP packets whose fragments never completed
    int64_t untracked = 0;             // streams or links over the limits, not followed
    int64_t other_codec_packets = 0;   // media packets of a configured codec other than SBC
    bool ended_inside_record = false;  // the capture ends partway through a record
    bool unreadable = false;           // the capture's structure broke: reading stopped there
    int64_t unreadable_at = 0;         // the byte offset where it broke
    bool filtered_android_log = false; // btsnoop whose media packets are all cut short
};

// The time from `earlier` to `later`, in microseconds. A capture's clock may hold any value, so
// the difference wraps around instead of overflowing; only nearby times are compared.
constexpr int64_t time_between(int64_t earlier, int64_t later) {
    return static_cast<int64_t>(static_cast<uint64_t>(later) - static_cast<uint64_t>(earlier));
}

struct CaptureReader; // see reader.cpp

struct ReaderDeleter {
    void operator()(CaptureReader* reader) const;
};
using ReaderPtr = std::unique_ptr<CaptureReader, ReaderDeleter>;

// A new reader before a capture's first byte (std::bad_alloc when memory runs out).
ReaderPtr capture_create();

// The free part of the window, for reading straight into it; at least CAPTURE_WINDOW_BYTES / 4
// whenever capture_next has just returned need_input. Empty after capture_finish.
std::span<uint8_t> capture_space(CaptureReader& reader);
// The first `count` bytes of capture_space now hold input. -1 (nothing changed) when `count` is
// larger than the space or input has ended.
int capture_commit(CaptureReader& reader, size_t count);
// Copies as much of `bytes` as the window has room for; returns how many bytes it took.
size_t capture_push(CaptureReader& reader, std::span<const uint8_t> bytes);
// No more input will come.
void capture_finish(CaptureReader& reader);

// The next event; need_input until more bytes are committed or the input is finished.
Event capture_next(CaptureReader& reader);

// The streams found so far, by index.
std::span<const StreamInfo> capture_streams(const CaptureReader& reader);
const CaptureTotals& capture_totals(const CaptureReader& reader);

} // namespace capture
