// The RIFF WAVE reader: walks the chunks up to "data" and describes the samples that follow.
//
//   "RIFF" <length> "WAVE"                 the first 4 bytes come from the look-ahead record
//   "fmt " <length> tag channels rate avg align bits [extension]
//   "LIST" / "bext" / "fact" / ... <length> body [pad byte when the length is odd]   skipped
//   "data" <length> samples...             the stream is left at the first sample
//
//   "RF64" or "BW64" 0xFFFFFFFF "WAVE"     the 64-bit forms: their "ds64" chunk (first, as a
//   "ds64" <length> riff64 data64 count64 rule) holds the sizes for which the 32-bit fields say
//                                          0xFFFFFFFF; the data size is the one that counts
//
// All fields are little-endian. Every chunk the reader does not use is skipped by its length
// and pad byte, wherever it stands before "data"; a skip that would pass the end of the input
// is the same error as a file that ends before "data" (on a regular file that is seen from its
// size, so a hostile length never makes the walk read gigabytes). Once "RIFF" (or "RF64",
// "BW64") has been seen the file is WAVE: every later problem is an error, and every read is
// checked, so a stream that ends early stops the walk instead of repeating the last chunk.
//
// Accepted: PCM (tag 1) of 8, 16, 24, 32 bits, IEEE float (tag 3) of 32, 64 bits, 8-bit G.711
// A-law (tag 6) and µ-law (tag 7), expanded to 16-bit values as they are read, and the same four
// under the extensible format (tag 0xFFFE), where the sub-format GUID holds the tag and the
// container size (bits per sample) chooses the sample type: 24 valid bits in 32-bit slots are
// read as 32-bit samples, which is exact (the low byte is zero). Everything else is refused
// with a message naming the cause. Samples must be packed: a block alignment wider than
// channels × bytes per sample (samples in wider slots under tag 1) is refused rather than misread.
//
// The extensible format's speaker mask becomes the channel layout (channel_mask) when it names
// a speaker for every channel and no more: a mask whose bits number more or fewer speakers than
// there are channels says nothing reliable about them, and the layout is left unknown (0).
//
// Sample count: data length × 8 ÷ (bits × channels), in 64-bit arithmetic. A data length of 0
// (or one too short for a frame) and the streaming placeholder 0xFFFFFFFF give no count: it is
// then taken from the size of a regular file, and left unknown on a pipe. On a pipe the lengths
// that sox and arecord leave when they cannot seek back (0x7FFFF000 in whole frames, 0x80000000)
// give no count either, so that their streams end without an "ended early" message. In RF64 and
// BW64 a data length of 0xFFFFFFFF takes the 64-bit data size of "ds64" (0 there, as written to
// a pipe, gives no count).
#include "audiofile/detect.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <optional>

