// L2CAP reassembly (l2cap.h).
#include "capture/l2cap.h"

#include <algorithm>

namespace capture {

namespace {

constexpr size_t l2cap_header = 4;
constexpr size_t max_gathering = 2 * static_cast<size_t>(MAX_LINKS);

uint64_t key_of(uint16_t adapter, uint16_t handle, bool received) {
    return uint64_t{adapter} << 17 | uint64_t{handle} << 1 | (received ? 1u : 0u);
}

void drop(L2capState& s, std::unordered_map<uint64_t, Gathering>::iterator it) {
    s.held -= it->second.bytes.capacity();
    s.gathering.erase(it);
    ++s.unfinished;
}

// Makes room for `bytes` more held bytes (and one more PDU when `new_entry`), dropping the
// PDUs touched longest ago.
void make_room(L2capState& s, size_t bytes, bool new_entry) {
    while (!s.gathering.empty() && (s.held + bytes > REASSEMBLY_BUDGET_BYTES ||
                                    (new_entry && s.gathering.size() >= max_gathering))) {
        auto oldest = std::min_element(
            s.gathering.begin(), s.gathering.end(),
            [](const auto& a, const auto& b) { return a.second.touched < b.second.touched; });
        drop(s, oldest);
    }
}

// The PDU held in `bytes` (at least its 4-byte header), cut to its stated length.
void describe(L2capPdu& pdu, Bytes bytes, bool truncated) {
    pdu.length = le16(bytes, 0);
    pdu.cid = le16(bytes, 2);
    const size_t end = std::min(bytes.size(), l2cap_header + pdu.length);
    pdu.payload = bytes.subspan(l2cap_header, end - l2cap_header);
    pdu.truncated = truncated || end < l2cap_header + pdu.length;
}

bool deliver(L2capState& s, std::unordered_map<uint64_t, Gathering>::iterator it, L2capPdu& pdu,
             bool truncated) {
    s.held -= it->second.bytes.capacity();
    s.delivered.swap(it->second.bytes);
    s.gathering.erase(it);
    if (s.delivered.size() < l2cap_header) return false;
    describe(pdu, s.delivered, truncated);
    return true;
}

void append(L2capState& s, Gathering& g, Bytes data) {
    const size_t room = g.expected > 0 ? g.expected - g.bytes.size() : l2cap_header;
    const Bytes taken = data.first(std::min(room, data.size()));
    const size_t before = g.bytes.capacity();
    g.bytes.insert(g.bytes.end(), taken.begin(), taken.end());
    s.held += g.bytes.capacity() - before;
    if (g.expected == 0 && g.bytes.size() >= l2cap_header) {
        g.expected = static_cast<uint32_t>(l2cap_header + le16(g.bytes, 0));
        if (g.bytes.size() < g.expected) append(s, g, data.subspan(taken.size()));
    }
}

} // namespace

bool l2cap_take(L2capState& s, uint16_t adapter, bool received, const AclHeader& acl,
                bool record_truncated, L2capPdu& pdu) {
    pdu.adapter = adapter;
    pdu.handle = acl.handle;
    pdu.received = received;
    const bool cut = record_truncated || acl.data.size() < acl.length;
    const uint64_t key = key_of(adapter, acl.handle, received);
    auto it = s.gathering.find(key);
    if (acl.boundary != ACL_CONTINUING) {
        if (it != s.gathering.end()) drop(s, it);
        const Bytes data = acl.data;
        if (data.size() >= l2cap_header && (cut || data.size() >= l2cap_header + le16(data, 0))) {
            describe(pdu, data, cut);
            return true;
        }
        if (cut) return false;
        const size_t expected =
            data.size() >= l2cap_header ? l2cap_header + le16(data, 0) : l2cap_header;
        make_room(s, expected, true);
        Gathering& g = s.gathering[key];
        g.bytes.reserve(expected);
        s.held += g.bytes.capacity();
        g.touched = ++s.clock;
        append(s, g, data);
        return false;
    }
    if (it == s.gathering.end()) return false;
    it->second.touched = ++s.clock;
    if (it->second.expected == 0) {
        // The header completes now and may ask for up to 64 KiB: room first (this PDU, touched
        // last, goes last).
        make_room(s, l2cap_header + 0xFFFF, false);
        it = s.gathering.find(key);
        if (it == s.gathering.end()) return false;
    }
    append(s, it->second, acl.data);
    const Gathering& g = it->second;
    if (cut || (g.expected > 0 && g.bytes.size() >= g.expected)) return deliver(s, it, pdu, cut);
    return false;
}

void l2cap_forget(L2capState& s, uint16_t adapter, uint16_t handle) {
    for (const bool received : {false, true}) {
        const auto it = s.gathering.find(key_of(adapter, handle, received));
        if (it != s.gathering.end()) drop(s, it);
    }
}

} // namespace capture
