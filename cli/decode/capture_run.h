// vantrel-decode on a capture of a Bluetooth link: one stream's audio, or its frames as a bare
// file.
//
//   capture ─► capture reader ─► events of the chosen stream ─┬─ frame ──► decoder ─► output
//                                                             ├─ damaged, lost ─► concealment,
//                                                             │   one frame each (timing kept)
//                                                             └─ -t sbc|msbc|h2: the good
//                                                                 frames as they are
#pragma once

#include "cli/common/input.h"
#include "cli/decode/pcm_output.h"

namespace cli {

struct CaptureDecodeOptions {
    const char* type = nullptr;           // -t: a container, or sbc, msbc, h2 for bare frames
    const char* output = nullptr;         // -o
    bool float_samples = false;           // -f
    const char* stream = nullptr;         // -s: the stream's number; null for the first one found
    Container container = Container::wav; // when -t names no bare frames
    sbc::Concealment concealment = sbc::Concealment::automatic; // -c: lost and damaged frames
};

// True for the -t words that ask for a stream's frames as they are: sbc, msbc, h2.
bool bare_frames_type(const char* type);

// Decodes one stream of the capture `input` (recognised, opened) as `options` ask. Messages on
// standard error: which stream was taken when there are several, what was lost or damaged, the
// capture's remarks. Returns the exit status: 0 when the stream's audio (or frames) was written.
int decode_capture(Input& input, const CaptureDecodeOptions& options);

} // namespace cli
