// Test support: one small valid file of every container and sample width, written by the audio
// library's own header writers and filled with a two-tone signal: the seeds of the fuzzers and
// the subjects of the corruption sweep.
//
//   for (const SampleFile& f : sample_files()) write_file(dir / f.name, f.bytes);
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace testsupport {

struct SampleFile {
    std::string name;    // e.g. "sun_pcm24.au"
    int32_t sample_type; // the ST_* code it was written with
    int channels;
    int frames;        // sample frames of data
    std::string bytes; // header and samples
};

// Test names and reports show the file's name, not its bytes.
inline void PrintTo(const SampleFile& file, std::ostream* os) {
    *os << file.name;
}

// Every sample type that has a header writer, at 44100 Hz; `frames` sample frames each (stereo,
// except SPW files, which are mono).
std::vector<SampleFile> sample_files(int frames = 300);

// The samples of `unit` (values in -1..1) stored as `sample_type` stores them: integers at full
// scale of their width, floats as they are (times 32767 for the SPW and 512-byte-header floats,
// whose containers define no full scale), in the container's byte order.
std::string stored_samples(int32_t sample_type, const std::vector<double>& unit);

} // namespace testsupport
