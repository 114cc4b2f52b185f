// Encoder lifecycle and the per-frame pipeline.
//
// One frame of subbands × blk_len instants per channel goes through these stages, over a
// fixed-size workspace on the stack (nothing is allocated per frame):
//
//   pcm (int16, interleaved) ─► pcm_in (float, per channel)
//     ─► analysis_filter ─► sb_sample                       (filter history runs on)
//     ─► [JOINT_STEREO: joint_transform ─► sb_sample_ms]
//     ─► calc_scale_factors (clamp ±65536) ─► scale_factor [, scale_factor_ms]
//     ─► [JOINT_STEREO: joint_decision ─► join, mid/side bands replace left/right]
//     ─► allocate_bits_* (one pool per channel, or one for both) ─► bits
//     ─► quantize_channel ─► quantized ─► pack_frame ─► out[out_len ...]
//        (with AVX-512 both in one step, quantize_and_write_frame: no quantized rows)
//
// Digital silence (a frame of zeros after 9 blocks of zeros) gives band samples that are all
// +0.0, so every silent frame has the same bytes: the filter bank skips it and the frame is a
// copy of the first silent frame made under the same parameters.
//
// mSBC (encoder_configure_msbc) is this pipeline with 8 bands, 15 blocks, MONO, LOUDNESS and
// bitpool 26; only the frame's bytes 0..2 differ (0xAD 00 00, kept in the state as the bytes
// the packer writes), so every stage and vector path runs its SBC arithmetic on 15 blocks.
//
// Configuration refuses any bitpool that bit allocation cannot spend exactly or that the
// frame's bitpool byte cannot hold, so every frame of a configured encoder has the length
// encoder_frame_length() announces, and encoding checks the caller's buffer against it before
// touching anything.
#include "sbc/bitalloc.h"
#include "sbc/encode/analysis.h"
#include "sbc/encode/pack.h"
#include "sbc/encode/quantize.h"
#include "sbc/encode/scale.h"
#include "sbc/frame.h"
#include "sbc/sbc.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <new>

