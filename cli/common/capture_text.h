// What the programs say about a capture's streams, the same words in vantrel-info's report and
// vantrel-decode's messages.
//
//   A2DP SBC, sent, handle 0x0001, channel 0x0071       (controller N, first, when not 0)
//   mSBC, received, SCO handle 0x0101
//   configured 44100 Hz, JOINT_STEREO, 16 blocks, 8 subbands, SNR, bitpool 2-53
#pragma once

#include "capture/capture.h"

#include <span>
#include <string>

namespace cli {

std::string stream_title(const capture::StreamInfo& stream);

// "configured ..." from the signalling, or "no configuration in the capture".
std::string configuration_text(const capture::SbcConfiguration& configuration);

// True when a stream has frames to decode.
bool has_audio(std::span<const capture::StreamInfo> streams);

// The remarks a capture calls for, one message each (standard error): a filtered Android log
// (with the advice to take a full one), media packets cut short, a codec other than SBC, a
// capture that breaks off or ends inside a record, streams over the limits.
void report_capture_remarks(const capture::CaptureReader& reader, const std::string& name);

} // namespace cli
