// Test support, preloaded into the program (LD_PRELOAD): positioned reads fail from the byte
// offset in VANTREL_FAIL_AT on, as a disk fails at a bad sector. A read that reaches the offset
// returns the bytes before it; a read from the offset on fails with EIO. With VANTREL_STALL_AT
// instead, a read that reaches its offset never returns, as on a file system that stopped
// answering. Plain reads (and every read while neither is set) are left alone.
#include <cerrno>
#include <cstdlib>
#include <dlfcn.h>
#include <unistd.h>

namespace {

using Pread = ssize_t (*)(int, void*, size_t, off_t);

ssize_t failing_pread(int fd, void* buffer, size_t count, off_t offset) {
    static const auto next = reinterpret_cast<Pread>(dlsym(RTLD_NEXT, "pread64"));
    if (const char* stall = std::getenv("VANTREL_STALL_AT");
        stall != nullptr && offset + static_cast<off_t>(count) > std::atoll(stall))
        for (;;) pause();
    const char* text = std::getenv("VANTREL_FAIL_AT");
    if (text != nullptr) {
        const off_t failing = std::atoll(text);
        if (offset >= failing) {
            errno = EIO;
            return -1;
        }
        if (static_cast<off_t>(count) > failing - offset)
            count = static_cast<size_t>(failing - offset);
    }
    return next(fd, buffer, count, offset);
}

} // namespace

extern "C" ssize_t pread(int fd, void* buffer, size_t count, off_t offset) {
    return failing_pread(fd, buffer, count, offset);
}

extern "C" ssize_t pread64(int fd, void* buffer, size_t count, off_t offset) {
    return failing_pread(fd, buffer, count, offset);
}
