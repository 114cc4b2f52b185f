// The Sun audio reader (magic ".snd", big-endian header words).
//
// It is the first reader tried, so it starts the look-ahead record: the 4 bytes it reads are
// recorded before any test, whatever they are, and every later reader replays them.
//
//   offset 0  ".snd"                         read and recorded; anything else: refused
//          4  data offset   8  data size   12  encoding   16  rate   20  channels
//         24  annotation, up to the data offset (skipped, no pad byte)
//          …  samples                        the stream is left here
//
// Accepted encodings: linear PCM 2..5 (8, 16, 24, 32 bits), IEEE float 6, 7 (32, 64 bits), and
// 8-bit G.711 µ-law 1 and A-law 27 (expanded to 16-bit values as they are read); everything else
// is refused with a message. Once ".snd" has been seen every
// problem is an error: a header cut short, a channel count below 1, an annotation that runs past
// the end of the stream.
//
// Sample count: data size ÷ frame size, in 64-bit arithmetic. A size of 0, of less than one frame,
// or 0xFFFFFFFF (the format's "unknown size") gives no count: it is then taken from the size of a
// regular file, and left unknown on a pipe. On a pipe arecord's 0xFFFFFFFE gives no count either.
#include "audiofile/detect.h"

#include <cstdio>
#include <utility>

namespace audiofile {

namespace {

constexpr std::uint32_t header_bytes = 24;

// Encoding number → sample type.
constexpr std::array<std::pair<std::uint32_t, std::int32_t>, 8> sample_types = {{
    {1, ST_SUN_MULAW},
    {2, ST_SUN_PCM8},
    {3, ST_SUN_PCM16},
    {4, ST_SUN_PCM24},
    {5, ST_SUN_PCM32},
    {6, ST_SUN_FLOAT32},
    {7, ST_SUN_FLOAT64},
    {27, ST_SUN_ALAW},
}};

struct SunHeader {
    std::uint32_t data_offset = 0;
    std::uint32_t data_size = 0;
    std::uint32_t encoding = 0;
    std::uint32_t rate = 0;
    std::int32_t channels = 0;
};

// The magic, read and recorded whatever it is. False when it is not ".snd".
bool read_magic(std::FILE* stream) {
    std::array<std::uint8_t, 4> magic{};
    return read_recorded(stream, magic) && chunk_id_lookup(magic) == CHUNK_SND;
}

// The five words after the magic; false when the stream ends first.
bool read_words(std::FILE* stream, SunHeader& header) {
    std::array<std::uint8_t, header_bytes - 4> words{};
    if (!read_exact(stream, words)) return false;
    const std::span<const std::uint8_t> w(words);
    header.data_offset = load_be32(w.subspan<0, 4>());
    header.data_size = load_be32(w.subspan<4, 4>());
    header.encoding = load_be32(w.subspan<8, 4>());
    header.rate = load_be32(w.subspan<12, 4>());
    header.channels = static_cast<std::int32_t>(load_be32(w.subspan<16, 4>()));
    return true;
}

// The sample type of the encoding, or -1 after printing why it is refused.
std::int32_t choose_sample_type(std::uint32_t encoding) {
    for (const auto& [number, type] : sample_types)
        if (number == encoding) return type;
    std::fprintf(stderr, "sun format: %ld not supported\n",
                 static_cast<long>(static_cast<std::int32_t>(encoding)));
    return -1;
}

} // namespace

int read_sun_header(std::FILE* stream, AudioInfo& info) {
    if (!read_magic(stream)) return SUN_REFUSED;
    SunHeader header;
    if (!read_words(stream, header)) {
        std::fputs("read_sun_header: file ends inside the 24-byte header\n", stderr);
        return SUN_ERROR;
    }
    const std::int32_t sample_type = choose_sample_type(header.encoding);
    if (sample_type < 0) return SUN_ERROR;
    if (header.channels < 1) {
        std::fprintf(stderr, "sun channels: %d not supported\n", header.channels);
        return SUN_ERROR;
    }
    if (header.data_offset > header_bytes &&
        !discard_bytes(stream, header.data_offset - header_bytes)) {
        std::fprintf(stderr, "read_sun_header: file ends before the data offset %u\n",
                     header.data_offset);
        return SUN_ERROR;
    }
    info.sample_type = sample_type;
    info.data_offset = data_offset_of(stream);
    info.channels = header.channels;
    info.sampling_frequency = static_cast<std::int32_t>(header.rate);
    if (count_from_data_size(stream, SizeField::sun_data_size, header.data_size, info) != 0)
        return SUN_ERROR;
    set_reader_defaults(info);
    return 0;
}

} // namespace audiofile
