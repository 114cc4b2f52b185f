// What both directions share: status texts, the version, the encoder's configuration (defaults,
// checks, the bitpool from a bit rate), a frame's header, and the stream report.
//
// Settling a configuration, in the order of the checks (the first refusal is the status):
//   struct_size ─► frequency ─► channels ─► channel mode (one channel: MONO; AUTO: DUAL_CHANNEL)
//   ─► subbands ─► blocks ─► allocation ─► bitpool (given, or from the bit rate as the program
//   derives it; for VANTREL_BIT_RATE_DEFAULT the default rate's, lowered where a frame cannot
//   carry it, as the program without -r) within 0..encoder_max_bitpool(mode, subbands)
#include "capi/entry.h"
#include "sbc/rate.h"
#include "sbc/report.h"

#include <array>
#include <span>

namespace capi {

namespace {

constexpr bool blocks_ok(int32_t blocks) {
    return blocks == 4 || blocks == 8 || blocks == 12 || blocks == 16;
}

sbc::RateShape rate_shape(const vantrel_config& c) {
    return {c.sampling_frequency, c.channels, c.channel_mode, c.subbands, c.blocks};
}

// Everything but the bitpool; the channel mode settled.
int settle_shape(vantrel_config& c) {
    if (sbc::encoder_frequency_index(c.sampling_frequency) < 0) return VANTREL_ERROR_BAD_RATE;
    if (c.channels != 1 && c.channels != 2) return VANTREL_ERROR_BAD_CHANNELS;
    if (c.channel_mode < VANTREL_CHANNEL_MODE_AUTO || c.channel_mode > VANTREL_JOINT_STEREO)
        return VANTREL_ERROR_BAD_CHANNEL_MODE;
    if (c.channels == 1) {
        c.channel_mode = VANTREL_MONO;
    } else if (c.channel_mode == VANTREL_CHANNEL_MODE_AUTO) {
        c.channel_mode = VANTREL_DUAL_CHANNEL;
    } else if (c.channel_mode == VANTREL_MONO) {
        return VANTREL_ERROR_BAD_CHANNEL_MODE;
    }
    if (c.subbands != 4 && c.subbands != 8) return VANTREL_ERROR_BAD_SUBBANDS;
    if (!blocks_ok(c.blocks)) return VANTREL_ERROR_BAD_BLOCKS;
    if (c.allocation != VANTREL_LOUDNESS && c.allocation != VANTREL_SNR)
        return VANTREL_ERROR_BAD_ALLOCATION;
    return VANTREL_OK;
}

template <size_t N>
void copy_values(const sbc::SeenValues& seen, int32_t& count, int32_t (&values)[N]) {
    count = static_cast<int32_t>(std::min(seen.count, N));
    for (size_t i = 0; i < N; ++i) values[i] = i < seen.count ? seen.values[i] : 0;
}

vantrel_stream_report to_report(const sbc::StreamReport& r, const sbc::ScanCounts& counts) {
    vantrel_stream_report out{};
    out.struct_size = sizeof out;
    out.kind = kind_code(r.kind);
    out.frames = r.frames;
    out.damaged = r.damaged;
    out.lost = r.lost;
    out.skipped_bytes = r.skipped;
    out.bytes = counts.bytes;
    out.seconds = r.seconds;
    out.bit_rate = r.good_seconds > 0 ? static_cast<double>(r.good_bytes) * 8 / r.good_seconds : 0;
    copy_values(r.frequencies, out.frequency_count, out.frequencies);
    copy_values(r.channel_modes, out.channel_mode_count, out.channel_modes);
    copy_values(r.subbands, out.subband_count, out.subbands);
    copy_values(r.blocks, out.block_count, out.blocks);
    copy_values(r.allocations, out.allocation_count, out.allocations);
    out.bitpool_min = out.bitpool_max = -1;
    for (size_t b = 0; b < r.bitpools.size(); ++b) {
        out.bitpool_frames[b] = r.bitpools[b];
        if (r.bitpools[b] == 0) continue;
        if (out.bitpool_min < 0) out.bitpool_min = static_cast<int32_t>(b);
        out.bitpool_max = static_cast<int32_t>(b);
    }
    return out;
}

} // namespace

int settle(const vantrel_config* config, Settled& settled) {
    vantrel_config c{};
    vantrel_config_default(&c, 0, 0);
    if (!copy_in(config, config_size_v1, c)) return VANTREL_ERROR_BAD_STRUCT_SIZE;
    if (const int status = settle_shape(c); status != VANTREL_OK) return status;
    if (c.bitpool == VANTREL_BITPOOL_FROM_RATE && c.bit_rate == VANTREL_BIT_RATE_DEFAULT) {
        const auto fallback = sbc::default_bitpool(
            rate_shape(c), sbc::encoder_max_bitpool(c.channel_mode, c.subbands));
        if (!fallback) return VANTREL_ERROR_BAD_BIT_RATE;
        c.bitpool = fallback->bitpool;
        c.bit_rate = sbc::DEFAULT_BIT_RATE;
    } else if (c.bitpool == VANTREL_BITPOOL_FROM_RATE) {
        const auto bitpool = sbc::bitpool_for_rate(rate_shape(c), c.bit_rate);
        if (!bitpool) return VANTREL_ERROR_BAD_BIT_RATE;
        c.bitpool = *bitpool;
    }
    if (c.bitpool < 0 || c.bitpool > sbc::encoder_max_bitpool(c.channel_mode, c.subbands))
        return VANTREL_ERROR_BAD_BITPOOL;
    settled.config = c;
    settled.config.struct_size = sizeof c;
    return VANTREL_OK;
}

int32_t kind_code(sbc::StreamKind kind) {
    switch (kind) {
    case sbc::StreamKind::sbc:
        return VANTREL_KIND_SBC;
    case sbc::StreamKind::msbc:
        return VANTREL_KIND_MSBC;
    case sbc::StreamKind::h2_msbc:
        return VANTREL_KIND_H2_MSBC;
    case sbc::StreamKind::unknown:
        break;
    }
    return VANTREL_KIND_NONE;
}

vantrel_frame_info frame_info(const sbc::FrameHeader& h) {
    vantrel_frame_info info{};
    info.kind = h.kind == sbc::FrameKind::msbc ? VANTREL_KIND_MSBC : VANTREL_KIND_SBC;
    info.sampling_frequency = h.sampling_frequency;
    info.channels = h.channels;
    info.channel_mode = h.channel_mode;
    info.subbands = h.subbands;
    info.blocks = h.blocks;
    info.allocation = h.allocation_method;
    info.bitpool = h.bitpool;
    info.length = h.length;
    info.samples = h.blocks * h.subbands;
    return info;
}

} // namespace capi

