// The RIFF WAVE reader: walks the chunks up to "data" and describes the samples that follow.
//
//   "RIFF" <length> "WAVE"                 the first 4 bytes come from the look-ahead record
//   "fmt " <length> tag channels rate avg align bits [extension, skipped]
//   "fact" / "cue " / ... <length> body [pad byte when the length is odd]   skipped
//   "data" <length> samples...             the stream is left at the first sample
//
// All fields are little-endian. Accepted: PCM (tag 1) of 8, 16, 24, 32 bits and IEEE float
// (tag 3) of 32, 64 bits; everything else is refused with a message naming the cause. Once
// "RIFF" has been seen the file is WAVE: every later problem is an error, and every read is
// checked, so a stream that ends early stops the walk instead of repeating the last chunk.
// Samples must be packed: a block alignment wider than channels × bytes per sample (samples in
// wider slots) is refused rather than misread.
//
// Sample count: data length × 8 ÷ (bits × channels), in 64-bit arithmetic. A data length of 0
// (or one too short for a frame) and the streaming placeholder 0xFFFFFFFF give no count: it is
// then taken from the size of a regular file, and left unknown on a pipe. On a pipe the lengths
// that sox and arecord leave when they cannot seek back (0x7FFFF000 in whole frames, 0x80000000)
// give no count either, so that their streams end without an "ended early" message.
#include "audiofile/detect.h"

#include <cstdio>