namespace audiofile {

namespace {

constexpr std::uint16_t tag_pcm = 1;
constexpr std::uint16_t tag_ieee_float = 3;
constexpr std::uint16_t tag_alaw = 6;
constexpr std::uint16_t tag_mulaw = 7;

constexpr std::uint32_t fmt_fields_length = 16;
constexpr std::uint32_t extension_length = WAVE_EXTENSIBLE_FMT_LENGTH - fmt_fields_length;
constexpr std::uint16_t least_extension_size = 22; // valid bits, speaker mask, GUID
constexpr std::uint32_t size_in_ds64 = 0xFFFFFFFF;

// Bytes 2..15 of every sub-format GUID of the extensible format (bytes 0-1 hold the tag):
// xxxxxxxx-0000-0010-8000-00AA00389B71.
constexpr std::array<std::uint8_t, 14> standard_guid_suffix = {
    0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

// The sample sizes of each format tag and their codes.
constexpr std::array<std::pair<int, std::int32_t>, 4> pcm_types = {
    {{8, ST_WAVE_PCM8}, {16, ST_WAVE_PCM16}, {24, ST_WAVE_PCM24}, {32, ST_WAVE_PCM32}}};
constexpr std::array<std::pair<int, std::int32_t>, 2> float_types = {
    {{32, ST_WAVE_FLOAT32}, {64, ST_WAVE_FLOAT64}}};
constexpr std::array<std::pair<int, std::int32_t>, 1> mulaw_types = {{{8, ST_WAVE_MULAW}}};
constexpr std::array<std::pair<int, std::int32_t>, 1> alaw_types = {{{8, ST_WAVE_ALAW}}};

// The tags whose "fmt " fields the reader takes, and the sub-formats of the extensible format it
// accepts.
constexpr bool is_known_tag(std::uint16_t tag) {
    return tag == tag_pcm || tag == tag_ieee_float || tag == tag_alaw || tag == tag_mulaw;
}

// What the walk knows when it reaches "data".
struct WaveWalk {
    bool sixty_four = false; // "RF64" or "BW64": the 64-bit sizes of "ds64" apply
    WaveFormat format;
    bool format_seen = false;
    std::optional<Ds64Sizes> ds64;
    std::uint32_t data_length = 0;
};

void report_early_end() {
    std::fputs("get_chunk_type: file ends before the data chunk\n", stderr);
}

// "RIFF", "RF64" or "BW64" (replayed), the ignored RIFF length and the form type "WAVE".
int read_riff_header(std::FILE* stream, WaveWalk& walk) {
    const auto replay = lookahead_replay();
    if (replay.size() < 4) return WAVE_REFUSED;
    const auto first = replay.first<4>();
    walk.sixty_four = same_id(first, ID_RF64) || same_id(first, ID_BW64);
    if (!walk.sixty_four && chunk_id_lookup(first) != CHUNK_RIFF) return WAVE_REFUSED;
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

// A "fmt " chunk of `length` bytes: its fields, the extension when the chunk holds one, and
// whatever follows them. 0, or -1 when the input ends first.
int read_fmt_chunk(std::FILE* stream, std::uint32_t length, WaveFormat& format) {
    if (read_wave_fmt(stream, format) != 0) return -1;
    std::uint32_t used = fmt_fields_length;
    if (format.format_tag == WAVE_TAG_EXTENSIBLE && length >= WAVE_EXTENSIBLE_FMT_LENGTH) {
        if (read_wave_extension(stream, format) != 0) return -1;
        used = WAVE_EXTENSIBLE_FMT_LENGTH;
    }
    if (length > used && !skip_chunk_body(stream, length - used)) return -1;
    return 0;
}

// The three sizes of a "ds64" chunk of `length` bytes, then the rest of it (its table).
// 0, WAVE_ERROR after a message for a chunk too short to hold them, -1 when the input ends.
int read_ds64_chunk(std::FILE* stream, std::uint32_t length, Ds64Sizes& sizes) {
    if (length < DS64_SIZES_LENGTH) {
        std::fprintf(stderr, "get_chunk_type: ds64 chunk of %u bytes, %u needed\n", length,
                     DS64_SIZES_LENGTH);
        return WAVE_ERROR;
    }
    std::array<std::uint8_t, DS64_SIZES_LENGTH> fields{};
    if (!read_exact(stream, fields)) return -1;
    const std::span<const std::uint8_t> f(fields);
    const auto le64 = [](std::span<const std::uint8_t, 8> b) {
        return std::uint64_t{load_le32(b.first<4>())} |
               (std::uint64_t{load_le32(b.last<4>())} << 32);
    };
    sizes.riff_size = le64(f.subspan<0, 8>());
    sizes.data_size = le64(f.subspan<8, 8>());
    sizes.sample_count = le64(f.subspan<16, 8>());
    return skip_chunk_body(stream, length - DS64_SIZES_LENGTH) ? 0 : -1;
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
        if (header.index == CHUNK_DATA) {
            walk.data_length = length;
            return 0;
        }
        int result = 0; // 0, -1 when the input ended, or WAVE_ERROR with its message printed
        if (header.index == CHUNK_FMT) {
            result = read_fmt_chunk(stream, length, walk.format);
            walk.format_seen = true;
        } else if (walk.sixty_four && same_id(header.id, ID_DS64)) {
            result = read_ds64_chunk(stream, length, walk.ds64.emplace());
        } else if (!skip_chunk_body(stream, length)) {
            result = -1;
        }
        if (result == WAVE_ERROR) return WAVE_ERROR;
        if (result != 0) {
            report_early_end();
            return WAVE_ERROR;
        }
    }
}

std::int32_t type_for_bits(std::span<const std::pair<int, std::int32_t>> types, int bits) {
    for (const auto& [type_bits, code] : types)
        if (type_bits == bits) return code;
    return -1;
}

// The code of a sample size among `types`, or -1 after printing that the size is refused.
std::int32_t sized_type(std::span<const std::pair<int, std::int32_t>> types, const char* format,
                        int bits) {
    const std::int32_t type = type_for_bits(types, bits);
    if (type < 0)
        std::fprintf(stderr, "wave %s format samplesize: %d not supported\n", format, bits);
    return type;
}

// The sample type of a tag and sample size, or -1 after printing why it is refused.
std::int32_t plain_sample_type(std::uint16_t tag, int bits) {
    switch (tag) {
    case tag_pcm:
        return sized_type(pcm_types, "PCM", bits);
    case tag_ieee_float:
        return sized_type(float_types, "IEEE_FLOAT", bits);
    case tag_mulaw:
        return sized_type(mulaw_types, "MULAW", bits);
    case tag_alaw:
        return sized_type(alaw_types, "ALAW", bits);
    default:
        std::fprintf(stderr, "wave format: %d not supported\n",
                     static_cast<int>(static_cast<std::int16_t>(tag)));
        return -1;
    }
}

// The extensible format: the sample type of the tag its sub-format GUID holds, for the
// container size; or -1 after printing why it is refused.
std::int32_t extensible_sample_type(const WaveFormat& format) {
    if (!format.extended) { // no extension to read: refused as the bare tag was before
        std::fputs("wave format: -2 not supported\n", stderr);
        return -1;
    }
    const std::span<const std::uint8_t, 16> guid(format.sub_format);
    const std::uint16_t tag = load_le16(guid.first<2>());
    const auto suffix = guid.last<14>();
    if (!is_known_tag(tag) ||
        !std::equal(suffix.begin(), suffix.end(), standard_guid_suffix.begin())) {
        std::fprintf(stderr,
                     "wave extensible format: sub-format %08X-%04X-%04X-%02X%02X-"
                     "%02X%02X%02X%02X%02X%02X not supported\n",
                     load_le32(guid.first<4>()), load_le16(guid.subspan<4, 2>()),
                     load_le16(guid.subspan<6, 2>()), guid[8], guid[9], guid[10], guid[11],
                     guid[12], guid[13], guid[14], guid[15]);
        return -1;
    }
    if (format.valid_bits > format.bits_per_sample) {
        std::fprintf(stderr,
                     "wave extensible format: %d valid bits in %d-bit samples not supported\n",
                     format.valid_bits, format.bits_per_sample);
        return -1;
    }
    return plain_sample_type(tag, format.bits_per_sample);
}

// The sample type of the last "fmt " chunk, or -1 after printing why it is refused.
std::int32_t choose_sample_type(const WaveFormat& format) {
    if (format.format_tag == WAVE_TAG_EXTENSIBLE) return extensible_sample_type(format);
    return plain_sample_type(format.format_tag, format.bits_per_sample);
}

// The layout of the channels: the extensible format's mask when it has one bit per channel.
std::uint32_t channel_mask_of(const WaveFormat& format) {
    const bool fits = format.format_tag == WAVE_TAG_EXTENSIBLE && format.extended &&
                      std::popcount(format.channel_mask) == format.channels;
    return fits ? format.channel_mask : 0;
}

} // namespace

int read_wave_fmt(std::FILE* stream, WaveFormat& format) {
    std::array<std::uint8_t, fmt_fields_length> fields{};
    if (!read_exact(stream, fields)) return -1;
    const std::span<const std::uint8_t> f(fields);
    format.format_tag = load_le16(f.subspan<0, 2>());
    format.extended = false;
    if (!is_known_tag(format.format_tag) && format.format_tag != WAVE_TAG_EXTENSIBLE) return 0;
    format.channels = static_cast<std::int16_t>(load_le16(f.subspan<2, 2>()));
    format.sampling_frequency = load_le32(f.subspan<4, 4>());
    format.block_align = load_le16(f.subspan<12, 2>());
    format.bits_per_sample = static_cast<std::int16_t>(load_le16(f.subspan<14, 2>()));
    return 0;
}

int read_wave_extension(std::FILE* stream, WaveFormat& format) {
    std::array<std::uint8_t, extension_length> fields{};
    if (!read_exact(stream, fields)) return -1;
    const std::span<const std::uint8_t> f(fields);
    format.extended = load_le16(f.subspan<0, 2>()) >= least_extension_size;
    format.valid_bits = load_le16(f.subspan<2, 2>());
    format.channel_mask = load_le32(f.subspan<4, 4>());
    std::copy_n(f.subspan<8, 16>().begin(), format.sub_format.size(), format.sub_format.begin());
    return 0;
}

int get_chunk_type(std::FILE* stream, AudioInfo& info) {
    WaveWalk walk;
    if (const int riff = read_riff_header(stream, walk); riff != 0) return riff;
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
    const bool size_in_ds64_chunk = walk.ds64 && walk.data_length == size_in_ds64;
    if (size_in_ds64_chunk ? count_from_data_bytes(stream, walk.ds64->data_size, info) != 0
                           : count_from_data_size(stream, SizeField::wave_data_length,
                                                  walk.data_length, info) != 0)
        return WAVE_ERROR;
    set_reader_defaults(info);
    info.channel_mask = channel_mask_of(walk.format);
    return 0;
}

} // namespace audiofile
