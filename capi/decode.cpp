// The decoder handle: frames one by one, or a stream followed as vantrel-decode follows it.
//
//   caller's bytes ─► scanner (sbc/scan.h) ─► frame ───► decoder_decode_frame ─► [one frame of
//     (any pieces)     window of 64 KiB    ─► damaged ─► concealed, its shape  ─►  samples,
//                                          ─► lost ────► concealed × lost units ►  fixed buffer]
//                                          ─► skipped (counted)                        │
//                                                               caller's pcm ◄─────────┘
//
// Invariants: at most one frame's samples wait in the handle between calls (plus a count of
// concealed frames still owed for lost units); a call returns with all of its bytes used and
// nothing written only when nothing more can come out without more input; the first frame (or
// silence) fixes the output's frequency and channels, and a confirmed change of either stops
// the decoding, as the program stops. Nothing is allocated after open (and reset).
#include "capi/entry.h"
#include "sbc/scan.h"

#include <array>
#include <memory>
#include <span>

namespace {

enum class Use { none, frames, stream };

} // namespace

struct vantrel_decoder {
    std::unique_ptr<sbc::DecoderState> decoder;
    std::unique_ptr<sbc::StreamScanner> scanner;
    Use use = Use::none;
    sbc::Concealment concealment = sbc::Concealment::automatic; // from the flags, kept by reset
    bool have_shape = false; // `shape`: of the last frame decoded or concealed
    sbc::FrameHeader shape{};
    // Samples of the current frame not yet delivered: pending[at, end).
    std::array<int16_t, sbc::MAX_FRAME_SAMPLES * sbc::MAX_CHANNELS> pending{};
    size_t at = 0, end = 0;
    int32_t silent_due = 0; // lost frames still to be concealed
    sbc::FrameHeader silent_shape{};
    bool started = false; // the output's frequency and channels are fixed
    int32_t frequency = 0, channels = 0;
    int64_t undecodable = 0; // frames the scanner found good and the decoder refused
    int64_t instants = 0;    // delivered
    bool finished = false;   // no more input will come
    bool ended = false;      // the scanner reported the end
    bool changed = false;    // stopped at a change of stream
    int64_t change_offset = -1;
    int32_t change_frequency = 0, change_channels = 0;
};

