// Reconstruction: quantised values back to band samples, and joint stereo undone. See
// reconstruct.cpp.
#pragma once

#include "sbc/decode/synthesis.h"
#include "sbc/decode/unpack.h"
#include "sbc/sbc.h"

#include <array>
#include <cstdint>

namespace sbc {

// The band samples of one frame, [channel][block × subbands + subband], in PCM units, from
// the fields unpack_frame read for `header` (trusted). Bands with 0 bits give +0.0; in
// JOINT_STEREO the joined bands come out as left and right.
void reconstruct_frame(const FrameFields& f, const FrameHeader& header,
                       std::array<BandRow, MAX_CHANNELS>& sb_sample);

} // namespace sbc
