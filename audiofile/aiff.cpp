// The AIFF/AIFC reader: "FORM" files of form type "AIFF" or "AIFC", big-endian chunks.
//
//   "FORM" size "AIFF"|"AIFC"     the first identifier comes from the look-ahead record; the FORM
//                                 size is not used: its sub-chunks are walked as one flat sequence
//   "COMM" size  channels:i16 frames:u32 bits:i16 rate:80-bit extended
//                [AIFC: compression:4 count:u8 name[count] pad when count is even]
//   "COMT" size  comments:u16 { stamp:u32 marker:i16 length:u16 text[length] pad when odd } ...
//   "CSND" size  8 bytes
//   other listed identifiers: size bytes + pad when odd, skipped
//   "SSND" size  offset:u32 block:u32 offset bytes   the stream is left at the first sample
//
// Recording: every identifier after the first and every size is recorded exactly as read, and a
// refused form type too; everything else consumed (chunk fields, skipped bodies) is counted as
// unrecorded, so a later reader knows that the record no longer replays the file exactly.
//
// An identifier outside the table, or a FORM of another form type, refuses the file (the next
// reader is tried); so does a stream that ends before a FORM of type AIFF/AIFC. After such a FORM,
// a stream that ends before "SSND" is an error, and so is an "SSND" reached without a FORM of
// type AIFF/AIFC or without "COMM". A COMT chunk is consumed whole by its size (its first comment
// is kept, cut to 255 characters), so the walk goes on at the next chunk.
//
// Sample types: AIFF holds PCM of 8, 16, 24 or 32 bits; AIFC the compression types "NONE" (the
// same PCM), "fl32" and "fl64" (floats, whatever the sample size says), and "ulaw"/"ULAW" and
// "alaw"/"ALAW" (8-bit G.711 codes, expanded to 16-bit values as they are read, whatever the
// sample size says: writers put 8 or 16 there).
//
// Sample count: the COMM frame count; when it is 0, or sox's placeholder (0x7F000000 bytes in
// whole frames) read from a pipe, the count is taken from the size of a regular file, and left
// unknown on a pipe.
#include "audiofile/detect.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

