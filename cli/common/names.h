// The words the programs use for a stream's parameters, the same in every message and report.
#pragma once

#include "sbc/scan.h"

#include <cstdint>

namespace cli {

const char* channel_mode_name(int32_t channel_mode);    // "MONO" ... "JOINT_STEREO"
const char* allocation_name(int32_t allocation_method); // "LOUDNESS" or "SNR"
const char* stream_kind_name(sbc::StreamKind kind);     // "SBC", "mSBC", "H2-framed mSBC"
const char* frame_kind_name(sbc::FrameKind kind);       // "SBC" or "mSBC"

} // namespace cli
