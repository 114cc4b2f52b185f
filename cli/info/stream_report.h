// What vantrel-info says about a stream: gathered from the scanner's events, printed as
// "key: value" lines that read well and that scripts can split at the first ": ".
//
//   kind: SBC                          SBC, mSBC, H2-framed mSBC, or none
//   frames: 1234
//   duration: 14.327 s                 every frame, damaged and lost ones included
//   sampling frequency: 44100 Hz
//   channel mode: JOINT_STEREO
//   subbands: 8
//   blocks: 16
//   allocation: SNR
//   bitpool: 53                        or its range "30-53", then "bitpool 30: 12 frames" ...
//   bit rate: 327.994 kbit/s           of the good frames (H2 framing not counted)
//   damaged frames: 0
//   lost frames: 0
//   skipped bytes: 0
//
// Every line of the report is always there, in that order, one per line. A parameter that takes
// several values lists them in the order they first appear, separated by ", ". With -v, one line
// per event comes first (frame_line).
#pragma once

#include "sbc/scan.h"

#include <array>
#include <cstdint>
#include <cstdio>

namespace cli {

// Distinct values in the order of their first appearance (a frame parameter has at most 5).
struct SeenValues {
    std::array<int32_t, 8> values{};
    size_t count = 0;
    void add(int32_t value);
};

struct StreamReport {
    sbc::StreamKind kind = sbc::StreamKind::unknown; // the scanner's, set by the caller
    int64_t frames = 0;                              // good frames
    int64_t damaged = 0;                             // damaged frames
    int64_t lost = 0;                                // lost H2 units
    int64_t skipped = 0;                             // bytes in no frame
    double seconds = 0; // the audio the frames stand for, damaged and lost ones included
    double good_seconds = 0;
    int64_t good_bytes = 0; // bytes of the good frames themselves (without H2 framing)
    SeenValues frequencies, channel_modes, subbands, blocks, allocations;
    std::array<int64_t, 256> bitpools{}; // good frames per bitpool
    int64_t events = 0;                  // frame and damaged events so far (numbers them)
};

// Takes one event into the report.
void add_event(StreamReport& report, const sbc::ScanEvent& event);

// One line for an event (none for need_input and end), e.g.
//   frame 17: offset 2023, length 119, SBC, 44100 Hz, JOINT_STEREO, 16 blocks, 8 subbands, SNR,
//   bitpool 53, CRC ok
//   skipped: offset 2142, 37 bytes
//   lost: 1 frame before offset 2179
// Call it before add_event for the same event (it numbers frames by report.events).
void print_event_line(const StreamReport& report, const sbc::ScanEvent& event, std::FILE* out);

void print_report(const StreamReport& report, std::FILE* out);

} // namespace cli
