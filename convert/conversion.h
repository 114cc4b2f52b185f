// The conversion stage: everything between an input's samples and the encoder's, as one stream.
//
//   input values (from_channels, interleaved, any scale)
//     ─► × scale (to the 16-bit scale)
//     ─► channel step: kept as they are, stereo mixed to mono ((L + R) ÷ 2), or 3 to 8 channels
//        mixed down to stereo by the layout's matrix (convert/downmix.h) and, for mono, on
//        to (L + R) ÷ 2
//     ─► staged (one chunk of 4096 instants at most)
//     ─► resampler from_rate ─► to_rate (libsoxr; none when the rate stays)  ─► out
//
// The program (vantrel -F, -m) and the C interface (vantrel_converter) both run this stage, so
// the same input gives the same doubles whichever of them converts it, however the input is cut
// into pieces and on however many threads. Values leave on the 16-bit scale, not yet truncated:
// sbc::to_pcm16 makes the encoder's samples of them.
//
// Calling order:
//
//   auto c = conversion_create(setup, error);          // null (and `error`) on refusal
//   step = conversion_process(*c, in, out);            // as input arrives: step.taken values of
//                                                      // `in` used, step.made written to `out`
//   while (conversion_holds(*c)) conversion_process(*c, {}, out);   // (or with the next input)
//   while ((n = conversion_drain(*c, out)) > 0) ...    // after the last input: the tail
//
// n input instants give resampled_length(n, from_rate, to_rate) output instants in all.
#pragma once

#include "convert/downmix.h"
#include "convert/resample.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace convert {

// What is converted into what.
struct ConversionSetup {
    int32_t from_rate = 0;     // Hz of the input, 1 and up
    int32_t to_rate = 0;       // Hz of the output, 1 and up
    int32_t from_channels = 0; // 1 to 8
    int32_t to_channels = 0;   // from_channels (1 or 2), 1 from 2 (the mix), 2 or 1 from 3..8
    double scale = 1.0;        // what brings an input value to the 16-bit scale
    int threads = 1;           // 2 or more: the second channel resampled on a thread of its own
    std::uint32_t channel_mask = 0; // 3..8 channels: the speakers they feed (downmix_for)
};

// True when the stage would change nothing but the scale: the same rate and the same channels.
bool conversion_is_identity(const ConversionSetup& setup);

// How the channels are turned into the output's.
enum class ChannelStep { keep, stereo_to_mono, downmix };

struct Conversion {
    ConversionSetup setup;
    ChannelStep channel_step = ChannelStep::keep;
    Downmix downmix;                      // for ChannelStep::downmix
    std::unique_ptr<Resampler> resampler; // null when the rate stays
    std::vector<double> staged;           // after the channel step, not yet passed on
    std::size_t staged_at = 0, staged_end = 0;
    bool failed = false; // the resampler refused to go on; nothing more comes out
};

// A stage for `setup`, or null with the reason in `error`: a rate below 1, channels outside 1..8,
// more than 2 out, 2 from 1, as many out as in beyond 2, what libsoxr refuses, no memory. Reads the
// environment while it runs (resampler_create); stages may be created on several threads at once.
std::unique_ptr<Conversion> conversion_create(const ConversionSetup& setup, const char*& error);

// What one call did: values of the caller's input used, and values written to `out`.
struct ConversionStep {
    std::size_t taken = 0;
    std::size_t made = 0;
};

// When nothing is staged, takes up to one chunk of whole instants from the front of `in`
// through the scale and the channel step; then passes staged values on into `out` (whole
// instants, as many as it has room for). A call with input or staged values and room for an
// instant always takes or makes something, unless the resampler failed (then `failed` is set).
ConversionStep conversion_process(Conversion& c, std::span<const double> in, std::span<double> out);

// True while values taken from the input wait to be passed on (give conversion_process an empty
// `in`, or the next input, until it is false).
bool conversion_holds(const Conversion& c);

// After the last input, with nothing staged: writes the resampler's tail to the front of `out`
// and returns the values written; call until it returns 0. Without a resampler, 0 at once.
std::size_t conversion_drain(Conversion& c, std::span<double> out);

} // namespace convert
