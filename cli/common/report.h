// Messages on standard error; standard output carries only data. The programs that read streams
// report in one line led by the program's name ("vantrel-decode: cannot open x.sbc: No such file
// or directory"); the encoder keeps its own texts, which begin with a line feed.
#pragma once

#include <span>

namespace cli {

// Set once by main: the name every message starts with.
inline const char* program_name = "vantrel";

// Prints "<program_name>: ", the formatted text and a line feed on standard error.
[[gnu::format(printf, 1, 2)]] void report(const char* format, ...);

// Prints a program's usage text, line by line as it stands (each with its own line feed).
void print_usage(std::span<const char* const> lines);

} // namespace cli
