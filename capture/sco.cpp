// mSBC over SCO (sco.h).
#include "capture/sco.h"

#include <algorithm>
#include <cmath>

namespace capture {

namespace {

constexpr size_t unit = static_cast<size_t>(sbc::H2_UNIT_LENGTH);
constexpr uint8_t good = 0, damaged_mark = 1, lost_mark = 2;
constexpr int32_t status_no_data = 2;

sbc::FrameHeader msbc_shape() {
    sbc::FrameHeader h;
    const std::array<uint8_t, 3> header = {0xAD, 0x00, 0x00};
    sbc::frame_header_parse(header, h);
    return h;
}

int32_t sequence_of(uint8_t byte) {
    const auto at = std::find(sbc::H2_SEQUENCE.begin(), sbc::H2_SEQUENCE.end(), byte);
    return at == sbc::H2_SEQUENCE.end() ? -1 : static_cast<int32_t>(at - sbc::H2_SEQUENCE.begin());
}

Bytes held(const ScoState& s) {
    return Bytes(s.bytes).subspan(s.start, s.size);
}

bool marked(const ScoState& s, size_t from, size_t count, uint8_t mark) {
    const auto first = s.marks.begin() + static_cast<ptrdiff_t>(s.start + from);
    return std::any_of(first, first + static_cast<ptrdiff_t>(count),
                       [&](uint8_t m) { return m == mark; });
}

bool clean_unit_at(const ScoState& s, size_t at) {
    return at + unit <= s.size && h2_unit_ok(held(s).subspan(at, unit)) &&
           !marked(s, at, unit, lost_mark) && !marked(s, at, unit, damaged_mark);
}

void consume(ScoState& s, size_t n) {
    s.start += n;
    s.size -= n;
}

// Moves the bytes held to the front (between packets, when no event points at them).
void compact(ScoState& s) {
    const auto from = static_cast<ptrdiff_t>(s.start), to = from + static_cast<ptrdiff_t>(s.size);
    std::copy(s.bytes.begin() + from, s.bytes.begin() + to, s.bytes.begin());
    std::copy(s.marks.begin() + from, s.marks.begin() + to, s.marks.begin());
    s.start = 0;
}

void report(Sink& sink, EventType type, int64_t count) {
    if (type == EventType::lost)
        sink.lost(count, msbc_shape());
    else
        sink.damaged(count, msbc_shape());
}

// Looks for the next good unit; true once locked on it (the bytes before it are passed over).
bool hunt(ScoState& s, Sink& sink) {
    for (size_t at = 0; at + unit <= s.size; ++at) {
        if (!clean_unit_at(s, at)) continue;
        s.hunted_bytes += static_cast<int64_t>(at);
        consume(s, at);
        s.locked = true;
        const int32_t sequence = sequence_of(held(s)[1]);
        if (s.started) {
            // The units in between: lost where bytes were missing, damaged where they were
            // seen and not understood; the total agrees with the sequence numbers.
            const double estimate =
                static_cast<double>(s.hunted_bytes + s.missing_bytes) / static_cast<double>(unit);
            int64_t total = (sequence - s.next_sequence) & 3;
            while (static_cast<double>(total) + 2 < estimate) total += 4;
            const int64_t lost = std::min(total, static_cast<int64_t>(std::lround(
                                                     static_cast<double>(s.missing_bytes) / unit)));
            report(sink, EventType::lost, lost);
            report(sink, EventType::damaged, total - lost);
        }
        s.next_sequence = sequence;
        s.hunted_bytes = s.missing_bytes = 0;
        return true;
    }
    const size_t keep = std::min(s.size, unit - 1);
    s.hunted_bytes += static_cast<int64_t>(s.size - keep);
    consume(s, s.size - keep);
    return false;
}

// Cuts the next unit held; false when it needs more bytes.
bool cut_one(ScoState& s, Sink& sink) {
    if (!s.locked) return hunt(s, sink);
    if (s.size < unit) return false;
    if (marked(s, 0, unit, lost_mark)) {
        report(sink, EventType::lost, 1);
    } else if (clean_unit_at(s, 0)) {
        const int32_t sequence = sequence_of(held(s)[1]);
        report(sink, EventType::lost, (sequence - s.next_sequence) & 3);
        sbc::FrameHeader h;
        const Bytes frame = held(s).subspan(2, sbc::MSBC_FRAME_LENGTH);
        sbc::frame_header_parse(frame, h);
        sink.frame(frame, h, sequence);
        s.started = true;
        s.next_sequence = sequence;
    } else if (marked(s, 0, unit, damaged_mark)) {
        report(sink, EventType::damaged, 1);
    } else {
        // Good bytes that are no unit: damage when the unit after it is in place, else sync is
        // lost.
        if (s.size < 2 * unit) return false;
        if (!clean_unit_at(s, unit) && !marked(s, unit, unit, lost_mark) &&
            !marked(s, unit, unit, damaged_mark)) {
            s.locked = false;
            s.hunted_bytes = 0;
            return true;
        }
        report(sink, EventType::damaged, 1);
    }
    s.next_sequence = (s.next_sequence + 1) & 3;
    consume(s, unit);
    return true;
}

// Bytes at the end of those held, cut into units as they come. One packet never brings more
// than the room left after compact (held < 2 units, at most 255 bytes, and a unit of lost
// bytes); anything beyond it would be dropped.
void append(ScoState& s, Bytes data, uint8_t mark, Sink& sink) {
    const size_t end = s.start + s.size;
    const size_t n = std::min(data.size(), s.bytes.size() - end);
    std::copy_n(data.begin(), n, s.bytes.begin() + static_cast<ptrdiff_t>(end));
    std::fill_n(s.marks.begin() + static_cast<ptrdiff_t>(end), n, mark);
    s.size += n;
    while (cut_one(s, sink)) {
    }
}

// Bytes the link carried that the capture does not hold.
void missing(ScoState& s, int64_t bytes, Sink& sink) {
    if (!s.locked) {
        if (s.started) s.missing_bytes += bytes;
        s.hunted_bytes += static_cast<int64_t>(s.size);
        s.size = 0;
        return;
    }
    static constexpr std::array<uint8_t, 256> nothing{};
    while (bytes > 0) {
        if (s.size == 0 && bytes >= static_cast<int64_t>(unit)) {
            const int64_t units = bytes / static_cast<int64_t>(unit);
            report(sink, EventType::lost, units);
            s.next_sequence = static_cast<int32_t>((s.next_sequence + units) & 3);
            bytes -= units * static_cast<int64_t>(unit);
            continue;
        }
        const auto n = static_cast<size_t>(std::min<int64_t>(bytes, static_cast<int64_t>(unit)));
        append(s, Bytes(nothing).first(n), lost_mark, sink);
        bytes -= static_cast<int64_t>(n);
    }
}

// `interval` after `time_us` (wrapping, as capture times do).
int64_t after(int64_t time_us, int64_t interval) {
    return time_between(-interval, time_us);
}

// Bytes lost before a packet of `length` bytes arriving at `time_us`, from the link's clock.
int64_t late_bytes(ScoState& s, size_t length, int64_t time_us) {
    const int64_t interval = static_cast<int64_t>(length) * SCO_MICROSECONDS_PER_BYTE;
    if (!s.have_clock) {
        s.have_clock = true;
        s.clock_us = after(time_us, interval);
        return 0;
    }
    const int64_t late = time_between(s.clock_us, time_us);
    int64_t lost = 0;
    if (late > interval / 2 && interval > 0 && static_cast<double>(late) < MAX_GAP_SECONDS * 1e6)
        lost = (late + interval / 2) / interval * static_cast<int64_t>(length);
    // On time or late, the clock follows the packet; early ones (a burst) keep it, unless so
    // early that the clock has run away from the capture's.
    if (late > 0 || late < -4 * static_cast<int64_t>(unit) * SCO_MICROSECONDS_PER_BYTE)
        s.clock_us = time_us;
    s.clock_us = after(s.clock_us, interval);
    return lost;
}

} // namespace

bool h2_unit_ok(Bytes b) {
    if (b.size() < unit || b[0] != sbc::H2_SYNC_BYTE || sequence_of(b[1]) < 0) return false;
    const Bytes frame = b.subspan(2, sbc::MSBC_FRAME_LENGTH);
    sbc::FrameHeader h;
    return sbc::frame_header_parse(frame, h) == sbc::HEADER_OK && h.kind == sbc::FrameKind::msbc &&
           sbc::frame_crc_ok(frame, h);
}

void sco_packet(ScoState& s, Bytes data, int32_t status, int64_t time_us, Sink& sink) {
    compact(s);
    const int64_t late = late_bytes(s, data.size(), time_us);
    if (late > 0) missing(s, late, sink);
    if (status == status_no_data)
        missing(s, static_cast<int64_t>(data.size()), sink);
    else
        append(s, data, status == 0 ? good : damaged_mark, sink);
}

} // namespace capture
