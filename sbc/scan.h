// Reading a stream of SBC frames: the stream scanner.
//
// Bytes go in as they arrive, in pieces of any size; events come out in stream order:
//
//   read(fd, scanner_space(s)) ──► scanner_commit(s, n) ──┐
//        ▲                                                  ▼
//        └────────────── need_input ◄──── scanner_next(s) ──► frame, damaged, lost, skipped, end
//
// What it recognises, by content alone (never by a name):
//   bare SBC       frames back to back, each starting with the sync word 0x9C;
//   bare mSBC      57-byte frames starting 0xAD 0x00 0x00;
//   H2-framed mSBC 60-byte units: 0x01, a sequence byte (H2_SEQUENCE), an mSBC frame, one pad
//                  byte. The sequence numbers count units modulo 4, so a gap tells how many
//                  units were lost on the way.
//
// How it decides (a radio link loses and corrupts bytes, and a 0x9C in random bytes is followed
// by a header that parses and a CRC that checks about once in 256 tries):
//   - Locked on a stream, the frame at the position where the previous one ended is taken as
//     soon as its last byte is in, when its header parses, its CRC-8 checks and its sampling
//     frequency and channel count are the stream's.
//   - There, a frame whose CRC fails, or bytes that do not read as a header, are one damaged
//     frame when the next frame starts at the end of the damaged frame's own length or of the
//     previous frame's length; the event says how much silence stands in for it. A run of
//     frames whose headers were all destroyed is as many damaged frames when a good frame of the
//     last good one's very shape (or the stream's end) follows a whole number of the previous frame's lengths later
//     (within 16 KiB), so the run keeps its time; garbage of such a length between two frames
//     reads the same way. Otherwise sync is lost.
//   - Without sync (at the start, after lost sync) the scanner looks for the next position
//     where a header parses, its CRC checks, and either the header is the very one of the last
//     good frame (same parameters and bitpool) or the header after that frame agrees on
//     frequency and channels (or the stream ends there); the bytes passed over are skipped.
//     A stream's first frame at offset 0 is taken on its own, so that a live stream's first
//     frame is not held back.
//   - A good frame whose frequency or channel count differ from the frames before it is a
//     change of stream only when the frame after it is whole, good and agrees with it; a lone
//     such frame is damage.
//
// Memory never grows with the input: the scanner holds at most SCAN_WINDOW_BYTES of it, and
// needs at most two frames' worth before it can decide. Every call of scanner_next either
// consumes input, reports, or asks for more, so no input makes it loop. Decisions depend only
// on the bytes, never on how they were cut into pieces. Nothing is printed or allocated after
// scanner_create; a scanner is used by one thread at a time.
#pragma once

#include "sbc/sbc.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace sbc {

inline constexpr int32_t SCAN_WINDOW_BYTES = 65536;

// What the stream is, from its first frame (StreamKind::unknown until one is found).
enum class StreamKind : int32_t { unknown, sbc, msbc, h2_msbc };

enum class ScanEventType : int32_t {
    need_input, // every byte given has been used: commit more, or call scanner_finish
    frame,      // a good frame: decode it
    damaged,    // a frame that cannot be trusted: put silence of `header`'s shape in its place
    lost,       // `lost_frames` H2 units are missing before the next one: silence of `header`'s
                // shape for each
    skipped,    // `length` bytes at `offset` belong to no frame
    end,        // scanner_finish was called and every byte has been accounted for
};

// Why a frame is damaged.
enum class Damage : int32_t {
    none,
    bad_crc,     // its header parses but its CRC-8 does not match
    no_header,   // its first bytes do not read as a header at all
    lone_change, // a good frame whose frequency or channel count the next frame does not share
};

struct ScanEvent {
    ScanEventType type = ScanEventType::need_input;
    int64_t offset = 0; // stream offset of the frame (H2: of its unit) or of the first skipped byte
    int64_t length = 0; // bytes of the stream it covers: the frame (H2: the 60-byte unit),
                        // or the skipped bytes
    int32_t lost_frames = 0; // lost: how many
    // frame: its header. damaged, lost: the shape of the silence to write in its place (the
    // damaged frame's own blocks and subbands when its header parsed with the stream's
    // frequency and channels, otherwise the previous frame's).
    FrameHeader header{};
    // frame: the frame, header.length bytes from its sync word. damaged: the bytes in its place
    // (from where its sync word would be). Valid until the next scanner_space, scanner_push or
    // scanner_commit.
    std::span<const uint8_t> bytes{};
    Damage damage = Damage::none;
    // frame: its frequency or channel count differ from the frame before it, and the frame after
    // it agrees (a confirmed change of stream).
    bool changed = false;
    int32_t h2_sequence = -1; // frame, damaged: the unit's sequence number 0..3; -1 when none
};

// What the scanner has reported so far (the sums of its events).
struct ScanCounts {
    int64_t frames = 0;        // frame events
    int64_t damaged = 0;       // damaged events
    int64_t lost = 0;          // sum of lost_frames
    int64_t skipped_bytes = 0; // sum of the skipped events' lengths
    int64_t bytes = 0;         // bytes committed
};

// One scanner per stream. The fields below `counts` and `kind` are the scanner's own.
struct StreamScanner {
    ScanCounts counts;
    StreamKind kind = StreamKind::unknown;

    std::array<uint8_t, SCAN_WINDOW_BYTES> window{};
    int32_t head = 0;         // first byte not yet consumed
    int32_t tail = 0;         // end of the bytes held
    int64_t head_offset = 0;  // stream offset of window[head]
    bool input_ended = false; // scanner_finish was called
    bool locked = false;      // the next frame is expected at head
    bool h2 = false;          // the stream's frames travel in H2 units
    bool have_last = false;
    FrameHeader last{};              // the last good frame's header
    int32_t next_sequence = -1;      // the H2 sequence number expected next; -1: none yet
    int64_t pending_skip = 0;        // skipped bytes not yet reported
    int64_t pending_skip_offset = 0; // where they start
};

// A new scanner, before the first byte of a stream; null only when memory runs out.
std::unique_ptr<StreamScanner> scanner_create();

// The free part of the window, for reading input straight into it (the bytes held are moved to
// the window's start first). At least SCAN_WINDOW_BYTES / 2 bytes whenever scanner_next has
// just returned need_input; empty after scanner_finish.
std::span<uint8_t> scanner_space(StreamScanner& scanner);

// The first `count` bytes of scanner_space now hold input. 0, or -1 (nothing changed) when
// `count` is larger than the space or input has ended.
int scanner_commit(StreamScanner& scanner, size_t count);

// Copies as much of `bytes` as the window has room for and returns how many bytes it took.
size_t scanner_push(StreamScanner& scanner, std::span<const uint8_t> bytes);

// No more input will come: the scanner decides on what it holds and then reports the end.
void scanner_finish(StreamScanner& scanner);

// The next event. need_input until more bytes are committed (or scanner_finish is called);
// end, again and again, once everything has been reported.
ScanEvent scanner_next(StreamScanner& scanner);

} // namespace sbc
