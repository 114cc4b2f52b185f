// Fuzz target: L2CAP reassembly alone, on any sequence of ACL packets. Each packet is read from
// the input as: a control byte (bit 0 received, bit 1 cut short in the capture, bits 2-7 the
// controller), the 16-bit handle word (handle, boundary flags) and 16-bit length of the ACL
// header, then up to that many bytes (fewer at the end). Every PDU handed on must lie within
// the bytes it came from and agree with its own length; the bytes held for unfinished PDUs
// must stay within the budget.
//
//   scripts/fuzz 1800 l2cap_fuzz
#include "capture/l2cap.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    capture::L2capState state;
    std::span<const uint8_t> rest(data, size);
    while (rest.size() >= 5) {
        const uint8_t control = rest[0];
        const std::span<const uint8_t> body =
            rest.subspan(1, std::min<size_t>(rest.size() - 1, 4u + capture::le16(rest, 3)));
        rest = rest.subspan(1 + body.size());
        capture::AclHeader acl;
        if (!capture::acl_header(body, acl)) std::abort();
        capture::L2capPdu pdu;
        if (capture::l2cap_take(state, static_cast<uint16_t>(control >> 2), (control & 1) != 0,
                                acl, (control & 2) != 0, pdu)) {
            if (pdu.payload.size() > pdu.length) std::abort();
            if (!pdu.truncated && pdu.payload.size() != pdu.length) std::abort();
            volatile uint8_t sum = 0;
            for (const uint8_t b : pdu.payload) sum = static_cast<uint8_t>(sum + b);
        }
        if (state.held > capture::REASSEMBLY_BUDGET_BYTES + 0x10004) std::abort();
        if (control == 0xFF) capture::l2cap_forget(state, 0x3F, acl.handle);
    }
    return 0;
}
