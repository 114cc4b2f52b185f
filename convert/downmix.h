// Mixing 3 to 8 channels down to stereo by the ITU-R BS.775 matrix, from the speakers the
// channels feed (the bits of an extensible WAVE's channel mask, channel 0 taking the lowest bit).
//
//   Lo = L + a·C + a·Ls + a·Lb + 0.5·Cb + FLc        a = 1/√2 (−3 dB), the LFE dropped
//   Ro = R + a·C + a·Rs + a·Rb + 0.5·Cb + FRc
//
// then every gain divided by the larger of the two rows' sums, so that a full-scale input cannot
// overflow the output. A layout that is not known (no mask, a mask whose bits do not number the
// channels, or a speaker the table lacks) takes the first two channels as left and right.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace convert {

// The most channels mixed down.
inline constexpr int MAX_DOWNMIX_CHANNELS = 8;

// The speakers the matrix knows: the eleven of the extensible WAVE channel mask from
// SPEAKER_FRONT_LEFT to SPEAKER_SIDE_RIGHT (audiofile/audiofile.h).
inline constexpr std::uint32_t KNOWN_SPEAKERS = 0x7FF;

// One input channel's part in an output: gain × the channel's value.
struct DownmixTerm {
    std::size_t channel = 0;
    double gain = 0;
};

// The gains of one layout: rows[0] makes the left output, rows[1] the right, each the terms of
// the channels whose gain is not 0, in channel order.
struct DownmixRow {
    std::array<DownmixTerm, MAX_DOWNMIX_CHANNELS> terms{};
    std::size_t count = 0;
};
struct Downmix {
    int channels = 0;
    std::uint32_t mask = 0; // the layout's speakers; 0 when it is not known
    bool known = false;     // false: the first two channels are taken as they are
    std::array<DownmixRow, 2> rows{};
};

// The usual layout of `channels` channels, in FLAC's order (the extensible WAVE order too):
// 3.0, quad, 5.0, 5.1, 6.1, 7.1 for 3 to 8 (0x7, 0x33, 0x37, 0x3F, 0x70F, 0x63F); 0 for others.
std::uint32_t usual_channel_mask(int channels);

// The mixdown of `channels` (3..8) channels feeding the speakers of `mask`.
Downmix downmix_for(int channels, std::uint32_t mask);

// The name of the layout of a known mixdown ("5.1", "7.1", "quad"), or null for a layout
// without a common name.
const char* layout_name(std::uint32_t mask);

// Writes the stereo mix of each instant of `in` (d.channels values each, interleaved) to the
// front of `out`, which may be the same storage as `in` (instant i is read whole before values
// 2i and 2i + 1 are written). Returns the instants written; `out` holds at least 2 per instant.
// Each output value is the sum of its row's terms in order (from 0), so the same input gives the
// same doubles however it is cut.
std::size_t downmix_to_stereo(const Downmix& d, std::span<const double> in, std::span<double> out);

} // namespace convert
