// The capture reader: the window of input, the record loop, and the routing of HCI packets to
// the stages (capture.h).
//
//   capture_next ─► queue empty? ─► record_step on the window ─► hci_packet ─┬─ event: a
//        ▲                                                                   │  disconnection
//        └──────────── events ◄── Sink ◄── media_packet ◄── route ◄── l2cap_take ◄─ ACL
//                                      ◄── sco_packet ◄──────────────────────────── SCO
//
// Streams are found in capture order: an A2DP media channel at its first packet (known from
// the signalling, or by the packet's shape when the signalling is not in the capture), an SCO
// handle and direction at its first good H2 unit. Each gets the next number. Connections,
// channels and streams are forgotten at a disconnection, so a handle used again later starts
// anew.
#include "capture/capture.h"

#include "capture/hci.h"
#include "capture/l2cap.h"
#include "capture/link.h"
#include "capture/media.h"
#include "capture/records.h"
#include "capture/sco.h"
#include "capture/sink.h"

#include <algorithm>
#include <unordered_map>
#include <vector>

namespace capture {

namespace {

constexpr uint8_t disconnection_complete = 0x05;

// What is followed per stream key: a media channel or an SCO handle, in one direction.
struct Follow {
    int32_t stream = -1; // its number once found
    bool sco = false;
    MediaState media;
    ScoState sco_state;
    StreamInfo candidate; // an SCO handle's figures before it is found
    int64_t candidate_packets = 0;
    int64_t candidate_start_us = -1;
};

uint32_t link_key(uint16_t adapter, uint16_t handle) {
    return uint32_t{adapter} << 12 | handle;
}

uint64_t follow_key(uint16_t adapter, uint16_t handle, bool received, uint16_t cid, bool sco) {
    return uint64_t{link_key(adapter, handle)} << 18 | uint64_t{cid} << 2 | (received ? 2u : 0u) |
           (sco ? 1u : 0u);
}

} // namespace

struct CaptureReader {
    // Left unset: only bytes committed are ever read.
    std::unique_ptr<std::array<uint8_t, CAPTURE_WINDOW_BYTES>> window =
        std::make_unique_for_overwrite<std::array<uint8_t, CAPTURE_WINDOW_BYTES>>();
    size_t head = 0, tail = 0;
    int64_t head_offset = 0; // capture offset of window[head]
    uint64_t pass_left = 0;  // bytes still to pass over (the rest of an oversized record)
    bool input_ended = false;
    bool done = false;
    RecordReader records;
    CaptureTotals totals;
    bool have_first_time = false;

