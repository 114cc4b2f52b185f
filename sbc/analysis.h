// Polyphase analysis filter bank: one channel's PCM in, M subband samples per block of M
// input samples out (M = 4 or 8), with a window of L = 10 × M taps. See analysis.cpp.
#pragma once

#include "sbc/sbc.h"

#include <array>
#include <cstdint>
#include <memory>
#include <span>

namespace sbc {

inline constexpr int32_t MAX_WINDOW_LEN = 10 * MAX_SUBBANDS; // 80 taps

// Coefficients and history of the filter bank of one encoder. Arrays are sized for M = 8;
// with M = 4 only the leading entries are used.
struct AnalysisState {
    int32_t partial_count = 0;                  // 2M windowed partial sums per block
    int32_t half_subbands = 0;                  // M / 2 matrix rows
    int32_t fold_center = 0;                    // 3M / 2, centre of the odd fold
    int32_t taps = 0;                           // L / 2M = 5 taps per partial sum
    int32_t history_len = 0;                    // L samples of history per channel
    int32_t subbands = 0;                       // M
    int32_t window_len = 0;                     // L
    std::array<float, MAX_WINDOW_LEN> window{}; // signed window w
    std::array<std::array<float, MAX_WINDOW_LEN>, MAX_CHANNELS> history{};  // newest at [0]
    std::array<float, 2 * MAX_SUBBANDS> partial{};                          // per-block scratch
    std::array<std::array<float, MAX_SUBBANDS>, MAX_SUBBANDS / 2> cosine{}; // folded matrix
    int32_t channels = 0;                                                   // histories in use
};

// A filter bank for `subbands` (4 or 8) bands and `channels` (1 or 2) histories, all zero.
// Returns null for any other value.
std::unique_ptr<AnalysisState> analysis_init(int32_t subbands, int32_t channels);

// Filters `blocks` blocks of one channel: input holds blocks × M samples in time order,
// output receives blocks × M subband samples at [block × M + subband], in PCM units.
// Advances that channel's history by blocks × M samples. Returns 0, or -1 (nothing touched)
// when the channel does not exist or either span is shorter than blocks × M.
int analysis_filter(AnalysisState& state, std::span<const float> input, std::span<float> output,
                    int32_t channel, int32_t blocks);

// Releases the filter bank (its arrays are part of the record).
void analysis_free(std::unique_ptr<AnalysisState> state, int32_t channels);

} // namespace sbc
