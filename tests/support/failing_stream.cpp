#include "failing_stream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace testsupport {

namespace {

struct Source {
    std::string bytes;
    std::size_t fail_after = 0;
    std::size_t position = 0;
};

ssize_t read_source(void* cookie, char* buffer, std::size_t size) {
    auto& source = *static_cast<Source*>(cookie);
    if (source.position >= source.fail_after) {
        errno = EIO;
        return -1;
    }
    const std::size_t end =
        std::min({source.bytes.size(), source.fail_after, source.position + size});
    const std::size_t n = end - source.position;
    std::memcpy(buffer, source.bytes.data() + source.position, n);
    source.position = end;
    return static_cast<ssize_t>(n);
}

int close_source(void* cookie) {
    std::unique_ptr<Source> owned(static_cast<Source*>(cookie));
    return 0;
}

} // namespace

std::FILE* failing_stream(std::string bytes, std::size_t fail_after) {
    auto source = std::make_unique<Source>(Source{std::move(bytes), fail_after, 0});
    const cookie_io_functions_t functions{read_source, nullptr, nullptr, close_source};
    std::FILE* stream = fopencookie(source.get(), "rb", functions);
    if (stream != nullptr) source.release();
    return stream;
}

} // namespace testsupport
