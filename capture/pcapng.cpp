// pcapng: a sequence of blocks, each  type  total length  body  total length  (4-byte aligned).
//
//   0x0A0D0D0A section header     byte-order magic 1A2B3C4D, version, section length, options:
//                                 starts a section; its interfaces are numbered anew
//   0x00000001 interface          link type (2), reserved (2), snaplen (4), options
//                                 (if_tsresol, code 9: 10^-n, or 2^-n with bit 7 set)
//   0x00000006 enhanced packet    interface, time high, time low, captured, original, bytes
//   0x00000003 simple packet      original length, bytes (interface 0, no time)
//   0x00000002 packet (obsolete)  interface (2), drops (2), time high, time low, captured,
//                                 original, bytes
// Other blocks (name resolution, statistics, custom) are passed over.
#include "capture/records.h"

#include <cmath>

namespace capture {

namespace {

constexpr uint32_t section_block = 0x0A0D0D0A, interface_block = 1, packet_block = 2,
                   simple_block = 3, enhanced_block = 6;
constexpr uint32_t byte_order_magic = 0x1A2B3C4D;
constexpr uint16_t option_end = 0, option_tsresol = 9;

// The time of a packet in microseconds from its 64-bit count in the interface's resolution
// (wrapping, like every capture time: see time_between).
int64_t microseconds(const PcapngInterface& i, uint64_t ticks) {
    if (i.power_of_two) {
        const double us = std::ldexp(static_cast<double>(ticks), -i.exponent) * 1e6;
        return us < 9e18 ? static_cast<int64_t>(us) : 0;
    }
    uint64_t value = ticks;
    for (int32_t e = i.exponent; e > 6; --e) value /= 10;
    for (int32_t e = i.exponent; e < 6; ++e) value *= 10;
    return static_cast<int64_t>(value);
}

void read_interface(RecordReader& reader, Bytes body) {
    if (body.size() < 8 || reader.interface_count >= reader.interfaces.size()) return;
    PcapngInterface& i = reader.interfaces[reader.interface_count++];
    const uint32_t link_type = u16(body, 0, reader.big_endian);
    i.link_type = static_cast<int32_t>(link_type);
    i.link = link_of_pcap(link_type);
    if (reader.link_type < 0) reader.link_type = i.link_type;
    for (size_t at = 8; at + 4 <= body.size();) {
        const uint16_t code = u16(body, at, reader.big_endian);
        const uint16_t length = u16(body, at + 2, reader.big_endian);
        if (code == option_end || at + 4 + length > body.size()) break;
        if (code == option_tsresol && length >= 1) {
            const uint8_t r = body[at + 4];
            i.power_of_two = (r & 0x80) != 0;
            i.exponent = std::min<int32_t>(r & 0x7F, 18);
        }
        at += 4 + ((length + 3u) & ~3u);
    }
}

// A packet block's record, or a pass when its interface is unknown or not followed.
Step packet_record(const RecordReader& reader, Bytes body, uint32_t type, uint64_t length) {
    const bool big = reader.big_endian;
    Step pass{StepType::pass, length};
    pass.skipped_record = true;
    uint32_t interface = 0, captured = 0, original = 0;
    uint64_t ticks = 0;
    size_t data_at = 0;
    if (type == simple_block) {
        if (body.size() < 4) return pass;
        original = u32(body, 0, big);
        captured = static_cast<uint32_t>(std::min<uint64_t>(original, body.size() - 4));
        data_at = 4;
    } else {
        constexpr size_t fields = 20; // both packet blocks: ids, time, lengths
        if (body.size() < fields) return pass;
        interface = type == enhanced_block ? u32(body, 0, big) : u16(body, 0, big);
        ticks = uint64_t{u32(body, 4, big)} << 32 | u32(body, 8, big);
        captured = u32(body, 12, big);
        original = u32(body, 16, big);
        data_at = fields;
        if (captured > body.size() - data_at) return pass;
    }
    if (interface >= reader.interface_count) return pass;
    const PcapngInterface& i = reader.interfaces[interface];
    if (i.link == Link::unknown) return pass;
    Step step{StepType::record, length};
    step.record.link = i.link;
    step.record.time_us = microseconds(i, ticks);
    step.record.original_length = original;
    step.record.data = body.subspan(data_at, captured);
    return step;
}

} // namespace

Step pcapng_step(RecordReader& reader, Bytes bytes) {
    if (bytes.size() < 12) return {StepType::more, 12};
    const bool section = le32(bytes, 0) == section_block;
    if (section) reader.big_endian = be32(bytes, 8) == byte_order_magic;
    const uint32_t type = u32(bytes, 0, reader.big_endian);
    const uint32_t length = u32(bytes, 4, reader.big_endian);
    if (length < 12 || length % 4 != 0) return {StepType::broken};
    if (length > MAX_RECORD_BYTES + 64) {
        Step pass{StepType::pass, length};
        pass.skipped_record = true;
        return pass;
    }
    if (bytes.size() < length) return {StepType::more, length};
    const Bytes body = bytes.subspan(8, length - 12);
    if (section) {
        reader.interface_count = 0;
        reader.header_done = true;
        return {StepType::pass, length};
    }
    if (!reader.header_done) return {StepType::broken};
    switch (type) {
    case interface_block:
        read_interface(reader, body);
        return {StepType::pass, length};
    case enhanced_block:
    case packet_block:
    case simple_block:
        return packet_record(reader, body, type, length);
    default:
        return {StepType::pass, length};
    }
}

} // namespace capture
