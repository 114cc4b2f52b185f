// Test support: Sun, AIFF/AIFC, SPW and 512-byte-header files built from readable parts.
//
//   sun_file(3, 44100, 2, pcm16_be(samples))                       ".snd", 24-byte header
//   form("AIFF", aiff_chunk("COMM", comm_fields(2, 100, 16, 44100)) + ssnd(pcm16_be(samples)))
//   spw_file(spw_header(16000, 48000, "Fixedpoint"), data)
//   H512Words w = h512_words(2, 44100, -32000); h512_file(w, big_endian, data)
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

std::string be16(uint16_t v);
std::string be32(uint32_t v);
std::string pcm16_be(const std::vector<int16_t>& samples);
std::string float32_be(const std::vector<float>& samples);

// Sun audio: data offset 24 + annotation size, the data size (the data's unless given), the
// encoding, rate and channels, the annotation, the data.
std::string sun_file(uint32_t encoding, uint32_t rate, uint32_t channels, const std::string& data,
                     std::optional<uint32_t> data_size = std::nullopt,
                     const std::string& annotation = "");

// id, big-endian size (the body's unless given), body, pad byte when the body is odd.
std::string aiff_chunk(const std::string& id, const std::string& body,
                       std::optional<uint32_t> size = std::nullopt);
// "FORM", size, form type, chunks.
std::string form(const std::string& type, const std::string& chunks);
// The 80-bit extended number of `value` (finite).
std::string extended(double value);
// COMM fields; for AIFC add the compression type and its name (a Pascal string, padded).
std::string comm_fields(int channels, uint32_t frames, int bits, double rate,
                        const std::string& compression = "", const std::string& name = "");
// The SSND chunk: offset, block size 0, `offset` zero bytes, the data.
std::string ssnd(const std::string& data, uint32_t offset = 0);
// One comment of a COMT chunk (time stamp 0, marker 0, the text and its pad byte).
std::string comment_entry(const std::string& text);

// An SPW header as its writer lays it out, with a user comment line, ending with "$DATA BINARY".
std::string spw_header(int rate, int points, const std::string& signal_type,
                       const std::string& comment = "a comment\n");

// The 128 header words of the 512-byte-header format: rate as exponent 0, channels − 1 in word
// 65, word 54 = `samples`, check word `marker`.
using H512Words = std::array<int32_t, 128>;
H512Words h512_words(int channels, int rate, int32_t marker, int32_t samples = 0);
std::string h512_file(const H512Words& words, bool big_endian, const std::string& data);

} // namespace testsupport
