// What the tests of vantrel-decode and vantrel-info share: the programs, and reading the audio a
// run wrote back through the audio file library. (A program fed live through pipes is
// testsupport::LiveProcess, process.h.)
#pragma once

#include "process.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace toolstest {

std::string decode_binary();
std::string info_binary();

// Audio read back through the audio file library, as the encoder would read it.
struct ReadBack {
    bool opened = false;
    int channels = 0, rate = 0, sample_type = -1;
    bool count_known = false;
    long long count = 0;         // what the header (or the file size) says
    std::vector<double> samples; // every sample read, interleaved
};
ReadBack read_back(const std::filesystem::path& file);

// The sample frames a WAVE, Sun, AIFF/AIFC or 512-byte header states in its own fields (16-bit
// samples), or -1 when it states none (a placeholder) or the file is none of these.
long long header_count(const std::filesystem::path& file);

// Little-endian 16-bit or 32-bit float samples from bytes.
std::vector<int16_t> pcm16(const std::string& bytes);
std::vector<float> float32(const std::string& bytes);

} // namespace toolstest
