// The programs' files at the level of descriptors: where a newly opened file may sit, how an
// output is opened without destroying anything yet, how every byte gets written, and when an
// output would overwrite the input it is meant to be made from.
//
//   fd = open_for_output(name)       created if missing, never emptied here
//   output_is_input(fd, input) ?     refuse, leaving the file as it is
//   ftruncate(fd, 0) ...             the caller empties it only then
//   write_all(fd, bytes)             every byte, or the system's error
#pragma once

#include <cstdint>
#include <span>

namespace cli {

// `fd` moved above the three standard descriptors when it took one of their numbers (they were
// closed when the program started): otherwise messages (descriptor 2) could land in a file, or
// standard input read the output. -1 stays -1.
int above_standard_streams(int fd);

// Opens `name` for writing, creating it (mode 0666 less the umask) but keeping its bytes, above
// the standard descriptors and closed on exec. The descriptor, or -1 with errno set.
int open_for_output(const char* name);

// Writes all of `bytes` to `fd`: a partial write goes on, a write interrupted by a signal is
// taken up again (so a stop signal never cuts a frame or a sample), and on a descriptor set
// non-blocking by whoever shares it, a full pipe is waited for. 0, or the system's error number
// of the write that failed.
int write_all(int fd, std::span<const uint8_t> bytes);

// True when the output `output_fd` is a regular file and the same file as the input (open as
// `input_fd`, or named `input_path`), compared by device and inode, so that links and other
// spellings of the name count too. Writing such an output would destroy the input.
bool output_is_input(int output_fd, int input_fd);
bool output_is_input(int output_fd, const char* input_path);

} // namespace cli
