// The figures of a stream report, gathered from the scanner's events (sbc/scan.h): what
// vantrel-info prints and what the C interface's vantrel_scan gives.
//
//   scanner_next ─► event ─► add_event ─► counts, duration, bytes of the good frames,
//                                         each parameter's distinct values, frames per bitpool
//
// Duration counts every frame, damaged and lost ones included (each by the shape of the
// silence that stands for it); the bit rate is that of the good frames alone.
#pragma once

#include "sbc/scan.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace sbc {

// Distinct values in the order of their first appearance (a frame parameter has at most 5).
struct SeenValues {
    std::array<int32_t, 8> values{};
    size_t count = 0;
    void add(int32_t value);
};

struct StreamReport {
    StreamKind kind = StreamKind::unknown; // the scanner's, set by the caller
    int64_t frames = 0;                    // good frames
    int64_t damaged = 0;                   // damaged frames
    int64_t lost = 0;                      // lost H2 units
    int64_t skipped = 0;                   // bytes in no frame
    double seconds = 0; // the audio the frames stand for, damaged and lost ones included
    double good_seconds = 0;
    int64_t good_bytes = 0; // bytes of the good frames themselves (without H2 framing)
    SeenValues frequencies, channel_modes, subbands, blocks, allocations;
    std::array<int64_t, 256> bitpools{}; // good frames per bitpool
    int64_t events = 0;                  // frame and damaged events so far (numbers them)
};

// Takes one event into the report.
void add_event(StreamReport& report, const ScanEvent& event);

} // namespace sbc
