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

#include "sbc/report.h"
#include "sbc/scan.h"

#include <cstdint>
#include <cstdio>

namespace cli {

// The report's figures are gathered by the codec library (sbc/report.h), which the C interface
// shares; this file prints them.
using sbc::add_event;
using sbc::SeenValues;
using sbc::StreamReport;

// One line for an event (none for need_input and end), e.g.
//   frame 17: offset 2023, length 119, SBC, 44100 Hz, JOINT_STEREO, 16 blocks, 8 subbands, SNR,
//   bitpool 53, CRC ok
//   skipped: offset 2142, 37 bytes
//   lost: 1 frame before offset 2179
// Call it before add_event for the same event (it numbers frames by report.events).
void print_event_line(const StreamReport& report, const sbc::ScanEvent& event, std::FILE* out);

void print_report(const StreamReport& report, std::FILE* out);

} // namespace cli