using capi::guarded;

extern "C" {

VANTREL_API const char* vantrel_strerror(int status) {
    switch (status) {
    case VANTREL_OK:
        return "success";
    case VANTREL_DAMAGED:
        return "the frame is damaged (its CRC does not match); it is concealed in its place";
    case VANTREL_ERROR_NULL_POINTER:
        return "a required pointer is null";
    case VANTREL_ERROR_BUFFER_TOO_SMALL:
        return "the output buffer is too small";
    case VANTREL_ERROR_BAD_RATE:
        return "sampling frequency not supported (16000, 32000, 44100 or 48000 Hz)";
    case VANTREL_ERROR_BAD_CHANNELS:
        return "number of channels not supported (1 or 2; a converter takes 1 to 8)";
    case VANTREL_ERROR_BAD_CHANNEL_MODE:
        return "channel mode not valid for this number of channels";
    case VANTREL_ERROR_BAD_SUBBANDS:
        return "subbands must be 4 or 8";
    case VANTREL_ERROR_BAD_BLOCKS:
        return "blocks must be 4, 8, 12 or 16";
    case VANTREL_ERROR_BAD_ALLOCATION:
        return "allocation must be LOUDNESS or SNR";
    case VANTREL_ERROR_BAD_BITPOOL:
        return "bitpool outside the valid range for this channel mode and subbands";
    case VANTREL_ERROR_BAD_BIT_RATE:
        return "bit rate out of range";
    case VANTREL_ERROR_BAD_STRUCT_SIZE:
        return "struct_size is not set to the size of the struct";
    case VANTREL_ERROR_BAD_LENGTH:
        return "sample count is not a whole number of instants, or too large";
    case VANTREL_ERROR_NOT_A_FRAME:
        return "the bytes do not begin with an SBC or mSBC frame";
    case VANTREL_ERROR_NEED_MORE:
        return "the bytes end before the frame does";
    case VANTREL_ERROR_NO_FRAMES:
        return "no SBC or mSBC frame found";
    case VANTREL_ERROR_STREAM_CHANGED:
        return "the stream changes its sampling frequency or channel count; decoding stops there";
    case VANTREL_ERROR_FINISHED:
        return "input given after the end of the stream was declared";
    case VANTREL_ERROR_NOT_A_CAPTURE:
        return "the bytes are no capture of a Bluetooth link (btsnoop, pcap or pcapng)";
    case VANTREL_ERROR_NO_STREAM:
        return "the capture has no such audio stream, or the stream has no frame";
    case VANTREL_ERROR_WRONG_USE:
        return "frame-by-frame and stream decoding mixed on one decoder";
    case VANTREL_ERROR_BAD_ARGUMENT:
        return "an argument is out of its range";
    case VANTREL_ERROR_OUT_OF_MEMORY:
        return "out of memory";
    case VANTREL_ERROR_INTERNAL:
        return "internal error";
    default:
        return "unknown status";
    }
}

VANTREL_API const char* vantrel_version(void) {
    return VANTREL_VERSION_TEXT;
}

VANTREL_API int vantrel_config_default(vantrel_config* config, int32_t sampling_frequency,
                                       int32_t channels) {
    if (config == nullptr) return VANTREL_ERROR_NULL_POINTER;
    *config = vantrel_config{};
    config->struct_size = sizeof *config;
    config->sampling_frequency = sampling_frequency;
    config->channels = channels;
    config->channel_mode = VANTREL_CHANNEL_MODE_AUTO;
    config->subbands = 8;
    config->blocks = 16;
    config->allocation = VANTREL_SNR;
    config->bitpool = VANTREL_BITPOOL_FROM_RATE;
    config->bit_rate = sbc::DEFAULT_BIT_RATE;
    return VANTREL_OK;
}

VANTREL_API int vantrel_config_check(const vantrel_config* config, int32_t* bitpool) {
    return guarded([&]() -> int {
        if (config == nullptr) return VANTREL_ERROR_NULL_POINTER;
        capi::Settled settled;
        const int status = capi::settle(config, settled);
        if (status == VANTREL_OK && bitpool != nullptr) *bitpool = settled.config.bitpool;
        return status;
    });
}

VANTREL_API int vantrel_config_bit_rate_range(const vantrel_config* config, int32_t* lowest,
                                              int32_t* highest) {
    return guarded([&]() -> int {
        if (config == nullptr || lowest == nullptr || highest == nullptr)
            return VANTREL_ERROR_NULL_POINTER;
        vantrel_config c{};
        vantrel_config_default(&c, 0, 0);
        if (!capi::copy_in(config, capi::config_size_v1, c)) return VANTREL_ERROR_BAD_STRUCT_SIZE;
        if (const int status = capi::settle_shape(c); status != VANTREL_OK) return status;
        const auto range = sbc::rates_for_bitpools(
            capi::rate_shape(c), sbc::encoder_max_bitpool(c.channel_mode, c.subbands));
        if (!range) return VANTREL_ERROR_BAD_BIT_RATE;
        *lowest = static_cast<int32_t>(range->lowest);
        *highest = static_cast<int32_t>(range->highest);
        return VANTREL_OK;
    });
}

VANTREL_API int vantrel_frame_parse(const uint8_t* bytes, size_t size, vantrel_frame_info* info) {
    return guarded([&]() -> int {
        if ((bytes == nullptr && size > 0) || info == nullptr) return VANTREL_ERROR_NULL_POINTER;
        sbc::FrameHeader h;
        switch (sbc::frame_header_parse(std::span(bytes, size), h)) {
        case sbc::HEADER_OK:
            *info = capi::frame_info(h);
            return VANTREL_OK;
        case sbc::HEADER_SHORT:
            return VANTREL_ERROR_NEED_MORE;
        default:
            return VANTREL_ERROR_NOT_A_FRAME;
        }
    });
}

VANTREL_API int vantrel_scan(const uint8_t* bytes, size_t size, vantrel_stream_report* report) {
    return guarded([&]() -> int {
        if ((bytes == nullptr && size > 0) || report == nullptr) return VANTREL_ERROR_NULL_POINTER;
        if (report->struct_size < capi::report_size_v1) return VANTREL_ERROR_BAD_STRUCT_SIZE;
        auto scanner = sbc::scanner_create();
        if (!scanner) return VANTREL_ERROR_OUT_OF_MEMORY;
        auto r = std::make_unique<sbc::StreamReport>();
        std::span<const uint8_t> rest(bytes, size);
        for (;;) {
            const sbc::ScanEvent e = sbc::scanner_next(*scanner);
            if (e.type == sbc::ScanEventType::end) break;
            if (e.type == sbc::ScanEventType::need_input) {
                if (rest.empty()) {
                    sbc::scanner_finish(*scanner);
                } else {
                    rest = rest.subspan(sbc::scanner_push(*scanner, rest));
                }
                continue;
            }
            sbc::add_event(*r, e);
        }
        r->kind = scanner->kind;
        capi::copy_out(capi::to_report(*r, scanner->counts), report, capi::report_size_v1);
        return VANTREL_OK;
    });
}

} // extern "C"
