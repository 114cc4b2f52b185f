// The words the programs use for a stream's parameters, the same in every message and report.
#pragma once

#include "sbc/scan.h"

#include <cstdint>

namespace cli {

// "MONO", "DUAL_CHANNEL", "STEREO", "JOINT_STEREO"; for any other code "?", or `unknown`.
const char* channel_mode_name(int32_t channel_mode);
const char* channel_mode_name(int32_t channel_mode, const char* unknown);
const char* allocation_name(int32_t allocation_method); // "LOUDNESS" or "SNR"
const char* stream_kind_name(sbc::StreamKind kind);     // "SBC", "mSBC", "H2-framed mSBC"
const char* frame_kind_name(sbc::FrameKind kind);       // "SBC" or "mSBC"

} // namespace cli
