// The three capture formats, each read as a sequence of records: one HCI packet (or monitor
// message) each, with its time, its direction or monitor opcode, and the bytes captured.
//
//   btsnoop  "btsnoop\0", version 1, datalink ── records: original length, included length,
//            (big-endian)                         flags, drops, time (µs since year 0), bytes
//   pcap     magic, version, zone, sigfigs, snaplen, link type ── records: seconds, µs (or ns),
//            (either byte order)                  included length, original length, bytes
//   pcapng   blocks: type, length, body, length. Section header (byte-order magic), interface
//            descriptions (link type, time resolution), enhanced and simple packet blocks
//
// A reader is given the bytes at hand (from the start of the file, then from where the last
// record ended) and answers with one step: a record, a header or block to pass over, a need for
// more bytes, or the point where the file stops being readable. It never reads past the bytes
// given, and never keeps a pointer to them.
#pragma once

#include "capture/bytes.h"
#include "capture/capture.h"

#include <array>
#include <cstdint>

namespace capture {

// How a record's bytes are laid out, from the datalink or link type.
enum class Link : int32_t {
    unknown,     // a link type this reader does not follow: the record is passed over
    hci_bare,    // btsnoop 1001: an HCI packet without its type byte; flags give the kind
    h4,          // btsnoop 1002: H4 (a type byte first); flags bit 0: received
    h4_phdr,     // pcap 201: a 4-byte big-endian direction (1: received), then H4
    monitor,     // btsnoop 2001: Linux monitor; flags = adapter << 16 | opcode
    monitor_hdr, // pcap 254: a 4-byte header (adapter, opcode, big-endian), then the message
};

inline constexpr uint32_t BTSNOOP_HCI_BARE = 1001, BTSNOOP_H4 = 1002, BTSNOOP_MONITOR = 2001;
inline constexpr uint32_t LINKTYPE_H4_WITH_PHDR = 201, LINKTYPE_LINUX_MONITOR = 254;

struct Record {
    Link link = Link::unknown;
    int64_t time_us = 0;
    uint32_t flags = 0;           // btsnoop packet flags
    uint32_t original_length = 0; // as the packet was, before any snapping or filtering
    Bytes data{};                 // the bytes captured
};

enum class StepType {
    record, // `record` is one, `length` bytes long
    pass,   // `length` bytes (a header, a block) hold no record; `length` may exceed the bytes
            // at hand (an oversized record): pass over the rest as it comes
    more,   // at least `length` bytes are needed to decide
    broken, // the file's structure is broken here: stop reading
};

struct Step {
    StepType type = StepType::more;
    uint64_t length = 0;
    Record record{};
    bool skipped_record = false; // pass: a record of another link type, or oversized
};

struct PcapngInterface {
    Link link = Link::unknown;
    int32_t link_type = -1;
    bool power_of_two = false; // time resolution 2^-exponent, else 10^-exponent
    int32_t exponent = 6;
};

// What a reader keeps between steps.
struct RecordReader {
    Format format = Format::none;
    bool header_done = false;
    bool big_endian = false;
    bool nanoseconds = false; // pcap
    Link link = Link::unknown;
    int32_t link_type = -1; // the first one seen
    std::array<PcapngInterface, 64> interfaces{};
    uint32_t interface_count = 0;
};

// The link of a btsnoop datalink or a pcap link type.
Link link_of_btsnoop(uint32_t datalink);
Link link_of_pcap(uint32_t link_type);

// The step for a record whose fixed header of `header` bytes says `included` bytes follow: a
// pass when it is not to be read (a link not followed, longer than any HCI packet), more when
// the bytes at hand end before it, else a record with its link and data (the caller adds the
// rest).
Step record_of(const RecordReader& reader, Bytes bytes, size_t header, uint32_t included);

Step btsnoop_step(RecordReader& reader, Bytes bytes);
Step pcap_step(RecordReader& reader, Bytes bytes);
Step pcapng_step(RecordReader& reader, Bytes bytes);

// The step of whichever format `reader.format` is.
Step record_step(RecordReader& reader, Bytes bytes);

} // namespace capture
