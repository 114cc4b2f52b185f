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

// The frame filter's history: one row per phase r (0..M-1) of a channel, column q holding sample
// r of block q. A block's window reaches back over the 9 blocks before it. Frames are appended
// column by column from FIRST_COLUMN on; only when a frame no longer fits are the last 9 columns
// moved back to just before FIRST_COLUMN (once every 8 frames of 16 blocks). Rows are a multiple
// of 64 bytes long and frames of 16 blocks start on a 64-byte boundary.
inline constexpr int32_t HISTORY_BLOCKS = 9;
inline constexpr int32_t FIRST_COLUMN = 16;
inline constexpr int32_t POLY_COLUMNS = FIRST_COLUMN + 8 * MAX_BLOCKS;
using PolyHistory = std::array<double, MAX_SUBBANDS * POLY_COLUMNS>;

// Implementations of the frame filter. All give the same bits; the widest one the processor
// supports is chosen when the state is built.
enum class FilterPath : int32_t {
    scalar, // one block at a time, portable
    sse2,   // two blocks side by side (every x86-64)
    avx2,   // four blocks, fused multiply-add (AVX2 + FMA)
    avx512, // eight or sixteen blocks (AVX-512F, BW and DQ)
};

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

    // The frame filter (analysis_frame): coefficients widened to double, polyphase histories.
    std::array<double, MAX_WINDOW_LEN> window_wide{};
    std::array<double, MAX_SUBBANDS / 2 * MAX_SUBBANDS> cosine_wide{}; // [row × M + column]
    alignas(64) std::array<PolyHistory, MAX_CHANNELS> poly{};
    int32_t poly_next = FIRST_COLUMN; // column of the next frame's first block
    FilterPath path = FilterPath::scalar;
    // Blocks of digital silence at the end of the histories, counted up to SILENCE_REACH (the
    // histories start out silent).
    int32_t zero_blocks = HISTORY_BLOCKS;
};

// Enough silent blocks for any frame to be silent: its own and the 9 before it.
inline constexpr int32_t SILENCE_REACH = MAX_BLOCKS + HISTORY_BLOCKS;

// A filter bank for `subbands` (4 or 8) bands and `channels` (1 or 2) histories, all zero.
// Returns null for any other value.
std::unique_ptr<AnalysisState> analysis_init(int32_t subbands, int32_t channels);

// Filters `blocks` blocks of one channel: input holds blocks × M samples in time order,
// output receives blocks × M subband samples at [block × M + subband], in PCM units.
// Advances that channel's history by blocks × M samples. Returns 0, or -1 (nothing touched)
// when the channel does not exist or either span is shorter than blocks × M.
int analysis_filter(AnalysisState& state, std::span<const float> input, std::span<float> output,
                    int32_t channel, int32_t blocks);

// Filters one whole frame of every channel, straight from interleaved 16-bit PCM (pcm holds
// blocks × M × channels values): sb_sample[c][block × M + band]. Gives exactly the samples that
// analysis_filter gives for the same PCM as floats, but keeps its own history, so one state is
// driven by one of the two functions only. Trusts its arguments: `channels` is at most the
// state's channel count (the other histories take nothing), 1 <= blocks <= MAX_BLOCKS and pcm
// is long enough (encoder_encode_frame checks all of them).
// Returns true for a silent frame: its samples and the 9 blocks before them are all zero, so
// every band sample is +0.0 (what the filter computes from zeros); the filter is then skipped.
// With `filter` false the histories take the frame and sb_sample is left alone (for a filter
// being filled, whose first band samples nobody reads).
bool analysis_frame(AnalysisState& state, std::span<const int16_t> pcm, int32_t channels,
                    int32_t blocks, std::array<SampleRow, MAX_CHANNELS>& sb_sample,
                    bool filter = true);

// True when this processor can run `path`.
bool filter_path_available(FilterPath path);

// Releases the filter bank (its arrays are part of the record).
void analysis_free(std::unique_ptr<AnalysisState> state, int32_t channels);

} // namespace sbc