    L2capState l2cap;
    std::unordered_map<uint32_t, LinkState> links;
    std::unordered_map<uint64_t, Follow> follows;
    std::vector<StreamInfo> streams;
    EventQueue queue;
    EventQueue scratch; // an SCO handle's events before it is found
};

void ReaderDeleter::operator()(CaptureReader* reader) const {
    std::default_delete<CaptureReader>()(reader);
}

namespace {

Bytes held(const CaptureReader& r) {
    return Bytes(r.window->data() + r.head, r.tail - r.head);
}

void consume(CaptureReader& r, size_t n) {
    r.head += n;
    r.head_offset += static_cast<int64_t>(n);
}

LinkState* link_of(CaptureReader& r, uint16_t adapter, uint16_t handle) {
    const uint32_t key = link_key(adapter, handle);
    const auto it = r.links.find(key);
    if (it != r.links.end()) return &it->second;
    if (r.links.size() >= static_cast<size_t>(MAX_LINKS)) {
        ++r.totals.untracked;
        return nullptr;
    }
    return &r.links[key];
}

void forget_link(CaptureReader& r, uint16_t adapter, uint16_t handle) {
    l2cap_forget(r.l2cap, adapter, handle);
    const auto it = r.links.find(link_key(adapter, handle));
    if (it == r.links.end()) return;
    for (const uint64_t key : it->second.streams) r.follows.erase(key);
    r.links.erase(it);
}

// A new stream: its number, its stream event.
StreamInfo* number_stream(CaptureReader& r, Follow& f, const StreamInfo& description) {
    if (r.streams.size() >= static_cast<size_t>(MAX_STREAMS)) {
        ++r.totals.untracked;
        return nullptr;
    }
    f.stream = static_cast<int32_t>(r.streams.size());
    r.streams.push_back(description);
    r.streams.back().index = f.stream;
    r.queue.push(Event{EventType::stream, f.stream});
    return &r.streams.back();
}

Follow* follow_of(CaptureReader& r, LinkState& link, uint64_t key) {
    const auto it = r.follows.find(key);
    if (it != r.follows.end()) return &it->second;
    if (r.follows.size() >= static_cast<size_t>(MAX_STREAMS + MAX_LINKS)) {
        ++r.totals.untracked;
        return nullptr;
    }
    link.streams.push_back(key);
    return &r.follows[key];
}

// Whether a PDU on an unsignalled channel is A2DP media, and if so, which stream.
Follow* media_follow(CaptureReader& r, LinkState& link, const L2capPdu& pdu, int64_t time_us) {
    const Channel* ch = find_channel(link, pdu.received, pdu.cid);
    const uint64_t key = follow_key(pdu.adapter, pdu.handle, pdu.received, pdu.cid, false);
    if (const auto it = r.follows.find(key); it != r.follows.end()) return &it->second;
    if (ch != nullptr) {
        if (ch->role != ChannelRole::avdtp_media) return nullptr;
        if (link.codec_known && link.codec_type != CODEC_SBC) {
            ++r.totals.other_codec_packets;
            return nullptr;
        }
    } else if (pdu.cid < FIRST_DYNAMIC_CID || pdu.truncated || !looks_like_sbc_media(pdu.payload)) {
        return nullptr;
    }
    Follow* f = follow_of(r, link, key);
    if (f == nullptr) return nullptr;
    StreamInfo d;
    d.kind = StreamKind::a2dp_sbc;
    d.received = pdu.received;
    d.adapter = pdu.adapter;
    d.handle = pdu.handle;
    d.channel = pdu.cid;
    d.start_us = time_us;
    if (number_stream(r, *f, d) == nullptr) {
        r.follows.erase(key);
        link.streams.pop_back();
        return nullptr;
    }
    return f;
}

void route_pdu(CaptureReader& r, const L2capPdu& pdu, PacketInfo info) {
    LinkState* link = link_of(r, pdu.adapter, pdu.handle);
    if (link == nullptr) return;
    if (pdu.cid == SIGNALLING_CID) return l2cap_signalling(*link, pdu);
    const Channel* ch = find_channel(*link, pdu.received, pdu.cid);
    if (ch != nullptr && ch->role == ChannelRole::avdtp_signalling)
        return avdtp_signalling(*link, pdu.payload);
    Follow* f = media_follow(r, *link, pdu, info.time_us);
    if (f == nullptr || f->stream < 0) return;
    StreamInfo& stream = r.streams[static_cast<size_t>(f->stream)];
    stream.configuration = link->configuration;
    if (pdu.truncated) ++r.totals.truncated_media;
    info.length = static_cast<int32_t>(pdu.length);
    Sink sink{r.queue, stream};
    media_packet(f->media, stream.configuration, pdu.payload, pdu.truncated, info, sink);
}

void take_sco(CaptureReader& r, const HciPacket& p, PacketInfo info) {
    ScoHeader h;
    if (!sco_header(p.body, h)) return;
    LinkState* link = link_of(r, p.adapter, h.handle);
    if (link == nullptr) return;
    Follow* f = follow_of(r, *link, follow_key(p.adapter, h.handle, p.received, 0, true));
    if (f == nullptr) return;
    info.length = h.length;
    info.sco = true;
    info.status = h.status;
    info.truncated = p.truncated || h.data.size() < h.length;
    if (f->stream >= 0) {
        Sink sink{r.queue, r.streams[static_cast<size_t>(f->stream)]};
        sink.packet(info);
        sco_packet(f->sco_state, h.data, h.status, info.time_us, sink);
        return;
    }
    // Not found yet: its events wait, and become a stream's at its first frame, which counts
    // the handle's packets from its first.
    f->sco = true;
    f->candidate = StreamInfo{};
    f->candidate.kind = StreamKind::msbc;
    f->candidate.received = p.received;
    f->candidate.adapter = p.adapter;
    f->candidate.handle = h.handle;
    if (f->candidate_start_us < 0) f->candidate_start_us = info.time_us;
    f->candidate.start_us = f->candidate_start_us;
    ++f->candidate_packets;
    Sink scratch{r.scratch, f->candidate};
    sco_packet(f->sco_state, h.data, h.status, info.time_us, scratch);
    if (f->candidate.frames > 0) {
        StreamInfo d; // the description; the counts come again from the events replayed
        d.kind = f->candidate.kind;
        d.received = f->candidate.received;
        d.adapter = f->candidate.adapter;
        d.handle = f->candidate.handle;
        d.start_us = f->candidate.start_us;
        if (StreamInfo* stream = number_stream(r, *f, d)) {
            Sink sink{r.queue, *stream};
            sink.packet(info);
            stream->packets = f->candidate_packets;
            while (!r.scratch.empty()) {
                const Event e = r.scratch.pop();
                if (e.type == EventType::frame) sink.frame(e.bytes, e.header, e.h2_sequence);
                if (e.type == EventType::lost) sink.lost(e.count, e.header);
                if (e.type == EventType::damaged) sink.damaged(e.count, e.header);
            }
        }
    }
    r.scratch = EventQueue{};
}

void take_event(CaptureReader& r, const HciPacket& p) {
    const Bytes b = p.body;
    if (b.size() >= 5 && b[0] == disconnection_complete && b[2] == 0)
        forget_link(r, p.adapter, le16(b, 3) & 0x0FFF);
}

void take_record(CaptureReader& r, const Record& record) {
    ++r.totals.records;
    if (!r.have_first_time) {
        r.have_first_time = true;
        r.totals.first_us = record.time_us;
    }
    r.totals.last_us = record.time_us;
    HciPacket p;
    if (!hci_packet(record, p)) return;
    ++r.totals.hci_packets;
    PacketInfo info;
    info.record = r.totals.records;
    info.time_us = time_between(r.totals.first_us, record.time_us);
    switch (p.type) {
    case HciType::acl: {
        AclHeader acl;
        L2capPdu pdu;
        if (acl_header(p.body, acl) &&
            l2cap_take(r.l2cap, p.adapter, p.received, acl, p.truncated, pdu))
            route_pdu(r, pdu, info);
        r.totals.unfinished_l2cap = r.l2cap.unfinished;
        break;
    }
    case HciType::sco:
        take_sco(r, p, info);
        break;
    case HciType::event:
        take_event(r, p);
        break;
    case HciType::command:
    case HciType::other:
        break;
    }
}

// One step of the record loop; false when it needs input (or is done).
bool step(CaptureReader& r) {
    if (r.pass_left > 0) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(r.pass_left, held(r).size()));
        consume(r, n);
        r.pass_left -= n;
        if (r.pass_left > 0) {
            if (r.input_ended) {
                r.totals.ended_inside_record = true;
                r.done = true;
            }
            return false;
        }
    }
    const Bytes bytes = held(r);
    if (r.records.format == Format::none) {
        if (bytes.size() < RECOGNITION_BYTES && !r.input_ended) return false;
        r.records.format = format_of(bytes);
        r.totals.format = r.records.format;
        if (r.records.format == Format::none) {
            r.totals.unreadable = true;
            r.done = true;
            return false;
        }
    }
    const Step s = record_step(r.records, bytes);
    r.totals.link_type = r.records.link_type;
    switch (s.type) {
    case StepType::more:
        if (r.input_ended) {
            r.totals.ended_inside_record = !bytes.empty();
            r.done = true;
        }
        return false;
    case StepType::broken:
        r.totals.unreadable = true;
        r.totals.unreadable_at = r.head_offset;
        r.done = true;
        return false;
    case StepType::pass:
        if (s.skipped_record) ++r.totals.skipped_records;
        r.pass_left = s.length;
        return true;
    case StepType::record:
        take_record(r, s.record);
        consume(r, static_cast<size_t>(s.length));
        return true;
    }
    return false;
}

