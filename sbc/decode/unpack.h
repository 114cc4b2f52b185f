// Reading a frame's fields: join flags, scale factors, the bit allocation they imply and the
// quantised samples, straight from the frame's bytes. See unpack.cpp.
#pragma once

#include "sbc/sbc.h"

#include <array>
#include <cstdint>
#include <span>

namespace sbc {

// The fields of one frame, in the encoder's row layout: [channel][subband] and
// [channel][block × subbands + subband].
struct FrameFields {
    std::array<SubbandRow, MAX_CHANNELS> scale_factor; // 0..15, as transmitted
    SubbandRow join;                                   // JOINT_STEREO: 1 = mid/side
    std::array<SubbandRow, MAX_CHANNELS> bits;         // 0..16, from the scale factors
    std::array<QuantizedRow, MAX_CHANNELS> quantized;  // 0 .. 2^bits − 1
};

// Reads the frame `frame` that `header` describes (frame_header_parse of the same bytes,
// trusted, and at least header.length bytes). Reads no byte at or beyond header.length.
// Writes scale_factor and bits of the frame's channels and subbands, join (all zero unless
// JOINT_STEREO; the last band's flag is reserved and always read as 0), and the frame's
// blocks × subbands quantized values of each channel (0 in bands of 0 bits).
// Returns false, with the fields incomplete, when the allocation asks for more sample bits
// than the frame holds (it never does for a header frame_header_parse accepts).
bool unpack_frame(std::span<const uint8_t> frame, const FrameHeader& header, FrameFields& f);

} // namespace sbc