namespace sbc {

namespace {

constexpr std::array<int32_t, 4> frequency_table = {16000, 32000, 44100, 48000};
constexpr int32_t max_bitpool_byte = 255;
constexpr int32_t max_bits_per_entry = 16;

bool two_channel_pool(int32_t channel_mode) {
    return channel_mode == STEREO || channel_mode == JOINT_STEREO;
}

// A state that encoder_configure has accepted: the mode fits the channel count and the
// bitpool lies within what bit allocation spends exactly.
bool configured(const EncoderState& s) {
    if (!s.analysis || !frame_shape_ok(s.subbands, s.blk_len)) return false;
    if (s.frequency_index < 0 || s.frequency_index > 3) return false;
    const bool mode_fits = s.channels == 1 ? s.channel_mode == MONO
                                           : s.channels == 2 && s.channel_mode >= DUAL_CHANNEL &&
                                                 s.channel_mode <= JOINT_STEREO;
    return mode_fits && s.bitpool >= 0 &&
           s.bitpool <= encoder_max_bitpool(s.channel_mode, s.subbands);
}

} // namespace

EncoderState::EncoderState() = default;
EncoderState::~EncoderState() = default;

int32_t encoder_frequency_index(int32_t sampling_frequency) {
    for (size_t i = 0; i < frequency_table.size(); ++i)
        if (frequency_table[i] == sampling_frequency) return static_cast<int32_t>(i);
    return -1;
}

namespace {

std::unique_ptr<EncoderState> create(int32_t sampling_frequency, int32_t channels, int32_t subbands,
                                     int32_t blk_len) {
    auto analysis = analysis_init(subbands, channels);
    if (!analysis) return nullptr;
    auto state = std::make_unique<EncoderState>();
    state->analysis = std::move(analysis);
    state->sampling_frequency = sampling_frequency;
    state->blk_len = blk_len;
    state->channels = channels;
    state->subbands = subbands;
    // blk_len is checked by encoder_configure; an unusable one never reaches a frame.
    state->samples_per_channel =
        blk_len > 0 && blk_len <= std::numeric_limits<int32_t>::max() / subbands
            ? subbands * blk_len
            : 0;
    return state;
}

} // namespace

std::unique_ptr<EncoderState> encoder_create(int32_t sampling_frequency, int32_t channels,
                                             int32_t subbands, int32_t blk_len) {
    try {
        return create(sampling_frequency, channels, subbands, blk_len);
    } catch (const std::bad_alloc&) { // the host decides what running out of memory means
        return nullptr;
    }
}

int32_t encoder_max_bitpool(int32_t channel_mode, int32_t subbands) {
    if (subbands != 4 && subbands != 8) return -1;
    const int32_t entries = two_channel_pool(channel_mode) ? 2 * subbands : subbands;
    return std::min(max_bitpool_byte, max_bits_per_entry * entries);
}

int format_init(int32_t sampling_frequency, int32_t channels, int32_t channel_mode,
                int32_t subbands, int32_t blk_len, int32_t allocation_method, uint8_t& header_byte,
                int32_t& frequency_index, int32_t& adjusted_mode) {
    header_byte = 0;
    frequency_index = encoder_frequency_index(sampling_frequency);
    if (frequency_index < 0) return 1;
    header_byte = static_cast<uint8_t>(header_byte | (frequency_index << FREQUENCY_SHIFT));
    if (blk_len <= 0 || blk_len > MAX_BLOCKS || blk_len % 4 != 0) return 1;
    header_byte = static_cast<uint8_t>(header_byte | ((blk_len / 4 - 1) << BLOCKS_SHIFT));
    if (channels == 1) {
        adjusted_mode = MONO;
    } else if (channels == 2) {
        adjusted_mode = two_channel_pool(channel_mode) ? channel_mode : DUAL_CHANNEL;
        header_byte = static_cast<uint8_t>(header_byte | (adjusted_mode << MODE_SHIFT));
    } else {
        return 1;
    }
    if (allocation_method != 0) header_byte |= SNR_BIT;
    if (subbands == 4) return 0;
    if (subbands != 8) return 1;
    header_byte |= EIGHT_SUBBANDS_BIT;
    return 0;
}

int encoder_configure(EncoderState& state, int32_t channel_mode, int32_t bitpool,
                      int32_t allocation_method) {
    uint8_t header_byte = 0;
    int32_t frequency_index = -1;
    int32_t adjusted_mode = -1;
    if (format_init(state.sampling_frequency, state.channels, channel_mode, state.subbands,
                    state.blk_len, allocation_method, header_byte, frequency_index,
                    adjusted_mode) != 0) {
        std::fprintf(stderr, "\nError format_init (%d, %d, %d, %d, %d, %d)\n",
                     state.sampling_frequency, state.channels, channel_mode, state.subbands,
                     state.blk_len, allocation_method);
        return CONFIGURE_BAD_FORMAT;
    }
    if (bitpool < 0 || bitpool > encoder_max_bitpool(adjusted_mode, state.subbands))
        return CONFIGURE_BAD_BITPOOL;
    state.frequency_index = frequency_index;
    state.channel_mode = adjusted_mode;
    state.allocation_method = allocation_method;
    state.bitpool = bitpool;
    state.header_byte = header_byte;
    state.sync_byte = SYNCWORD;
    state.bitpool_byte = static_cast<uint8_t>(bitpool & 0xFF);
    return CONFIGURE_OK;
}

int encoder_configure_msbc(EncoderState& state) {
    if (!state.analysis || state.sampling_frequency != MSBC_SAMPLING_FREQUENCY ||
        state.channels != 1 || state.subbands != MSBC_SUBBANDS || state.blk_len != MSBC_BLOCKS)
        return CONFIGURE_NOT_MSBC;
    state.frequency_index = encoder_frequency_index(MSBC_SAMPLING_FREQUENCY);
    state.channel_mode = MONO;
    state.allocation_method = MSBC_ALLOCATION_METHOD;
    state.bitpool = MSBC_BITPOOL;
    // The header names no parameter: sync word, two zero bytes, the CRC over those.
    state.header_byte = 0;
    state.sync_byte = MSBC_SYNCWORD;
    state.bitpool_byte = 0;
    return CONFIGURE_OK;
}

int32_t encoder_frame_length(const EncoderState& state) {
    if (!configured(state)) return -1;
    const int32_t pools = two_channel_pool(state.channel_mode) ? 1 : state.channels;
    return frame_bytes(state.channel_mode, state.channels, state.subbands,
                       state.blk_len * pools * state.bitpool);
}

int32_t encoder_encode_frame(EncoderState& state, std::span<const int16_t> pcm,
                             std::span<uint8_t> out, int32_t& out_len) {
    const int32_t length = encoder_frame_length(state);
    if (length < 0) return -1;
    if (pcm.size() <
        static_cast<size_t>(state.samples_per_channel) * static_cast<size_t>(state.channels))
        return -1;
    if (out_len < 0 || static_cast<size_t>(out_len) > out.size() ||
        out.size() - static_cast<size_t>(out_len) < static_cast<size_t>(length))
        return -1;

    // Everything below trusts the checks above: a configured state, enough PCM, room for the
    // frame. The workspace is not cleared: every stage writes what the next one reads.
    // On a 64-byte line, so that the vector stages' row loads never straddle two lines (they
    // work wherever a workspace lies, only slower).
    alignas(64) FrameWorkspace ws;
    const bool silent =
        analysis_frame(*state.analysis, pcm, state.channels, state.blk_len, ws.sb_sample);
    const auto frame = out.subspan(static_cast<size_t>(out_len), static_cast<size_t>(length));
    // Every silent frame has the same band samples (all +0.0), hence the same bytes.
    const auto kept = std::span(state.silent_frame).first(static_cast<size_t>(length));
    const std::array<int32_t, 5> parameters = {state.header_byte, state.channel_mode, state.bitpool,
                                               state.allocation_method, state.sync_byte};
    if (silent && state.silent_length == length && state.silent_made_with == parameters) {
        std::copy(kept.begin(), kept.end(), frame.begin());
        out_len += length;
        return length;
    }
    scale_and_join(ws, state);
    allocate_frame_bits(allocation_params(state), ws.scale_factor, ws.bits);
    static const bool quantize_in_pack = quantizing_pack_available();
    int32_t written = 0;
    if (quantize_in_pack) {
        written = quantize_and_write_frame(frame, state, ws);
    } else {
        quantize_frame(ws, state);
        written = write_frame(frame, state, ws.join, ws.scale_factor, ws.quantized, ws.bits);
    }
    if (silent && written == length) {
        std::copy(frame.begin(), frame.end(), kept.begin());
        state.silent_length = length;
        state.silent_made_with = parameters;
    }
    out_len += written;
    return written;
}

int encoder_destroy(std::unique_ptr<EncoderState> state) {
    if (state) analysis_free(std::move(state->analysis), state->channels);
    return 0;
}

} // namespace sbc