namespace audiofile {

namespace {

enum class FormKind : std::uint8_t { none, aiff, aifc };

// What the walk knows when it reaches "SSND".
struct AiffWalk {
    FormKind form = FormKind::none;
    bool comm_seen = false;
    std::int16_t channels = 0;
    std::uint32_t frames = 0;
    std::int16_t sample_size = 0;
    double rate = 0.0;
    std::array<char, 5> compression{};        // 4 characters and a terminator
    std::array<char, 256> compression_name{}; // at most 255 characters and a terminator
    std::array<char, 256> comment{};          // likewise
};

constexpr int keep_walking = 1;

constexpr std::array<std::pair<int, std::int32_t>, 4> aiff_types = {
    {{8, ST_AIFF_PCM8}, {16, ST_AIFF_PCM16}, {24, ST_AIFF_PCM24}, {32, ST_AIFF_PCM32}}};
constexpr std::array<std::pair<int, std::int32_t>, 4> aifc_types = {
    {{8, ST_AIFC_PCM8}, {16, ST_AIFC_PCM16}, {24, ST_AIFC_PCM24}, {32, ST_AIFC_PCM32}}};

// Exponent offsets of the two mantissa words: 16383 (bias) + 31, and 32 more.
constexpr int high_word_shift = 16414;
constexpr int low_word_shift = 16446;
constexpr int infinite_exponent = 0x7FFF;

// Chunk fields: consumed, not recorded.
bool read_field(std::FILE* stream, std::span<std::uint8_t> bytes) {
    lookahead_unrecorded(bytes.size());
    return read_exact(stream, bytes);
}

bool skip_field(std::FILE* stream, std::uint64_t n) {
    lookahead_unrecorded(n);
    return discard_bytes(stream, n);
}

// Reads `length` text bytes into `text` (cut to its capacity less the terminator, always
// terminated) and consumes the rest.
bool read_text(std::FILE* stream, std::size_t length, std::span<char> text) {
    const std::size_t kept = std::min(length, text.size() - 1);
    std::fill(text.begin(), text.end(), '\0');
    lookahead_unrecorded(kept);
    if (kept > 0 && std::fread(text.data(), 1, kept, stream) != kept) return false;
    return skip_field(stream, length - kept);
}

// The stream ended during the walk: not this reader's file unless a FORM AIFF/AIFC was seen.
int walk_ended(const AiffWalk& walk) {
    if (walk.form == FormKind::none) return AIFF_REFUSED;
    std::fputs("read_aiff_header: file ends before the SSND chunk\n", stderr);
    return AIFF_ERROR;
}

// The form type after a "FORM" size: "AIFF" or "AIFC" go on; anything else is recorded and
// refused.
int read_form_type(std::FILE* stream, AiffWalk& walk) {
    std::array<std::uint8_t, 4> type{};
    const std::size_t got = std::fread(type.data(), 1, type.size(), stream);
    const auto read = std::span<const std::uint8_t>(type).first(got);
    if (got == type.size() && std::memcmp(type.data(), "AIFF", 4) == 0) {
        walk.form = FormKind::aiff;
    } else if (got == type.size() && std::memcmp(type.data(), "AIFC", 4) == 0) {
        walk.form = FormKind::aifc;
    } else {
        lookahead_record(read);
        return got == type.size() ? AIFF_REFUSED : walk_ended(walk);
    }
    lookahead_unrecorded(type.size());
    return keep_walking;
}

// AIFC only: compression type, and the Pascal string of its name with its pad byte.
bool read_compression(std::FILE* stream, AiffWalk& walk) {
    std::array<std::uint8_t, 5> type_and_count{};
    if (!read_field(stream, type_and_count)) return false;
    std::copy_n(type_and_count.begin(), 4, walk.compression.begin());
    const std::size_t count = type_and_count[4];
    if (!read_text(stream, count, walk.compression_name)) return false;
    return count % 2 == 1 || skip_field(stream, 1);
}

bool read_comm_chunk(std::FILE* stream, AiffWalk& walk) {
    std::array<std::uint8_t, 18> fields{};
    if (!read_field(stream, fields)) return false;
    const std::span<const std::uint8_t> f(fields);
    walk.channels = static_cast<std::int16_t>(load_be16(f.subspan<0, 2>()));
    walk.frames = load_be32(f.subspan<2, 4>());
    walk.sample_size = static_cast<std::int16_t>(load_be16(f.subspan<6, 2>()));
    walk.rate = extended_to_double(f.subspan<8, 10>());
    walk.comm_seen = true;
    return walk.form != FormKind::aifc || read_compression(stream, walk);
}

// The first comment's text; then the rest of the chunk, whatever it holds, by the chunk size.
bool read_comt_chunk(std::FILE* stream, std::uint32_t size, AiffWalk& walk) {
    std::array<std::uint8_t, 2> count{};
    if (!read_field(stream, count)) return false;
    std::uint64_t consumed = count.size();
    if (load_be16(count) > 0) {
        std::array<std::uint8_t, 8> head{}; // time stamp, marker, text length
        if (!read_field(stream, head)) return false;
        const std::size_t length = load_be16(std::span<const std::uint8_t>(head).subspan<6, 2>());
        const std::size_t padded = length + length % 2;
        if (!read_text(stream, length, walk.comment) || !skip_field(stream, padded - length))
            return false;
        consumed += head.size() + padded;
    }
    const std::uint64_t extent = std::uint64_t{size} + size % 2;
    return consumed >= extent || skip_field(stream, extent - consumed);
}

// Offset and block size, then the offset bytes before the first sample.
bool read_ssnd_chunk(std::FILE* stream) {
    std::array<std::uint8_t, 8> fields{};
    if (!read_field(stream, fields)) return false;
    return skip_field(stream, load_be32(std::span<const std::uint8_t>(fields).first<4>()));
}

bool skip_csnd_chunk(std::FILE* stream) {
    return skip_field(stream, 8);
}

// One chunk whose header has been read: keep_walking, 0 at "SSND", or the reader's result.
int handle_chunk(std::FILE* stream, const ChunkHeader& header, AiffWalk& walk) {
    const std::uint32_t size = load_be32(header.length);
    bool complete = true;
    switch (header.index) {
    case -1:
        return AIFF_REFUSED;
    case CHUNK_FORM:
        return read_form_type(stream, walk);
    case CHUNK_COMM:
        complete = read_comm_chunk(stream, walk);
        break;
    case CHUNK_COMT:
        complete = read_comt_chunk(stream, size, walk);
        break;
    case CHUNK_SSND:
        return read_ssnd_chunk(stream) ? 0 : walk_ended(walk);
    case CHUNK_CSND:
        complete = skip_csnd_chunk(stream);
        break;
    default:
        lookahead_unrecorded(std::uint64_t{size} + size % 2);
        skip_bytes(stream, size);
        break;
    }
    return complete ? keep_walking : walk_ended(walk);
}

// Walks the chunks up to "SSND"; the stream is then at the first sample byte.
int walk_to_sound_data(std::FILE* stream, AiffWalk& walk) {
    const auto replay = lookahead_replay();
    if (replay.size() < 4) return AIFF_REFUSED;
    ChunkHeader header;
    std::copy_n(replay.begin(), 4, header.id.begin());
    for (bool first = true;; first = false) {
        if (!first && !read_recorded(stream, header.id)) return walk_ended(walk);
        if (!read_recorded(stream, header.length)) return walk_ended(walk);
        header.index = chunk_id_lookup(header.id);
        if (const int step = handle_chunk(stream, header, walk); step != keep_walking) return step;
    }
}

// "SSND" needs a FORM of type AIFF/AIFC and a COMM chunk before it.
bool walk_is_complete(const AiffWalk& walk) {
    if (walk.form == FormKind::none) {
        std::fputs("read_aiff_header: SSND chunk without a FORM chunk of type AIFF or AIFC\n",
                   stderr);
        return false;
    }
    if (!walk.comm_seen) {
        std::fputs("read_aiff_header: SSND chunk without a COMM chunk before it\n", stderr);
        return false;
    }
    return true;
}

std::int32_t type_for_bits(std::span<const std::pair<int, std::int32_t>> types, int bits) {
    for (const auto& [type_bits, code] : types)
        if (type_bits == bits) return code;
    return -1;
}

// The sample type of the walk, or -1 after printing why it is refused.
std::int32_t choose_sample_type(const AiffWalk& walk) {
    const int bits = walk.sample_size;
    if (walk.form == FormKind::aiff) {
        const std::int32_t type = type_for_bits(aiff_types, bits);
        if (type < 0) std::fprintf(stderr, "aiff format samplesize: %d not supported\n", bits);
        return type;
    }
    const auto is = [&](const char* name) {
        return std::memcmp(walk.compression.data(), name, 4) == 0;
    };
    if (is("NONE")) {
        const std::int32_t type = type_for_bits(aifc_types, bits);
        if (type < 0) std::fprintf(stderr, "aifc format samplesize: %d not supported\n", bits);
        return type;
    }
    if (is("fl32")) return ST_AIFC_FLOAT32;
    if (is("fl64")) return ST_AIFC_FLOAT64;
    if (is("ulaw") || is("ULAW")) return ST_AIFC_MULAW;
    if (is("alaw") || is("ALAW")) return ST_AIFC_ALAW;
    std::fprintf(stderr, "aifc type %s format %s not supported\n", walk.compression.data(),
                 walk.compression_name.data());
    return -1;
}

// The rate truncated toward zero; 0 when it has no 32-bit value (infinity, out of range).
std::int32_t rate_of(double rate) {
    const double whole = std::trunc(rate);
    if (!(whole >= INT32_MIN && whole <= INT32_MAX)) return 0;
    return static_cast<std::int32_t>(whole);
}

} // namespace

double extended_to_double(std::span<const std::uint8_t, 10> bytes) {
    const int exponent = ((bytes[0] & 0x7F) << 8) | bytes[1];
    const std::uint32_t high = load_be32(bytes.subspan<2, 4>());
    const std::uint32_t low = load_be32(bytes.subspan<6, 4>());
    double magnitude = 0.0;
    if (exponent == infinite_exponent) {
        magnitude = std::numeric_limits<double>::infinity();
    } else if (exponent != 0 || high != 0 || low != 0) {
        magnitude = std::ldexp(static_cast<double>(high), exponent - high_word_shift) +
                    std::ldexp(static_cast<double>(low), exponent - low_word_shift);
    }
    return (bytes[0] & 0x80) != 0 ? -magnitude : magnitude;
}

int read_aiff_header(std::FILE* stream, AudioInfo& info) {
    AiffWalk walk;
    if (const int walked = walk_to_sound_data(stream, walk); walked != 0) return walked;
    if (!walk_is_complete(walk)) return AIFF_ERROR;
    const std::int32_t sample_type = choose_sample_type(walk);
    if (sample_type < 0) return AIFF_ERROR;
    if (walk.channels < 1) {
        std::fprintf(stderr, "aiff channels: %d not supported\n", walk.channels);
        return AIFF_ERROR;
    }
    info.sample_type = sample_type;
    info.comment = walk.comment;
    info.data_offset = data_offset_of(stream);
    info.channels = walk.channels;
    info.sampling_frequency = rate_of(walk.rate);
    const int bits = sample_bits(sample_type);
    const bool counted =
        walk.frames > 0 && !is_placeholder_size(stream, SizeField::aiff_frame_count, walk.frames,
                                                frame_bytes_of(walk.channels, bits));
    const int result = counted ? store_sample_count(walk.frames, info)
                               : estimate_sample_count(stream, info.channels, bits, info);
    if (result != 0) return AIFF_ERROR;
    set_reader_defaults(info);
    return 0;
}

} // namespace audiofile
