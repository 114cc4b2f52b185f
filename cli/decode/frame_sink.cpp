// Frames into audio (frame_sink.h).
#include "cli/decode/frame_sink.h"

namespace cli {

namespace {

// Writes the first `instants` instants of the frame buffer.
bool write_pcm(FrameSink& sink, int32_t instants, int32_t channels) {
    const auto count = static_cast<size_t>(instants) * static_cast<size_t>(channels);
    if (sink.output.float_samples)
        return write_samples(sink.output, std::span(sink.pcm_float).first(count));
    return write_samples(sink.output, std::span(sink.pcm).first(count));
}

bool started_for(FrameSink& sink, const sbc::FrameHeader& header) {
    if (!sink.output.started && !start_output(sink.output, header)) return false;
    // A filled-in frame of another shape never reaches an output of fixed channels.
    return header.channels == sink.output.info.channels;
}

} // namespace

bool sink_lost(FrameSink& sink, const sbc::FrameHeader& shape) {
    if (!started_for(sink, shape)) return !sink.output.failed && sink.output.started;
    const int32_t instants =
        sink.output.float_samples
            ? sbc::decoder_conceal_frame_float(*sink.decoder, shape, sink.pcm_float)
            : sbc::decoder_conceal_frame(*sink.decoder, shape, sink.pcm);
    return instants < 0 || write_pcm(sink, instants, shape.channels);
}

bool sink_frame(FrameSink& sink, std::span<const uint8_t> bytes, const sbc::FrameHeader& h) {
    if (!started_for(sink, h)) return false;
    const int32_t instants =
        sink.output.float_samples
            ? sbc::decoder_decode_frame_float(*sink.decoder, bytes, h, sink.pcm_float)
            : sbc::decoder_decode_frame(*sink.decoder, bytes, h, sink.pcm);
    if (instants >= 0) return write_pcm(sink, instants, h.channels);
    ++sink.undecodable;
    if (instants == sbc::DECODE_CRC_ERROR) // its concealment is in the buffer already
        return write_pcm(sink, h.blocks * h.subbands, h.channels);
    return sink_lost(sink, h);
}

} // namespace cli
