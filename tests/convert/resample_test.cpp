// The resampler measured, not assumed: sines taken to a new rate are compared with the exact
// sine at that rate (the filter's delay is taken out by the resampler, so instant k of the output
// lies at time k / to_rate), an out-of-band sine must vanish, and the output must not depend on
// how the input is cut into pieces (a pipe delivers it in pieces of any size).
#include "convert/mix.h"
#include "convert/resample.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <numbers>
#include <vector>

namespace {

constexpr double full_scale = 32768.0;

std::vector<double> sine(int rate, double frequency, double amplitude, int64_t instants,
                         int channels = 1) {
    std::vector<double> v;
    for (int64_t i = 0; i < instants; ++i)
        for (int c = 0; c < channels; ++c)
            v.push_back(amplitude *
                        std::sin(2 * std::numbers::pi * frequency * static_cast<double>(i) / rate));
    return v;
}

// Everything the resampler makes of `in`, given `piece` instants at a time, then drained.
std::vector<double> resample(const std::vector<double>& in, int from, int to, int channels,
                             size_t piece, int threads = 1) {
    const char* error = nullptr;
    auto r = convert::resampler_create(from, to, channels, threads, error);
    EXPECT_TRUE(r) << error;
    if (!r) return {};
    std::vector<double> out, room(4096 * static_cast<size_t>(channels));
    const auto ch = static_cast<size_t>(channels);
    for (size_t at = 0; at < in.size();) {
        const auto given = std::span(in).subspan(at, std::min(piece * ch, in.size() - at));
        size_t taken = 0;
        const size_t made = convert::resampler_process(*r, given, taken, room);
        out.insert(out.end(), room.begin(), room.begin() + static_cast<std::ptrdiff_t>(made));
        at += taken;
    }
    for (size_t made; (made = convert::resampler_drain(*r, room)) > 0;)
        out.insert(out.end(), room.begin(), room.begin() + static_cast<std::ptrdiff_t>(made));
    return out;
}

// 10·log10(signal energy ÷ error energy) over out[skip .. size − skip), against `exact`.
double snr_db(const std::vector<double>& out, const std::vector<double>& exact, size_t skip) {
    double signal = 0, error = 0;
    for (size_t i = skip; i + skip < std::min(out.size(), exact.size()); ++i) {
        signal += exact[i] * exact[i];
        error += (out[i] - exact[i]) * (out[i] - exact[i]);
    }
    return 10 * std::log10(signal / error);
}

} // namespace

// 1 kHz at half of full scale, two seconds; the first and last 0.1 s (the filter's edge
// transients) are left out. Measured here: 96000 → 48000 about 213 dB, 22050 → 44100 about
// 194 dB (soxr's very high quality, 28 bits; a sine inside the pass band loses almost nothing).
TEST(Resampler, A1kHzSineComesOutWithin100dBOfTheExactSine) {
    struct Case {
        int from, to;
    };
    for (const Case c : {Case{96000, 48000}, Case{22050, 44100}}) {
        const auto in = sine(c.from, 1000, full_scale / 2, 2 * c.from);
        const auto out = resample(in, c.from, c.to, 1, 1000);
        const auto exact = sine(c.to, 1000, full_scale / 2, 2 * c.to);
        ASSERT_EQ(out.size(), exact.size());
        const double snr = snr_db(out, exact, static_cast<size_t>(c.to / 10));
        std::cout << c.from << " -> " << c.to << " Hz: SNR " << snr << " dB\n";
        EXPECT_GE(snr, 100.0) << c.from << " -> " << c.to;
    }
}

// A full-scale 30 kHz sine at 96000 Hz lies above the 24 kHz Nyquist frequency of 48000 Hz: what
// comes out is alias (at 18 kHz) and must stay at or below −100 dBFS, peak against full scale.
// Measured here: about −210 dBFS.
TEST(Resampler, ASineAboveTheNewNyquistFrequencyLeavesNoAliasAbove100dBBelowFullScale) {
    const auto in = sine(96000, 30000, full_scale - 1, 2 * 96000);
    const auto out = resample(in, 96000, 48000, 1, 1000);
    double peak = 0;
    for (size_t i = 4800; i + 4800 < out.size(); ++i) peak = std::max(peak, std::abs(out[i]));
    const double dbfs = 20 * std::log10(std::max(peak, 1e-30) / full_scale);
    std::cout << "30 kHz at 96000 -> 48000 Hz: alias peak " << dbfs << " dBFS\n";
    EXPECT_LE(dbfs, -100.0);
}

// The count the encoder derives its frames from (resampled_length) is what comes out, and the
// bits do not depend on the size of the pieces the input arrives in, nor on whether the second
// channel has a thread of its own: stereo at rational and irrational ratios, up and down, given
// 1, 7, 1000 and all instants at a time.
TEST(Resampler, OutputLengthIsTheResampledCountAndItsBitsDoNotDependOnThePieces) {
    struct Case {
        int from, to;
        int64_t instants;
    };
    const Case cases[] = {{96000, 48000, 9601}, {22050, 44100, 4410}, {44100, 16000, 4411},
                          {8000, 48000, 801},   {44101, 48000, 3001}, {11025, 32000, 7}};
    for (const Case c : cases) {
        const auto in = sine(c.from, 997, 20000, c.instants, 2);
        const auto whole = resample(in, c.from, c.to, 2, in.size());
        EXPECT_EQ(static_cast<int64_t>(whole.size()),
                  2 * convert::resampled_length(c.instants, c.from, c.to))
            << c.from << " -> " << c.to << ", " << c.instants << " instants";
        for (const auto& [piece, threads] :
             {std::pair<size_t, int>{1, 1}, {7, 2}, {1000, 1}, {1000, 2}}) {
            const auto cut = resample(in, c.from, c.to, 2, piece, threads);
            EXPECT_TRUE(cut.size() == whole.size() &&
                        std::memcmp(cut.data(), whole.data(), cut.size() * sizeof(double)) == 0)
                << c.from << " -> " << c.to << " in pieces of " << piece << " on " << threads
                << " threads";
        }
    }
}

// The engine that keeps the bits the same on every processor, and the refusals.
TEST(Resampler, RunsOnTheScalarEngineAndRefusesWhatItCannotResample) {
    const char* error = nullptr;
    const auto r = convert::resampler_create(96000, 48000, 2, 1, error);
    ASSERT_TRUE(r) << error;
    EXPECT_STREQ(convert::resampler_engine(*r), "cr64");
    for (const auto [from, to, channels] :
         {std::array{0, 48000, 2}, std::array{44100, -1, 1}, std::array{44100, 48000, 3}}) {
        EXPECT_FALSE(convert::resampler_create(from, to, channels, 1, error));
        EXPECT_NE(error, nullptr);
    }
}
