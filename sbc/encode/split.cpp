// Encoding one stream in parts: spans of frames coded side by side by separate encoders.
//
// A frame's bytes depend on its own samples, on the configuration and on the filter history,
// which is the 9 blocks before the frame (a window of 10 × M samples slides over M new samples
// per block). So frame k can be coded by a fresh encoder that is first given the frames before k
// covering at least 9 blocks, and whose output for them is thrown away:
//
//   stream      … │ k−2 │ k−1 │  k  │ k+1 │ …          priming frames = ⌈9 ÷ blk_len⌉
//   one pass      ═══════════════════════════►          (16 or 12 blocks: 1, 8: 2, 4: 3)
//   part at k          [prime][prime] k ═════►          fewer at the start, where the
//                                                       history is zeros anyway
//
// The digital-silence shortcut agrees too: a frame is silent when it and the 9 blocks before it
// are zero, which the priming frames establish exactly (their zero count, restarted by any
// non-zero frame, reaches 9 or more only where the one pass has at least as many), and the
// frame that silence gives depends on the configuration alone.
#include "sbc/encode/analysis.h"
#include "sbc/frame.h"
#include "sbc/sbc.h"

#include <algorithm>

namespace sbc {

std::unique_ptr<EncoderState> encoder_create_like(const EncoderState& state) {
    if (encoder_frame_length(state) < 0) return nullptr;
    auto copy =
        encoder_create(state.sampling_frequency, state.channels, state.subbands, state.blk_len);
    if (!copy) return nullptr;
    const int configured =
        state.sync_byte == MSBC_SYNCWORD
            ? encoder_configure_msbc(*copy)
            : encoder_configure(*copy, state.channel_mode, state.bitpool, state.allocation_method);
    return configured == CONFIGURE_OK ? std::move(copy) : nullptr;
}

void encoder_reset(EncoderState& state) {
    if (!state.analysis) return;
    AnalysisState& a = *state.analysis;
    for (auto& row : a.history) row.fill(0.0f);
    for (auto& rows : a.poly) rows.fill(0.0);
    a.poly_next = FIRST_COLUMN;
    a.zero_blocks = HISTORY_BLOCKS;
}

int64_t encoder_priming_frames(const EncoderState& state, int64_t first_frame) {
    if (encoder_frame_length(state) < 0 || first_frame < 0) return -1;
    const int64_t reach = (HISTORY_BLOCKS + state.blk_len - 1) / state.blk_len;
    return std::min(first_frame, reach);
}

} // namespace sbc
