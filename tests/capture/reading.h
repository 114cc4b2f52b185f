// What the capture tests share: a capture read through the reader in pieces of a given size,
// with each stream's frames and the order of its good and missing frames kept.
#pragma once

#include "capture/capture.h"

#include <string>
#include <vector>

namespace capturetest {

struct ReadStream {
    capture::StreamInfo info;
    std::vector<std::string> frames; // good frames, in order
    std::vector<bool> missing;       // per frame position: lost or damaged
};

struct Read {
    std::vector<ReadStream> streams;
    capture::CaptureTotals totals;
    int64_t packet_events = 0;
};

inline Read read_capture(const std::string& bytes, size_t piece = 65536) {
    Read r;
    auto reader = capture::capture_create();
    size_t at = 0;
    for (;;) {
        const capture::Event e = capture::capture_next(*reader);
        if (e.type == capture::EventType::end) break;
        if (e.type == capture::EventType::need_input) {
            if (at == bytes.size()) {
                capture::capture_finish(*reader);
                continue;
            }
            const size_t n = std::min(piece, bytes.size() - at);
            at += capture::capture_push(
                *reader, std::span(reinterpret_cast<const uint8_t*>(bytes.data()) + at, n));
            continue;
        }
        if (e.type == capture::EventType::stream) r.streams.emplace_back();
        if (e.stream < 0 || static_cast<size_t>(e.stream) >= r.streams.size()) continue;
        ReadStream& s = r.streams[static_cast<size_t>(e.stream)];
        if (e.type == capture::EventType::packet) ++r.packet_events;
        if (e.type == capture::EventType::frame) {
            s.frames.emplace_back(reinterpret_cast<const char*>(e.bytes.data()), e.bytes.size());
            s.missing.push_back(false);
        }
        if (e.type == capture::EventType::lost || e.type == capture::EventType::damaged)
            s.missing.insert(s.missing.end(), static_cast<size_t>(e.count), true);
    }
    const auto infos = capture::capture_streams(*reader);
    for (size_t i = 0; i < infos.size() && i < r.streams.size(); ++i) r.streams[i].info = infos[i];
    r.totals = capture::capture_totals(*reader);
    return r;
}

} // namespace capturetest
