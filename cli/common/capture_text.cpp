// Words for a capture's streams (capture_text.h).
#include "cli/common/capture_text.h"

#include "cli/common/names.h"
#include "cli/common/report.h"

#include <array>
#include <cstdio>

namespace cli {

namespace {

std::string hex4(uint16_t value) {
    std::array<char, 8> text{};
    std::snprintf(text.data(), text.size(), "0x%04x", value);
    return text.data();
}

// The values of one field of a configuration, joined by " or ".
std::string field_text(const capture::SbcConfiguration& c, capture::ConfigurationField field,
                       const char* unit) {
    std::array<int32_t, 4> values{};
    const int n = capture::configuration_values(c, field, values);
    std::string text;
    for (int i = 0; i < n; ++i) {
        if (i > 0) text += " or ";
        const int32_t v = values[static_cast<size_t>(i)];
        if (field == capture::ConfigurationField::channel_mode)
            text += channel_mode_name(v);
        else if (field == capture::ConfigurationField::allocation)
            text += allocation_name(v);
        else
            text += std::to_string(v) + unit;
    }
    return n == 0 ? std::string("?") + unit : text;
}

} // namespace

std::string stream_title(const capture::StreamInfo& s) {
    std::string text = s.kind == capture::StreamKind::msbc ? "mSBC" : "A2DP SBC";
    text += s.received ? ", received" : ", sent";
    if (s.adapter != 0) text += ", controller " + std::to_string(s.adapter);
    if (s.kind == capture::StreamKind::msbc) return text + ", SCO handle " + hex4(s.handle);
    return text + ", handle " + hex4(s.handle) + ", channel " + hex4(s.channel);
}

std::string configuration_text(const capture::SbcConfiguration& c) {
    using capture::ConfigurationField;
    if (!c.present) return "no configuration in the capture";
    return "configured " + field_text(c, ConfigurationField::frequency, " Hz") + ", " +
           field_text(c, ConfigurationField::channel_mode, "") + ", " +
           field_text(c, ConfigurationField::blocks, " blocks") + ", " +
           field_text(c, ConfigurationField::subbands, " subbands") + ", " +
           field_text(c, ConfigurationField::allocation, "") + ", bitpool " +
           std::to_string(c.min_bitpool) + "-" + std::to_string(c.max_bitpool);
}

bool has_audio(std::span<const capture::StreamInfo> streams) {
    for (const auto& s : streams)
        if (s.frames > 0) return true;
    return false;
}

void report_capture_remarks(const capture::CaptureReader& reader, const std::string& name) {
    const capture::CaptureTotals& t = capture::capture_totals(reader);
    const auto streams = capture::capture_streams(reader);
    int64_t cut = 0, cut_streams_silent = 0;
    for (const auto& s : streams) {
        cut += s.truncated;
        if (s.truncated > 0 && s.frames == 0) ++cut_streams_silent;
    }
    if (cut_streams_silent > 0 && t.format == capture::Format::btsnoop)
        report("%s: every media packet of %lld stream%s is cut short. %s", name.c_str(),
               static_cast<long long>(cut_streams_silent), cut_streams_silent == 1 ? "" : "s",
               capture::filtered_log_advice());
    else if (cut > 0)
        report("%s: %lld media packets are cut short in the capture (a snapshot length or a "
               "filtered log); the frames they lack are counted as lost",
               name.c_str(), static_cast<long long>(cut));
    if (t.hci_packets == 0 && t.skipped_records > 0)
        report("%s: its link type %d holds no HCI packets that vantrel reads (btsnoop datalinks "
               "1001, 1002 and 2001; pcap and pcapng link types 201 and 254)",
               name.c_str(), t.link_type);
    if (t.other_codec_packets > 0)
        report("%s: %lld media packets of a codec other than SBC are left out", name.c_str(),
               static_cast<long long>(t.other_codec_packets));
    if (t.unreadable && t.format != capture::Format::none)
        report("%s: the capture is damaged at byte %lld; what comes before it was read",
               name.c_str(), static_cast<long long>(t.unreadable_at));
    if (t.ended_inside_record)
        report("%s: the capture ends partway through a record (it was cut short)", name.c_str());
    if (t.untracked > 0)
        report("%s: more connections or streams than can be followed at once (%d); %lld "
               "packets of the others were left out",
               name.c_str(), capture::MAX_STREAMS, static_cast<long long>(t.untracked));
}

} // namespace cli
