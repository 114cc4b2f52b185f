// The encoding run. The encoder and the audio file readers are being built; until they are in,
// this build can only say so.
#include "cli/settings.h"

namespace cli {

int run_encoding(const Settings&, std::FILE* output, const char* input_name) {
    std::fprintf(stderr, "\n%s: encoding is not available in this build yet\n", input_name);
    if (output != stdout) std::fclose(output);
    return 1;
}

} // namespace cli
