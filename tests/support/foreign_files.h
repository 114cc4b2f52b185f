// Test support: one small file of each container that the audio library hands to libsndfile,
// written by libsndfile itself from a two-tone signal, with where its audio begins: the subjects
// of the cut-file sweep and the seeds of the libsndfile fuzzer.
//
//   for (const ForeignFile& f : foreign_files(5000)) write_file(dir / f.name, f.bytes);
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace testsupport {

struct ForeignFile {
    std::string name;     // e.g. "pcm16.w64"
    std::string bytes;    // the whole file
    std::size_t audio_at; // bytes before the first audio: the header, as the container lays it
    bool declares_length; // the header declares how much audio follows (FLAC, W64, CAF)
    bool lossless;
};

inline void PrintTo(const ForeignFile& file, std::ostream* os) {
    *os << file.name;
}

// FLAC, Ogg Vorbis, Ogg Opus (48 kHz), MP3, W64, CAF and ALAC in CAF, stereo, `frames` sample
// frames each (44.1 kHz unless said). Throws std::runtime_error when libsndfile cannot write one.
std::vector<ForeignFile> foreign_files(int frames);

// `pcm` (interleaved, `channels` each) as libsndfile writes it in `format` (SF_FORMAT_* bits of
// sndfile.h); `name` gives the temporary file its extension. Throws std::runtime_error when
// libsndfile cannot write it.
std::string written_by_libsndfile(const char* name, int format, int rate, int channels,
                                  const std::vector<short>& pcm);

// Interleaved stereo samples as libsndfile writes ALAC in CAF: its packet table before the
// audio, and its last packet read before the first when libsndfile opens the file.
std::string alac_in_caf(const std::vector<int16_t>& stereo);

} // namespace testsupport
