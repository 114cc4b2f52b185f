// Where the stages put their events: a small queue the reader drains before it reads the next
// record, and the stream's counts, kept as the events go in.
//
// One record makes at most a stream event, a packet event and a few frame, damaged and lost
// events (an A2DP packet has at most 15 frames, an SCO packet at most 255 bytes, about 6 H2
// units), so EVENT_QUEUE_SIZE is never reached.
#pragma once

#include "capture/bytes.h"
#include "capture/capture.h"

#include <array>

namespace capture {

inline constexpr size_t EVENT_QUEUE_SIZE = 64;

// A silence longer than this between two packets of a stream is a break (a pause, a capture
// stopped and started), not a loss.
inline constexpr double MAX_GAP_SECONDS = 10.0;

struct EventQueue {
    std::array<Event, EVENT_QUEUE_SIZE> events{};
    size_t head = 0, tail = 0;
    bool empty() const { return head == tail; }
    void push(const Event& e) {
        if (tail < events.size()) events[tail++] = e;
    }
    Event pop() {
        const Event e = events[head++];
        if (head == tail) head = tail = 0;
        return e;
    }
};

inline double seconds_of(const sbc::FrameHeader& h) {
    return h.sampling_frequency > 0
               ? static_cast<double>(h.blocks) * h.subbands / h.sampling_frequency
               : 0.0;
}

// One stream's events into the queue, its counts kept.
struct Sink {
    EventQueue& queue;
    StreamInfo& info;

    void packet(const PacketInfo& p) {
        ++info.packets;
        if (p.truncated) ++info.truncated;
        Event e{EventType::packet, info.index};
        e.packet = p;
        queue.push(e);
    }
    void frame(Bytes bytes, const sbc::FrameHeader& h, int32_t h2_sequence = -1) {
        ++info.frames;
        info.seconds += seconds_of(h);
        info.instants += h.blocks * h.subbands;
        if (info.first.sampling_frequency == 0) info.first = h;
        Event e{EventType::frame, info.index};
        e.header = h;
        e.bytes = bytes;
        e.h2_sequence = h2_sequence;
        queue.push(e);
    }
    void damaged(int64_t count, const sbc::FrameHeader& shape) {
        missing(EventType::damaged, count, shape);
    }
    void lost(int64_t count, const sbc::FrameHeader& shape) {
        missing(EventType::lost, count, shape);
    }

  private:
    void missing(EventType type, int64_t count, const sbc::FrameHeader& shape) {
        if (count <= 0) return;
        (type == EventType::lost ? info.lost : info.damaged) += count;
        info.seconds += static_cast<double>(count) * seconds_of(shape);
        if (shape.sampling_frequency > 0) info.instants += count * shape.blocks * shape.subbands;
        Event e{type, info.index, count};
        e.header = shape;
        queue.push(e);
    }
};

} // namespace capture
