// Decoder lifecycle and the per-frame pipeline (not yet built: every frame is refused).
#include "sbc/decode/synthesis.h"
#include "sbc/sbc.h"

namespace sbc {

DecoderState::DecoderState() = default;
DecoderState::~DecoderState() = default;

std::unique_ptr<DecoderState> decoder_create() {
    auto state = std::make_unique<DecoderState>();
    state->synthesis = std::make_unique<SynthesisState>();
    return state;
}

int32_t decoder_decode_frame(DecoderState&, std::span<const uint8_t>, const FrameHeader&,
                             std::span<int16_t>) {
    return DECODE_REFUSED;
}

int32_t decoder_decode_frame_float(DecoderState&, std::span<const uint8_t>, const FrameHeader&,
                                   std::span<float>) {
    return DECODE_REFUSED;
}

int32_t decoder_conceal_frame(DecoderState&, const FrameHeader&, std::span<int16_t>) {
    return DECODE_REFUSED;
}

int32_t decoder_conceal_frame_float(DecoderState&, const FrameHeader&, std::span<float>) {
    return DECODE_REFUSED;
}

int decoder_destroy(std::unique_ptr<DecoderState>) {
    return 0;
}

} // namespace sbc
