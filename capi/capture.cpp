// Captures of Bluetooth links from C: the capture library (capture/capture.h) over bytes in
// memory, and its streams decoded with the codec library.
//
//   vantrel_capture_open ──► capture reader, one pass ──► the streams' descriptions (kept)
//   vantrel_capture_decode ─► capture reader, one pass ──► one stream's frames ─► decoder
//                                                          lost, damaged ──────► concealment
//
// The handle keeps only the descriptions, never the caller's bytes; decoding reads them again.
#include "capture/capture.h"
#include "capi/entry.h"

#include <vector>

struct vantrel_capture {
    std::vector<capture::StreamInfo> streams;
    capture::CaptureTotals totals;
    bool filtered = false;
};

namespace {

using capi::guarded;

inline constexpr uint32_t stream_size_v1 = sizeof(vantrel_capture_stream);
inline constexpr uint32_t capture_info_size_v1 = sizeof(vantrel_capture_info);

// Runs the reader over all of `bytes`, giving every event to `take` (which returns false to
// stop). VANTREL_OK, or the status that stopped it.
template <class Take>
int read_events(capture::CaptureReader& reader, std::span<const uint8_t> bytes, Take take) {
    for (;;) {
        const capture::Event e = capture::capture_next(reader);
        if (e.type == capture::EventType::end) return VANTREL_OK;
        if (e.type == capture::EventType::need_input) {
            if (bytes.empty())
                capture::capture_finish(reader);
            else
                bytes = bytes.subspan(capture::capture_push(reader, bytes));
            continue;
        }
        if (const int status = take(e); status != VANTREL_OK) return status;
    }
}

vantrel_capture_stream describe(const capture::StreamInfo& s) {
    vantrel_capture_stream out{};
    out.struct_size = sizeof out;
    out.index = s.index;
    out.kind =
        s.kind == capture::StreamKind::msbc ? VANTREL_CAPTURE_MSBC : VANTREL_CAPTURE_A2DP_SBC;
    out.received = s.received ? 1 : 0;
    out.adapter = s.adapter;
    out.handle = s.handle;
    out.channel = s.channel;
    const capture::SbcConfiguration& c = s.configuration;
    out.configured = c.present ? 1 : 0;
    out.config_frequencies = c.frequencies;
    out.config_channel_modes = c.channel_modes;
    out.config_blocks = c.blocks;
    out.config_subbands = c.subbands;
    out.config_allocations = c.allocations;
    out.config_min_bitpool = c.min_bitpool;
    out.config_max_bitpool = c.max_bitpool;
    out.sampling_frequency = s.first.sampling_frequency;
    out.channels = s.first.channels;
    out.start_us = s.start_us;
    out.packets = s.packets;
    out.frames = s.frames;
    out.damaged = s.damaged;
    out.lost = s.lost;
    out.truncated = s.truncated;
    out.seconds = s.seconds;
    out.values = s.instants * s.first.channels;
    return out;
}

// Where one stream's samples go while decoding.
struct Decoding {
    size_t index;
    std::span<int16_t> pcm;
    size_t written = 0;
    std::unique_ptr<sbc::DecoderState> decoder = sbc::decoder_create();
    std::array<int16_t, sbc::MAX_FRAME_SAMPLES * sbc::MAX_CHANNELS> frame{};
    int32_t frequency = 0, channels = 0;
};

int put(Decoding& d, const sbc::FrameHeader& h, int32_t instants) {
    if (instants < 0) return VANTREL_OK;
    const auto n = static_cast<size_t>(instants) * static_cast<size_t>(h.channels);
    if (n > d.pcm.size() - d.written) return VANTREL_ERROR_BUFFER_TOO_SMALL;
    std::copy_n(d.frame.begin(), n, d.pcm.begin() + static_cast<ptrdiff_t>(d.written));
    d.written += n;
    return VANTREL_OK;
}

int take(Decoding& d, const capture::Event& e) {
    if (e.stream != static_cast<int32_t>(d.index)) return VANTREL_OK;
    const bool frame = e.type == capture::EventType::frame;
    if (!frame && e.type != capture::EventType::lost && e.type != capture::EventType::damaged)
        return VANTREL_OK;
    const sbc::FrameHeader& h = e.header;
    if (h.sampling_frequency == 0) return VANTREL_OK; // no shape known for the silence
    if (d.channels == 0) {
        d.frequency = h.sampling_frequency;
        d.channels = h.channels;
    }
    if (h.channels != d.channels) return frame ? VANTREL_ERROR_STREAM_CHANGED : VANTREL_OK;
    if (frame && h.sampling_frequency != d.frequency) return VANTREL_ERROR_STREAM_CHANGED;
    if (frame) return put(d, h, sbc::decoder_decode_frame(*d.decoder, e.bytes, h, d.frame));
    for (int64_t i = 0; i < e.count; ++i)
        if (const int s = put(d, h, sbc::decoder_conceal_frame(*d.decoder, h, d.frame)); s != 0)
            return s;
    return VANTREL_OK;
}

bool is_capture(std::span<const uint8_t> bytes) {
    return capture::format_of(bytes.first(std::min(bytes.size(), capture::RECOGNITION_BYTES))) !=
           capture::Format::none;
}

} // namespace

