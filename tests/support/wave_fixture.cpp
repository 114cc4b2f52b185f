#include "wave_fixture.h"

#include <cmath>
#include <cstring>

namespace testsupport {

std::string le16(uint16_t v) {
    return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
}

std::string le32(uint32_t v) {
    return le16(static_cast<uint16_t>(v & 0xFFFF)) + le16(static_cast<uint16_t>(v >> 16));
}

std::string wave_file(int channels, int rate, int bits, const std::string& data, int format_tag,
                      std::optional<uint32_t> data_length) {
    const auto block_align = static_cast<uint32_t>(channels * bits / 8);
    const auto length = data_length.value_or(static_cast<uint32_t>(data.size()));
    return "RIFF" + le32(length + 36) + "WAVE" + "fmt " + le32(16) +
           le16(static_cast<uint16_t>(format_tag)) + le16(static_cast<uint16_t>(channels)) +
           le32(static_cast<uint32_t>(rate)) + le32(static_cast<uint32_t>(rate) * block_align) +
           le16(static_cast<uint16_t>(block_align)) + le16(static_cast<uint16_t>(bits)) + "data" +
           le32(length) + data;
}

std::string wave_extensible_file(int channels, int rate, uint32_t channel_mask,
                                 const std::string& data16) {
    const auto block_align = static_cast<uint32_t>(channels * 2);
    const std::string guid_suffix("\0\0\0\0\x10\0\x80\0\0\xAA\0\x38\x9B\x71", 14);
    const std::string fmt =
        le16(0xFFFE) + le16(static_cast<uint16_t>(channels)) + le32(static_cast<uint32_t>(rate)) +
        le32(static_cast<uint32_t>(rate) * block_align) + le16(static_cast<uint16_t>(block_align)) +
        le16(16) + le16(22) + le16(16) + le32(channel_mask) + le16(1) + guid_suffix;
    const auto length = static_cast<uint32_t>(data16.size());
    return "RIFF" + le32(4 + 8 + 40 + 8 + length) + "WAVE" + "fmt " + le32(40) + fmt + "data" +
           le32(length) + data16;
}

std::string pcm16_le(const std::vector<int16_t>& samples) {
    std::string out;
    for (int16_t s : samples) out += le16(static_cast<uint16_t>(s));
    return out;
}

std::string pcm24_le(const std::vector<int32_t>& samples) {
    std::string out;
    for (int32_t s : samples) {
        const auto u = static_cast<uint32_t>(s);
        out += {static_cast<char>(u & 0xFF), static_cast<char>((u >> 8) & 0xFF),
                static_cast<char>((u >> 16) & 0xFF)};
    }
    return out;
}

std::string pcm32_le(const std::vector<int32_t>& samples) {
    std::string out;
    for (int32_t s : samples) out += le32(static_cast<uint32_t>(s));
    return out;
}

std::string float32_le(const std::vector<float>& samples) {
    std::string out;
    for (float f : samples) {
        uint32_t bits = 0;
        std::memcpy(&bits, &f, sizeof bits);
        out += le32(bits);
    }
    return out;
}

std::vector<double> sine_frames(int channels, int rate, int frames, double frequency,
                                double amplitude) {
    constexpr double pi = 3.14159265358979323846;
    std::vector<double> out;
    out.reserve(static_cast<size_t>(channels) * static_cast<size_t>(frames));
    for (int i = 0; i < frames; ++i) {
        for (int c = 0; c < channels; ++c) {
            out.push_back(amplitude * std::sin(2 * pi * frequency * (c + 1) * i / rate));
        }
    }
    return out;
}

std::vector<int16_t> to_pcm16(const std::vector<double>& unit_samples) {
    std::vector<int16_t> out;
    out.reserve(unit_samples.size());
    for (double v : unit_samples) out.push_back(static_cast<int16_t>(std::lround(v * 32767.0)));
    return out;
}

} // namespace testsupport
