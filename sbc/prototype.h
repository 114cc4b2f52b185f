// The prototype low-pass filter of the SBC filter banks, shared by both directions: the
// encoder's analysis window and the decoder's synthesis window are both made from it.
//
//   h[0 .. L/2], L = 10 M taps (40 for M = 4, 80 for M = 8), symmetric: h[i] = h[L − i]
//
// The values are the standard's decimal ones, held as doubles (the decoder's precision); the
// encoder stores them in single precision, and each value rounds to the same float from the
// double as from its decimal form.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace sbc {

// clang-format off
inline constexpr std::array<double, 21> prototype4 = {
    0.0,            5.3654896e-04,  1.4918835e-03,  2.733709e-03,   3.837202e-03,
    3.8920515e-03,  1.8658169e-03,  -3.060123e-03,  -1.0913762e-02, -2.0438509e-02,
    -2.8875738e-02, -3.219393e-02,  -2.5876781e-02, -6.132452e-03,  2.8821727e-02,
    7.764635e-02,   1.3559328e-01,  1.9498785e-01,  2.4663666e-01,  2.818282e-01,
    2.9431534e-01};

inline constexpr std::array<double, 41> prototype8 = {
    0.0,            1.5657539e-04,  3.4325643e-04,  5.5462023e-04,  8.239195e-04,
    1.1399251e-03,  1.4764017e-03,  1.7837172e-03,  2.0118253e-03,  2.1037199e-03,
    1.9945456e-03,  1.6165628e-03,  9.021545e-04,   -1.7880536e-04, -1.649731e-03,
    -3.4971745e-03, -5.6594945e-03, -8.029412e-03,  -1.0458444e-02, -1.2747234e-02,
    -1.4652526e-02, -1.590456e-02,  -1.6220847e-02, -1.53184105e-02, -1.2937181e-02,
    -8.857575e-03,  -2.9240844e-03, 4.9157804e-03,  1.4640408e-02,  2.6109876e-02,
    3.907514e-02,   5.3187303e-02,  6.7998946e-02,  8.298476e-02,   9.757539e-02,
    1.1119669e-01,  1.2326455e-01,  1.3326442e-01,  1.4075351e-01,  1.4538984e-01,
    1.4695507e-01};
// clang-format on

// h[i] for 0 <= i < 10 × subbands (subbands 4 or 8; trusted).
constexpr double prototype_at(int32_t subbands, int32_t i) {
    const int32_t len = 10 * subbands;
    const int32_t mirrored = i <= len / 2 ? i : len - i;
    return subbands == 4 ? prototype4[static_cast<size_t>(mirrored)]
                         : prototype8[static_cast<size_t>(mirrored)];
}

} // namespace sbc
