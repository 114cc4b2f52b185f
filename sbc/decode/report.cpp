// The figures of a stream report from the scanner's events (sbc/report.h).
#include "sbc/report.h"

#include <algorithm>

namespace sbc {

namespace {

double seconds_of(const FrameHeader& h) {
    return h.sampling_frequency > 0
               ? static_cast<double>(h.blocks) * h.subbands / h.sampling_frequency
               : 0.0;
}

} // namespace

void SeenValues::add(int32_t value) {
    const auto end = values.begin() + static_cast<std::ptrdiff_t>(count);
    if (std::find(values.begin(), end, value) == end && count < values.size())
        values[count++] = value;
}

void add_event(StreamReport& r, const ScanEvent& e) {
    switch (e.type) {
    case ScanEventType::frame: {
        const FrameHeader& h = e.header;
        ++r.frames;
        ++r.events;
        r.seconds += seconds_of(h);
        r.good_seconds += seconds_of(h);
        r.good_bytes += h.length;
        r.frequencies.add(h.sampling_frequency);
        r.channel_modes.add(h.channel_mode);
        r.subbands.add(h.subbands);
        r.blocks.add(h.blocks);
        r.allocations.add(h.allocation_method);
        ++r.bitpools[static_cast<size_t>(std::clamp(h.bitpool, 0, 255))];
        break;
    }
    case ScanEventType::damaged:
        ++r.damaged;
        ++r.events;
        r.seconds += seconds_of(e.header);
        break;
    case ScanEventType::lost:
        r.lost += e.lost_frames;
        r.seconds += e.lost_frames * seconds_of(e.header);
        break;
    case ScanEventType::skipped:
        r.skipped += e.length;
        break;
    case ScanEventType::need_input:
    case ScanEventType::end:
        break;
    }
}

} // namespace sbc
