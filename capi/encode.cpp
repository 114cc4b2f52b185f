// The encoder handle: whole buffers of samples in, the program's frames out.
//
//   caller's samples ──► [partial frame, fixed buffer] ──► encoder_encode_frame ──► out
//        (any count of whole instants)   (< one frame held between calls)   (bare, or H2 unit)
//
// Invariants: `held` < one frame's values between calls; a call either fits all the bytes its
// samples complete into the caller's buffer or takes nothing; frames are numbered from the
// stream's first (the H2 sequence byte counts with them). Floats become 16-bit samples as the
// program converts a float file (sbc::to_pcm16 with the scale 32768), one frame at a time on
// the stack. Nothing is allocated after open.
#include "capi/entry.h"
#include "sbc/rate.h"

#include <array>
#include <limits>
#include <memory>
#include <span>
#include <stdexcept>
#include <type_traits>

struct vantrel_encoder {
    std::unique_ptr<sbc::EncoderState> state;
    vantrel_config config{}; // settled: what the frames carry
    bool h2 = false;         // each frame in its H2 unit
    size_t frame_values = 0; // samples_per_channel × channels
    size_t frame_bytes = 0;  // bytes of each frame in the output
    uint64_t frames_out = 0; // frames written so far
    std::array<int16_t, sbc::MAX_FRAME_SAMPLES * sbc::MAX_CHANNELS> partial{};
    size_t held = 0; // values of `partial` in use
};

namespace {

using capi::guarded;

constexpr double float_full_scale = 32768.0;

// The settled handle around a configured encoder.
int finish_open(std::unique_ptr<sbc::EncoderState> state, const vantrel_config& config, bool h2,
                vantrel_encoder** out) {
    auto handle = std::make_unique<vantrel_encoder>();
    handle->config = config;
    handle->h2 = h2;
    handle->frame_values = static_cast<size_t>(state->samples_per_channel * state->channels);
    handle->frame_bytes =
        static_cast<size_t>(h2 ? sbc::H2_UNIT_LENGTH : sbc::encoder_frame_length(*state));
    handle->state = std::move(state);
    *out = handle.release();
    return VANTREL_OK;
}

// Writes one frame of `pcm` at `out` (which has room); its length.
size_t encode_frame(vantrel_encoder& e, std::span<const int16_t> pcm, uint8_t* out) {
    const std::span<uint8_t> room(out, e.frame_bytes);
    int32_t length = 0;
    if (!e.h2) {
        sbc::encoder_encode_frame(*e.state, pcm, room, length);
    } else {
        std::array<uint8_t, sbc::MSBC_FRAME_LENGTH> frame;
        sbc::encoder_encode_frame(*e.state, pcm, frame, length);
        length = sbc::h2_unit_write(frame, e.frames_out, room);
    }
    if (length != static_cast<int32_t>(e.frame_bytes)) throw std::logic_error("frame refused");
    ++e.frames_out;
    return e.frame_bytes;
}

// Takes `samples` (whole instants, their output known to fit `out`); bytes written.
size_t encode_values(vantrel_encoder& e, std::span<const int16_t> samples, uint8_t* out) {
    size_t written = 0;
    if (e.held > 0) {
        const size_t take = std::min(samples.size(), e.frame_values - e.held);
        std::copy_n(samples.begin(), take, e.partial.begin() + static_cast<ptrdiff_t>(e.held));
        e.held += take;
        samples = samples.subspan(take);
        if (e.held < e.frame_values) return 0;
        written += encode_frame(e, std::span(e.partial).first(e.frame_values), out);
        e.held = 0;
    }
    while (samples.size() >= e.frame_values) {
        written += encode_frame(e, samples.first(e.frame_values), out + written);
        samples = samples.subspan(e.frame_values);
    }
    std::copy(samples.begin(), samples.end(), e.partial.begin());
    e.held = samples.size();
    return written;
}

// The bytes `count` more values make; false when the count is not whole instants or too large.
bool output_size(const vantrel_encoder& e, size_t count, size_t& bytes) {
    const auto channels = static_cast<size_t>(e.config.channels);
    if (count % channels != 0 || count > std::numeric_limits<size_t>::max() - e.held) return false;
    const size_t frames = (e.held + count) / e.frame_values;
    if (frames > std::numeric_limits<size_t>::max() / e.frame_bytes) return false;
    bytes = frames * e.frame_bytes;
    return true;
}

// The checks every encode call makes, then the encoding of `samples` as 16-bit values.
template <class Sample>
int encode(vantrel_encoder* e, const Sample* samples, size_t count, uint8_t* out, size_t capacity,
           size_t* written) {
    return guarded([&]() -> int {
        if (written != nullptr) *written = 0;
        if (e == nullptr || written == nullptr || (samples == nullptr && count > 0))
            return VANTREL_ERROR_NULL_POINTER;
        size_t needed = 0;
        if (!output_size(*e, count, needed)) return VANTREL_ERROR_BAD_LENGTH;
        if (needed > capacity) return VANTREL_ERROR_BUFFER_TOO_SMALL;
        if (needed > 0 && out == nullptr) return VANTREL_ERROR_NULL_POINTER;
        const std::span<const Sample> all(samples, count);
        size_t done = 0;
        if constexpr (std::is_same_v<Sample, int16_t>) {
            done = encode_values(*e, all, out);
        } else {
            // One frame's values at a time, whole instants.
            std::array<double, sbc::MAX_FRAME_SAMPLES * sbc::MAX_CHANNELS> wide;
            std::array<int16_t, sbc::MAX_FRAME_SAMPLES * sbc::MAX_CHANNELS> pcm;
            for (size_t at = 0; at < count; at += e->frame_values) {
                const size_t n = std::min(e->frame_values, count - at);
                std::copy_n(all.begin() + static_cast<ptrdiff_t>(at), n, wide.begin());
                sbc::to_pcm16(std::span(wide).first(n), float_full_scale, pcm);
                done += encode_values(*e, std::span(pcm).first(n), out + done);
            }
        }
        *written = done;
        return VANTREL_OK;
    });
}

} // namespace

