// One frame's way through an encoding run: stored values to 16-bit PCM, PCM to stream bytes.
//
//   value (double, as stored) × scale ─► truncate toward zero ─► limit to −32768..32767 ─► int16
//
// Limiting saturates instead of wrapping, and NaN becomes 0. The scale is a power of two, so
// every product is exact and the result depends on nothing but the stored value.
#include "cli/encode/frame_io.h"

#include "audiofile/audiofile.h"
#include "cli/common/files.h"

#include <array>
#include <cerrno>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace cli {

namespace {

// Written as selections rather than branches, so that a frame's values convert side by side.
int16_t saturate(double value) {
    value = value == value ? value : 0.0;
    value = value < 32767.0 ? value : 32767.0;
    value = value > -32768.0 ? value : -32768.0;
    return static_cast<int16_t>(static_cast<int32_t>(value));
}

} // namespace

double sixteen_bit_scale(int32_t sample_type) {
    using namespace audiofile;
    if (sample_is_float(sample_type)) {
        switch (sample_type) {
        case ST_SPW_DOUBLE:
        case ST_H512_FLOAT32:
        case ST_H512_FLOAT64:
            return 1.0;
        default:
            return 32768.0;
        }
    }
    switch (sample_bits(sample_type)) {
    case 8:
        return 256.0;
    case 24:
        return 1.0 / 256.0;
    case 32:
        return 1.0 / 65536.0;
    default:
        return 1.0;
    }
}

void to_pcm16(std::span<const double> values, double scale, std::span<int16_t> pcm) {
    const size_t n = values.size();
    size_t i = 0;
#if defined(__SSE2__)
    // Four values at a time, as saturate(): NaN masked to 0, then minpd(v, 32767) is
    // "v < 32767 ? v : 32767" and maxpd(v, −32768) "v > −32768 ? v : −32768"; the truncated
    // integers are then in range, so the saturating pack changes nothing.
    const __m128d factor = _mm_set1_pd(scale);
    const __m128d high = _mm_set1_pd(32767.0);
    const __m128d low = _mm_set1_pd(-32768.0);
    const auto to_int32 = [&](const double* at) {
        __m128d v = _mm_mul_pd(_mm_loadu_pd(at), factor);
        v = _mm_and_pd(v, _mm_cmpord_pd(v, v));
        return _mm_cvttpd_epi32(_mm_max_pd(_mm_min_pd(v, high), low));
    };
    for (; i + 4 <= n; i += 4) {
        const __m128i four = _mm_unpacklo_epi64(to_int32(&values[i]), to_int32(&values[i + 2]));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(&pcm[i]), _mm_packs_epi32(four, four));
    }
#endif
    for (; i < n; ++i) pcm[i] = saturate(values[i] * scale);
}

int32_t stream_frame_bytes(const sbc::EncoderState& encoder, bool h2_units) {
    return h2_units ? sbc::H2_UNIT_LENGTH : sbc::encoder_frame_length(encoder);
}

bool append_frame(sbc::EncoderState& encoder, std::span<const int16_t> pcm, int64_t index,
                  bool h2_units, std::span<uint8_t> out, int32_t& used) {
    if (!h2_units) {
        const int32_t before = used;
        const int32_t length = sbc::encoder_encode_frame(encoder, pcm, out, used);
        if (length > 0 && used - before == length) return true;
        used = before;
        return false;
    }
    std::array<uint8_t, sbc::MSBC_FRAME_LENGTH> frame;
    int32_t length = 0;
    if (used < 0 || static_cast<size_t>(used) > out.size() ||
        sbc::encoder_encode_frame(encoder, pcm, frame, length) != sbc::MSBC_FRAME_LENGTH)
        return false;
    const int32_t written = sbc::h2_unit_write(frame, static_cast<uint64_t>(index),
                                               out.subspan(static_cast<size_t>(used)));
    if (written <= 0) return false;
    used += written;
    return true;
}

bool write_all(std::FILE* output, std::span<const uint8_t> bytes) {
    const int fd = fileno(output);
    if (fd < 0) return std::fwrite(bytes.data(), 1, bytes.size(), output) == bytes.size();
    const int error = write_all(fd, bytes);
    if (error != 0) errno = error;
    return error == 0;
}

} // namespace cli