namespace {

using capi::guarded;

// A new handle's parts, made before anything of an existing handle changes.
bool make_parts(vantrel_decoder& d, sbc::Concealment concealment) {
    d.decoder = sbc::decoder_create();
    d.scanner = sbc::scanner_create();
    if (!d.decoder || !d.scanner) return false;
    d.concealment = concealment;
    sbc::decoder_set_concealment(*d.decoder, concealment);
    return true;
}

void take_shape(vantrel_decoder& d, const sbc::FrameHeader& h) {
    d.have_shape = true;
    d.shape = h;
}

// Fixes the output on the first frame or silence; false when `h` does not match it.
bool output_takes(vantrel_decoder& d, const sbc::FrameHeader& h) {
    if (!d.started) {
        d.started = true;
        d.frequency = h.sampling_frequency;
        d.channels = h.channels;
    }
    return h.channels == d.channels;
}

void hold(vantrel_decoder& d, int32_t instants, int32_t channels) {
    d.at = 0;
    d.end = instants > 0 ? static_cast<size_t>(instants) * static_cast<size_t>(channels) : 0;
}

// A lost frame of `shape` concealed (nothing when its channels are not the output's).
void hold_lost(vantrel_decoder& d, const sbc::FrameHeader& shape) {
    if (!output_takes(d, shape)) return;
    take_shape(d, shape);
    hold(d, sbc::decoder_conceal_frame(*d.decoder, shape, d.pending), shape.channels);
}

void stop_at_change(vantrel_decoder& d, const sbc::ScanEvent& e) {
    d.changed = true;
    d.change_offset = e.offset;
    d.change_frequency = e.header.sampling_frequency;
    d.change_channels = e.header.channels;
}

void hold_frame(vantrel_decoder& d, const sbc::ScanEvent& e) {
    const sbc::FrameHeader& h = e.header;
    if (e.changed ||
        (d.started && (h.channels != d.channels || h.sampling_frequency != d.frequency))) {
        stop_at_change(d, e);
        return;
    }
    output_takes(d, h);
    take_shape(d, h);
    const int32_t instants = sbc::decoder_decode_frame(*d.decoder, e.bytes, h, d.pending);
    if (instants >= 0) return hold(d, instants, h.channels);
    ++d.undecodable;
    if (instants == sbc::DECODE_CRC_ERROR) return hold(d, h.blocks * h.subbands, h.channels);
    hold_lost(d, h);
}

// Takes one scanner event; false when the loop is to return (input wanted and none left, or
// the end).
bool next_event(vantrel_decoder& d, std::span<const uint8_t>& input) {
    const sbc::ScanEvent e = sbc::scanner_next(*d.scanner);
    switch (e.type) {
    case sbc::ScanEventType::need_input:
        if (input.empty()) return false;
        input = input.subspan(sbc::scanner_push(*d.scanner, input));
        return true;
    case sbc::ScanEventType::frame:
        hold_frame(d, e);
        return true;
    case sbc::ScanEventType::damaged:
        hold_lost(d, e.header);
        return true;
    case sbc::ScanEventType::lost:
        d.silent_due = e.lost_frames;
        d.silent_shape = e.header;
        return true;
    case sbc::ScanEventType::skipped:
        return true;
    case sbc::ScanEventType::end:
        d.ended = true;
        return false;
    }
    return false;
}

// The stream loop: deliver what is held, make more, until the caller's buffer is full or
// nothing more can come out.
void run_stream(vantrel_decoder& d, std::span<const uint8_t>& input, std::span<int16_t> pcm,
                size_t& written) {
    for (;;) {
        if (d.at < d.end) {
            const auto channels = static_cast<size_t>(d.channels);
            const size_t room = (pcm.size() - written) / channels * channels;
            const size_t n = std::min(d.end - d.at, room);
            if (n == 0) return;
            std::copy_n(d.pending.begin() + static_cast<ptrdiff_t>(d.at), n,
                        pcm.begin() + static_cast<ptrdiff_t>(written));
            d.at += n;
            written += n;
            d.instants += static_cast<int64_t>(n / channels);
        } else if (d.silent_due > 0) {
            --d.silent_due;
            hold_lost(d, d.silent_shape);
        } else if (d.changed || d.ended || !next_event(d, input)) {
            return;
        }
    }
}

// What both decoding calls check first: the counts they report start at 0, and every pointer
// they write through or read from is there.
bool decode_arguments_given(const vantrel_decoder* decoder, const uint8_t* bytes, size_t size,
                            const int16_t* pcm, size_t* used, size_t* written) {
    if (used != nullptr) *used = 0;
    if (written != nullptr) *written = 0;
    return decoder != nullptr && (bytes != nullptr || size == 0) && pcm != nullptr &&
           used != nullptr && written != nullptr;
}

// Frame by frame: the frame at the start of `input` decoded into `pcm`.
int frame_at(vantrel_decoder& d, std::span<const uint8_t> input, std::span<int16_t> pcm,
             size_t& used, size_t& written, vantrel_frame_info* info) {
    sbc::FrameHeader h;
    const int parsed = sbc::frame_header_parse(input, h);
    if (parsed == sbc::HEADER_INVALID) return VANTREL_ERROR_NOT_A_FRAME;
    if (parsed == sbc::HEADER_SHORT || static_cast<size_t>(h.length) > input.size())
        return VANTREL_ERROR_NEED_MORE;
    const auto values = static_cast<size_t>(h.blocks * h.subbands * h.channels);
    if (pcm.size() < values) return VANTREL_ERROR_BUFFER_TOO_SMALL;
    d.use = Use::frames;
    take_shape(d, h);
    const int32_t result = sbc::decoder_decode_frame(*d.decoder, input, h, pcm);
    if (result == sbc::DECODE_REFUSED) return VANTREL_ERROR_INTERNAL;
    used = static_cast<size_t>(h.length);
    written = values;
    if (info != nullptr) *info = capi::frame_info(h);
    return result == sbc::DECODE_CRC_ERROR ? VANTREL_DAMAGED : VANTREL_OK;
}

// One lost frame of the last frame's shape concealed into `pcm`, once the caller's checks of
// the way it follows the stream have passed.
int conceal_into(vantrel_decoder& d, std::span<int16_t> pcm, size_t& written) {
    if (!d.have_shape) return VANTREL_ERROR_NEED_MORE;
    const sbc::FrameHeader& h = d.shape;
    const auto values = static_cast<size_t>(h.blocks * h.subbands * h.channels);
    if (pcm.size() < values) return VANTREL_ERROR_BUFFER_TOO_SMALL;
    const int32_t instants = sbc::decoder_conceal_frame(*d.decoder, h, pcm);
    if (instants < 0) return VANTREL_ERROR_INTERNAL;
    if (d.use == Use::stream) d.instants += instants;
    written = values;
    return VANTREL_OK;
}

} // namespace

