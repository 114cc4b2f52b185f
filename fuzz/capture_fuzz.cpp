// Fuzz target: any bytes through the capture reader, as a capture of a Bluetooth link. The
// first byte chooses the size of the pieces the rest is given in (the reader must not depend on
// it); every frame event must carry exactly its header's length, every stream's frames are
// decoded and its losses concealed, and the counts must agree with the events.
//
//   scripts/fuzz 1800 capture_fuzz
#include "capture/capture.h"

#include <array>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t piece = 1 + (size_t{data[0]} * 37) % 4096;
    std::span<const uint8_t> bytes(data + 1, size - 1);
    auto reader = capture::capture_create();
    auto decoder = sbc::decoder_create();
    if (!reader || !decoder) std::abort();
    std::array<int16_t, sbc::MAX_FRAME_SAMPLES * sbc::MAX_CHANNELS> pcm{};
    std::vector<int64_t> frames, missing;
    for (;;) {
        const capture::Event e = capture::capture_next(*reader);
        if (e.type == capture::EventType::end) break;
        if (e.type == capture::EventType::need_input) {
            if (bytes.empty()) {
                capture::capture_finish(*reader);
            } else {
                const size_t n = std::min(piece, bytes.size());
                bytes = bytes.subspan(capture::capture_push(*reader, bytes.first(n)));
            }
            continue;
        }
        if (e.stream < 0 || e.stream >= capture::MAX_STREAMS) std::abort();
        const auto index = static_cast<size_t>(e.stream);
        if (index >= frames.size()) {
            frames.resize(index + 1);
            missing.resize(index + 1);
        }
        if (e.type == capture::EventType::frame) {
            if (e.bytes.size() != static_cast<size_t>(e.header.length)) std::abort();
            ++frames[index];
            if (sbc::decoder_decode_frame(*decoder, e.bytes, e.header, pcm) < 0) std::abort();
        } else if (e.type == capture::EventType::lost || e.type == capture::EventType::damaged) {
            if (e.count <= 0) std::abort();
            missing[index] += e.count;
            if (e.header.sampling_frequency > 0 &&
                sbc::decoder_conceal_frame(*decoder, e.header, pcm) < 0)
                std::abort();
        }
    }
    const auto streams = capture::capture_streams(*reader);
    if (streams.size() != frames.size() && !(streams.size() > frames.size())) std::abort();
    for (size_t i = 0; i < frames.size(); ++i)
        if (streams[i].frames != frames[i] || streams[i].lost + streams[i].damaged != missing[i])
            std::abort();
    return 0;
}
