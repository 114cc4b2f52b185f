// L2CAP packets out of ACL fragments, per controller, connection handle and direction:
//
//   ACL  first fragment ─┬─ [len 16 | CID 16 | payload ...........]  a PDU of 4 + len bytes
//        continuing ─────┘                     [... payload ...]
//
// A PDU that fits its first fragment is handed on where it lies, without a copy; a longer one
// is gathered in a buffer of its own until its length is reached. A new first fragment drops a
// PDU still unfinished (counted); continuing fragments without a start are dropped. A fragment
// cut short in the capture ends its PDU at once, marked truncated, with the bytes there are.
//
// Memory: the gathered bytes of all unfinished PDUs together stay within
// REASSEMBLY_BUDGET_BYTES and their number within 2 × MAX_LINKS; past either, the PDU touched
// longest ago is dropped (counted as unfinished).
#pragma once

#include "capture/hci.h"

#include <cstdint>
#include <unordered_map>
#include <vector>

namespace capture {

struct L2capPdu {
    uint16_t adapter = 0;
    uint16_t handle = 0;
    bool received = false;
    uint16_t cid = 0;
    uint32_t length = 0; // of the payload, as the L2CAP header says
    Bytes payload{};     // valid until the next l2cap_take
    bool truncated = false;
};

struct Gathering {
    std::vector<uint8_t> bytes;
    uint32_t expected = 0; // 4 + the L2CAP length; 0 while the 4-byte header is incomplete
    uint64_t touched = 0;
};

struct L2capState {
    std::unordered_map<uint64_t, Gathering> gathering;
    size_t held = 0; // capacity of all gathering buffers
    uint64_t clock = 0;
    std::vector<uint8_t> delivered; // the last PDU gathered from fragments
    int64_t unfinished = 0;         // PDUs dropped before their last fragment
};

// Takes one ACL packet (its record cut short when `record_truncated`); true when it completes
// an L2CAP PDU (or ends one cut short), which `pdu` then describes.
bool l2cap_take(L2capState& state, uint16_t adapter, bool received, const AclHeader& acl,
                bool record_truncated, L2capPdu& pdu);

// Drops whatever is being gathered for a connection (it was disconnected).
void l2cap_forget(L2capState& state, uint16_t adapter, uint16_t handle);

} // namespace capture
