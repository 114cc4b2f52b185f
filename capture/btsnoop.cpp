// btsnoop version 1, as Android and btmon write it (all fields big-endian):
//
//   header   "btsnoop\0"  version (1)  datalink (1001, 1002, 2001)               16 bytes
//   record   original length  included length  flags  cumulative drops  time    24 bytes
//            the included bytes
//
// Time counts microseconds since midnight of 1 January of year 0; only differences matter here.
// flags: 1001 and 1002 bit 0 set for a packet received from the controller, 1001 bit 1 set for a
// command or event; 2001 the controller's index in the high 16 bits and the monitor opcode low.
#include "capture/records.h"

namespace capture {

namespace {

constexpr size_t header_bytes = 16, record_header_bytes = 24;

} // namespace

Step btsnoop_step(RecordReader& reader, Bytes bytes) {
    if (!reader.header_done) {
        if (bytes.size() < header_bytes) return {StepType::more, header_bytes};
        reader.header_done = true;
        reader.link_type = static_cast<int32_t>(be32(bytes, 12));
        reader.link = link_of_btsnoop(be32(bytes, 12));
        return {StepType::pass, header_bytes};
    }
    if (bytes.size() < record_header_bytes) return {StepType::more, record_header_bytes};
    Step step = record_of(reader, bytes, record_header_bytes, be32(bytes, 4));
    if (step.type != StepType::record) return step;
    step.record.original_length = be32(bytes, 0);
    step.record.flags = be32(bytes, 8);
    step.record.time_us =
        static_cast<int64_t>(uint64_t{be32(bytes, 16)} << 32 | uint64_t{be32(bytes, 20)});
    return step;
}

} // namespace capture
