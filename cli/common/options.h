// The command line's option scanner: single-character options in the classic manner.
//
//   vantrel -jsv -l8 -n 4 -o out.sbc -- input.wav
//           ^^^^ clustered flags     ^^ ends the options; so does a lone "-"
//                ^^^ value attached
//                    ^^^^ value in the next argument
//
// Each call of `scan` returns the next option letter, '?' for a refused one, or -1 when the
// options are exhausted; `scanner.option_index` then names the first operand. A letter followed
// by ':' in the option string takes a value, which `scanner.option_value` points at.
//
// Two long options are known to every program: "--help" and "--version" (HELP_OPTION and
// VERSION_OPTION); any other argument of two dashes and a name is refused as an unknown letter is.
//
// The state is process-wide and is never reset: the program scans its arguments once.
#pragma once

namespace cli {

struct ScannerState {
    int option_index = 1;            // next argument to examine; afterwards the first operand
    const char* next_char = nullptr; // position inside a cluster of flags, null between arguments
    const char* option_value = nullptr; // value of the option just returned, if it takes one
    int report_errors = 1;              // non-zero: refusals are reported on standard error
    char switch_char = '-';             // the character that introduces options
};

inline ScannerState scanner;

// What `scan` returns for "--help" and "--version": values no option letter has.
inline constexpr int HELP_OPTION = 0x100;
inline constexpr int VERSION_OPTION = 0x101;

// Returns the option character, HELP_OPTION or VERSION_OPTION, '?' for a refused option (a
// letter outside `options`, ':', a missing value or an unknown long option: errno is set to
// EINVAL and, when reporting, the C library's text for it is printed after "get command line
// option: "), or -1 when the options are exhausted.
int scan(int argc, char* const argv[], const char* options);

// Converts an option value as the C library's atoi does (leading blanks, an optional sign, the
// digits up to the first non-digit; no digits gives 0), except that a value beyond the int range
// saturates at INT_MIN or INT_MAX instead of being undefined.
int option_number(const char* text);

} // namespace cli
