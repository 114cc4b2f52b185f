// The SPW signal-file reader: a text header of lines, then binary samples (always one channel).
//
//   $SIGNAL_FILE 9\n                 first line; its first bytes come from the look-ahead record
//   $USER_COMMENT\n                  the next line (line feed included) becomes the comment
//   ...\n                            the comment line
//   $COMMON_INFO\n                   other "$" lines: section headings, ignored
//   Sampling Frequency = 16000\n     key = value: the key is everything before the first "=",
//   Signal Type = Fixedpoint\n       the value the first blank/tab-separated token after it
//   $DATA BINARY\n  or  $DATA\n      end of the header: the stream is left at the first sample
//
// Keys are found by containment: "Sampling Frequency" and "Number of points" (numbers, read like
// atoi but saturating at the 32-bit limits), "Signal Type" ("Fixedpoint\n" or "Integer\n": 16-bit
// fixed point; "Double\n" or "Float\n": doubles; the value keeps its line feed, so nothing may
// follow it), "Fixed Point Format" (must be "<16,15,t>\n"). A key line without "=" or without a
// value is ignored. A header without a "Signal Type" line is an error: nothing else tells how
// its samples are stored. Lines are read 254 characters at a time (a longer line comes in pieces);
// nothing is copied into a fixed buffer without a bound.
//
// Recording: the rest of the first line, read from the stream, is recorded (within the record's
// capacity), so that the 512-byte-header reader replays the real bytes when this reader refuses.
// A first line holding a NUL byte is not text: refused. A header cut inside a line is an error.
#include "audiofile/detect.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace audiofile {

namespace {

constexpr std::size_t line_limit = 254;
constexpr std::string_view signature = "$SIG";
constexpr std::string_view first_token = "$SIGNAL_FILE";
constexpr std::string_view token_separators = " \t";

constexpr std::array<std::pair<std::string_view, std::int32_t>, 4> signal_types = {{
    {"Fixedpoint\n", ST_SPW_FIXED16},
    {"Integer\n", ST_SPW_FIXED16},
    {"Double\n", ST_SPW_DOUBLE},
    {"Float\n", ST_SPW_DOUBLE},
}};
constexpr std::string_view fixed_point_format = "<16,15,t>\n";

// What the header gives; unset fields leave the caller's values alone.
struct SpwHeader {
    std::optional<std::int32_t> rate;
    std::optional<std::int32_t> points;
    std::optional<std::int32_t> sample_type;
    std::optional<std::string> comment;
};

struct Line {
    std::string text;
    bool cut = false; // the stream ended before its line feed
};

// Up to `limit` characters, through the line feed when it comes within the limit.
Line read_line(std::FILE* stream, std::size_t limit) {
    Line line;
    while (line.text.size() < limit) {
        const int c = std::fgetc(stream);
        if (c == EOF) {
            line.cut = !line.text.empty();
            break;
        }
        line.text.push_back(static_cast<char>(c));
        if (c == '\n') break;
    }
    return line;
}

std::string_view first_token_of(std::string_view text) {
    const std::size_t start = text.find_first_not_of(token_separators);
    if (start == std::string_view::npos) return {};
    text.remove_prefix(start);
    return text.substr(0, text.find_first_of(token_separators));
}

// Like atoi (leading white space, a sign, digits up to the first other character), but limited
// to the 32-bit range instead of overflowing.
std::int32_t saturating_atoi(std::string_view text) {
    const auto is_space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    std::size_t i = 0;
    while (i < text.size() && is_space(text[i])) ++i;
    const bool negative = i < text.size() && text[i] == '-';
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
    std::int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        value = std::min<std::int64_t>(value * 10 + (text[i] - '0'), std::int64_t{INT32_MAX} + 1);
    if (negative) return static_cast<std::int32_t>(-value);
    return static_cast<std::int32_t>(std::min<std::int64_t>(value, INT32_MAX));
}

// The first line: the replayed bytes and the rest of the line from the stream. 0 when it is an
// SPW signal file's, else the reader's result.
int read_first_line(std::FILE* stream) {
    const auto replay = lookahead_replay();
    if (lookahead().dropped > 0) return SPW_REFUSED;
    std::string line(replay.begin(), replay.end());
    if (line.find('\0') != std::string::npos) return SPW_REFUSED;
    if (line.find(signature) == std::string::npos) return SPW_REFUSED;
    const Line rest = read_line(stream, line_limit);
    lookahead_record(
        std::span(reinterpret_cast<const std::uint8_t*>(rest.text.data()), rest.text.size()));
    line += rest.text;
    if (first_token_of(line) != first_token) return SPW_REFUSED;
    if (rest.cut) {
        std::fputs("read_spw_header: file ends inside the first line\n", stderr);
        return SPW_ERROR;
    }
    return 0;
}

// A key line. 0, or SPW_ERROR for a signal type or fixed-point format that is not read.
int apply_key_line(std::string_view line, SpwHeader& header) {
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) return 0;
    const std::string_view key = line.substr(0, equals);
    const std::string_view value = first_token_of(line.substr(equals + 1));
    if (value.empty() || value == "\n") return 0;
    const auto has = [&](std::string_view name) { return key.find(name) != key.npos; };
    if (has("Sampling Frequency")) {
        header.rate = saturating_atoi(value);
    } else if (has("Number of points")) {
        header.points = saturating_atoi(value);
    } else if (has("Signal Type")) {
        const auto match = std::find_if(signal_types.begin(), signal_types.end(),
                                        [&](const auto& entry) { return entry.first == value; });
        if (match == signal_types.end()) return SPW_ERROR;
        header.sample_type = match->second;
    } else if (has("Fixed Point Format")) {
        if (value != fixed_point_format) return SPW_ERROR;
    }
    return 0;
}

