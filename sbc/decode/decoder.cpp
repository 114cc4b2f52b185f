// Decoder lifecycle and the per-frame pipeline.
//
// One frame goes through these stages, over a fixed-size workspace on the stack (nothing is
// allocated per frame):
//
//   frame bytes ─► checks: header as parsed, length, room for the output
//     ─► frame_crc_ok ──fails──► concealed as a lost frame (conceal.h), or silence of the
//                                frame's length and history cleared (Concealment::silence)
//     ─► unpack_frame: join flags, scale factors, allocate_frame_bits ─► bits, samples q
//     ─► reconstruct_frame: (2q + 1 − levels) × scale / levels, joint stereo undone
//     ─► synthesize_channel per channel (history runs on; cleared when subbands or channels
//        change)
//     ─► conceal_rejoin: the first frame after a gap turns to a history that leads into it
//     ─► write_pcm16 / write_float: interleaved, rounded and saturated (or scaled)
//     ─► conceal_keep: the frame's output kept for concealing a later loss (a copy)
//
// Every argument is checked here, once; the stages trust what they are given.
#include "sbc/decode/conceal.h"
#include "sbc/decode/output.h"
#include "sbc/decode/reconstruct.h"
#include "sbc/decode/synthesis.h"
#include "sbc/decode/unpack.h"
#include "sbc/frame.h"
#include "sbc/sbc.h"

#include <algorithm>
#include <new>

