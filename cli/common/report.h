// Messages of the programs that read streams: one line on standard error, led by the program's
// name ("vantrel-decode: cannot open x.sbc: No such file or directory"). Standard output
// carries only data.
#pragma once

namespace cli {

// Set once by main: the name every message starts with.
inline const char* program_name = "vantrel";

// Prints "<program_name>: ", the formatted text and a line feed on standard error.
[[gnu::format(printf, 1, 2)]] void report(const char* format, ...);

} // namespace cli
