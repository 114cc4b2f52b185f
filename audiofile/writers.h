// The header writers: the header of a new audio file, written by audio_open in mode "w" from the
// caller's AudioInfo. The sample type alone chooses the container:
//
//   0, 13, 14          512-byte header       write_h512_header
//   2..5, 7..10, 27, 28  AIFF / AIFC         write_aiff_header
//   11, 12             SPW text header       write_spw_header
//   16..19, 29, 30     WAVE                  write_wave_header
//   21..26             Sun audio             write_sun_header
//
// Every other code (1, 6, 15, 20, below 0, above 30) has no writer. The sizes and counts written
// are those of the AudioInfo at open time; nothing returns to the header later. A caller that
// writes a file whose length it learns only at the end writes the header of unknown length (or
// the exact one with a count of 0) first, and write_header again over it at the end when the
// file can seek: for every container both are the same length, except SPW's, whose header of
// unknown length has one line fewer.
#pragma once

#include "audiofile/audiofile.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string_view>

namespace audiofile {

// Why `info` cannot be written, as a short text for a message; empty (text[0] == 0) when it can.
// Refused: a sample type without a writer, channels below 1, a negative num_samples or
// sampling_frequency, and a size, count or channel number that a field of the chosen header
// cannot hold (every size computed in 64 bits, so none is ever written wrapped).
struct HeaderProblem {
    std::array<char, 128> text{};
    bool ok() const { return text[0] == '\0'; }
};
HeaderProblem header_problem(const AudioInfo& info);

// Writes the header chosen by info.sample_type and flushes the stream. 0 when every byte reached
// the stream's destination; -1 when a write or the flush failed (errno tells why) or when
// header_problem refuses `info` (nothing is written then).
int write_header(std::FILE* stream, const AudioInfo& info);

// write_header for a stream whose length is not known when its header is written, and may
// never be (a pipe): num_samples is ignored, and the sizes and counts are the placeholders that
// this library, sox and ffmpeg take for "not known: read the data to its end":
//   WAVE         RIFF size and data size 0xFFFFFFFF
//   Sun          data size 0xFFFFFFFF
//   AIFF, AIFC   frame count 0, FORM and SSND sizes 0xFFFFFFFF
//   512-byte     sample count (word 54) and block count (word 5) 0
//   SPW          no "Number of points" line
// Results as write_header.
int write_header_unknown_length(std::FILE* stream, const AudioInfo& info);

// The writers, each for its own codes only (-1 and nothing written for any other code), with the
// results of write_header; they do not flush.
int write_h512_header(std::FILE* stream, const AudioInfo& info);
int write_aiff_header(std::FILE* stream, const AudioInfo& info);
int write_wave_header(std::FILE* stream, const AudioInfo& info);
int write_sun_header(std::FILE* stream, const AudioInfo& info);
int write_spw_header(std::FILE* stream, const AudioInfo& info);

// The 80-bit IEEE extended form of x (sign, 15-bit exponent biased by 16383, 64-bit mantissa with
// an explicit integer bit), most significant byte first: 44100 -> 40 0E AC 44 00 00 00 00 00 00.
// 0 and -0 give ten zero bytes; infinities (and NaN) give exponent 7FFF with a zero mantissa.
void double_to_extended(double x, std::span<std::uint8_t, 10> out);

// Stores `text` as a padded Pascal string: a count byte, the text, and a zero byte when the count
// is even, so that the whole is even. Texts longer than 255 characters are cut to 255. Returns
// the bytes stored, or 0 (nothing stored) when `dest` is too small.
std::size_t write_pstring(std::span<std::uint8_t> dest, std::string_view text);

} // namespace audiofile