extern "C" {

VANTREL_API int vantrel_capture_open(const uint8_t* bytes, size_t size, vantrel_capture** out) {
    return guarded([&]() -> int {
        if (out != nullptr) *out = nullptr;
        if (out == nullptr || (bytes == nullptr && size > 0)) return VANTREL_ERROR_NULL_POINTER;
        const std::span<const uint8_t> input(bytes, size);
        if (!is_capture(input)) return VANTREL_ERROR_NOT_A_CAPTURE;
        auto reader = capture::capture_create();
        auto handle = std::make_unique<vantrel_capture>();
        if (!reader) return VANTREL_ERROR_OUT_OF_MEMORY;
        read_events(*reader, input, [](const capture::Event&) { return VANTREL_OK; });
        const auto streams = capture::capture_streams(*reader);
        handle->streams.assign(streams.begin(), streams.end());
        handle->totals = capture::capture_totals(*reader);
        for (const auto& s : streams)
            if (s.truncated > 0 && s.frames == 0) handle->filtered = true;
        *out = handle.release();
        return VANTREL_OK;
    });
}

VANTREL_API int vantrel_capture_close(vantrel_capture* capture) {
    return guarded([&]() -> int {
        const std::unique_ptr<vantrel_capture> owned(capture);
        return VANTREL_OK;
    });
}

VANTREL_API int vantrel_capture_get_info(const vantrel_capture* c, vantrel_capture_info* info) {
    return guarded([&]() -> int {
        if (c == nullptr || info == nullptr) return VANTREL_ERROR_NULL_POINTER;
        vantrel_capture_info out{};
        out.struct_size = sizeof out;
        out.format = static_cast<int32_t>(c->totals.format);
        out.link_type = c->totals.link_type;
        out.filtered = c->filtered ? 1 : 0;
        out.records = c->totals.records;
        out.streams = static_cast<int64_t>(c->streams.size());
        out.seconds =
            static_cast<double>(capture::time_between(c->totals.first_us, c->totals.last_us)) / 1e6;
        return capi::copy_out(out, info, capture_info_size_v1) ? VANTREL_OK
                                                               : VANTREL_ERROR_BAD_STRUCT_SIZE;
    });
}

VANTREL_API int vantrel_capture_get_stream(const vantrel_capture* c, size_t index,
                                           vantrel_capture_stream* stream) {
    return guarded([&]() -> int {
        if (c == nullptr || stream == nullptr) return VANTREL_ERROR_NULL_POINTER;
        if (index >= c->streams.size()) return VANTREL_ERROR_NO_STREAM;
        return capi::copy_out(describe(c->streams[index]), stream, stream_size_v1)
                   ? VANTREL_OK
                   : VANTREL_ERROR_BAD_STRUCT_SIZE;
    });
}

VANTREL_API int vantrel_capture_decode(const uint8_t* bytes, size_t size, size_t index,
                                       int16_t* pcm, size_t capacity, size_t* written) {
    return guarded([&]() -> int {
        if (written != nullptr) *written = 0;
        if ((bytes == nullptr && size > 0) || (pcm == nullptr && capacity > 0) ||
            written == nullptr)
            return VANTREL_ERROR_NULL_POINTER;
        const std::span<const uint8_t> input(bytes, size);
        if (!is_capture(input)) return VANTREL_ERROR_NOT_A_CAPTURE;
        auto reader = capture::capture_create();
        Decoding d{index, std::span(pcm, capacity)};
        if (!reader || !d.decoder) return VANTREL_ERROR_OUT_OF_MEMORY;
        const int status =
            read_events(*reader, input, [&](const capture::Event& e) { return take(d, e); });
        const auto streams = capture::capture_streams(*reader);
        if (index >= streams.size() || streams[index].frames == 0) return VANTREL_ERROR_NO_STREAM;
        if (status == VANTREL_ERROR_BUFFER_TOO_SMALL) return status;
        *written = d.written;
        return status;
    });
}

} // extern "C"
