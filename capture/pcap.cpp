// pcap, in the byte order of its magic number:
//
//   header   magic  major minor  zone  sigfigs  snaplen  link type                 24 bytes
//   record   seconds  fraction (µs, or ns for magic A1B23C4D)  included  original   16 bytes
//            the included bytes
#include "capture/records.h"

namespace capture {

namespace {

constexpr size_t header_bytes = 24, record_header_bytes = 16;
constexpr uint32_t nano_magic = 0xA1B23C4D;

} // namespace

Step pcap_step(RecordReader& reader, Bytes bytes) {
    if (!reader.header_done) {
        if (bytes.size() < header_bytes) return {StepType::more, header_bytes};
        reader.big_endian = be32(bytes, 0) == 0xA1B2C3D4 || be32(bytes, 0) == nano_magic;
        reader.nanoseconds = u32(bytes, 0, reader.big_endian) == nano_magic;
        const uint32_t link_type = u32(bytes, 20, reader.big_endian) & 0x0FFFFFFF;
        reader.link_type = static_cast<int32_t>(link_type);
        reader.link = link_of_pcap(link_type);
        reader.header_done = true;
        return {StepType::pass, header_bytes};
    }
    if (bytes.size() < record_header_bytes) return {StepType::more, record_header_bytes};
    const bool big = reader.big_endian;
    Step step = record_of(reader, bytes, record_header_bytes, u32(bytes, 8, big));
    if (step.type != StepType::record) return step;
    const int64_t fraction = u32(bytes, 4, big);
    step.record.time_us =
        int64_t{u32(bytes, 0, big)} * 1000000 + (reader.nanoseconds ? fraction / 1000 : fraction);
    step.record.original_length = u32(bytes, 12, big);
    return step;
}

} // namespace capture
