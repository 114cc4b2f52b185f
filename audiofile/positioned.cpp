// Reads at a position: the sample frames of a regular file, read where they lie, by any number
// of threads at once.
//
//   file:  [ header … | frame 0 | frame 1 | … | frame n | … ]
//                     ▲ data_offset        ▲ data_offset + n × frame bytes
//
// pread takes the bytes of a run of frames straight into the caller's memory; the stream, its
// position and the handle's buffer are left alone, so readers never wait for one another and
// audio_read on the handle is not disturbed. (A mapping of the file would save the copy, but a
// file cut short while mapped ends the process with SIGBUS; a short pread is just the end.)
// A read that fails part of the way keeps the whole frames before the failure, as the stream
// reads do. The conversions are audio_read's own (read.cpp), applied to the caller's bytes.
#include "audiofile/stored.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace audiofile {

namespace {

using Bytes = std::span<const std::uint8_t>;

// Bytes of one stored frame of every channel; 0 when `info` has no conversion.
std::size_t frame_bytes_of(const AudioInfo& info) {
    if (info.channels < 1) return 0;
    return stored_layout(info).sample_bytes * static_cast<std::size_t>(info.channels);
}

} // namespace

bool audio_positioned(const AudioFile& file) {
    if (file.access == ACCESS_WRITE || !file.stream || file.info == nullptr || file.decoder)
        return false;
    if (frame_bytes_of(*file.info) == 0 || file.info->data_offset < 0) return false;
    const int fd = fileno(file.stream.get());
    struct stat status {};
    if (fd < 0 || fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return false;
    return ftello(file.stream.get()) == file.info->data_offset;
}

std::int64_t audio_read_raw_at(const AudioFile& file, std::int64_t first,
                               std::span<std::byte> bytes, int& error) {
    error = EINVAL;
    if (file.access == ACCESS_WRITE || !file.stream || file.info == nullptr || file.decoder ||
        first < 0)
        return -1;
    const AudioInfo& info = *file.info;
    const std::size_t frame_bytes = frame_bytes_of(info);
    const int fd = fileno(file.stream.get());
    if (frame_bytes == 0 || info.data_offset < 0 || fd < 0) return -1;
    const std::size_t wanted = bytes.size() - bytes.size() % frame_bytes;
    constexpr auto reach = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
    const auto start = static_cast<std::uint64_t>(info.data_offset);
    if (wanted > reach - start ||
        static_cast<std::uint64_t>(first) > (reach - start - wanted) / frame_bytes)
        return -1;
    const auto offset = static_cast<off_t>(start + static_cast<std::uint64_t>(first) * frame_bytes);

    error = 0;
    std::size_t got = 0;
    while (got < wanted) {
        const ssize_t n =
            pread(fd, bytes.data() + got, wanted - got, offset + static_cast<off_t>(got));
        if (n > 0) {
            got += static_cast<std::size_t>(n);
        } else if (n == 0) {
            break; // the file ends here
        } else if (errno != EINTR) {
            error = errno != 0 ? errno : EIO;
            break;
        }
    }
    return static_cast<std::int64_t>(got / frame_bytes);
}

std::int64_t audio_convert_frames(const AudioInfo& info, std::span<const std::byte> bytes,
                                  std::span<double> values) {
    const std::size_t frame_bytes = frame_bytes_of(info);
    if (frame_bytes == 0) return -1;
    const auto channels = static_cast<std::size_t>(info.channels);
    const std::size_t frames = std::min(bytes.size() / frame_bytes, values.size() / channels);
    const Bytes stored(reinterpret_cast<const std::uint8_t*>(bytes.data()), frames * frame_bytes);
    decode_stored(info, stored, values.first(frames * channels));
    return static_cast<std::int64_t>(frames);
}

bool audio_words_to_samples16(const AudioInfo& info, std::span<std::int16_t> words) {
    switch (stored_layout(info).words16) {
    case Words16::native:
        return true;
    case Words16::swapped:
        for (std::int16_t& w : words) {
            const auto u = static_cast<std::uint16_t>(w);
            w = static_cast<std::int16_t>(static_cast<std::uint16_t>(u << 8 | u >> 8));
        }
        return true;
    default:
        return false;
    }
}

} // namespace audiofile
