// The stream report: counts and the values seen, from the scanner's events (stream_report.h).
#include "cli/info/stream_report.h"

#include "cli/common/names.h"

#include <algorithm>

namespace cli {

namespace {

void print_parameters(const sbc::FrameHeader& h, std::FILE* out) {
    std::fprintf(out, "%s, %d Hz, %s, %d blocks, %d subbands, %s, bitpool %d",
                 frame_kind_name(h.kind), h.sampling_frequency, channel_mode_name(h.channel_mode),
                 h.blocks, h.subbands, allocation_name(h.allocation_method), h.bitpool);
}

// The parameters and CRC verdict of a damaged frame, from what its own bytes say.
void print_damage(const sbc::ScanEvent& e, std::FILE* out) {
    sbc::FrameHeader own;
    if (e.damage == sbc::Damage::no_header ||
        sbc::frame_header_parse(e.bytes, own) != sbc::HEADER_OK) {
        std::fputs("no readable header, damaged", out);
        return;
    }
    print_parameters(own, out);
    if (e.damage == sbc::Damage::lone_change)
        std::fputs(", CRC ok, a lone frame of another frequency or channel count: damaged", out);
    else
        std::fputs(", CRC bad", out);
}

void print_values(const char* key, const SeenValues& seen, const char* unit, std::FILE* out,
                  const char* (*name)(int32_t) = nullptr) {
    std::fprintf(out, "%s: ", key);
    for (size_t i = 0; i < seen.count; ++i) {
        if (i > 0) std::fputs(", ", out);
        if (name != nullptr)
            std::fputs(name(seen.values[i]), out);
        else
            std::fprintf(out, "%d%s", seen.values[i], unit);
    }
    std::fputc('\n', out);
}

void print_bitpools(const StreamReport& r, std::FILE* out) {
    const auto used = [&](size_t b) { return r.bitpools[b] > 0; };
    size_t low = 0, high = 0, values = 0;
    for (size_t b = 0; b < r.bitpools.size(); ++b) {
        if (!used(b)) continue;
        if (values++ == 0) low = b;
        high = b;
    }
    if (values == 0) {
        std::fputs("bitpool: \n", out);
    } else if (values == 1) {
        std::fprintf(out, "bitpool: %zu\n", low);
    } else {
        std::fprintf(out, "bitpool: %zu-%zu\n", low, high);
        for (size_t b = low; b <= high; ++b)
            if (used(b))
                std::fprintf(out, "bitpool %zu: %lld frames\n", b,
                             static_cast<long long>(r.bitpools[b]));
    }
}

} // namespace

void print_event_line(const StreamReport& r, const sbc::ScanEvent& e, std::FILE* out) {
    const auto offset = static_cast<long long>(e.offset);
    switch (e.type) {
    case sbc::ScanEventType::frame:
    case sbc::ScanEventType::damaged:
        std::fprintf(out, "frame %lld: offset %lld, length %lld, ",
                     static_cast<long long>(r.events), offset, static_cast<long long>(e.length));
        if (e.h2_sequence >= 0) std::fprintf(out, "H2 sequence %d, ", e.h2_sequence);
        if (e.type == sbc::ScanEventType::frame) {
            print_parameters(e.header, out);
            std::fputs(e.changed ? ", CRC ok, the stream changes here\n" : ", CRC ok\n", out);
        } else {
            print_damage(e, out);
            std::fputc('\n', out);
        }
        break;
    case sbc::ScanEventType::skipped:
        std::fprintf(out, "skipped: offset %lld, %lld bytes\n", offset,
                     static_cast<long long>(e.length));
        break;
    case sbc::ScanEventType::lost:
        std::fprintf(out, "lost: %d frame%s before offset %lld\n", e.lost_frames,
                     e.lost_frames == 1 ? "" : "s", offset);
        break;
    case sbc::ScanEventType::need_input:
    case sbc::ScanEventType::end:
        break;
    }
}

void print_report(const StreamReport& r, std::FILE* out) {
    std::fprintf(out, "kind: %s\n", stream_kind_name(r.kind));
    std::fprintf(out, "frames: %lld\n", static_cast<long long>(r.frames));
    std::fprintf(out, "duration: %.3f s\n", r.seconds);
    print_values("sampling frequency", r.frequencies, " Hz", out);
    print_values("channel mode", r.channel_modes, "", out, channel_mode_name);
    print_values("subbands", r.subbands, "", out);
    print_values("blocks", r.blocks, "", out);
    print_values("allocation", r.allocations, "", out, allocation_name);
    print_bitpools(r, out);
    const double rate =
        r.good_seconds > 0 ? static_cast<double>(r.good_bytes) * 8 / r.good_seconds : 0.0;
    std::fprintf(out, "bit rate: %.3f kbit/s\n", rate / 1000);
    std::fprintf(out, "damaged frames: %lld\n", static_cast<long long>(r.damaged));
    std::fprintf(out, "lost frames: %lld\n", static_cast<long long>(r.lost));
    std::fprintf(out, "skipped bytes: %lld\n", static_cast<long long>(r.skipped));
}

} // namespace cli
