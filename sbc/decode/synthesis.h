// Synthesis filter bank: M subband samples of one channel in, M PCM values out per block
// (M = 4 or 8), in double precision, with a history of the 9 blocks before. See synthesis.cpp.
#pragma once

#include "sbc/prototype.h"
#include "sbc/sbc.h"

#include <array>
#include <cstdint>
#include <memory>

namespace sbc {

// Double-precision rows of one frame and channel, [block × subbands + subband] for band
// samples, [instant] for the filter's output.
using BandRow = std::array<double, MAX_FRAME_SAMPLES>;

inline constexpr int32_t SYNTHESIS_HISTORY = 9; // blocks before the current one in the window
inline constexpr int32_t SYNTHESIS_ROWS = SYNTHESIS_HISTORY + MAX_BLOCKS;
inline constexpr int32_t MAX_MATRIX_ROW = 2 * MAX_SUBBANDS; // 2M values per block

// Implementations of the filter bank. All give the same bits; the widest one the processor
// supports is chosen when the state is built.
enum class SynthesisPath : int32_t { plain, avx2, avx512 };
bool synthesis_path_available(SynthesisPath path);

// One decoder's filter history. Per channel, rows of 2M values (the matrixing output V of one
// block, rows packed by the actual M): rows 0..8 hold the 9 blocks before the frame, oldest
// first; a frame writes its blocks to rows 9.. and leaves its own last 9 in rows 0..8.
struct SynthesisState {
    alignas(64) std::array<std::array<double, SYNTHESIS_ROWS * MAX_MATRIX_ROW>, MAX_CHANNELS> v{};
    SynthesisPath path = SynthesisPath::plain;
};

// A filter bank with zero history, on the widest path this processor runs.
std::unique_ptr<SynthesisState> synthesis_create();

// Zeroes the history of both channels, as at the start of a stream.
void synthesis_clear(SynthesisState& state);

// Filters one channel's frame: sb holds blocks × subbands band samples, [block × M + band];
// pcm receives blocks × M values in time order. Trusts its arguments: channel 0 or 1,
// subbands 4 or 8, 1 <= blocks <= MAX_BLOCKS (the decoder checks them once per frame).
void synthesize_channel(SynthesisState& state, int32_t channel, int32_t subbands, int32_t blocks,
                        const BandRow& sb, BandRow& pcm);

// ---- The coefficients, shared by every path ------------------------------------------------

// cos(n π / 16), n = 0..8, correctly rounded: every cosine of the filter bank is one of these
// with a sign (its arguments are multiples of π/16 for M = 8, of π/8 for M = 4).
inline constexpr std::array<double, 9> cos_sixteenths = {1.0,
                                                         0.9807852804032304,
                                                         0.9238795325112867,
                                                         0.8314696123025452,
                                                         0.7071067811865476,
                                                         0.5555702330196022,
                                                         0.3826834323650898,
                                                         0.19509032201612828,
                                                         0.0};

// cos(n π / 16) for any n ≥ 0, by the symmetries of the cosine (exact sign flips).
constexpr double cos_pi_sixteenths(int32_t n) {
    const int32_t r = n % 32;
    if (r <= 8) return cos_sixteenths[static_cast<size_t>(r)];
    if (r <= 16) return -cos_sixteenths[static_cast<size_t>(16 - r)];
    if (r <= 24) return -cos_sixteenths[static_cast<size_t>(r - 16)];
    return cos_sixteenths[static_cast<size_t>(32 - r)];
}

// The matrixing coefficients N[k][i] = cos((i + ½)(k + M/2) π / M), stored by column:
// entry i × 2M + k, so that column i multiplies band sample i into all 2M outputs.
// (i + ½)(k + M/2) π / M = (2i + 1)(2k + M) (4 / M) π / 16.
template <int32_t M> constexpr std::array<double, 2 * M * M> make_synthesis_matrix() {
    std::array<double, 2 * M * M> n{};
    for (int32_t i = 0; i < M; ++i)
        for (int32_t k = 0; k < 2 * M; ++k)
            n[static_cast<size_t>(i * 2 * M + k)] =
                cos_pi_sixteenths((2 * i + 1) * (2 * k + M) * 4 / M);
    return n;
}

// The window D[i] = −M × C[i], i = 0..10M−1, where C is the prototype with the sign of every
// odd-numbered group of 2M taps reversed (the encoder's analysis window).
template <int32_t M> constexpr std::array<double, 10 * M> make_synthesis_window() {
    std::array<double, 10 * M> d{};
    for (int32_t i = 0; i < 10 * M; ++i) {
        const double c = (i / (2 * M)) % 2 == 0 ? prototype_at(M, i) : -prototype_at(M, i);
        d[static_cast<size_t>(i)] = -M * c;
    }
    return d;
}

template <int32_t M> inline constexpr auto synthesis_matrix = make_synthesis_matrix<M>();
template <int32_t M> inline constexpr auto synthesis_window = make_synthesis_window<M>();

} // namespace sbc
