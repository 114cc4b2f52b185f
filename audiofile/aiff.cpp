// The AIFF/AIFC reader ("FORM" files with form type "AIFF" or "AIFC", big-endian chunks).
//
// Not in this build yet: every file is refused without reading, so the look-ahead record passes
// unchanged to the later readers.
#include "audiofile/detect.h"

namespace audiofile {

int read_aiff_header([[maybe_unused]] std::FILE* stream, [[maybe_unused]] AudioInfo& info) {
    return AIFF_REFUSED;
}

} // namespace audiofile
