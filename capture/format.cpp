// Recognising a capture by its first bytes, and the links the readers follow (records.h).
//
//   btsnoop  62 74 73 6E 6F 6F 70 00 | 00 00 00 01             "btsnoop\0", version 1
//   pcap     D4 C3 B2 A1 / A1 B2 C3 D4  (µs)   4D 3C B2 A1 / A1 B2 3C 4D  (ns)
//   pcapng   0A 0D 0D 0A | length | 4D 3C 2B 1A or 1A 2B 3C 4D  (the byte-order magic)
#include "capture/records.h"

#include <algorithm>
#include <string_view>

namespace capture {

namespace {

constexpr std::string_view btsnoop_magic{"btsnoop\0", 8};
constexpr uint32_t pcap_micro = 0xA1B2C3D4, pcap_nano = 0xA1B23C4D;
constexpr uint32_t pcapng_section = 0x0A0D0D0A, pcapng_byte_order = 0x1A2B3C4D;

bool starts_with(Bytes head, std::string_view magic) {
    return head.size() >= magic.size() &&
           std::equal(magic.begin(), magic.end(), head.begin(),
                      [](char c, uint8_t b) { return static_cast<uint8_t>(c) == b; });
}

} // namespace

Format format_of(Bytes head) {
    if (starts_with(head, btsnoop_magic) && head.size() >= 12 && be32(head, 8) == 1)
        return Format::btsnoop;
    if (head.size() < 4) return Format::none;
    for (const bool big : {false, true}) {
        const uint32_t magic = u32(head, 0, big);
        if (magic == pcap_micro || magic == pcap_nano) return Format::pcap;
    }
    if (le32(head, 0) == pcapng_section && head.size() >= 12 &&
        (le32(head, 8) == pcapng_byte_order || be32(head, 8) == pcapng_byte_order))
        return Format::pcapng;
    return Format::none;
}

bool format_possible(Bytes head) {
    const auto prefix_of = [&](std::span<const uint8_t> magic) {
        const size_t n = std::min(head.size(), magic.size());
        return std::equal(head.begin(), head.begin() + static_cast<ptrdiff_t>(n), magic.begin());
    };
    static constexpr uint8_t btsnoop[] = {'b', 't', 's', 'n', 'o', 'o', 'p', 0, 0, 0, 0, 1};
    static constexpr uint8_t pcaps[][4] = {{0xD4, 0xC3, 0xB2, 0xA1},
                                           {0xA1, 0xB2, 0xC3, 0xD4},
                                           {0x4D, 0x3C, 0xB2, 0xA1},
                                           {0xA1, 0xB2, 0x3C, 0x4D},
                                           {0x0A, 0x0D, 0x0D, 0x0A}};
    if (prefix_of(btsnoop)) return true;
    for (const auto& magic : pcaps)
        if (prefix_of(magic))
            return head.size() < RECOGNITION_BYTES || format_of(head) != Format::none;
    return false;
}

const char* filtered_log_advice() {
    return "This is Android's filtered HCI snoop log: it keeps only the headers of media "
           "packets, so the audio is not in it. Take a full log: in Settings > System > "
           "Developer options, set \"Enable Bluetooth HCI snoop log\" to \"Enabled\" (not "
           "\"Filtered\"), turn Bluetooth off and on, play the audio again, then take the log "
           "with \"adb bugreport\" (FS/data/misc/bluetooth/logs/btsnoop_hci.log in the zip).";
}

const char* format_name(Format format) {
    switch (format) {
    case Format::btsnoop:
        return "btsnoop";
    case Format::pcap:
        return "pcap";
    case Format::pcapng:
        return "pcapng";
    case Format::none:
        break;
    }
    return "none";
}

Link link_of_btsnoop(uint32_t datalink) {
    switch (datalink) {
    case BTSNOOP_HCI_BARE:
        return Link::hci_bare;
    case BTSNOOP_H4:
        return Link::h4;
    case BTSNOOP_MONITOR:
        return Link::monitor;
    default:
        return Link::unknown;
    }
}

Link link_of_pcap(uint32_t link_type) {
    switch (link_type) {
    case LINKTYPE_H4_WITH_PHDR:
        return Link::h4_phdr;
    case LINKTYPE_LINUX_MONITOR:
        return Link::monitor_hdr;
    default:
        return Link::unknown;
    }
}

Step record_of(const RecordReader& reader, Bytes bytes, size_t header, uint32_t included) {
    Step step;
    step.length = header + uint64_t{included};
    if (reader.link == Link::unknown || included > MAX_RECORD_BYTES) {
        step.type = StepType::pass;
        step.skipped_record = true;
    } else if (bytes.size() < step.length) {
        step.type = StepType::more;
    } else {
        step.type = StepType::record;
        step.record.link = reader.link;
        step.record.data = bytes.subspan(header, included);
    }
    return step;
}

Step record_step(RecordReader& reader, Bytes bytes) {
    switch (reader.format) {
    case Format::btsnoop:
        return btsnoop_step(reader, bytes);
    case Format::pcap:
        return pcap_step(reader, bytes);
    case Format::pcapng:
        return pcapng_step(reader, bytes);
    case Format::none:
        break;
    }
    return {StepType::broken};
}

} // namespace capture
