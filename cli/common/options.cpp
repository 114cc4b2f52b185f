// Option scanner: see options.h for the grammar it accepts.
#include "cli/common/options.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace cli {

namespace {

int end_of_options() {
    scanner.next_char = nullptr;
    scanner.option_value = nullptr;
    return -1;
}

// Moves past the current argument when its cluster of flags is used up.
void finish_cluster_if_empty() {
    if (scanner.next_char != nullptr && *scanner.next_char == '\0') {
        scanner.next_char = nullptr;
        ++scanner.option_index;
    }
}

int refuse() {
    scanner.option_value = nullptr;
    errno = EINVAL;
    if (scanner.report_errors != 0) std::perror("get command line option");
    return '?';
}

} // namespace

int scan(int argc, char* const argv[], const char* options) {
    if (scanner.option_index >= argc) return end_of_options();

    if (scanner.next_char == nullptr) {
        const char* arg = argv[scanner.option_index];
        if (arg == nullptr || arg[0] != scanner.switch_char) return end_of_options();
        if (arg[1] == scanner.switch_char) { // "--", or a long option
            ++scanner.option_index;
            const char* name = arg + 2;
            if (*name == '\0') return end_of_options();
            scanner.option_value = nullptr;
            if (std::strcmp(name, "help") == 0) return HELP_OPTION;
            if (std::strcmp(name, "version") == 0) return VERSION_OPTION;
            return refuse();
        }
        scanner.next_char = arg + 1;
    }

    const char letter = *scanner.next_char++;
    if (letter == '\0') { // a lone "-"
        ++scanner.option_index;
        return end_of_options();
    }

    const char* entry = letter == ':' ? nullptr : std::strchr(options, letter);
    if (entry == nullptr) {
        finish_cluster_if_empty();
        return refuse();
    }

    if (entry[1] != ':') {
        finish_cluster_if_empty();
        scanner.option_value = nullptr;
        return letter;
    }

    ++scanner.option_index;
    if (*scanner.next_char != '\0') {
        scanner.option_value = scanner.next_char;
    } else if (scanner.option_index < argc) {
        scanner.option_value = argv[scanner.option_index];
        ++scanner.option_index;
    } else {
        scanner.next_char = nullptr;
        return refuse();
    }
    scanner.next_char = nullptr;
    return letter;
}

int option_number(const char* text) {
    const char* p = text;
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    long long value = 0; // magnitude, capped just above the int range
    for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
        if (value <= static_cast<long long>(INT_MAX) + 1) value = value * 10 + (*p - '0');
    }
    if (negative)
        return value > static_cast<long long>(INT_MAX) ? INT_MIN : static_cast<int>(-value);
    return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

} // namespace cli
