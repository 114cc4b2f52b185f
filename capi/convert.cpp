// The converter handle: the program's conversion stage (convert/conversion.h: the downmix, the
// stereo-to-mono mix and the resampler of -F and -m) on the caller's buffers.
//
//   caller's samples ─► doubles on the 16-bit scale ─► stage ─► converted ─► caller's buffer
//   (int16 as they are, float × 32768)   one piece at a time    [at, end)    (int16 truncated and
//                                                                             limited as the
//                                                                             encoder takes them,
//                                                                             float ÷ 32768)
//
// Invariants: the stage takes new input only when it holds none, so a piece copied in is taken
// whole; `converted` holds output not yet delivered, so a full caller's buffer loses nothing; a
// call returns with everything used and nothing written only when nothing more can come out
// without more input (or, after finish, at all).
#include "capi/entry.h"
#include "convert/conversion.h"
#include "sbc/rate.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <type_traits>
#include <vector>

struct vantrel_converter {
    std::unique_ptr<convert::Conversion> stage;
    vantrel_convert_config config{};
    std::vector<double> piece;     // the caller's next values on the 16-bit scale
    std::vector<double> converted; // output not yet delivered: converted[at, end)
    size_t at = 0, end = 0;
    bool finished = false; // no more input comes
    bool drained = false;  // the stage's tail is out too
};

namespace {

using capi::guarded;

constexpr size_t piece_instants = 4096;
constexpr double full_scale = 32768.0;
constexpr uint32_t convert_config_size_v1 = sizeof(vantrel_convert_config);

// Maps `values` (16-bit scale) into the caller's sample type.
template <class Sample> void deliver(std::span<const double> values, Sample* out) {
    if constexpr (std::is_same_v<Sample, int16_t>) {
        sbc::to_pcm16(values, 1.0, std::span(out, values.size()));
    } else {
        std::transform(values.begin(), values.end(), out,
                       [](double v) { return static_cast<Sample>(v / full_scale); });
    }
}

template <class Sample> void take_in(std::span<const Sample> samples, std::span<double> piece) {
    const double scale = std::is_same_v<Sample, int16_t> ? 1.0 : full_scale;
    std::transform(samples.begin(), samples.end(), piece.begin(),
                   [scale](Sample v) { return static_cast<double>(v) * scale; });
}

// Fills `converted` anew from the stage: the rest of what it holds, the next piece of the
// caller's samples, or (after finish) its tail. False when nothing more can come now.
template <class Sample>
bool refill(vantrel_converter& c, std::span<const Sample> samples, size_t& used) {
    c.at = c.end = 0;
    convert::Conversion& stage = *c.stage;
    if (used < samples.size() || convert::conversion_holds(stage)) {
        std::span<const double> given;
        if (!convert::conversion_holds(stage)) {
            const size_t n = std::min(samples.size() - used, c.piece.size());
            take_in(samples.subspan(used, n), std::span(c.piece));
            given = std::span(c.piece).first(n);
        }
        const auto step = convert::conversion_process(stage, given, c.converted);
        used += step.taken;
        c.end = step.made;
        if (stage.failed) throw std::runtime_error("the resampler failed");
        return true;
    }
    if (!c.finished || c.drained) return false;
    c.end = convert::conversion_drain(stage, c.converted);
    c.drained = c.end == 0;
    return !c.drained;
}

template <class Sample>
int convert_samples(vantrel_converter* c, const Sample* samples, size_t count, size_t* used,
                    Sample* out, size_t capacity, size_t* written) {
    return guarded([&]() -> int {
        if (used != nullptr) *used = 0;
        if (written != nullptr) *written = 0;
        if (c == nullptr || used == nullptr || written == nullptr ||
            (samples == nullptr && count > 0) || (out == nullptr && capacity > 0))
            return VANTREL_ERROR_NULL_POINTER;
        const auto from = static_cast<size_t>(c->config.channels);
        const auto to = static_cast<size_t>(c->config.to_channels);
        if (count % from != 0) return VANTREL_ERROR_BAD_LENGTH;
        if (c->finished && count > 0) return VANTREL_ERROR_FINISHED;
        if (capacity < to) return VANTREL_ERROR_BUFFER_TOO_SMALL;
        const std::span<const Sample> all(samples, count);
        const size_t room = capacity / to * to;
        size_t taken = 0, done = 0;
        while (done < room) {
            if (c->at == c->end && !refill(*c, all, taken)) break;
            const size_t n = std::min(c->end - c->at, room - done);
            deliver(std::span(c->converted).subspan(c->at, n), out + done);
            c->at += n;
            done += n;
        }
        *used = taken;
        *written = done;
        return VANTREL_OK;
    });
}

// Opens a converter with the speakers `channel_mask` gives, or (none) the usual layout of the
// configuration's channel count.
int open_converter(const vantrel_convert_config* config, std::optional<uint32_t> channel_mask,
                   vantrel_converter** converter) {
    return guarded([&]() -> int {
        if (converter != nullptr) *converter = nullptr;
        if (config == nullptr || converter == nullptr) return VANTREL_ERROR_NULL_POINTER;
        vantrel_convert_config c{};
        vantrel_convert_config_default(&c, 0, 0, 0);
        if (!capi::copy_in(config, convert_config_size_v1, c)) return VANTREL_ERROR_BAD_STRUCT_SIZE;
        c.struct_size = sizeof c;
        const bool mix = c.channels == 2 && c.to_channels == 1;
        const bool kept = (c.channels == 1 || c.channels == 2) && c.to_channels == c.channels;
        const bool downmix = c.channels > 2 && c.channels <= convert::MAX_DOWNMIX_CHANNELS &&
                             (c.to_channels == 1 || c.to_channels == 2);
        if (!mix && !kept && !downmix) return VANTREL_ERROR_BAD_CHANNELS;
        if (c.from_rate < 1 || c.to_rate < 1 || c.threads < 0) return VANTREL_ERROR_BAD_ARGUMENT;
        const char* error = nullptr;
        auto stage = convert::conversion_create(
            {c.from_rate, c.to_rate, c.channels, c.to_channels, 1.0, std::clamp(c.threads, 1, 2),
             channel_mask.value_or(convert::usual_channel_mask(c.channels))},
            error);
        if (!stage) return VANTREL_ERROR_BAD_ARGUMENT; // what libsoxr refuses
        auto handle = std::make_unique<vantrel_converter>();
        handle->stage = std::move(stage);
        handle->config = c;
        handle->piece.resize(piece_instants * static_cast<size_t>(c.channels));
        // Room for whatever one step of the stage makes of a piece, at any ratio.
        handle->converted.resize(piece_instants * static_cast<size_t>(c.to_channels));
        *converter = handle.release();
        return VANTREL_OK;
    });
}

} // namespace

