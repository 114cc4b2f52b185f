// Messages on standard error; standard output carries only data. The programs that read streams
// report in one line led by the program's name ("vantrel-decode: cannot open x.sbc: No such file
// or directory"); the encoder keeps its own texts, which begin with a line feed.
#pragma once

#include <cstdio>
#include <span>

namespace cli {

// Set once by main: the name every message starts with.
inline const char* program_name = "vantrel";

// Prints "<program_name>: ", the formatted text and a line feed on standard error.
[[gnu::format(printf, 1, 2)]] void report(const char* format, ...);

// Prints a program's usage text, line by line as it stands (each with its own line feed):
// on standard error for -h and refused options, on standard output for --help.
void print_usage(std::span<const char* const> lines, std::FILE* stream = stderr);

// The toolkit's version ("1.5"), the same for every program and library of the build.
extern const char* const version;

// The answer to the long options every program takes (options.h), on standard output: the usage
// for --help, "<program_name> <version>" for --version. True when `option` was one of them; the
// program then ends with status 0.
bool answer_long_option(int option, std::span<const char* const> usage_lines);

} // namespace cli
