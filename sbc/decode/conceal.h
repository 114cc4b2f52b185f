// Concealment of lost frames: waveform substitution, carried through the synthesis filter so
// that the frame after a gap joins without a restart. See conceal.cpp.
#pragma once

#include "sbc/decode/synthesis.h"
#include "sbc/encode/analysis.h"
#include "sbc/sbc.h"

#include <array>
#include <cstdint>
#include <memory>

namespace sbc {

// Output kept per channel for the search: 2048 instants reach 35 ms back at 48000 Hz with the
// template (6 ms) in front of them. The buffer holds twice that, so that appending a frame
// moves the kept part only once every 2048 / frame instants.
inline constexpr int32_t CONCEAL_HISTORY = 2048;
inline constexpr int32_t CONCEAL_BUFFER = 2 * CONCEAL_HISTORY;
// The longest lag searched, in instants (35 ms at 48000 Hz).
inline constexpr int32_t CONCEAL_MAX_LAG = 1680;

// The search and the fade for one sampling frequency, in instants.
struct ConcealPlan {
    int32_t min_lag = 0, max_lag = 0; // lags searched
    int32_t window = 0;               // template: the last `window` instants before the gap
    int32_t decimation = 1;           // the coarse search's step
    int32_t hold = 0;                 // full level this long into a gap,
    int32_t fade_end = 0;             // then a linear fade, silent from here on
};

// The plan for `sampling_frequency` (Hz; 16000, 32000, 44100 or 48000).
ConcealPlan conceal_plan(int32_t sampling_frequency);

// One decoder's concealment: the recent output and the state of the gap being filled.
struct ConcealState {
    // Recent output per channel: buffer[end - filled, end), oldest first.
    std::array<std::array<double, CONCEAL_BUFFER>, MAX_CHANNELS> buffer{};
    int32_t end = 0;
    int32_t filled = 0;
    int32_t sampling_frequency = 0; // of what the buffer holds

    // The gap: the waveform continues as gain × period[i mod lag] × fade(i), i counted from the
    // gap's first instant; `position` is the first instant of the next lost frame.
    bool in_gap = false;
    int32_t lag = 0;
    int64_t position = 0;
    std::array<double, MAX_CHANNELS> gain{};
    std::array<std::array<double, CONCEAL_MAX_LAG>, MAX_CHANNELS> period{};

    // Re-analysis of the continued waveform, one filter bank for each band count (1 channel),
    // and a synthesis filter for trial runs.
    std::unique_ptr<AnalysisState> analysis4, analysis8;
    std::unique_ptr<SynthesisState> scratch;
};

// A concealment state with nothing kept; null when memory runs out.
std::unique_ptr<ConcealState> conceal_create();

// Forgets the kept output and any gap (after a change of shape or frequency).
void conceal_forget(ConcealState& state);

// Keeps the output of a frame decoded from its bytes (pcm[c][0 .. instants)), and ends a gap.
// A frame of another sampling frequency than the kept output first forgets it.
void conceal_keep(ConcealState& state, int32_t sampling_frequency, int32_t channels,
                  int32_t instants, const std::array<BandRow, MAX_CHANNELS>& pcm);

// Fills the lost frame of shape `header` (channels and subbands those of the synthesis
// history) into pcm[c][0 .. blocks × subbands): band samples estimated from the continued
// waveform go through the synthesis filter, whose history thereby runs on. The output is kept.
void conceal_lost_frame(ConcealState& state, SynthesisState& synthesis, const FrameHeader& header,
                        std::array<BandRow, MAX_CHANNELS>& pcm);

// The first good frame after a gap (band samples sb[c][block × subbands + band]), before it is
// synthesised: when the frame's own later instants show that the continuation drifted from
// the signal, the history's last 9 blocks are redrawn to turn towards it.
void conceal_rejoin(ConcealState& state, SynthesisState& synthesis, const FrameHeader& header,
                    const std::array<BandRow, MAX_CHANNELS>& sb);

} // namespace sbc
