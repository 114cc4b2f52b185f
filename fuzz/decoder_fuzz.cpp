// Fuzz target: any bytes through the decoder library alone. Each position where
// frame_header_parse finds a header with enough bytes behind it is decoded as one frame, from
// a copy of exactly header.length bytes (so any read beyond them is a sanitizer report), into
// a buffer with guard values behind the room the frame needs; other bytes are skipped one at a
// time. One decoder takes every frame, so shape changes and damaged frames follow each other,
// and now and then a frame is reported lost, so concealment runs over any history. The first
// byte's bit 1 chooses silence instead of concealment. Every frame must give exactly
// blocks × subbands instants (with silence, zeros when its CRC fails or it is lost), leave the
// guards untouched and give finite float samples; nothing may be refused.
//
//   scripts/fuzz 1800 decoder_fuzz
#include "sbc/sbc.h"

#include <cmath>
#include <cstdlib>
#include <span>
#include <type_traits>
#include <vector>

namespace {

constexpr int16_t guard16 = 0x2BAD;
constexpr float guard_float = -123.0f;
constexpr size_t guards = 64;

// `silent`: the frame must be all zeros (a damaged or concealed frame).
template <class Sample>
void check(int32_t result, const sbc::FrameHeader& h, const std::vector<Sample>& pcm, Sample guard,
           bool silent) {
    const int32_t instants = h.blocks * h.subbands;
    if (result != instants && result != sbc::DECODE_CRC_ERROR) std::abort();
    const size_t values = static_cast<size_t>(instants * h.channels);
    for (size_t i = values; i < pcm.size(); ++i)
        if (pcm[i] != guard) std::abort(); // written past the frame
    for (size_t i = 0; i < values; ++i) {
        if (silent && pcm[i] != 0) std::abort();
        if constexpr (std::is_same_v<Sample, float>)
            if (!std::isfinite(pcm[i])) std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto decoder = sbc::decoder_create();
    if (!decoder) std::abort();
    const bool silence = size > 0 && (data[0] & 2) != 0;
    if (silence) sbc::decoder_set_concealment(*decoder, sbc::Concealment::silence);
    size_t at = 0;
    bool use_float = size > 0 && (data[size - 1] & 1) != 0;
    while (at < size) {
        sbc::FrameHeader h;
        const std::span<const uint8_t> rest(data + at, size - at);
        if (sbc::frame_header_parse(rest, h) != sbc::HEADER_OK ||
            static_cast<size_t>(h.length) > rest.size()) {
            ++at;
            continue;
        }
        const std::vector<uint8_t> frame(rest.begin(), rest.begin() + h.length);
        const size_t room = static_cast<size_t>(h.blocks * h.subbands * h.channels);
        if (use_float) {
            std::vector<float> pcm(room + guards, guard_float);
            const int32_t r = sbc::decoder_decode_frame_float(*decoder, frame, h, pcm);
            check(r, h, pcm, guard_float, silence && r == sbc::DECODE_CRC_ERROR);
        } else {
            std::vector<int16_t> pcm(room + guards, guard16);
            const int32_t r = sbc::decoder_decode_frame(*decoder, frame, h, pcm);
            check(r, h, pcm, guard16, silence && r == sbc::DECODE_CRC_ERROR);
        }
        // A lost frame now and then, of this frame's shape.
        if ((frame.back() & 0x0F) == 0x0F) {
            std::vector<float> gap(room + guards, guard_float);
            check(sbc::decoder_conceal_frame_float(*decoder, h, gap), h, gap, guard_float, silence);
        }
        use_float = !use_float;
        at += static_cast<size_t>(h.length);
    }
    return sbc::decoder_destroy(std::move(decoder));
}
