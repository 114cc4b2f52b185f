// HCI packets from records (hci.h). Datalink 1001 carries no type byte: its flags tell a
// command or event from data, and ACL from SCO data is told by which header's length field
// matches the record (ACL: 4 + 16-bit length, SCO: 3 + 8-bit length).
#include "capture/hci.h"

#include <algorithm>

namespace capture {

namespace {

constexpr uint8_t h4_command = 1, h4_acl = 2, h4_sco = 3, h4_event = 4;

HciType type_of_h4(uint8_t type) {
    switch (type) {
    case h4_command:
        return HciType::command;
    case h4_acl:
        return HciType::acl;
    case h4_sco:
        return HciType::sco;
    case h4_event:
        return HciType::event;
    default:
        return HciType::other;
    }
}

// Monitor opcodes: 2 command, 3 event, 4 ACL sent, 5 ACL received, 6 SCO sent, 7 SCO received.
bool from_monitor(uint16_t opcode, HciPacket& p) {
    switch (opcode) {
    case 2:
        p.type = HciType::command;
        return true;
    case 3:
        p.type = HciType::event;
        p.received = true;
        return true;
    case 4:
    case 5:
        p.type = HciType::acl;
        p.received = opcode == 5;
        return true;
    case 6:
    case 7:
        p.type = HciType::sco;
        p.received = opcode == 7;
        return true;
    default:
        return false;
    }
}

HciType bare_data_type(Bytes data) {
    if (data.size() >= 4 && data.size() == 4u + le16(data, 2)) return HciType::acl;
    if (data.size() >= 3 && data.size() == 3u + data[2]) return HciType::sco;
    return HciType::acl;
}

} // namespace

bool hci_packet(const Record& r, HciPacket& p) {
    p = HciPacket{};
    Bytes data = r.data;
    switch (r.link) {
    case Link::hci_bare:
        p.received = (r.flags & 1) != 0;
        if ((r.flags & 2) != 0)
            p.type = p.received ? HciType::event : HciType::command;
        else
            p.type = bare_data_type(data);
        break;
    case Link::h4:
    case Link::h4_phdr: {
        if (r.link == Link::h4_phdr) {
            if (data.size() < 4) return false;
            p.received = be32(data, 0) == 1;
            data = data.subspan(4);
        } else {
            p.received = (r.flags & 1) != 0;
        }
        if (data.empty()) return false;
        p.type = type_of_h4(data[0]);
        data = data.subspan(1);
        break;
    }
    case Link::monitor:
        p.adapter = static_cast<uint16_t>(r.flags >> 16);
        if (!from_monitor(static_cast<uint16_t>(r.flags & 0xFFFF), p)) return false;
        break;
    case Link::monitor_hdr:
        if (data.size() < 4) return false;
        p.adapter = be16(data, 0);
        if (!from_monitor(be16(data, 2), p)) return false;
        data = data.subspan(4);
        break;
    case Link::unknown:
        return false;
    }
    p.body = data;
    p.truncated = r.original_length > r.data.size();
    return p.type != HciType::other;
}

bool acl_header(Bytes body, AclHeader& h) {
    if (body.size() < 4) return false;
    const uint16_t word = le16(body, 0);
    h.handle = word & 0x0FFF;
    h.boundary = static_cast<uint8_t>(word >> 12 & 3);
    h.length = le16(body, 2);
    h.data = body.subspan(4, std::min<size_t>(h.length, body.size() - 4));
    return true;
}

bool sco_header(Bytes body, ScoHeader& h) {
    if (body.size() < 3) return false;
    const uint16_t word = le16(body, 0);
    h.handle = word & 0x0FFF;
    h.status = static_cast<uint8_t>(word >> 12 & 3);
    h.length = body[2];
    h.data = body.subspan(3, std::min<size_t>(h.length, body.size() - 3));
    return true;
}

} // namespace capture
