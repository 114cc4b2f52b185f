// Test support: a C stream over bytes in memory whose reads fail after a given number of bytes,
// as a disk or a network mount may fail in the middle of a file.
//
//   std::FILE* s = failing_stream(wav, 4096);   // 4096 bytes read fine, then EIO
//
// The stream cannot seek or tell its position, like a pipe. It frees its bytes when closed.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace testsupport {

std::FILE* failing_stream(std::string bytes, std::size_t fail_after);

} // namespace testsupport
