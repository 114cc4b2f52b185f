// vantrel-info on a capture (capture_report.h).
#include "cli/info/capture_report.h"

#include "cli/common/capture_text.h"
#include "cli/common/report.h"

#include <cstdio>

namespace cli {

namespace {

double seconds(int64_t us) {
    return static_cast<double>(us) / 1e6;
}

void print_packet(const capture::Event& e, std::FILE* out) {
    const capture::PacketInfo& p = e.packet;
    std::fprintf(out, "packet: record %lld, stream %d, %.6f s, %d bytes",
                 static_cast<long long>(p.record), e.stream, seconds(p.time_us), p.length);
    if (p.sequence >= 0) {
        std::fprintf(out, ", RTP sequence %d, timestamp %lld", p.sequence,
                     static_cast<long long>(p.timestamp));
        if ((p.media_header & 0x80) != 0)
            std::fprintf(out, ", fragment%s%s, %d left", (p.media_header & 0x40) ? " first" : "",
                         (p.media_header & 0x20) ? " last" : "", p.frame_count);
        else
            std::fprintf(out, ", %d frame%s", p.frame_count, p.frame_count == 1 ? "" : "s");
    } else if (p.sco) {
        std::fprintf(out, ", SCO status %d", p.status);
    }
    std::fputs(p.truncated ? ", cut short\n" : "\n", out);
}

void print_event(const capture::Event& e, std::FILE* out) {
    switch (e.type) {
    case capture::EventType::packet:
        print_packet(e, out);
        break;
    case capture::EventType::lost:
    case capture::EventType::damaged:
        std::fprintf(out, "%s: stream %d, %lld frame%s\n",
                     e.type == capture::EventType::lost ? "lost" : "damaged", e.stream,
                     static_cast<long long>(e.count), e.count == 1 ? "" : "s");
        break;
    default:
        break;
    }
}

void print_stream(const capture::StreamInfo& s, std::FILE* out) {
    std::fprintf(out, "stream %d: %s; ", s.index, stream_title(s).c_str());
    if (s.first.sampling_frequency > 0)
        std::fprintf(out, "%d Hz, %d channel%s; ", s.first.sampling_frequency, s.first.channels,
                     s.first.channels == 1 ? "" : "s");
    if (s.kind == capture::StreamKind::a2dp_sbc)
        std::fprintf(out, "%s; ", configuration_text(s.configuration).c_str());
    std::fprintf(out,
                 "frames %lld, duration %.3f s, start %.3f s, packets %lld, lost frames %lld, "
                 "damaged frames %lld\n",
                 static_cast<long long>(s.frames), s.seconds, seconds(s.start_us),
                 static_cast<long long>(s.packets), static_cast<long long>(s.lost),
                 static_cast<long long>(s.damaged));
}

void print_report(const capture::CaptureReader& reader, std::FILE* out) {
    const capture::CaptureTotals& t = capture::capture_totals(reader);
    std::fprintf(out, "capture: %s, link type %d, %lld records, %.3f s\n",
                 capture::format_name(t.format), t.link_type, static_cast<long long>(t.records),
                 seconds(capture::time_between(t.first_us, t.last_us)));
    const auto streams = capture::capture_streams(reader);
    std::fprintf(out, "streams: %zu\n", streams.size());
    for (const auto& s : streams) print_stream(s, out);
}

} // namespace

int report_capture(Input& input, bool verbose) {
    auto reader = capture::capture_create();
    for (;;) {
        const capture::Event e = capture::capture_next(*reader);
        if (e.type == capture::EventType::end) break;
        if (e.type == capture::EventType::need_input) {
            const Feed feed = feed_capture(input, *reader);
            if (feed == Feed::failed || feed == Feed::stopped) return 1;
            continue;
        }
        if (verbose) print_event(e, stdout);
    }
    print_report(*reader, stdout);
    report_capture_remarks(*reader, input.name);
    if (has_audio(capture::capture_streams(*reader))) return 0;
    report("no A2DP SBC or mSBC audio found in %s", input.name.c_str());
    return 1;
}

} // namespace cli
