// The decoding run: a stream of frames in, audio out, damage concealed (or silenced).
#pragma once

#include "cli/common/input.h"
#include "cli/decode/pcm_output.h"
#include "sbc/sbc.h"

#include <cstdint>

namespace cli {

struct DecodeTotals {
    int64_t frames = 0;  // decoded from their bytes
    int64_t damaged = 0; // concealed (or replaced by silence) over their length
    int64_t lost = 0;    // missing H2 units, concealed (or silence)
    int64_t skipped = 0; // bytes that belong to no frame
};

// Decodes `input` into `output` (opened, not yet started) until the input ends, a stop signal
// arrives, the stream changes its frequency or channel count, or writing fails; then finishes
// the output. Lost and damaged frames are filled as `concealment` says. Every frame's audio is
// handed to the output before the next wait for input. Prints at most one summary line (when
// anything was damaged, lost or skipped) and one line for what stopped the run. Returns the exit
// status: 0 when audio was decoded and everything written; 1 when no frame was found, after a
// change of stream, a read or a write failure.
int decode_stream(Input& input, PcmOutput& output, sbc::Concealment concealment,
                  DecodeTotals& totals);

} // namespace cli