extern "C" {

VANTREL_API int vantrel_encoder_open(const vantrel_config* config, vantrel_encoder** encoder) {
    return guarded([&]() -> int {
        if (encoder != nullptr) *encoder = nullptr;
        if (config == nullptr || encoder == nullptr) return VANTREL_ERROR_NULL_POINTER;
        capi::Settled s;
        if (const int status = capi::settle(config, s); status != VANTREL_OK) return status;
        const vantrel_config& c = s.config;
        auto state = sbc::encoder_create(c.sampling_frequency, c.channels, c.subbands, c.blocks);
        if (!state) return VANTREL_ERROR_OUT_OF_MEMORY;
        if (sbc::encoder_configure(*state, c.channel_mode, c.bitpool, c.allocation) !=
            sbc::CONFIGURE_OK)
            return VANTREL_ERROR_INTERNAL; // settle() refused everything configure refuses
        return finish_open(std::move(state), c, false, encoder);
    });
}

VANTREL_API int vantrel_encoder_open_msbc(uint32_t flags, vantrel_encoder** encoder) {
    return guarded([&]() -> int {
        if (encoder != nullptr) *encoder = nullptr;
        if (encoder == nullptr) return VANTREL_ERROR_NULL_POINTER;
        if ((flags & ~VANTREL_MSBC_H2) != 0) return VANTREL_ERROR_BAD_ARGUMENT;
        const bool h2 = (flags & VANTREL_MSBC_H2) != 0;
        auto state = sbc::encoder_create(sbc::MSBC_SAMPLING_FREQUENCY, 1, sbc::MSBC_SUBBANDS,
                                         sbc::MSBC_BLOCKS);
        if (!state) return VANTREL_ERROR_OUT_OF_MEMORY;
        if (sbc::encoder_configure_msbc(*state) != sbc::CONFIGURE_OK) return VANTREL_ERROR_INTERNAL;
        vantrel_config c{};
        vantrel_config_default(&c, sbc::MSBC_SAMPLING_FREQUENCY, 1);
        c.channel_mode = VANTREL_MONO;
        c.blocks = sbc::MSBC_BLOCKS;
        c.allocation = sbc::MSBC_ALLOCATION_METHOD;
        c.bitpool = sbc::MSBC_BITPOOL;
        // 57 bytes (60 in an H2 unit) every 120 instants at 16000 Hz.
        const int32_t unit = h2 ? sbc::H2_UNIT_LENGTH : sbc::MSBC_FRAME_LENGTH;
        c.bit_rate = unit * 8 * sbc::MSBC_SAMPLING_FREQUENCY / sbc::MSBC_FRAME_SAMPLES;
        return finish_open(std::move(state), c, h2, encoder);
    });
}

VANTREL_API int vantrel_encoder_close(vantrel_encoder* encoder) {
    return guarded([&]() -> int {
        const std::unique_ptr<vantrel_encoder> owned(encoder);
        return VANTREL_OK;
    });
}

VANTREL_API int vantrel_encoder_frame_length(const vantrel_encoder* encoder, size_t* bytes) {
    if (encoder == nullptr || bytes == nullptr) return VANTREL_ERROR_NULL_POINTER;
    *bytes = encoder->frame_bytes;
    return VANTREL_OK;
}

VANTREL_API int vantrel_encoder_frame_samples(const vantrel_encoder* encoder, size_t* instants) {
    if (encoder == nullptr || instants == nullptr) return VANTREL_ERROR_NULL_POINTER;
    *instants = static_cast<size_t>(encoder->state->samples_per_channel);
    return VANTREL_OK;
}

VANTREL_API int vantrel_encoder_get_config(const vantrel_encoder* encoder, vantrel_config* config) {
    if (encoder == nullptr || config == nullptr) return VANTREL_ERROR_NULL_POINTER;
    return capi::copy_out(encoder->config, config, capi::config_size_v1)
               ? VANTREL_OK
               : VANTREL_ERROR_BAD_STRUCT_SIZE;
}

VANTREL_API int vantrel_encoder_delay(const vantrel_encoder* encoder, size_t* instants) {
    if (encoder == nullptr || instants == nullptr) return VANTREL_ERROR_NULL_POINTER;
    *instants = static_cast<size_t>(9 * encoder->state->subbands + 1);
    return VANTREL_OK;
}

VANTREL_API int vantrel_encoder_pending(const vantrel_encoder* encoder, size_t* instants) {
    if (encoder == nullptr || instants == nullptr) return VANTREL_ERROR_NULL_POINTER;
    *instants = encoder->held / static_cast<size_t>(encoder->config.channels);
    return VANTREL_OK;
}

VANTREL_API int vantrel_encoder_output_size(const vantrel_encoder* encoder, size_t count,
                                            size_t* bytes) {
    if (bytes != nullptr) *bytes = 0;
    if (encoder == nullptr || bytes == nullptr) return VANTREL_ERROR_NULL_POINTER;
    return output_size(*encoder, count, *bytes) ? VANTREL_OK : VANTREL_ERROR_BAD_LENGTH;
}

VANTREL_API int vantrel_encoder_encode(vantrel_encoder* encoder, const int16_t* samples,
                                       size_t count, uint8_t* out, size_t capacity,
                                       size_t* written) {
    return encode(encoder, samples, count, out, capacity, written);
}

VANTREL_API int vantrel_encoder_encode_float(vantrel_encoder* encoder, const float* samples,
                                             size_t count, uint8_t* out, size_t capacity,
                                             size_t* written) {
    return encode(encoder, samples, count, out, capacity, written);
}

VANTREL_API int vantrel_encoder_encode_double(vantrel_encoder* encoder, const double* samples,
                                              size_t count, uint8_t* out, size_t capacity,
                                              size_t* written) {
    return encode(encoder, samples, count, out, capacity, written);
}

} // extern "C"
