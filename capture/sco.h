// mSBC over SCO: the bytes of one handle and direction, put back to back and cut into 60-byte
// H2 units, whatever size the packets have.
//
//   packets  [24][24][24][24][24] ...        or 48, 60, 72 ... bytes each
//   bytes    01 08 AD 00 00 crc ... 00 | 01 38 AD ... | 01 C8 ...      units of 60 bytes
//
// Finding the units: a unit starts 0x01, a sequence byte (08 38 C8 F8), an mSBC frame whose CRC
// checks. Once one is found the stream is locked: every following 60 bytes are the next unit.
// A unit whose bytes do not start that way is damaged when the unit after it does; otherwise the
// lock is lost, and found again at the next good unit (the bytes in between are counted as units
// damaged, rounded, and agreeing with the sequence numbers).
//
// Losses: the link carries 8000 bytes a second, so a packet of n bytes follows the one before it
// n × 125 µs later. A packet later than that by more than half its own interval follows lost
// packets (as many as fit the delay); the controller's packet status flags mark bytes lost (no
// data received) or damaged (possibly invalid, partially lost). A unit that holds lost bytes is a
// lost frame; one that holds damaged bytes a damaged frame; a skipped sequence number in good
// units is a lost frame too. A delay of more than MAX_GAP_SECONDS is a break, not a loss.
#pragma once

#include "capture/sink.h"

#include <array>
#include <cstdint>

namespace capture {

inline constexpr int64_t SCO_MICROSECONDS_PER_BYTE = 125; // 8000 bytes a second

// The bytes held are bytes[start, start + size): units cut during one packet stay where they are
// (frame events point at them) until the next packet moves the rest to the front.
struct ScoState {
    std::array<uint8_t, 1024> bytes{};
    std::array<uint8_t, 1024> marks{}; // per byte: 0 good, 1 damaged, 2 lost
    size_t start = 0;
    size_t size = 0;
    bool locked = false;
    bool started = false;      // a frame has been found
    int32_t next_sequence = 0; // of the next unit
    bool have_clock = false;
    int64_t clock_us = 0;      // when the next packet is due at the latest on time
    int64_t hunted_bytes = 0;  // bytes passed over while looking for a unit again
    int64_t missing_bytes = 0; // bytes lost while not locked
};

// True when the bytes at the start of `bytes` are a good H2 unit (60 bytes: sync, sequence, an
// mSBC frame whose CRC checks).
bool h2_unit_ok(Bytes bytes);

// Takes one SCO packet (its data, packet status flag and time) and puts its losses and frames
// into `sink` (the packet event is the caller's).
void sco_packet(ScoState& state, Bytes data, int32_t status, int64_t time_us, Sink& sink);

} // namespace capture
