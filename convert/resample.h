// Sample-rate conversion of interleaved doubles, one stream at a time, with libsoxr.
//
//   auto r = resampler_create(96000, 48000, 2, 2, error);      // null (and `error`) on refusal
//   n = resampler_process(*r, in, taken, out);                 // as input arrives
//   while ((n = resampler_drain(*r, out)) > 0) ...             // after the last input: the tail
//
// The filter is linear phase at soxr's very high quality (28-bit precision, pass band to 91.3 %
// of the lower Nyquist frequency), and its delay is taken out: output instant k lies at input
// time k × from_rate / to_rate, and n input instants give resampled_length(n, ...) output
// instants in all. Values keep their scale (the encoder gives it doubles on the 16-bit scale).
//
// The same input gives the same output bits on every x86-64 processor: soxr's double-precision
// engine has a vector variant that it picks by itself where the processor has AVX, and whose
// last bits differ, so the scalar engine ("cr64") is asked for. What can still change the bits is
// another build of libsoxr or of the C library's sine and exponential (the filter's design).
//
// Each channel has an engine of its own (a stereo engine gives the same bits as two mono ones),
// so that with two threads the second channel is resampled on a helper thread while the caller
// resamples the first: resampling costs several times what encoding does.
//
//   in  L R L R ...  ─► L L ... ─► engine 0 (caller) ─► L' L' ... ─┐
//                   └► R R ... ─► engine 1 (helper) ─► R' R' ... ─┴► out  L' R' L' R' ...
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

struct soxr; // libsoxr's resampler

namespace convert {

struct SoxrDeleter {
    void operator()(soxr* resampler) const noexcept;
};

struct ChannelHelper; // the thread that resamples channel 1 (resample.cpp)

struct Resampler {
    Resampler();
    ~Resampler(); // ends and joins the helper thread
    Resampler(const Resampler&) = delete;
    Resampler& operator=(const Resampler&) = delete;

    std::array<std::unique_ptr<::soxr, SoxrDeleter>, 2> engines; // one per channel
    std::size_t channels = 0;
    bool drained = false;                                     // the end of the input was given
    std::array<std::vector<double>, 2> planar_in, planar_out; // one piece of each channel
    std::unique_ptr<ChannelHelper> helper;                    // null: all on the caller's thread
};

// A resampler from `from_rate` to `to_rate` Hz for `channels` interleaved channels; with
// `threads` of 2 or more and two channels, the second is resampled on a thread of its own (where
// no thread can be started, on the caller's), which takes none of the process's signals.
// Refuses (null, with libsoxr's reason or ours in `error`) rates below 1 and channels outside
// 1..2. Sets and reads the environment while it runs, one creation at a time in the process:
// resamplers may be created on several threads at once, but not beside other code of the
// process that changes the environment.
std::unique_ptr<Resampler> resampler_create(int32_t from_rate, int32_t to_rate, int32_t channels,
                                            int threads, const char*& error);

// Takes whole instants from the front of `in` (their count of values in `taken`: all of them,
// unless `out` filled first or more than one piece of 4096 instants was given) and writes the
// output they complete to the front of `out`. Returns the values written. Nothing may be given
// after resampler_drain; a failure of libsoxr takes and writes nothing.
std::size_t resampler_process(Resampler& resampler, std::span<const double> in, std::size_t& taken,
                              std::span<double> out);

// After the last input: writes what is left of the output to the front of `out` and returns the
// values written; call again until it returns 0, once everything has come out.
std::size_t resampler_drain(Resampler& resampler, std::span<double> out);

// Output instants for `frames` input instants: frames × to_rate ÷ from_rate, rounded to the
// nearest (a half up), as the resampler delivers them; 0 for rates below 1.
int64_t resampled_length(int64_t frames, int32_t from_rate, int32_t to_rate);

// The engine libsoxr runs, for reports ("cr64").
const char* resampler_engine(const Resampler& resampler);

} // namespace convert