namespace sbc {

namespace {

// The working arrays of one frame (automatic storage, nothing kept).
struct DecodeWorkspace {
    FrameFields fields;
    alignas(64) std::array<BandRow, MAX_CHANNELS> sb_sample;
    alignas(64) std::array<BandRow, MAX_CHANNELS> pcm;
};

bool same_header(const FrameHeader& a, const FrameHeader& b) {
    return a.kind == b.kind && a.sampling_frequency == b.sampling_frequency &&
           a.frequency_index == b.frequency_index && a.blocks == b.blocks &&
           a.channel_mode == b.channel_mode && a.channels == b.channels &&
           a.allocation_method == b.allocation_method && a.subbands == b.subbands &&
           a.bitpool == b.bitpool && a.length == b.length;
}

// A frame shape the filter bank and the output can hold.
bool shape_ok(const FrameHeader& h) {
    const bool channels_fit =
        h.channel_mode == MONO
            ? h.channels == 1
            : h.channel_mode >= DUAL_CHANNEL && h.channel_mode <= JOINT_STEREO && h.channels == 2;
    return channels_fit && frame_shape_ok(h.subbands, h.blocks);
}

size_t values_of(const FrameHeader& h) {
    return static_cast<size_t>(h.blocks) * static_cast<size_t>(h.subbands) *
           static_cast<size_t>(h.channels);
}

// Silence in place of a frame; the next frame starts as after silence.
template <class Sample>
void write_silence(DecoderState& state, const FrameHeader& h, std::span<Sample> pcm) {
    std::fill_n(pcm.begin(), values_of(h), Sample{0});
    synthesis_clear(*state.synthesis);
    state.subbands = h.subbands;
    state.channels = h.channels;
}

// The history's shape follows `h`; a change of subbands or channels clears it.
void take_shape(DecoderState& state, const FrameHeader& h) {
    if (h.subbands == state.subbands && h.channels == state.channels) return;
    synthesis_clear(*state.synthesis);
    conceal_forget(*state.conceal);
    state.subbands = h.subbands;
    state.channels = h.channels;
}

void write_out(const DecodeWorkspace& ws, const FrameHeader& h, std::span<int16_t> pcm) {
    write_pcm16(ws.pcm, h.channels, h.blocks * h.subbands, pcm);
}
void write_out(const DecodeWorkspace& ws, const FrameHeader& h, std::span<float> pcm) {
    write_float(ws.pcm, h.channels, h.blocks * h.subbands, pcm);
}

// A lost or damaged frame: continued from the output before it when that output is of the
// same shape and frequency, else silence.
template <class Sample>
void write_lost(DecoderState& state, const FrameHeader& h, std::span<Sample> pcm) {
    ConcealState& conceal = *state.conceal;
    const bool continues = state.concealment == Concealment::automatic &&
                           h.subbands == state.subbands && h.channels == state.channels &&
                           h.sampling_frequency == conceal.sampling_frequency &&
                           encoder_frequency_index(h.sampling_frequency) >= 0;
    if (!continues) {
        write_silence(state, h, pcm);
        conceal_forget(conceal);
        return;
    }
    DecodeWorkspace ws;
    conceal_lost_frame(conceal, *state.synthesis, h, ws.pcm);
    write_out(ws, h, pcm);
}

template <class Sample>
int32_t decode_frame(DecoderState& state, std::span<const uint8_t> frame, const FrameHeader& header,
                     std::span<Sample> pcm) {
    FrameHeader parsed;
    if (!state.synthesis || frame_header_parse(frame, parsed) != HEADER_OK ||
        !same_header(parsed, header) || !shape_ok(header) ||
        frame.size() < static_cast<size_t>(header.length) || pcm.size() < values_of(header))
        return DECODE_REFUSED;

    DecodeWorkspace ws;
    if (!frame_crc_ok(frame, header) || !unpack_frame(frame, header, ws.fields)) {
        write_lost(state, header, pcm);
        ++state.frames_damaged;
        return DECODE_CRC_ERROR;
    }
    take_shape(state, header);
    reconstruct_frame(ws.fields, header, ws.sb_sample);
    for (int32_t ch = 0; ch < header.channels; ++ch)
        synthesize_channel(*state.synthesis, ch, header.subbands, header.blocks, ws.sb_sample[ch],
                           ws.pcm[ch]);
    if (state.concealment == Concealment::automatic && state.conceal->in_gap)
        conceal_rejoin(*state.conceal, header, ws.sb_sample, ws.pcm);
    write_out(ws, header, pcm);
    if (state.concealment == Concealment::automatic)
        conceal_keep(*state.conceal, header.sampling_frequency, header.channels,
                     header.blocks * header.subbands, ws.pcm);
    ++state.frames_decoded;
    return header.blocks * header.subbands;
}

template <class Sample>
int32_t conceal_frame(DecoderState& state, const FrameHeader& header, std::span<Sample> pcm) {
    if (!state.synthesis || !shape_ok(header) || pcm.size() < values_of(header))
        return DECODE_REFUSED;
    write_lost(state, header, pcm);
    ++state.frames_concealed;
    return header.blocks * header.subbands;
}

} // namespace

DecoderState::DecoderState() = default;
DecoderState::~DecoderState() = default;

std::unique_ptr<DecoderState> decoder_create() {
    try {
        auto state = std::make_unique<DecoderState>();
        state->synthesis = synthesis_create();
        state->conceal = conceal_create();
        if (!state->conceal) return nullptr;
        return state;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void decoder_set_concealment(DecoderState& state, Concealment concealment) {
    if (concealment == state.concealment) return;
    state.concealment = concealment;
    conceal_forget(*state.conceal);
}

int32_t decoder_decode_frame(DecoderState& state, std::span<const uint8_t> frame,
                             const FrameHeader& header, std::span<int16_t> pcm) {
    return decode_frame(state, frame, header, pcm);
}

int32_t decoder_decode_frame_float(DecoderState& state, std::span<const uint8_t> frame,
                                   const FrameHeader& header, std::span<float> pcm) {
    return decode_frame(state, frame, header, pcm);
}

int32_t decoder_conceal_frame(DecoderState& state, const FrameHeader& header,
                              std::span<int16_t> pcm) {
    return conceal_frame(state, header, pcm);
}

int32_t decoder_conceal_frame_float(DecoderState& state, const FrameHeader& header,
                                    std::span<float> pcm) {
    return conceal_frame(state, header, pcm);
}

int decoder_destroy(std::unique_ptr<DecoderState> state) {
    state.reset();
    return 0;
}

} // namespace sbc