void report_cut_line() {
    std::fputs("read_spw_header: file ends inside a header line\n", stderr);
}

// The lines after the first, up to "$DATA" or the end of the stream.
int read_header_lines(std::FILE* stream, SpwHeader& header) {
    for (;;) {
        const Line line = read_line(stream, line_limit);
        if (line.text.empty()) return 0;
        if (line.cut) {
            report_cut_line();
            return SPW_ERROR;
        }
        const std::string_view text = line.text;
        if (text == "$USER_COMMENT\n") {
            const Line comment = read_line(stream, line_limit);
            if (comment.cut) {
                report_cut_line();
                return SPW_ERROR;
            }
            if (!comment.text.empty()) header.comment = comment.text;
        } else if (text == "$DATA ASCII\n") {
            return SPW_ERROR;
        } else if (text == "$DATA BINARY\n" || text == "$DATA\n") {
            return 0;
        } else if (text[0] != '$' && apply_key_line(text, header) != 0) {
            return SPW_ERROR;
        }
    }
}

} // namespace

int read_spw_header(std::FILE* stream, AudioInfo& info) {
    if (const int first = read_first_line(stream); first != 0) return first;
    SpwHeader header;
    if (read_header_lines(stream, header) != 0) return SPW_ERROR;
    if (!header.sample_type) { // nothing says how the samples are stored: refuse to guess
        std::fputs("read_spw_header: no Signal Type line, the sample type is unknown\n", stderr);
        return SPW_ERROR;
    }
    info.channels = 1;
    if (header.rate) info.sampling_frequency = *header.rate;
    if (header.points && store_sample_count(std::max(*header.points, 0), info) != 0)
        return SPW_ERROR;
    info.sample_type = *header.sample_type;
    if (header.comment) {
        info.comment = {};
        std::copy_n(header.comment->begin(),
                    std::min(header.comment->size(), info.comment.size() - 1),
                    info.comment.begin());
    }
    info.data_offset = data_offset_of(stream);
    set_reader_defaults(info);
    return 0;
}

} // namespace audiofile