extern "C" {

VANTREL_API int vantrel_decoder_open(const vantrel_decoder_config* config,
                                     vantrel_decoder** decoder) {
    return guarded([&]() -> int {
        if (decoder != nullptr) *decoder = nullptr;
        if (decoder == nullptr) return VANTREL_ERROR_NULL_POINTER;
        auto concealment = sbc::Concealment::automatic;
        if (config != nullptr) {
            vantrel_decoder_config c{};
            if (!capi::copy_in(config, capi::decoder_config_size_v1, c))
                return VANTREL_ERROR_BAD_STRUCT_SIZE;
            if ((c.flags & ~VANTREL_DECODER_SILENCE) != 0) return VANTREL_ERROR_BAD_ARGUMENT;
            if ((c.flags & VANTREL_DECODER_SILENCE) != 0) concealment = sbc::Concealment::silence;
        }
        auto handle = std::make_unique<vantrel_decoder>();
        if (!make_parts(*handle, concealment)) return VANTREL_ERROR_OUT_OF_MEMORY;
        *decoder = handle.release();
        return VANTREL_OK;
    });
}

VANTREL_API int vantrel_decoder_close(vantrel_decoder* decoder) {
    return guarded([&]() -> int {
        const std::unique_ptr<vantrel_decoder> owned(decoder);
        return VANTREL_OK;
    });
}

VANTREL_API int vantrel_decoder_reset(vantrel_decoder* decoder) {
    return guarded([&]() -> int {
        if (decoder == nullptr) return VANTREL_ERROR_NULL_POINTER;
        auto fresh = std::make_unique<vantrel_decoder>();
        if (!make_parts(*fresh, decoder->concealment)) return VANTREL_ERROR_OUT_OF_MEMORY;
        *decoder = std::move(*fresh);
        return VANTREL_OK;
    });
}

VANTREL_API int vantrel_decoder_decode_frame(vantrel_decoder* decoder, const uint8_t* bytes,
                                             size_t size, int16_t* pcm, size_t capacity,
                                             size_t* used, size_t* written,
                                             vantrel_frame_info* info) {
    return guarded([&]() -> int {
        if (!decode_arguments_given(decoder, bytes, size, pcm, used, written))
            return VANTREL_ERROR_NULL_POINTER;
        if (decoder->use == Use::stream) return VANTREL_ERROR_WRONG_USE;
        return frame_at(*decoder, std::span(bytes, size), std::span(pcm, capacity), *used, *written,
                        info);
    });
}

VANTREL_API int vantrel_decoder_decode_frames(vantrel_decoder* decoder, const uint8_t* bytes,
                                              size_t size, size_t stride, const uint8_t* lost,
                                              size_t count, int16_t* pcm, size_t capacity,
                                              size_t* done, size_t* written) {
    return guarded([&]() -> int {
        if (done != nullptr) *done = 0;
        if (written != nullptr) *written = 0;
        if (decoder == nullptr || (bytes == nullptr && size > 0) || pcm == nullptr ||
            done == nullptr || written == nullptr)
            return VANTREL_ERROR_NULL_POINTER;
        if (decoder->use == Use::stream) return VANTREL_ERROR_WRONG_USE;
        if (stride == 0) return VANTREL_ERROR_BAD_ARGUMENT;
        const std::span<const uint8_t> input(bytes, size);
        std::span<int16_t> out(pcm, capacity);
        int result = VANTREL_OK;
        for (size_t i = 0; i < count; ++i) {
            size_t used = 0, got = 0;
            int status = VANTREL_ERROR_NEED_MORE; // a frame that starts beyond the bytes
            if (lost != nullptr && lost[i] != 0)
                status = conceal_into(*decoder, out, got);
            else if (i <= size / stride) // i × stride <= size, without overflow
                status = frame_at(*decoder, input.subspan(i * stride), out, used, got, nullptr);
            if (status < 0) return status;
            if (status == VANTREL_DAMAGED) result = VANTREL_DAMAGED;
            out = out.subspan(got);
            *written += got;
            *done = i + 1;
        }
        return result;
    });
}

VANTREL_API int vantrel_decoder_decode(vantrel_decoder* decoder, const uint8_t* bytes, size_t size,
                                       int16_t* pcm, size_t capacity, size_t* used,
                                       size_t* written) {
    return guarded([&]() -> int {
        if (!decode_arguments_given(decoder, bytes, size, pcm, used, written))
            return VANTREL_ERROR_NULL_POINTER;
        vantrel_decoder& d = *decoder;
        if (d.use == Use::frames) return VANTREL_ERROR_WRONG_USE;
        if (capacity < 2) return VANTREL_ERROR_BUFFER_TOO_SMALL;
        if (size > 0 && d.finished) return VANTREL_ERROR_FINISHED;
        d.use = Use::stream;
        std::span<const uint8_t> input(bytes, size);
        size_t out = 0;
        run_stream(d, input, std::span(pcm, capacity), out);
        *used = size - input.size();
        *written = out;
        // Nothing came out and nothing more can: say why, when it is an ending.
        if (out == 0 && d.at == d.end && d.silent_due == 0) {
            if (d.changed) return VANTREL_ERROR_STREAM_CHANGED;
            if (d.ended && d.scanner->counts.frames == 0) return VANTREL_ERROR_NO_FRAMES;
        }
        return VANTREL_OK;
    });
}

VANTREL_API int vantrel_decoder_conceal(vantrel_decoder* decoder, int16_t* pcm, size_t capacity,
                                        size_t* written) {
    return guarded([&]() -> int {
        if (written != nullptr) *written = 0;
        if (decoder == nullptr || pcm == nullptr || written == nullptr)
            return VANTREL_ERROR_NULL_POINTER;
        vantrel_decoder& d = *decoder;
        if (d.use == Use::stream && d.have_shape) {
            if (d.changed) return VANTREL_ERROR_STREAM_CHANGED;
            if (d.at < d.end || d.silent_due > 0) return VANTREL_ERROR_WRONG_USE;
        }
        return conceal_into(d, std::span(pcm, capacity), *written);
    });
}

VANTREL_API int vantrel_decoder_finish(vantrel_decoder* decoder) {
    return guarded([&]() -> int {
        if (decoder == nullptr) return VANTREL_ERROR_NULL_POINTER;
        if (decoder->use == Use::frames) return VANTREL_ERROR_WRONG_USE;
        decoder->use = Use::stream;
        if (!decoder->finished) sbc::scanner_finish(*decoder->scanner);
        decoder->finished = true;
        return VANTREL_OK;
    });
}

VANTREL_API int vantrel_decoder_get_info(const vantrel_decoder* decoder,
                                         vantrel_stream_info* info) {
    return guarded([&]() -> int {
        if (decoder == nullptr || info == nullptr) return VANTREL_ERROR_NULL_POINTER;
        const vantrel_decoder& d = *decoder;
        const sbc::ScanCounts& c = d.scanner->counts;
        vantrel_stream_info out{};
        out.struct_size = sizeof out;
        out.kind = capi::kind_code(d.scanner->kind);
        out.sampling_frequency = d.frequency;
        out.channels = d.channels;
        out.frames = c.frames - d.undecodable;
        out.damaged = c.damaged + d.undecodable;
        out.lost = c.lost;
        out.skipped_bytes = c.skipped_bytes;
        out.bytes = c.bytes;
        out.samples = d.instants;
        out.ended = d.ended && d.at == d.end && d.silent_due == 0 ? 1 : 0;
        out.changed = d.changed ? 1 : 0;
        out.change_offset = d.change_offset;
        out.change_frequency = d.change_frequency;
        out.change_channels = d.change_channels;
        return capi::copy_out(out, info, capi::stream_info_size_v1) ? VANTREL_OK
                                                                    : VANTREL_ERROR_BAD_STRUCT_SIZE;
    });
}

} // extern "C"
