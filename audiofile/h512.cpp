// The reader of the format with a 512-byte header of 128 32-bit words. It has no magic word: it
// is tried last and recognises the check word in word 62, which gives both the byte order of the
// file and the sample encoding.
//
//   [ replayed look-ahead bytes | bytes read from the stream ......... ] = 512 bytes, then samples
//   word  5 data blocks        35/36 aux 1 (mantissa/exponent)   37/38 aux 2
//        54 samples (≤ 0: not given)   60/61 rate (exponent/mantissa)   62 check word
//        63/64 identification    65 channels − 1 (bits 0..7), aux byte (8..15), aux high (16..31)
//
//   check word bytes   00 83 FF FF | FE 82 FF FF | FC 82 FF FF    little-endian: 16-bit, f32, f64
//                      FF FF 83 00 | FF FF 82 FE | FF FF 82 FC    big-endian:    16-bit, f32, f64
//
// Decimal values: ⌊mantissa × 10^exponent + 0.5⌋ for exponents up to 10 (negative ones too); an
// exponent above 10, or a result outside the 32-bit range, gives 0.
//
// The header is the replayed bytes followed by the next bytes of the stream. When the record is
// not exact (bytes were taken without being recorded) the header cannot be rebuilt and the file
// is not recognised. A header cut short, and a channel byte giving fewer than 1 channel, are not
// recognised either, with a message of their own.
#include "audiofile/detect.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>

namespace audiofile {

namespace {

constexpr std::size_t header_bytes = 512;
constexpr std::size_t word_count = header_bytes / 4;
constexpr std::int32_t largest_decimal_exponent = 10;

enum Word : std::size_t {
    data_blocks_word = 5,
    aux_1_mantissa = 35,
    aux_1_exponent = 36,
    aux_2_mantissa = 37,
    aux_2_exponent = 38,
    samples_word = 54,
    rate_exponent = 60,
    rate_mantissa = 61,
    check_word = 62,
    ident_1_word = 63,
    ident_2_word = 64,
    packed_word = 65,
};

struct CheckWord {
    std::array<std::uint8_t, 4> bytes;
    bool big_endian;
    std::int32_t sample_type;
};

// In the order they are tried.
constexpr std::array<CheckWord, 6> check_words = {{
    {{0xFF, 0xFF, 0x83, 0x00}, true, ST_H512_PCM16},
    {{0xFF, 0xFF, 0x82, 0xFE}, true, ST_H512_FLOAT32},
    {{0xFF, 0xFF, 0x82, 0xFC}, true, ST_H512_FLOAT64},
    {{0xFE, 0x82, 0xFF, 0xFF}, false, ST_H512_FLOAT32},
    {{0xFC, 0x82, 0xFF, 0xFF}, false, ST_H512_FLOAT64},
    {{0x00, 0x83, 0xFF, 0xFF}, false, ST_H512_PCM16},
}};

using Header = std::array<std::uint8_t, header_bytes>;
using Words = std::array<std::int32_t, word_count>;

std::span<const std::uint8_t, 4> word_bytes(const Header& header, std::size_t word) {
    return std::span<const std::uint8_t, header_bytes>(header).subspan(word * 4).first<4>();
}

// The replayed bytes and as many of the rest as the stream gives; the number of header bytes.
std::size_t read_header(std::FILE* stream, Header& header) {
    const auto replay = lookahead_replay();
    std::copy(replay.begin(), replay.end(), header.begin());
    const std::size_t rest = header_bytes - replay.size();
    return replay.size() + std::fread(header.data() + replay.size(), 1, rest, stream);
}

const CheckWord* find_check_word(const Header& header) {
    const auto bytes = word_bytes(header, check_word);
    for (const CheckWord& candidate : check_words)
        if (std::equal(bytes.begin(), bytes.end(), candidate.bytes.begin())) return &candidate;
    return nullptr;
}

Words decode_words(const Header& header, bool big_endian) {
    Words words{};
    for (std::size_t i = 0; i < word_count; ++i) {
        const auto bytes = word_bytes(header, i);
        words[i] = static_cast<std::int32_t>(big_endian ? load_be32(bytes) : load_le32(bytes));
    }
    return words;
}

std::int32_t decimal_value(std::int32_t mantissa, std::int32_t exponent) {
    if (exponent > largest_decimal_exponent) return 0;
    const double value = std::floor(std::pow(10.0, exponent) * mantissa + 0.5);
    if (!(value >= INT32_MIN && value <= INT32_MAX)) return 0;
    return static_cast<std::int32_t>(value);
}

void fill_info(const Words& w, AudioInfo& info) {
    const auto packed = static_cast<std::uint32_t>(w[packed_word]);
    info.data_blocks = w[data_blocks_word];
    info.aux_value_1 = decimal_value(w[aux_1_mantissa], w[aux_1_exponent]);
    info.aux_value_2 = decimal_value(w[aux_2_mantissa], w[aux_2_exponent]);
    info.sampling_frequency = decimal_value(w[rate_mantissa], w[rate_exponent]);
    info.ident_1 = w[ident_1_word];
    info.ident_2 = w[ident_2_word];
    info.aux_byte = static_cast<std::int8_t>((packed >> 8) & 0xFF);
    info.aux_high = static_cast<std::int16_t>(packed >> 16);
    info.data_offset = static_cast<std::int32_t>(header_bytes);
    info.comment = {};
}

} // namespace

int read_h512_header(std::FILE* stream, AudioInfo& info) {
    info.sample_type = ST_H512_PCM16;
    if (lookahead().dropped > 0) return NOT_RECOGNIZED;
    Header header{};
    const std::size_t got = read_header(stream, header);
    info.byte_order_marker = static_cast<std::int32_t>(load_le32(word_bytes(header, check_word)));
    const CheckWord* check = find_check_word(header);
    if (got < (check_word + 1) * 4 || check == nullptr) return NOT_RECOGNIZED;
    info.sample_type = check->sample_type;
    if (got < header_bytes) {
        std::fprintf(stderr, "read_h512_header: file ends after %zu of the 512 header bytes\n",
                     got);
        return NOT_RECOGNIZED;
    }
    const Words words = decode_words(header, check->big_endian);
    const std::int32_t channels = static_cast<std::int8_t>(words[packed_word] & 0xFF) + 1;
    if (channels < 1) {
        std::fprintf(stderr, "512-byte header channels: %d not supported\n", channels);
        return NOT_RECOGNIZED;
    }
    info.channels = channels;
    info.channel_mask = 0; // the header names no speakers
    fill_info(words, info);
    const std::int32_t samples = words[samples_word];
    const int counted =
        samples > 0 ? store_sample_count(static_cast<std::uint64_t>(samples), info)
                    : estimate_sample_count(stream, channels, sample_bits(info.sample_type), info);
    return counted == 0 ? 0 : NOT_RECOGNIZED;
}

} // namespace audiofile
