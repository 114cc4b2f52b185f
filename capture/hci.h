// HCI packets out of capture records, whatever the link: the packet's kind, its direction and
// controller, and its bytes after the kind.
//
//   H4 type byte   1 command   2 ACL data   3 synchronous (SCO) data   4 event   5 ISO data
//   monitor opcode 2 command   3 event   4/5 ACL sent/received   6/7 SCO sent/received
//
//   ACL   handle (12 bits) | packet boundary (2) | broadcast (2)   length (16)   data
//   SCO   handle (12 bits) | packet status (2) | reserved (2)      length (8)    data
//                          (little-endian)
#pragma once

#include "capture/records.h"

namespace capture {

enum class HciType { command, acl, sco, event, other };

struct HciPacket {
    HciType type = HciType::other;
    bool received = false; // controller to host
    uint16_t adapter = 0;
    Bytes body{};           // after the type byte (or monitor header)
    bool truncated = false; // the record holds fewer bytes than the packet had
};

// The HCI packet a record holds; false for records that hold none (monitor notes, index
// messages, an empty record).
bool hci_packet(const Record& record, HciPacket& packet);

// Packet boundary flags of an ACL packet.
inline constexpr uint8_t ACL_CONTINUING = 0x1;

struct AclHeader {
    uint16_t handle = 0;
    uint8_t boundary = 0; // 0 first non-flushable, 1 continuing, 2 first flushable, 3 complete
    uint16_t length = 0;  // as the header says
    Bytes data{};         // the bytes there are (fewer when the record is cut short)
};
bool acl_header(Bytes body, AclHeader& header);

struct ScoHeader {
    uint16_t handle = 0;
    uint8_t status = 0; // 0 correct, 1 possibly invalid, 2 no data received, 3 partially lost
    uint8_t length = 0;
    Bytes data{};
};
bool sco_header(Bytes body, ScoHeader& header);

} // namespace capture