void compact(CaptureReader& r) {
    if (r.head == 0) return;
    std::copy(r.window->begin() + static_cast<ptrdiff_t>(r.head),
              r.window->begin() + static_cast<ptrdiff_t>(r.tail), r.window->begin());
    r.tail -= r.head;
    r.head = 0;
}

} // namespace

ReaderPtr capture_create() {
    ReaderPtr r(std::make_unique<CaptureReader>().release());
    r->streams.reserve(static_cast<size_t>(MAX_STREAMS));
    return r;
}

std::span<uint8_t> capture_space(CaptureReader& r) {
    if (r.input_ended) return {};
    compact(r);
    return std::span(r.window->data() + r.tail, r.window->size() - r.tail);
}

int capture_commit(CaptureReader& r, size_t count) {
    if (r.input_ended || count > r.window->size() - r.tail) return -1;
    r.tail += count;
    r.totals.bytes += static_cast<int64_t>(count);
    return 0;
}

size_t capture_push(CaptureReader& r, std::span<const uint8_t> bytes) {
    const auto space = capture_space(r);
    const size_t n = std::min(space.size(), bytes.size());
    std::copy_n(bytes.begin(), n, space.begin());
    capture_commit(r, n);
    return n;
}

void capture_finish(CaptureReader& r) {
    r.input_ended = true;
}

Event capture_next(CaptureReader& r) {
    for (;;) {
        if (!r.queue.empty()) return r.queue.pop();
        if (r.done) return Event{EventType::end};
        if (!step(r)) {
            if (!r.queue.empty()) continue;
            if (r.done) continue;
            if (r.input_ended) {
                r.done = true;
                continue;
            }
            return Event{EventType::need_input};
        }
    }
}

std::span<const StreamInfo> capture_streams(const CaptureReader& r) {
    return r.streams;
}

const CaptureTotals& capture_totals(const CaptureReader& r) {
    return r.totals;
}

} // namespace capture
