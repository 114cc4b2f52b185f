// The stream scanner: frames out of a byte stream that may be cut, corrupted or framed in H2
// units (the policy is in sbc/scan.h).
//
//   window:  [ consumed | head ........ bytes held ........ tail | free space ]
//                        ^ next frame expected here (locked), or next position searched
//
// Two states. Locked: the unit at `head` is read; a good one with the stream's frequency and
// channels is reported at once; anything else is decided by looking at where the next unit
// starts (confirm_at). Searching: positions are tried one by one from `head`; a position is
// taken when its unit is good and the unit after it confirms it; every byte passed over is
// counted as skipped. Each decision waits until the bytes it looks at are all held (or the
// input has ended), so the same bytes always give the same events, however they arrive.
//
// A unit is a bare frame (its header gives the length) or a 60-byte H2 unit around an mSBC
// frame. At most a unit (≤ MAX_FRAME_LENGTH bytes) and the start of the next one are looked at
// together, or, after a unit that does not read, a run of units of up to MAX_DESTROYED_RUN_BYTES
// and the start of the one after them; well within the window either way.
#include "sbc/scan.h"
#include "sbc/frame.h"

#include <algorithm>
#include <cstring>

namespace sbc {

namespace {

constexpr int32_t h2_frame_at = 2; // the mSBC frame's place in its unit

// The longest run of destroyed frames (headers unreadable) still counted frame by frame, in
// bytes: beyond it the bytes count as skipped. 16 KiB outlast any concealment's fade (137 frames
// of 44.1 kHz SBC at bitpool 53, 0.4 s) and cover a zeroed 4 or 8 KiB block of a damaged file,
// whose frames keep their places; with the unit after them they fit the window's half that
// scanner_space promises.
constexpr int32_t MAX_DESTROYED_RUN_BYTES = 16384;
static_assert(MAX_DESTROYED_RUN_BYTES + MAX_FRAME_LENGTH < SCAN_WINDOW_BYTES / 2);

// One unit read at a position.
struct Unit {
    int status = HEADER_INVALID; // HEADER_OK, HEADER_SHORT or HEADER_INVALID
    FrameHeader header{};        // of the frame inside, when HEADER_OK
    int32_t frame_at = 0;        // the frame's offset in the unit
    int32_t length = 0;          // bytes of the whole unit
    int32_t sequence = -1;       // H2 sequence number; -1 when none or unreadable
};

int32_t h2_sequence_of(uint8_t byte) {
    const auto found = std::find(H2_SEQUENCE.begin(), H2_SEQUENCE.end(), byte);
    return found == H2_SEQUENCE.end() ? -1 : static_cast<int32_t>(found - H2_SEQUENCE.begin());
}

// The unit at the start of `bytes`. An H2 unit whose two leading bytes are damaged still reads
// (without a sequence number) when its mSBC frame header does.
Unit read_unit(std::span<const uint8_t> bytes, bool h2) {
    Unit u;
    if (!h2) {
        u.status = frame_header_parse(bytes, u.header);
        u.length = u.header.length;
        return u;
    }
    u.frame_at = h2_frame_at;
    u.length = H2_UNIT_LENGTH;
    if (bytes.size() < static_cast<size_t>(h2_frame_at)) {
        u.status = HEADER_SHORT;
        return u;
    }
    if (bytes[0] == H2_SYNC_BYTE) u.sequence = h2_sequence_of(bytes[1]);
    u.status = frame_header_parse(bytes.subspan(h2_frame_at), u.header);
    if (u.status == HEADER_OK && u.header.kind != FrameKind::msbc) u.status = HEADER_INVALID;
    return u;
}

bool crc_bytes_held(std::span<const uint8_t> bytes, const Unit& u) {
    return bytes.size() >= static_cast<size_t>(u.frame_at + frame_crc_span(u.header));
}

bool crc_ok(std::span<const uint8_t> bytes, const Unit& u) {
    return frame_crc_ok(bytes.subspan(static_cast<size_t>(u.frame_at)), u.header);
}

bool same_stream(const FrameHeader& a, const FrameHeader& b) {
    return a.sampling_frequency == b.sampling_frequency && a.channels == b.channels;
}

// Every header field the same: the stream's own kind of frame (for SBC, bytes 1 and 2 equal).
bool same_shape(const FrameHeader& a, const FrameHeader& b) {
    return a.kind == b.kind && same_stream(a, b) && a.blocks == b.blocks &&
           a.channel_mode == b.channel_mode && a.allocation_method == b.allocation_method &&
           a.subbands == b.subbands && a.bitpool == b.bitpool;
}

std::span<const uint8_t> held(const StreamScanner& s, int32_t from) {
    return std::span<const uint8_t>(s.window).subspan(static_cast<size_t>(from),
                                                      static_cast<size_t>(s.tail - from));
}

// How well the bytes at `at` confirm that a unit of the stream `like` ends there.
enum class Confirm { need_more, no, end, weak, strong };

Confirm confirm_at(const StreamScanner& s, int32_t at, bool h2, const FrameHeader& like) {
    if (at > s.tail) return s.input_ended ? Confirm::no : Confirm::need_more;
    const auto rest = held(s, at);
    const Unit u = read_unit(rest, h2);
    if (u.status == HEADER_SHORT || (u.status == HEADER_OK && !crc_bytes_held(rest, u))) {
        if (!s.input_ended) return Confirm::need_more;
        if (rest.empty()) return Confirm::end;
        // The stream ends inside what may be the next unit's start: not a contradiction.
        if (u.status == HEADER_OK) return same_stream(u.header, like) ? Confirm::end : Confirm::no;
        const uint8_t first = h2                             ? H2_SYNC_BYTE
                              : like.kind == FrameKind::msbc ? MSBC_SYNCWORD
                                                             : SYNCWORD;
        return rest[0] == first ? Confirm::end : Confirm::no;
    }
    if (u.status != HEADER_OK || !same_stream(u.header, like)) return Confirm::no;
    if (h2 && u.sequence < 0) return Confirm::no;
    return crc_ok(rest, u) ? Confirm::strong : Confirm::weak;
}

ScanEvent need_input() {
    return {};
}

void add_skip(StreamScanner& s, int32_t bytes) {
    if (bytes <= 0) return;
    if (s.pending_skip == 0) s.pending_skip_offset = s.head_offset;
    s.pending_skip += bytes;
    s.head += bytes;
    s.head_offset += bytes;
}

ScanEvent report_skip(StreamScanner& s) {
    ScanEvent e;
    e.type = ScanEventType::skipped;
    e.offset = s.pending_skip_offset;
    e.length = s.pending_skip;
    s.counts.skipped_bytes += s.pending_skip;
    s.pending_skip = 0;
    return e;
}

ScanEvent finish(StreamScanner& s) {
    add_skip(s, s.tail - s.head);
    if (s.pending_skip > 0) return report_skip(s);
    ScanEvent e;
    e.type = ScanEventType::end;
    e.offset = s.head_offset;
    return e;
}

// Before the unit at head: the H2 units its sequence number says are missing, reported once.
// Returns true (and fills `e`) when there are some.
bool report_gap(StreamScanner& s, int32_t sequence, ScanEvent& e) {
    if (sequence < 0 || s.next_sequence < 0 || sequence == s.next_sequence) return false;
    e = {};
    e.type = ScanEventType::lost;
    e.offset = s.head_offset;
    e.lost_frames = (sequence - s.next_sequence) & 3;
    e.header = s.last;
    s.counts.lost += e.lost_frames;
    s.next_sequence = sequence; // the unit itself comes with the next call
    return true;
}

// Consumes `length` bytes at head as a frame (damage == none) or a damaged frame.
ScanEvent take(StreamScanner& s, const Unit& u, int32_t length, const FrameHeader& header,
               Damage damage, bool changed) {
    ScanEvent e;
    if (report_gap(s, u.sequence, e)) return e;
    e.type = damage == Damage::none ? ScanEventType::frame : ScanEventType::damaged;
    e.offset = s.head_offset;
    e.length = length;
    e.header = header;
    e.damage = damage;
    e.changed = changed;
    e.h2_sequence = u.sequence;
    const int32_t from = s.head + std::min(u.frame_at, length);
    const int32_t frame_length = damage == Damage::none ? header.length : length - u.frame_at;
    e.bytes = std::span<const uint8_t>(s.window).subspan(static_cast<size_t>(from),
                                                         static_cast<size_t>(frame_length));
    if (damage == Damage::none) {
        s.last = header;
        s.have_last = true;
        ++s.counts.frames;
        if (s.kind == StreamKind::unknown)
            s.kind = s.h2                             ? StreamKind::h2_msbc
                     : header.kind == FrameKind::msbc ? StreamKind::msbc
                                                      : StreamKind::sbc;
    } else {
        ++s.counts.damaged;
    }
    if (s.h2) {
        const int32_t sequence = u.sequence >= 0 ? u.sequence : s.next_sequence;
        s.next_sequence = sequence >= 0 ? (sequence + 1) & 3 : -1;
    }
    s.head += length;
    s.head_offset += length;
    return e;
}

ScanEvent next_searching(StreamScanner& s);

bool may_start_unit(uint8_t byte) {
    return byte == SYNCWORD || byte == MSBC_SYNCWORD || byte == H2_SYNC_BYTE;
}

// Does a good unit of the very shape of the last one start anywhere in [from, to)? `wait` is set
// (and false returned) when the bytes to tell are not all in yet.
bool good_unit_between(const StreamScanner& s, int32_t from, int32_t to, bool& wait) {
    if (to > s.tail) {
        if (!s.input_ended) {
            wait = true;
            return false;
        }
        to = s.tail;
    }
    for (int32_t at = from; at < to; ++at) {
        if (!may_start_unit(s.window[static_cast<size_t>(at)])) continue;
        const auto rest = held(s, at);
        const Unit u = read_unit(rest, s.h2);
        if (u.status == HEADER_SHORT || (u.status == HEADER_OK && !crc_bytes_held(rest, u))) {
            if (s.input_ended) continue;
            wait = true;
            return false;
        }
        if (u.status == HEADER_OK && same_shape(u.header, s.last) && crc_ok(rest, u)) return true;
    }
    return false;
}


// Locked: the unit at head fails its CRC or does not read. It is one damaged frame when the next
// unit starts after its own length or after the previous unit's length (the better confirmation
// wins, its own length on a tie), or when a good unit of the very shape of the last one (or the
// stream's end) lies a whole number of previous lengths further, within MAX_DESTROYED_RUN_BYTES: a run of frames
// whose headers were all destroyed keeps its time, one damaged frame a call. (Garbage between
// two frames whose length happens to be such a multiple reads the same way; nothing in the bytes
// tells the two apart.) Otherwise sync is lost and the search goes on past head.
ScanEvent damaged_or_lost(StreamScanner& s, const Unit& u) {
    const int32_t own = u.status == HEADER_OK ? u.length : 0;
    const int32_t previous = s.h2 ? H2_UNIT_LENGTH : s.last.length;
    int32_t best_length = 0;
    Confirm best = Confirm::no;
    for (const int32_t length : {own, previous}) {
        if (length <= 0) continue;
        const Confirm c = confirm_at(s, s.head + length, s.h2, s.last);
        if (c == Confirm::need_more) return need_input();
        if (c > best) {
            best = c;
            best_length = length;
        }
    }
    if (best == Confirm::no && previous > 0) {
        // A run of destroyed frames: the stream goes on a whole number of frames further.
        // A good unit of the stream inside the run would say otherwise: then sync is lost.
        for (int32_t run = 2 * previous; run <= MAX_DESTROYED_RUN_BYTES; run += previous) {
            bool wait = false;
            const int32_t from = s.head + (run == 2 * previous ? 1 : run - previous + 1);
            const bool interrupted = good_unit_between(s, from, s.head + run, wait);
            if (wait) return need_input();
            if (interrupted) break;
            const Confirm c = confirm_at(s, s.head + run, s.h2, s.last);
            if (c == Confirm::need_more) return need_input();
            // A good unit there must be of the very shape of the last one (as after a search).
            const bool same = c == Confirm::strong &&
                              same_shape(read_unit(held(s, s.head + run), s.h2).header, s.last);
            if (same || c == Confirm::end) {
                best = c;
                best_length = previous;
                break;
            }
        }
    }
    if (best == Confirm::no) {
        s.locked = false;
        add_skip(s, 1);
        return next_searching(s);
    }
    const bool own_shape = best_length == own && same_stream(u.header, s.last);
    return take(s, u, best_length, own_shape ? u.header : s.last,
                u.status == HEADER_OK ? Damage::bad_crc : Damage::no_header, false);
}

ScanEvent next_locked(StreamScanner& s) {
    const auto rest = held(s, s.head);
    if (rest.empty()) return s.input_ended ? finish(s) : need_input();
    const Unit u = read_unit(rest, s.h2);
    const bool crc_known = u.status == HEADER_OK && crc_bytes_held(rest, u);
    if (!s.input_ended && (u.status == HEADER_SHORT || (u.status == HEADER_OK && !crc_known)))
        return need_input();
    if (!crc_known || !crc_ok(rest, u)) return damaged_or_lost(s, u);
    if (rest.size() < static_cast<size_t>(u.length)) {
        if (!s.input_ended) return need_input();
        return finish(s); // the stream ends inside its last frame: those bytes are skipped
    }
    if (same_stream(u.header, s.last)) return take(s, u, u.length, u.header, Damage::none, false);
    // A different frequency or channel count: a change only if the next unit agrees.
    const Confirm c = confirm_at(s, s.head + u.length, s.h2, u.header);
    if (c == Confirm::need_more) return need_input();
    if (c == Confirm::strong) return take(s, u, u.length, u.header, Damage::none, true);
    return take(s, u, u.length, s.last, Damage::lone_change, false);
}

// Searching: is the unit at head good, and is it the stream's start, a frame of the very shape of
// the last good one (random bytes match its three header bytes and CRC once in 2^32 tries), or
// confirmed by what follows it? Returns false when it is not, or when more bytes are needed
// (`wait` is then set).
bool good_start(StreamScanner& s, bool h2, bool& wait) {
    const auto rest = held(s, s.head);
    const Unit u = read_unit(rest, h2);
    if (u.status == HEADER_SHORT ||
        (u.status == HEADER_OK && rest.size() < static_cast<size_t>(u.length))) {
        wait = !s.input_ended;
        return false;
    }
    if (u.status == HEADER_INVALID || (h2 && u.sequence < 0)) return false;
    if (!crc_ok(rest, u)) return false;
    if (s.kind == StreamKind::unknown && s.head_offset == 0) return true; // the stream's start
    if (s.have_last && same_shape(u.header, s.last)) return true;
    const Confirm c = confirm_at(s, s.head + u.length, h2, u.header);
    if (c == Confirm::need_more) {
        wait = true;
        return false;
    }
    const bool change = s.have_last && !same_stream(u.header, s.last);
    return change ? c == Confirm::strong : c != Confirm::no;
}

ScanEvent next_searching(StreamScanner& s) {
    for (;;) {
        const auto rest = held(s, s.head);
        const auto start = std::find_if(rest.begin(), rest.end(), may_start_unit);
        add_skip(s, static_cast<int32_t>(start - rest.begin()));
        if (s.head == s.tail) return s.input_ended ? finish(s) : need_input();

        const bool h2 = s.window[static_cast<size_t>(s.head)] == H2_SYNC_BYTE;
        bool wait = false;
        if (good_start(s, h2, wait)) {
            if (h2 != s.h2) s.next_sequence = -1;
            s.h2 = h2;
            s.locked = true;
            if (!s.have_last) {
                const Unit u = read_unit(held(s, s.head), h2);
                s.last = u.header;
                s.have_last = true;
            }
            if (s.pending_skip > 0) return report_skip(s);
            return next_locked(s);
        }
        if (wait) return need_input();
        add_skip(s, 1);
    }
}

} // namespace

std::unique_ptr<StreamScanner> scanner_create() {
    return std::make_unique<StreamScanner>();
}

std::span<uint8_t> scanner_space(StreamScanner& s) {
    if (s.input_ended) return {};
    if (s.head > 0) {
        const auto count = static_cast<size_t>(s.tail - s.head);
        std::memmove(s.window.data(), s.window.data() + s.head, count);
        s.tail -= s.head;
        s.head = 0;
    }
    return std::span<uint8_t>(s.window).subspan(static_cast<size_t>(s.tail));
}

int scanner_commit(StreamScanner& s, size_t count) {
    if (s.input_ended || count > static_cast<size_t>(SCAN_WINDOW_BYTES - s.tail)) return -1;
    s.tail += static_cast<int32_t>(count);
    s.counts.bytes += static_cast<int64_t>(count);
    return 0;
}

size_t scanner_push(StreamScanner& s, std::span<const uint8_t> bytes) {
    const auto space = scanner_space(s);
    const size_t count = std::min(space.size(), bytes.size());
    std::copy_n(bytes.begin(), count, space.begin());
    scanner_commit(s, count);
    return count;
}

void scanner_finish(StreamScanner& s) {
    s.input_ended = true;
}

ScanEvent scanner_next(StreamScanner& s) {
    return s.locked ? next_locked(s) : next_searching(s);
}

} // namespace sbc
