// Mixing stereo down to mono: m = (L + R) ÷ 2, on the doubles as they are (no rounding here).
#pragma once

#include <cstddef>
#include <span>

namespace convert {

// Writes the mix of each instant of `stereo` (L, R interleaved; an odd last value is ignored)
// to the front of `mono`, which may be the same storage as `stereo` (instant i is read before
// value i is written). Returns the instants written; `mono` holds at least stereo.size() ÷ 2.
std::size_t mix_to_mono(std::span<const double> stereo, std::span<double> mono);

} // namespace convert
