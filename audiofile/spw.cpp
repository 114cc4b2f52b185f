// The SPW signal-file reader (a text header whose first line begins "$SIGNAL_FILE").
//
// Not in this build yet: every file is refused without reading, so the look-ahead record passes
// unchanged to the 512-byte-header reader.
#include "audiofile/detect.h"

namespace audiofile {

int read_spw_header([[maybe_unused]] std::FILE* stream, [[maybe_unused]] AudioInfo& info) {
    return SPW_REFUSED;
}

} // namespace audiofile
