// The conversion stage (convert/conversion.h): scale and channel step into a staged chunk, then
// the resampler (or a plain copy) from the chunk into the caller's output.
//
//   in     [ taken by earlier calls │ the caller's next values ...
//   staged [ passed on │ waiting ]                 staged_at .. staged_end (one chunk at most)
//
// New input is taken only when the chunk is empty, so the resampler sees the input in the order
// and, piece for piece, in the sizes it came in (its bits depend on neither).
#include "convert/conversion.h"

#include "convert/mix.h"

#include <algorithm>
#include <new>

namespace convert {

namespace {

constexpr std::size_t chunk_instants = 4096;

// Input instants `in` through the scale and the channel step into the front of `staged`; the
// values written.
std::size_t stage(const Conversion& c, std::span<const double> in, std::span<double> staged) {
    const double scale = c.setup.scale;
    std::transform(in.begin(), in.end(), staged.begin(),
                   [scale](double v) { return scale != 1.0 ? v * scale : v; });
    const auto values = staged.first(in.size());
    switch (c.channel_step) {
    case ChannelStep::stereo_to_mono:
        return mix_to_mono(values, values);
    case ChannelStep::downmix: {
        const std::size_t instants = downmix_to_stereo(c.downmix, values, values);
        const auto stereo = values.first(2 * instants);
        return c.setup.to_channels == 1 ? mix_to_mono(stereo, stereo) : stereo.size();
    }
    case ChannelStep::keep:
        break;
    }
    return values.size();
}

} // namespace

bool conversion_is_identity(const ConversionSetup& setup) {
    return setup.from_rate == setup.to_rate && setup.from_channels == setup.to_channels;
}

std::unique_ptr<Conversion> conversion_create(const ConversionSetup& setup, const char*& error) {
    error = nullptr;
    if (setup.from_rate < 1 || setup.to_rate < 1) {
        error = "sampling frequencies must be positive";
        return nullptr;
    }
    const bool mix = setup.from_channels == 2 && setup.to_channels == 1;
    const bool downmix = setup.from_channels > 2 && setup.from_channels <= MAX_DOWNMIX_CHANNELS &&
                         (setup.to_channels == 1 || setup.to_channels == 2);
    const bool kept = setup.from_channels >= 1 && setup.from_channels <= 2 &&
                      setup.to_channels == setup.from_channels;
    if (!mix && !downmix && !kept) {
        error = "only 1 to 8 channels are converted: 1 or 2 kept, 2 to 1, 3 to 8 to 2 or 1";
        return nullptr;
    }
    std::unique_ptr<Conversion> c;
    try {
        c = std::make_unique<Conversion>();
        c->staged.resize(chunk_instants * static_cast<std::size_t>(setup.from_channels));
    } catch (const std::bad_alloc&) {
        error = "out of memory";
        return nullptr;
    }
    c->setup = setup;
    c->channel_step = mix       ? ChannelStep::stereo_to_mono
                      : downmix ? ChannelStep::downmix
                                : ChannelStep::keep;
    if (downmix) c->downmix = downmix_for(setup.from_channels, setup.channel_mask);
    if (setup.from_rate != setup.to_rate) {
        c->resampler = resampler_create(setup.from_rate, setup.to_rate, setup.to_channels,
                                        setup.threads, error);
        if (!c->resampler) return nullptr;
    }
    return c;
}

bool conversion_holds(const Conversion& c) {
    return c.staged_at < c.staged_end;
}

ConversionStep conversion_process(Conversion& c, std::span<const double> in,
                                  std::span<double> out) {
    ConversionStep step;
    if (c.failed) return step;
    const auto from = static_cast<std::size_t>(c.setup.from_channels);
    const auto to = static_cast<std::size_t>(c.setup.to_channels);
    if (!conversion_holds(c) && in.size() >= from) {
        step.taken = std::min(in.size() / from, chunk_instants) * from;
        c.staged_at = 0;
        c.staged_end = stage(c, in.first(step.taken), c.staged);
    }
    const auto given = std::span(c.staged).subspan(c.staged_at, c.staged_end - c.staged_at);
    if (given.empty() || out.size() < to) return step;
    std::size_t used = 0;
    if (c.resampler) {
        step.made = resampler_process(*c.resampler, given, used, out);
        if (used == 0 && step.made == 0) c.failed = true;
    } else {
        used = std::min(given.size(), out.size() / to * to);
        std::copy_n(given.begin(), used, out.begin());
        step.made = used;
    }
    c.staged_at += used;
    return step;
}

std::size_t conversion_drain(Conversion& c, std::span<double> out) {
    if (c.failed || !c.resampler || conversion_holds(c)) return 0;
    return resampler_drain(*c.resampler, out);
}

} // namespace convert