namespace audiofile {

namespace {

constexpr std::uint16_t tag_pcm = 1;
constexpr std::uint16_t tag_ieee_float = 3;
constexpr std::uint16_t tag_alaw = 6;
constexpr std::uint16_t tag_mulaw = 7;

constexpr std::uint32_t fmt_fields_length = 16;

// PCM sample sizes and their codes; then IEEE float.
constexpr std::array<std::pair<int, std::int32_t>, 4> pcm_types = {
    {{8, ST_WAVE_PCM8}, {16, ST_WAVE_PCM16}, {24, ST_WAVE_PCM24}, {32, ST_WAVE_PCM32}}};
constexpr std::array<std::pair<int, std::int32_t>, 2> float_types = {
    {{32, ST_WAVE_FLOAT32}, {64, ST_WAVE_FLOAT64}}};

// What the walk knows when it reaches "data".
struct WaveWalk {
    WaveFormat format;
    bool format_seen = false;
    std::uint32_t data_length = 0;
};

void report_early_end() {
    std::fputs("get_chunk_type: file ends before the data chunk\n", stderr);
}

// "RIFF" (replayed), the ignored RIFF length and the form type "WAVE".
int read_riff_header(std::FILE* stream) {
    const auto replay = lookahead_replay();
    if (replay.size() < 4 || chunk_id_lookup(replay.first<4>()) != CHUNK_RIFF) return WAVE_REFUSED;
    std::array<std::uint8_t, 4> riff_length{};
    std::array<std::uint8_t, 4> form_type{};
    if (!read_exact(stream, riff_length) || !read_exact(stream, form_type)) {
        report_early_end();
        return WAVE_ERROR;
    }
    if (chunk_id_lookup(form_type) != CHUNK_WAVE) {
        std::fprintf(stderr, "get_chunk_type: %s != WAVE_CHUNK\n", printable_id(form_type).data());
        return WAVE_ERROR;
    }
    return 0;
}

// Walks the chunks up to "data"; the stream is then at the first sample byte.
int walk_to_data(std::FILE* stream, WaveWalk& walk) {
    for (;;) {
        ChunkHeader header;
        if (!read_chunk_header(stream, header)) {
            report_early_end();
            return WAVE_ERROR;
        }
        const std::uint32_t length = load_le32(header.length);
        if (header.index < 0) {
            std::fprintf(stderr, "get_chunk_type: %s not recognized\n",
                         printable_id(header.id).data());
            return WAVE_ERROR;
        }
        if (header.index == CHUNK_DATA) {
            walk.data_length = length;
            return 0;
        }
        if (header.index != CHUNK_FMT) {
            skip_bytes(stream, length);
            continue;
        }
        if (read_wave_fmt(stream, walk.format) != 0) {
            report_early_end();
            return WAVE_ERROR;
        }
        walk.format_seen = true;
        if (length > fmt_fields_length) skip_bytes(stream, length - fmt_fields_length);
    }
}

std::int32_t type_for_bits(std::span<const std::pair<int, std::int32_t>> types, int bits) {
    for (const auto& [type_bits, code] : types)
        if (type_bits == bits) return code;
    return -1;
}

// The sample type of the last "fmt " chunk, or -1 after printing why it is refused.
std::int32_t choose_sample_type(const WaveFormat& format) {
    const int bits = format.bits_per_sample;
    switch (format.format_tag) {
    case tag_pcm: {
        const std::int32_t type = type_for_bits(pcm_types, bits);
        if (type < 0) std::fprintf(stderr, "wave PCM format samplesize: %d not supported\n", bits);
        return type;
    }
    case tag_ieee_float: {
        const std::int32_t type = type_for_bits(float_types, bits);
        if (type < 0)
            std::fprintf(stderr, "wave IEEE_FLOAT format samplesize: %d not supported\n", bits);
        return type;
    }
    case tag_mulaw:
        std::fputs("WAVE_FORMAT_MULAW not supported\n", stderr);
        return -1;
    case tag_alaw:
        std::fputs("WAVE_FORMAT_ALAW not supported\n", stderr);
        return -1;
    default:
        std::fprintf(stderr, "wave format: %d not supported\n",
                     static_cast<int>(static_cast<std::int16_t>(format.format_tag)));
        return -1;
    }
}

} // namespace

int read_wave_fmt(std::FILE* stream, WaveFormat& format) {
    std::array<std::uint8_t, fmt_fields_length> fields{};
    if (!read_exact(stream, fields)) return -1;
    const std::span<const std::uint8_t> f(fields);
    format.format_tag = load_le16(f.subspan<0, 2>());
    if (format.format_tag != tag_pcm && format.format_tag != tag_ieee_float) return 0;
    format.channels = static_cast<std::int16_t>(load_le16(f.subspan<2, 2>()));
    format.sampling_frequency = load_le32(f.subspan<4, 4>());
    format.block_align = load_le16(f.subspan<12, 2>());
    format.bits_per_sample = static_cast<std::int16_t>(load_le16(f.subspan<14, 2>()));
    return 0;
}

int get_chunk_type(std::FILE* stream, AudioInfo& info) {
    if (const int riff = read_riff_header(stream); riff != 0) return riff;
    WaveWalk walk;
    if (walk_to_data(stream, walk) != 0) return WAVE_ERROR;
    if (!walk.format_seen) {
        std::fputs("get_chunk_type: data chunk before any fmt chunk\n", stderr);
        return WAVE_ERROR;
    }
    const std::int32_t sample_type = choose_sample_type(walk.format);
    if (sample_type < 0) return WAVE_ERROR;
    if (walk.format.channels < 1) {
        std::fprintf(stderr, "wave channels: %d not supported\n", walk.format.channels);
        return WAVE_ERROR;
    }
    // Samples are read packed, one after another. A frame wider than its samples means each
    // sample sits in a wider slot (24 bits in 4 bytes, as arecord -f S24_LE writes): read packed,
    // that would be noise, so it is refused. A narrower one (0 from careless writers) is ignored.
    const int packed = walk.format.channels * (walk.format.bits_per_sample / 8);
    if (walk.format.block_align > packed) {
        std::fprintf(stderr, "wave block alignment: %d not supported for %d channels of %d bits\n",
                     walk.format.block_align, walk.format.channels, walk.format.bits_per_sample);
        return WAVE_ERROR;
    }
    info.sample_type = sample_type;
    info.comment = {};
    info.data_offset = data_offset_of(stream);
    info.sampling_frequency = static_cast<std::int32_t>(walk.format.sampling_frequency);
    info.channels = walk.format.channels;
    if (count_from_data_size(stream, SizeField::wave_data_length, walk.data_length, info) != 0)
        return WAVE_ERROR;
    set_reader_defaults(info);
    return 0;
}

} // namespace audiofile
