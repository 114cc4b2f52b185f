// Frames into audio: the decoder, one frame of samples, and the output they go to. What the
// decoding of a stream and of a capture share.
//
//   sink_frame(sink, bytes, header)   a frame (concealed, or silence of its length, when its
//                                     CRC fails)
//   sink_lost(sink, shape)            a frame that is missing or cannot be trusted: the
//                                     decoder's concealment of one frame of that shape (or
//                                     silence, as the decoder's mode says)
//
// The first frame or silence starts the output (its header is written then, with the frame's
// frequency and channels); silence of another channel count is never written to it.
#pragma once

#include "cli/decode/pcm_output.h"
#include "sbc/sbc.h"

#include <array>
#include <memory>
#include <span>

namespace cli {

struct FrameSink {
    PcmOutput& output;
    std::unique_ptr<sbc::DecoderState> decoder = sbc::decoder_create();
    std::array<int16_t, sbc::MAX_FRAME_SAMPLES * sbc::MAX_CHANNELS> pcm{};
    std::array<float, sbc::MAX_FRAME_SAMPLES * sbc::MAX_CHANNELS> pcm_float{};
    int64_t undecodable = 0; // frames the decoder refused after they were found good
};

// false when writing failed (after a message) or the output cannot take the frame.
bool sink_frame(FrameSink& sink, std::span<const uint8_t> bytes, const sbc::FrameHeader& header);
bool sink_lost(FrameSink& sink, const sbc::FrameHeader& shape);

} // namespace cli
