// Concealment of lost frames: waveform substitution, carried through the filter banks so that
// the frame after a gap joins without a restart. See conceal.cpp.
#pragma once

#include "sbc/decode/synthesis.h"
#include "sbc/encode/analysis.h"
#include "sbc/sbc.h"

#include <array>
#include <cstdint>
#include <memory>

namespace sbc {

// The longest lag searched, in instants (35 ms at 48000 Hz), and the reach of the search:
// 2048 instants hold it with the template (6 ms) in front of it.
inline constexpr int32_t CONCEAL_MAX_LAG = 1680;
inline constexpr int32_t CONCEAL_HISTORY = 2048;
// Output kept per channel: the search's reach, and room for a gap to run until its fade ends
// (50 ms, 2400 instants at 48000 Hz) while the period it repeats, the last lag instants
// before it, is still kept.
inline constexpr int32_t CONCEAL_RING = 4096;

// The search, the fade and the rejoin for one sampling frequency, in instants.
struct ConcealPlan {
    int32_t min_lag = 0, max_lag = 0; // lags searched
    int32_t window = 0;               // template: the last `window` instants before the gap
    int32_t decimation = 1;           // the coarse search's step,
    int32_t fine_reach = 0;           // and how far from its best the fine search looks
    int32_t hold = 0;                 // full level this long into a gap,
    int32_t fade_end = 0;             // then a linear fade, silent from here on
    int32_t max_drift = 0;            // how far the rejoin may move the continuation
    int32_t blend = 0;                // the rejoin's turn from the old history to the redrawn one
    int32_t reuse_within = 0;         // a gap this soon after another first tries its lag
};

// The plan for `sampling_frequency` (Hz; 16000, 32000, 44100 or 48000).
ConcealPlan conceal_plan(int32_t sampling_frequency);

// One decoder's concealment: the recent output and the state of the gap being filled.
struct ConcealState {
    // Recent output per channel, concealed frames included: a ring of CONCEAL_RING instants
    // whose first CONCEAL_HISTORY are written again after its end, so that any stretch of up
    // to CONCEAL_HISTORY instants lies in one piece.
    std::array<std::array<double, CONCEAL_RING + CONCEAL_HISTORY>, MAX_CHANNELS> ring{};
    int32_t next = 0;               // where the next instant goes, 0 .. CONCEAL_RING − 1
    int32_t filled = 0;             // instants kept, at most CONCEAL_RING
    int32_t sampling_frequency = 0; // of what the buffer holds

    // The gap: the waveform continues as gain × period[i mod lag] × fade(i), i counted from the
    // gap's first instant, the period being ring[c][period_start, period_start + lag): the
    // last lag instants before the gap. `position` is the first instant of the next lost frame.
    bool in_gap = false;
    int32_t lag = 0;
    int32_t period_start = 0;
    int64_t position = 0;
    int32_t last_lag = 0;  // the lag of the last gap (0: none since the kept output began),
    int64_t since_gap = 0; // and the instants kept since that gap began
    std::array<double, MAX_CHANNELS> gain{};

    // The encoder's filter bank (4 and 8 bands, two channels) analysing the continuation; its
    // history runs on from one lost frame to the next. A synthesis filter for the rejoin.
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

// The first good frame after a gap, already synthesised on the history the gap left (band
// samples sb[c][block × subbands + band], output pcm[c][instant]): when the frame has 11
// blocks or more, its first 9 blocks are made again on a history redrawn to lead into the
// frame's own later instants, and pcm turns to them within the plan's `blend` instants.
void conceal_rejoin(ConcealState& state, const FrameHeader& header,
                    const std::array<BandRow, MAX_CHANNELS>& sb,
                    std::array<BandRow, MAX_CHANNELS>& pcm);

} // namespace sbc
