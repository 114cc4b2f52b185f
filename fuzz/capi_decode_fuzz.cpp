// Fuzz target: any bytes through the C interface's decoder, as a C host calls it. The first
// byte chooses the size of the pieces the stream is given in (also the stride of the frames
// read many a call) and of the caller's sample buffer; the rest is the stream. It is decoded
// three ways, which must agree sample for sample, and a fourth that must keep its promises:
//
//   whole, one call per buffer-full ─┐
//   in pieces, small sample buffer  ─┼─ same samples, same counts (the scanner decides by the
//   frame by frame (decode_frame)    │  bytes alone, never by how they were cut)
//   many frames a call (decode_frames, at a stride, with losses): within its bytes and buffer
//
// Every call must keep its promises: *written whole instants within the capacity, *used within
// the bytes given, no VANTREL_ERROR_INTERNAL, progress on every call; vantrel_scan must count
// the frames, damage and skipped bytes the decoder counts (up to a change of stream, where the
// decoder stops).
//
//   scripts/fuzz 1800 capi_decode_fuzz
#include "vantrel/vantrel.h"

#include <cstdlib>
#include <vector>

namespace {

struct Result {
    std::vector<int16_t> samples;
    vantrel_stream_info info{};
};

Result decode(const uint8_t* data, size_t size, size_t piece, size_t capacity) {
    Result r;
    vantrel_decoder* d = nullptr;
    if (vantrel_decoder_open(nullptr, &d) != VANTREL_OK) std::abort();
    std::vector<int16_t> pcm(capacity);
    bool finished = false;
    for (size_t at = 0, calls = 0;; ++calls) {
        const size_t n = std::min(piece, size - at);
        size_t used = 0, got = 0;
        const int s = vantrel_decoder_decode(d, data + at, n, pcm.data(), capacity, &used, &got);
        if (s == VANTREL_ERROR_INTERNAL || used > n || got > capacity) std::abort();
        if (calls > 4 * size + 100000) std::abort(); // no progress
        if (s < 0) break;
        r.samples.insert(r.samples.end(), pcm.begin(), pcm.begin() + static_cast<ptrdiff_t>(got));
        at += used;
        if (got == 0 && used == n && at == size) {
            if (finished) break;
            if (vantrel_decoder_finish(d) != VANTREL_OK) std::abort();
            finished = true;
        }
    }
    r.info.struct_size = sizeof r.info;
    if (vantrel_decoder_get_info(d, &r.info) != VANTREL_OK) std::abort();
    if (r.info.channels > 0 && r.samples.size() % static_cast<size_t>(r.info.channels) != 0)
        std::abort();
    vantrel_decoder_close(d);
    return r;
}

// Frame by frame where headers parse, byte by byte elsewhere: no call may misbehave.
void decode_frames(const uint8_t* data, size_t size) {
    vantrel_decoder* d = nullptr;
    if (vantrel_decoder_open(nullptr, &d) != VANTREL_OK) std::abort();
    std::vector<int16_t> pcm(VANTREL_MAX_FRAME_VALUES);
    for (size_t at = 0; at < size;) {
        size_t used = 0, got = 0;
        vantrel_frame_info info{};
        const int s = vantrel_decoder_decode_frame(d, data + at, size - at, pcm.data(), pcm.size(),
                                                   &used, &got, &info);
        if (s == VANTREL_OK || s == VANTREL_DAMAGED) {
            if (used != static_cast<size_t>(info.length) || used == 0 || used > size - at ||
                got != static_cast<size_t>(info.samples * info.channels))
                std::abort();
            at += used;
        } else if (s == VANTREL_ERROR_NOT_A_FRAME || s == VANTREL_ERROR_NEED_MORE) {
            ++at;
        } else {
            std::abort();
        }
    }
    vantrel_decoder_close(d);
}

// Many frames a call, at a stride and with losses taken from the bytes themselves: the call
// stays within its bytes and its buffer and says how far it came.
void decode_frames_at_once(const uint8_t* data, size_t size, size_t stride) {
    vantrel_decoder* d = nullptr;
    if (size == 0 || vantrel_decoder_open(nullptr, &d) != VANTREL_OK) return;
    const size_t count = size / stride + 1;
    std::vector<uint8_t> lost(count);
    for (size_t i = 0; i < count; ++i) lost[i] = data[i % size] & 1;
    std::vector<int16_t> pcm(4 * VANTREL_MAX_FRAME_VALUES);
    size_t done = 0, written = 0;
    const int s = vantrel_decoder_decode_frames(d, data, size, stride, lost.data(), count,
                                                pcm.data(), pcm.size(), &done, &written);
    if (s == VANTREL_ERROR_INTERNAL || done > count || written > pcm.size() ||
        (s >= 0 && done != count))
        std::abort();
    vantrel_decoder_close(d);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t piece = 1 + (data[0] & 0x3F) * 7;
    const size_t capacity = 2 + (data[0] >> 6) * 101;
    ++data;
    --size;
    const Result whole = decode(data, size, size, 4096);
    const Result pieces = decode(data, size, piece, capacity);
    if (whole.samples != pieces.samples || whole.info.frames != pieces.info.frames ||
        whole.info.damaged != pieces.info.damaged || whole.info.lost != pieces.info.lost ||
        whole.info.skipped_bytes != pieces.info.skipped_bytes)
        std::abort();
    decode_frames(data, size);
    decode_frames_at_once(data, size, piece);
    vantrel_stream_report report;
    report.struct_size = sizeof report;
    if (vantrel_scan(data, size, &report) != VANTREL_OK) std::abort();
    // The decoder stops at a change of stream; the scan goes on to the end.
    const vantrel_stream_info& i = whole.info;
    if (i.changed == 0 && (report.frames + report.damaged != i.frames + i.damaged ||
                           report.lost != i.lost || report.skipped_bytes != i.skipped_bytes))
        std::abort();
    return 0;
}