extern "C" {

VANTREL_API int vantrel_convert_config_default(vantrel_convert_config* config, int32_t from_rate,
                                               int32_t to_rate, int32_t channels) {
    if (config == nullptr) return VANTREL_ERROR_NULL_POINTER;
    *config = vantrel_convert_config{};
    config->struct_size = sizeof *config;
    config->from_rate = from_rate;
    config->to_rate = to_rate;
    config->channels = channels;
    config->to_channels = channels > 2 ? 2 : channels;
    config->threads = 1;
    return VANTREL_OK;
}

VANTREL_API int vantrel_converter_open(const vantrel_convert_config* config,
                                       vantrel_converter** converter) {
    return open_converter(config, std::nullopt, converter);
}

VANTREL_API int vantrel_converter_open_layout(const vantrel_convert_config* config,
                                              uint32_t channel_mask,
                                              vantrel_converter** converter) {
    return open_converter(config, channel_mask, converter);
}

VANTREL_API int vantrel_converter_close(vantrel_converter* converter) {
    return guarded([&]() -> int {
        const std::unique_ptr<vantrel_converter> owned(converter);
        return VANTREL_OK;
    });
}

VANTREL_API int vantrel_converter_length(const vantrel_converter* converter, int64_t instants,
                                         int64_t* output_instants) {
    if (output_instants != nullptr) *output_instants = 0;
    if (converter == nullptr || output_instants == nullptr) return VANTREL_ERROR_NULL_POINTER;
    if (instants < 0 || instants > INT32_MAX) return VANTREL_ERROR_BAD_LENGTH;
    const vantrel_convert_config& c = converter->config;
    *output_instants = convert::resampled_length(instants, c.from_rate, c.to_rate);
    return VANTREL_OK;
}

VANTREL_API int vantrel_converter_finish(vantrel_converter* converter) {
    if (converter == nullptr) return VANTREL_ERROR_NULL_POINTER;
    converter->finished = true;
    return VANTREL_OK;
}

VANTREL_API int vantrel_converter_convert(vantrel_converter* converter, const int16_t* samples,
                                          size_t count, size_t* used, int16_t* out, size_t capacity,
                                          size_t* written) {
    return convert_samples(converter, samples, count, used, out, capacity, written);
}

VANTREL_API int vantrel_converter_convert_float(vantrel_converter* converter, const float* samples,
                                                size_t count, size_t* used, float* out,
                                                size_t capacity, size_t* written) {
    return convert_samples(converter, samples, count, used, out, capacity, written);
}

VANTREL_API int vantrel_converter_convert_double(vantrel_converter* converter,
                                                 const double* samples, size_t count, size_t* used,
                                                 double* out, size_t capacity, size_t* written) {
    return convert_samples(converter, samples, count, used, out, capacity, written);
}

} // extern "C"
