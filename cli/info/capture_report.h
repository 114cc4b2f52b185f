// vantrel-info on a capture of a Bluetooth link: one line for the capture, one per stream.
//
//   capture: btsnoop, link type 1002, 1234 records, 12.345 s
//   streams: 2
//   stream 0: A2DP SBC, sent, handle 0x0001, channel 0x0071; 44100 Hz, 2 channels; configured
//   44100 Hz, JOINT_STEREO, 16 blocks, 8 subbands, SNR, bitpool 2-53; frames 1230, duration
//   3.570 s, start 0.010 s, packets 246, lost frames 5, damaged frames 0
//   stream 1: mSBC, received, SCO handle 0x0101; 16000 Hz, 1 channel; ...
//
// (each stream on one line). -v first prints one line per packet of a stream and per run of
// lost or damaged frames, in capture order:
//
//   packet: record 16, stream 0, 0.010150 s, 608 bytes, RTP sequence 100, timestamp 0, 5 frames
//   packet: record 530, stream 2, 1.412000 s, 24 bytes, SCO status 0
//   lost: stream 0, 5 frames
#pragma once

#include "cli/common/input.h"

namespace cli {

// Reads the capture and prints its report on standard output; the exit status: 0 when a stream
// holds audio, 1 when none does or the input cannot be read (after a message).
int report_capture(Input& input, bool verbose);

} // namespace cli
