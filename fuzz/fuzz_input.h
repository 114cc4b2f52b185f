// Reading the fuzzer's bytes: numbers taken from the front, and a read-only C stream over the
// rest that cannot seek or tell its position, like a pipe (recognition and reading must never
// rely on seeking).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace fuzzcheck {

// The next 4 bytes as a number (fewer at the end, zero-filled), taken off the front.
inline std::int32_t take(const std::uint8_t*& data, std::size_t& size) {
    std::int32_t v = 0;
    const std::size_t n = size < sizeof v ? size : sizeof v;
    std::memcpy(&v, data, n);
    data += n;
    size -= n;
    return v;
}

struct PipeBytes {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    std::size_t position = 0;
};

inline ssize_t read_pipe_bytes(void* cookie, char* buffer, std::size_t size) {
    auto& pipe = *static_cast<PipeBytes*>(cookie);
    const std::size_t n = std::min(size, pipe.size - pipe.position);
    if (n > 0) std::memcpy(buffer, pipe.data + pipe.position, n);
    pipe.position += n;
    return static_cast<ssize_t>(n);
}

// `pipe` must outlive the stream.
inline std::FILE* pipe_stream(PipeBytes& pipe) {
    const cookie_io_functions_t functions{read_pipe_bytes, nullptr, nullptr, nullptr};
    return fopencookie(&pipe, "rb", functions);
}

} // namespace fuzzcheck
