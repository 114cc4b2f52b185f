// Fuzz target: any bytes given as a user gives a file that libsndfile or FFmpeg decodes, twice: by
// name (a file in memory with a name, read where libsndfile wants) and through a real pipe (read
// live, through the bounded replay, with a thread writing the bytes as `cat x | vantrel` does).
// Each must end with a handle or a message, never a crash, a hang, or memory past the replay's
// bound (scripts/fuzz's limits catch those); and where the header declares the length of the audio
// (FLAC, W64, CAF; for FFmpeg WavPack, TTA and M4A) the two must deliver the same samples, unless
// the pipe refused the file for needing more than it holds.
//
//   scripts/fuzz 1800 foreign_pipe_fuzz      (build, seed and run for 30 minutes)
#include "audiofile/audiofile.h"

#include <algorithm>
#include <bit>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct Decoded {
    bool opened = false;
    std::vector<double> values;
    std::string messages;
};

// What a run reads: every frame, or at most the count the header declares.
Decoded decode(const std::string& name) {
    constexpr size_t most_values = 1 << 20;
    Decoded d;
    char* text = nullptr;
    size_t length = 0;
    std::FILE* messages = open_memstream(&text, &length);
    std::FILE* const real_stderr = stderr;
    stderr = messages;
    audiofile::AudioInfo info{};
    auto file = audiofile::audio_open(name.c_str(), "r", info);
    d.opened = file != nullptr;
    if (file && info.channels >= 1 && info.channels <= 64) {
        const auto channels = static_cast<size_t>(info.channels);
        std::vector<double> frames(channels * 4096);
        size_t wanted = info.num_samples_known ? static_cast<size_t>(info.num_samples) : SIZE_MAX;
        while (d.values.size() < most_values && wanted > 0) {
            const size_t ask = std::min(wanted, frames.size() / channels);
            const int got =
                audiofile::audio_read_frames(std::span(frames).first(ask * channels), *file);
            if (got <= 0) break;
            d.values.insert(d.values.end(), frames.begin(),
                            frames.begin() + static_cast<std::ptrdiff_t>(got * channels));
            wanted -= static_cast<size_t>(got);
        }
    }
    audiofile::audio_close(file);
    stderr = real_stderr;
    std::fclose(messages);
    d.messages.assign(text, length);
    std::free(text);
    return d;
}

std::string name_of(int fd) {
    return "/dev/fd/" + std::to_string(fd);
}

Decoded by_name(const uint8_t* data, size_t size) {
    const int fd = memfd_create("fuzz", MFD_CLOEXEC);
    if (fd < 0) std::abort();
    for (size_t at = 0; at < size;) {
        const ssize_t n = write(fd, data + at, size - at);
        if (n <= 0) std::abort();
        at += static_cast<size_t>(n);
    }
    Decoded d = decode(name_of(fd));
    close(fd);
    return d;
}

Decoded through_a_pipe(const uint8_t* data, size_t size) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) std::abort();
    std::thread writer([data, size, in = ends[1]] {
        for (size_t at = 0; at < size;) {
            const ssize_t n = write(in, data + at, size - at);
            if (n <= 0) break; // EPIPE: the reading has stopped
            at += static_cast<size_t>(n);
        }
        close(in);
    });
    Decoded d = decode(name_of(ends[0]));
    close(ends[0]);
    writer.join();
    return d;
}

bool declares_length(const uint8_t* data, size_t size) {
    const auto begins = [&](const char* magic, size_t n) {
        return size >= n && std::memcmp(data, magic, n) == 0;
    };
    const bool m4a = size >= 8 && std::memcmp(data + 4, "ftyp", 4) == 0;
    return begins("fLaC", 4) || begins("caff", 4) || begins("riff\x2E\x91\xCF\x11", 8) ||
           begins("wvpk", 4) || begins("TTA1", 4) || m4a;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::signal(SIGPIPE, SIG_IGN); // a reading that stops leaves the writing thread EPIPE
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Decoded named = by_name(data, size);
    const Decoded piped = through_a_pipe(data, size);
    if (!declares_length(data, size)) return 0;
    if (piped.messages.find("through a pipe") != std::string::npos) return 0;
    const auto bits = [](double a, double b) {
        return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b); // NaNs too
    };
    const bool same =
        named.opened == piped.opened && std::equal(named.values.begin(), named.values.end(),
                                                   piped.values.begin(), piped.values.end(), bits);
    if (!same) std::abort(); // a file and a pipe disagree
    return 0;
}
