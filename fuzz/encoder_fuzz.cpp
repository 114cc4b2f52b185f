// Fuzz target: any parameters and PCM through the encoder library alone. Whatever is accepted
// must encode into frames of exactly the announced length, whose header and CRC-8 agree with an
// independent reading of the frame syntax, without touching memory outside the caller's buffer.
//
//   scripts/fuzz encoder_fuzz 1800
#include "frame_check.h"
#include "fuzz_input.h"
#include "sbc/sbc.h"

#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr int32_t frequencies[] = {16000, 32000, 44100, 48000};
    const int32_t frequency = frequencies[fuzzcheck::take(data, size) & 3];
    const int32_t channels = 1 + (fuzzcheck::take(data, size) & 1);
    const int32_t subbands = (fuzzcheck::take(data, size) & 1) ? 8 : 4;
    const int32_t blk_len = 4 * (1 + (fuzzcheck::take(data, size) & 3));
    const int32_t mode = fuzzcheck::take(data, size);
    const int32_t bitpool = fuzzcheck::take(data, size);
    const int32_t method = fuzzcheck::take(data, size);

    uint8_t header = 0;
    int32_t index = 0, adjusted = 0;
    if (sbc::format_init(frequency, channels, mode, subbands, blk_len, method, header, index,
                         adjusted) != 0)
        return 0; // configuration refuses it too, but with a message on every run
    auto encoder = sbc::encoder_create(frequency, channels, subbands, blk_len);
    if (!encoder || sbc::encoder_configure(*encoder, mode, bitpool, method) != 0) return 0;
    const int32_t length = sbc::encoder_frame_length(*encoder);
    if (length <= 0 || length > sbc::MAX_FRAME_LENGTH) std::abort();

    const size_t per_frame = static_cast<size_t>(subbands * blk_len * channels);
    std::vector<int16_t> pcm(per_frame);
    std::vector<uint8_t> out(static_cast<size_t>(length));
    while (size > 0) {
        const size_t n = size < per_frame * 2 ? size : per_frame * 2;
        std::memcpy(pcm.data(), data, n);
        data += n;
        size -= n;
        int32_t count = 0;
        if (sbc::encoder_encode_frame(*encoder, pcm, out, count) != length || count != length)
            std::abort();
        if (out[0] != 0x9C || out[1] != header || out[2] != (bitpool & 0xFF)) std::abort();
        if (fuzzcheck::frame_length(fuzzcheck::shape_of(out)) != out.size()) std::abort();
        if (!fuzzcheck::whole_frames(out)) std::abort();
    }
    return sbc::encoder_destroy(std::move(encoder));
}
