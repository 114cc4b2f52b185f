// Descriptor-level file handling shared by the programs: see files.h.
#include "cli/common/files.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cli {

namespace {

bool same_regular_file(int output_fd, const struct stat& input) {
    struct stat output {};
    return fstat(output_fd, &output) == 0 && S_ISREG(output.st_mode) &&
           output.st_dev == input.st_dev && output.st_ino == input.st_ino;
}

} // namespace

int above_standard_streams(int fd) {
    if (fd < 0 || fd > 2) return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    return moved;
}

int open_for_output(const char* name) {
    return above_standard_streams(open(name, O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
}

int write_all(int fd, std::span<const uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t written = write(fd, bytes.data(), bytes.size());
        if (written > 0) {
            bytes = bytes.subspan(static_cast<size_t>(written));
        } else if (written < 0 && errno == EAGAIN) {
            pollfd ready{fd, POLLOUT, 0};
            poll(&ready, 1, -1);
        } else if (written == 0) {
            return EIO; // a write that takes nothing would take nothing forever
        } else if (errno != EINTR) {
            return errno;
        }
    }
    return 0;
}

bool output_is_input(int output_fd, int input_fd) {
    struct stat input {};
    return fstat(input_fd, &input) == 0 && same_regular_file(output_fd, input);
}

bool output_is_input(int output_fd, const char* input_path) {
    struct stat input {};
    return stat(input_path, &input) == 0 && same_regular_file(output_fd, input);
}

} // namespace cli
