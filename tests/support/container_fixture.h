// Test support: Sun, AIFF/AIFC, SPW and 512-byte-header files built from readable parts.
//
//   sun_file(3, 44100, 2, pcm16_be(samples))          ".snd" header (data size, encoding, rate, ...)
//   form("AIFF", aiff_chunk("COMM", comm_fields(2, 100, 16, 44100)) + ssnd(pcm16_be(samples)))
//   spw_header(16000, 48000, "Fixedpoint") + data     as the SPW writer lays it out
//   h512_file(h512_words(2, 44100, -32000), big_endian, data)
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

inline std::string be16(uint16_t v) {
    return {static_cast<char>(v >> 8), static_cast<char>(v & 0xFF)};
}
inline std::string be32(uint32_t v) {
    return be16(static_cast<uint16_t>(v >> 16)) + be16(static_cast<uint16_t>(v & 0xFFFF));
}
inline std::string pcm16_be(const std::vector<int16_t>& samples) {
    std::string out;
    for (int16_t s : samples) out += be16(static_cast<uint16_t>(s));
    return out;
}
inline std::string float32_be(const std::vector<float>& samples) {
    std::string out;
    for (float f : samples) {
        uint32_t bits = 0;
        std::memcpy(&bits, &f, sizeof bits);
        out += be32(bits);
    }
    return out;
}
inline std::string pad_to_even(const std::string& s) {
    return s.size() % 2 == 1 ? s + '\0' : s;
}

// Data offset 24 + annotation size, data size (the data's unless given), encoding, rate, channels.
inline std::string sun_file(uint32_t encoding, uint32_t rate, uint32_t channels,
                            const std::string& data, std::optional<uint32_t> data_size = {},
                            const std::string& annotation = "") {
    return ".snd" + be32(static_cast<uint32_t>(24 + annotation.size())) +
           be32(data_size.value_or(static_cast<uint32_t>(data.size()))) + be32(encoding) +
           be32(rate) + be32(channels) + annotation + data;
}

// id, big-endian size (the body's unless given), body, pad byte when the body is odd.
inline std::string aiff_chunk(const std::string& id, const std::string& body,
                              std::optional<uint32_t> size = {}) {
    return id + be32(size.value_or(static_cast<uint32_t>(body.size()))) + pad_to_even(body);
}
inline std::string form(const std::string& type, const std::string& chunks) {
    return "FORM" + be32(static_cast<uint32_t>(4 + chunks.size())) + type + chunks;
}
// The 80-bit extended number of a finite `value`.
inline std::string extended(double value) {
    if (value == 0) return std::string(10, '\0');
    int exponent = 0;
    const double fraction = std::frexp(std::fabs(value), &exponent); // value = fraction × 2^exp
    const auto mantissa = static_cast<uint64_t>(std::ldexp(fraction, 64));
    const auto sign = static_cast<uint16_t>(value < 0 ? 0x8000 : 0);
    return be16(static_cast<uint16_t>(sign | (16383 + exponent - 1))) +
           be32(static_cast<uint32_t>(mantissa >> 32)) + be32(static_cast<uint32_t>(mantissa));
}
// COMM fields; for AIFC the compression type and its name (a Pascal string padded to even).
inline std::string comm_fields(int channels, uint32_t frames, int bits, double rate,
                               const std::string& compression = "", const std::string& name = "") {
    const std::string fields = be16(static_cast<uint16_t>(channels)) + be32(frames) +
                               be16(static_cast<uint16_t>(bits)) + extended(rate);
    if (compression.empty()) return fields;
    return fields + compression + pad_to_even(static_cast<char>(name.size()) + name);
}
// SSND: offset, block size 0, `offset` zero bytes, the data.
inline std::string ssnd(const std::string& data, uint32_t offset = 0) {
    return aiff_chunk("SSND", be32(offset) + be32(0) + std::string(offset, '\0') + data);
}
// One COMT comment: time stamp 0, marker 0, length, text, pad byte when odd.
inline std::string comment_entry(const std::string& text) {
    return be32(0) + be16(0) + be16(static_cast<uint16_t>(text.size())) + pad_to_even(text);
}

inline std::string spw_header(int rate, int points, const std::string& signal_type) {
    std::array<char, 96> numbers{};
    std::snprintf(numbers.data(), numbers.size(),
                  "Sampling Frequency = %7d\nNumber of points = %11d\n", rate, points);
    return "$SIGNAL_FILE 9\n$USER_COMMENT\na comment\n$COMMON_INFO\nSPW Version = 3.10\n" +
           std::string(numbers.data()) + "$DATA_INFO\nSignal Type = " + signal_type +
           "\nFixed Point Format = <16,15,t>\n$DATA BINARY\n";
}

// Rate with exponent 0, channels − 1 in word 65, word 54 = `samples`, check word `marker`.
using H512Words = std::array<int32_t, 128>;
inline H512Words h512_words(int channels, int rate, int32_t marker, int32_t samples = 0) {
    H512Words w{};
    w[54] = samples, w[61] = rate, w[62] = marker, w[65] = channels - 1;
    return w;
}
inline std::string h512_file(const H512Words& words, bool big_endian, const std::string& data) {
    std::string out;
    for (int32_t w : words) {
        const std::string b = be32(static_cast<uint32_t>(w));
        out += big_endian ? b : std::string(b.rbegin(), b.rend());
    }
    return out + data;
}

} // namespace testsupport
