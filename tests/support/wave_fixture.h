// Test support: WAVE files built from readable parts.
//
//   std::string wav = wave_file(2, 44100, 16, pcm16_le(samples));      // canonical 44-byte header
//   wave_file(1, 48000, 32, float32_le(values), /*format_tag=*/3);     // IEEE float
//
// `data_length` overrides the length written into the "data" chunk header (to promise more or
// less than the bytes that follow).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

std::string le16(uint16_t v);
std::string le32(uint32_t v);

std::string wave_file(int channels, int rate, int bits, const std::string& data, int format_tag = 1,
                      std::optional<uint32_t> data_length = std::nullopt);

// 16-bit PCM in the extensible format (tag 0xFFFE, a 40-byte "fmt "), whose speaker mask is
// `channel_mask`.
std::string wave_extensible_file(int channels, int rate, uint32_t channel_mask,
                                 const std::string& data16);

std::string pcm16_le(const std::vector<int16_t>& samples);
std::string pcm24_le(const std::vector<int32_t>& samples);
std::string pcm32_le(const std::vector<int32_t>& samples);
std::string float32_le(const std::vector<float>& samples);

// Interleaved 16-bit samples of `channels` channels, `frames` instants: a sine per channel at
// `frequency` Hz (channel c at frequency × (c + 1)), amplitude `amplitude` of full scale.
std::vector<double> sine_frames(int channels, int rate, int frames, double frequency,
                                double amplitude);
std::vector<int16_t> to_pcm16(const std::vector<double>& unit_samples);

} // namespace testsupport
