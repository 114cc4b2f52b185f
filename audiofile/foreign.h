// Inside the library: files that the library's own readers refuse, decoded by libsndfile
// (foreign.cpp), and what recognition hands over to it.
#pragma once

#include "audiofile/audiofile.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <vector>

namespace audiofile {

// True for the ST_DECODED_* codes.
bool is_decoded_type(std::int32_t sample_type);

// Where libsndfile finds the file's bytes.
//   regular file: at `start` (the stream position where recognition began) and on, read where
//                 they lie (real seeks, real length);
//   any other stream: the bytes recognition took (`consumed`, the file's first bytes), then the
//                 stream from where recognition left it.
struct ForeignInput {
    std::optional<std::int64_t> start;  // set for a regular file
    std::vector<std::uint8_t> consumed; // any other stream
};

// Offers the file to libsndfile after the five readers refused it. 0 with `info` filled and
// file.decoder set; NOT_RECOGNIZED when libsndfile cannot read it either or reads it as another
// container than FLAC, Ogg, MP3, W64 or CAF (the caller prints the message; libsndfile's reason
// is printed first when it is more than "not recognised"); -1 after a message for a file that
// libsndfile reads but that cannot be used (a count beyond 31 bits).
int foreign_open(AudioFile& file, AudioInfo& info, ForeignInput input);

// Refills the handle's buffer with whole decoded frames of `frame_bytes` bytes (the frames of
// the file's sample type): as many as fit, fewer on a live handle, so that frames come as the
// data arrives. Returns the frames decoded: 0 at the end of the data and after a failure, which
// is kept in file.read_error (libsndfile's failures with a message). On a regular file the next
// block is decoded meanwhile, on a thread of its own, into a second buffer that the next refill
// swaps with the handle's.
std::size_t foreign_read(AudioFile& file, std::size_t frame_bytes);

} // namespace audiofile
