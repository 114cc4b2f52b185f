// One message line on standard error, in one write so that lines of programs that share the
// terminal do not interleave; and the usage texts.
#include "cli/common/report.h"

#include <array>
#include <cstdarg>
#include <cstdio>

namespace cli {

void report(const char* format, ...) {
    std::array<char, 1024> line{};
    int used = std::snprintf(line.data(), line.size(), "%s: ", program_name);
    used = used < 0 ? 0 : used;
    va_list args;
    va_start(args, format);
    const auto at = static_cast<size_t>(used) < line.size() ? static_cast<size_t>(used) : 0;
    std::vsnprintf(line.data() + at, line.size() - at, format, args);
    va_end(args);
    std::fprintf(stderr, "%s\n", line.data());
}

void print_usage(std::span<const char* const> lines) {
    for (const char* line : lines) std::fputs(line, stderr);
}

} // namespace cli
