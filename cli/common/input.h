// Reading a stream of frames for the programs that decode or inspect one.
//
//   Input in;  open_input("song.sbc", in);           // "-" and "AUDIO_FROM_STDIN": standard input
//   for (;;) switch (scanner_next(scanner).type) {
//       case need_input: feed_scanner(in, scanner); ...   // reads straight into the window
//
// Each read takes what the input has, up to the scanner's free space (64 KiB at a time from a
// regular file): a pipe's bytes are used as soon as they arrive, never held back to fill a
// buffer. While waiting on a pipe or terminal, a stop signal (stop.h) ends the wait.
#pragma once

#include "capture/capture.h"
#include "sbc/scan.h"

#include <string>

namespace cli {

struct Input {
    int fd = -1;
    std::string name;     // as given, for messages ("standard input" for the reserved names)
    bool regular = false; // a regular file: a read never waits for a writer
    bool owned = false;   // opened here, closed by close_input
    std::string ahead;    // bytes read to recognise the input, given to the reader first
};

// True when `name` stands for standard input.
bool names_standard_input(const char* name);

// The input name once the options are scanned (options.h): the first operand, or "-" when
// a lone "-" (which ends the options) was the last argument; null when there is none.
const char* input_operand(int argc, char* const argv[]);

// Opens the input. false, after "<program>: cannot open <name>: <system error>" on standard
// error, when it cannot be opened.
bool open_input(const char* name, Input& input);
void close_input(Input& input);

enum class Feed {
    more,    // bytes were committed
    ended,   // the input ended: scanner_finish has been called
    failed,  // a read failed: "<program>: cannot read <name>: <system error>" was printed
    stopped, // a stop signal arrived while waiting
};

// One read into the scanner's free space.
Feed feed_scanner(Input& input, sbc::StreamScanner& scanner);

// Reads the input's first bytes (up to capture::RECOGNITION_BYTES, fewer when it ends) and tells
// whether they begin a capture of a Bluetooth link; they are kept in `ahead` for the reader.
// false also when the read failed (after the message) or a stop signal came: `failed` says so.
bool input_is_capture(Input& input, bool& failed);

// One read into the capture reader's free space (capture_finish at the end of the input).
Feed feed_capture(Input& input, capture::CaptureReader& reader);

} // namespace cli
