// One frame's way through an encoding run: the scale of its stored values, PCM to stream bytes.
//
//   value (double, as stored) × scale ─► sbc::to_pcm16 ─► int16 ─► frame or H2 unit ─► bytes
//
// The scale is a power of two, so every product is exact and the result depends on nothing but
// the stored value.
#include "cli/encode/frame_io.h"

#include "audiofile/audiofile.h"
#include "cli/common/files.h"

#include <array>
#include <cerrno>

namespace cli {

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
    switch (sample_value_bits(sample_type)) {
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
