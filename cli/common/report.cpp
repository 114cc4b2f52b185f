// One message line on standard error, in one write so that lines of programs that share the
// terminal do not interleave; the usage texts; the answers to --help and --version.
#include "cli/common/report.h"

#include "cli/common/options.h"

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

void print_usage(std::span<const char* const> lines, std::FILE* stream) {
    for (const char* line : lines) std::fputs(line, stream);
}

const char* const version = VANTREL_VERSION_TEXT;

bool answer_long_option(int option, std::span<const char* const> usage_lines) {
    if (option == HELP_OPTION) {
        print_usage(usage_lines, stdout);
    } else if (option == VERSION_OPTION) {
        std::printf("%s %s\n", program_name, version);
    } else {
        return false;
    }
    return true;
}

} // namespace cli
