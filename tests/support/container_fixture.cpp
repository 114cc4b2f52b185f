#include "container_fixture.h"

#include <cmath>
#include <cstring>

namespace testsupport {

std::string be16(uint16_t v) {
    return {static_cast<char>(v >> 8), static_cast<char>(v & 0xFF)};
}

std::string be32(uint32_t v) {
    return be16(static_cast<uint16_t>(v >> 16)) + be16(static_cast<uint16_t>(v & 0xFFFF));
}

std::string pcm16_be(const std::vector<int16_t>& samples) {
    std::string out;
    for (int16_t s : samples) out += be16(static_cast<uint16_t>(s));
    return out;
}

std::string float32_be(const std::vector<float>& samples) {
    std::string out;
    for (float f : samples) {
        uint32_t bits = 0;
        std::memcpy(&bits, &f, sizeof bits);
        out += be32(bits);
    }
    return out;
}

std::string sun_file(uint32_t encoding, uint32_t rate, uint32_t channels, const std::string& data,
                     std::optional<uint32_t> data_size, const std::string& annotation) {
    return ".snd" + be32(static_cast<uint32_t>(24 + annotation.size())) +
           be32(data_size.value_or(static_cast<uint32_t>(data.size()))) + be32(encoding) +
           be32(rate) + be32(channels) + annotation + data;
}

std::string aiff_chunk(const std::string& id, const std::string& body,
                       std::optional<uint32_t> size) {
    const std::string pad = body.size() % 2 == 1 ? std::string(1, '\0') : std::string();
    return id + be32(size.value_or(static_cast<uint32_t>(body.size()))) + body + pad;
}

std::string form(const std::string& type, const std::string& chunks) {
    return "FORM" + be32(static_cast<uint32_t>(4 + chunks.size())) + type + chunks;
}

std::string extended(double value) {
    if (value == 0) return std::string(10, '\0');
    int exponent = 0;
    const double fraction = std::frexp(std::fabs(value), &exponent); // value = fraction × 2^exp
    const auto mantissa = static_cast<uint64_t>(std::ldexp(fraction, 64));
    const auto sign = static_cast<uint16_t>(value < 0 ? 0x8000 : 0);
    return be16(static_cast<uint16_t>(sign | (16383 + exponent - 1))) +
           be32(static_cast<uint32_t>(mantissa >> 32)) + be32(static_cast<uint32_t>(mantissa));
}

std::string comm_fields(int channels, uint32_t frames, int bits, double rate,
                        const std::string& compression, const std::string& name) {
    std::string out = be16(static_cast<uint16_t>(channels)) + be32(frames) +
                      be16(static_cast<uint16_t>(bits)) + extended(rate);
    if (compression.empty()) return out;
    out += compression + static_cast<char>(name.size()) + name;
    if (name.size() % 2 == 0) out += '\0';
    return out;
}

std::string ssnd(const std::string& data, uint32_t offset) {
    return aiff_chunk("SSND", be32(offset) + be32(0) + std::string(offset, '\0') + data);
}

std::string comment_entry(const std::string& text) {
    const std::string pad = text.size() % 2 == 1 ? std::string(1, '\0') : std::string();
    return be32(0) + be16(0) + be16(static_cast<uint16_t>(text.size())) + text + pad;
}

std::string spw_header(int rate, int points, const std::string& signal_type,
                       const std::string& comment) {
    char numbers[96];
    std::snprintf(numbers, sizeof numbers, "Sampling Frequency = %7d\nNumber of points = %11d\n",
                  rate, points);
    return "$SIGNAL_FILE 9\n$USER_COMMENT\n" + comment +
           "$COMMON_INFO\nSPW Version = 3.10\nSystem Type = sun4\n" + numbers +
           "Starting Time = 0\n$DATA_INFO\nSignal Type = " + signal_type +
           "\nFixed Point Format = <16,15,t>\n$DATA BINARY\n";
}

H512Words h512_words(int channels, int rate, int32_t marker, int32_t samples) {
    H512Words w{};
    w[54] = samples;
    w[60] = 0;
    w[61] = rate;
    w[62] = marker;
    w[63] = 32149;
    w[64] = 123456;
    w[65] = channels - 1;
    return w;
}

std::string h512_file(const H512Words& words, bool big_endian, const std::string& data) {
    std::string out;
    for (int32_t w : words) {
        const std::string b = be32(static_cast<uint32_t>(w));
        out += big_endian ? b : std::string(b.rbegin(), b.rend());
    }
    return out + data;
}

} // namespace testsupport
