// The filter bank's double-precision output as the caller's samples: 16-bit integers or
// floats, interleaved by channel. See output.cpp.
#pragma once

#include "sbc/decode/synthesis.h"
#include "sbc/sbc.h"

#include <array>
#include <cstdint>
#include <span>

namespace sbc {

// One value: rounded to nearest, halves away from zero, and saturated to −32768..32767.
int16_t pcm16_of(double x);

// The ways of converting: one value at a time, or four per AVX2 register. Both give the same
// samples; write_pcm16 and write_float take the widest the processor has.
enum class OutputPath : int32_t { plain, avx2 };
bool output_path_available(OutputPath path);

// `instants` values of each of `channels` rows into `out`, interleaved (instant 0 of channel
// 0, of channel 1, instant 1, ...). Trusted: channels 1 or 2, instants <= MAX_FRAME_SAMPLES,
// out holds instants × channels values.
void write_pcm16(const std::array<BandRow, MAX_CHANNELS>& pcm, int32_t channels, int32_t instants,
                 std::span<int16_t> out);

// The same as floats, each value divided by 32768 (full scale ±1.0), not saturated.
void write_float(const std::array<BandRow, MAX_CHANNELS>& pcm, int32_t channels, int32_t instants,
                 std::span<float> out);

// Both on a given path, which must be available.
void write_pcm16_on(OutputPath path, const std::array<BandRow, MAX_CHANNELS>& pcm, int32_t channels,
                    int32_t instants, std::span<int16_t> out);
void write_float_on(OutputPath path, const std::array<BandRow, MAX_CHANNELS>& pcm, int32_t channels,
                    int32_t instants, std::span<float> out);

} // namespace sbc
