// Output: the filter's values as samples.
//
//   16-bit   x ──clamp to −32768..32767──► round half away from zero ──► int16
//   float    x × 2^−15, rounded to single precision (full scale ±1.0; no clamp)
//
// Clamping to the integer bounds before rounding gives the same result as rounding first and
// saturating after, and keeps every conversion in range: an overdriven stream saturates and
// never wraps. Rounding: t = x truncated toward zero; x − t is exact, and t moves one step
// away from zero when |x − t| >= ½. Every step is exact, so the AVX2 path (output_avx2.cpp)
// gives the same samples as this one.
#include "sbc/decode/output.h"

#include "sbc/decode/output_simd.h"

namespace sbc {

namespace {

constexpr double pcm_low = -32768.0;
constexpr double pcm_high = 32767.0;
constexpr double float_scale = 1.0 / 32768.0;
constexpr int32_t avx2_step = 8; // instants per round of the AVX2 loops (mono and stereo)

float float_of(double x) {
    return static_cast<float>(x * float_scale);
}

template <class Sample, class Convert>
void interleave(const std::array<BandRow, MAX_CHANNELS>& pcm, int32_t channels, int32_t from,
                int32_t instants, std::span<Sample> out, Convert convert) {
    for (int32_t i = from; i < instants; ++i)
        for (int32_t ch = 0; ch < channels; ++ch)
            out[static_cast<size_t>(i * channels + ch)] = convert(pcm[ch][i]);
}

OutputPath widest_path() {
    static const OutputPath widest =
        output_path_available(OutputPath::avx2) ? OutputPath::avx2 : OutputPath::plain;
    return widest;
}

// Instants the AVX2 loops cover (whole rounds); the plain loop does the rest.
int32_t vector_part(OutputPath path, int32_t instants) {
    return path == OutputPath::avx2 ? instants - instants % avx2_step : 0;
}

} // namespace

int16_t pcm16_of(double x) {
    const double high = x > pcm_high ? pcm_high : x;
    const double c = high < pcm_low ? pcm_low : high;
    auto r = static_cast<int32_t>(c);
    const double frac = c - static_cast<double>(r);
    r += static_cast<int32_t>(frac >= 0.5) - static_cast<int32_t>(frac <= -0.5);
    return static_cast<int16_t>(r);
}

bool output_path_available(OutputPath path) {
#if defined(__x86_64__) || defined(_M_X64)
    if (path == OutputPath::avx2) return __builtin_cpu_supports("avx2");
#endif
    return path == OutputPath::plain;
}

void write_pcm16_on(OutputPath path, const std::array<BandRow, MAX_CHANNELS>& pcm, int32_t channels,
                    int32_t instants, std::span<int16_t> out) {
    const int32_t done = vector_part(path, instants);
#if defined(__x86_64__) || defined(_M_X64)
    if (done > 0)
        write_pcm16_avx2(pcm[0].data(), channels == 2 ? pcm[1].data() : nullptr, done, out.data());
#endif
    interleave(pcm, channels, done, instants, out, pcm16_of);
}

void write_float_on(OutputPath path, const std::array<BandRow, MAX_CHANNELS>& pcm, int32_t channels,
                    int32_t instants, std::span<float> out) {
    const int32_t done = vector_part(path, instants);
#if defined(__x86_64__) || defined(_M_X64)
    if (done > 0)
        write_float_avx2(pcm[0].data(), channels == 2 ? pcm[1].data() : nullptr, done, out.data());
#endif
    interleave(pcm, channels, done, instants, out, float_of);
}

void write_pcm16(const std::array<BandRow, MAX_CHANNELS>& pcm, int32_t channels, int32_t instants,
                 std::span<int16_t> out) {
    write_pcm16_on(widest_path(), pcm, channels, instants, out);
}

void write_float(const std::array<BandRow, MAX_CHANNELS>& pcm, int32_t channels, int32_t instants,
                 std::span<float> out) {
    write_float_on(widest_path(), pcm, channels, instants, out);
}

} // namespace sbc
