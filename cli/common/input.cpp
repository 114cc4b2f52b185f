// Opening the input and reading it into the scanner: see input.h.
#include "cli/common/input.h"

#include "cli/common/files.h"
#include "cli/common/options.h"
#include "cli/common/report.h"
#include "cli/common/stop.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cli {

bool names_standard_input(const char* name) {
    return std::strcmp(name, "-") == 0 || std::strcmp(name, "AUDIO_FROM_STDIN") == 0;
}

const char* input_operand(int argc, char* const argv[]) {
    const int at = scanner.option_index;
    if (at < argc) return argv[at];
    if (at == argc && at > 1 && std::strcmp(argv[at - 1], "-") == 0) return "-";
    return nullptr;
}

bool open_input(const char* name, Input& input) {
    if (names_standard_input(name)) {
        input.fd = STDIN_FILENO;
        input.name = "standard input";
        input.owned = false;
    } else {
        input.fd = above_standard_streams(open(name, O_RDONLY | O_CLOEXEC));
        input.name = name;
        input.owned = true;
        if (input.fd < 0) {
            report("cannot open %s: %s", name, std::strerror(errno));
            return false;
        }
    }
    struct stat status {};
    input.regular = fstat(input.fd, &status) == 0 && S_ISREG(status.st_mode);
    if (input.regular) posix_fadvise(input.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return true;
}

void close_input(Input& input) {
    if (input.owned && input.fd >= 0) close(input.fd);
    input.fd = -1;
}

Feed feed_scanner(Input& input, sbc::StreamScanner& scanner) {
    const auto space = sbc::scanner_space(scanner);
    for (;;) {
        if (!input.regular && !wait_readable(input.fd)) return Feed::stopped;
        const ssize_t got = read(input.fd, space.data(), space.size());
        if (got > 0) {
            sbc::scanner_commit(scanner, static_cast<size_t>(got));
            return Feed::more;
        }
        if (got == 0) {
            sbc::scanner_finish(scanner);
            return Feed::ended;
        }
        if (errno == EINTR) {
            if (stop_requested()) return Feed::stopped;
            continue;
        }
        if (errno == EAGAIN) continue; // a non-blocking descriptor: wait_readable waits
        report("cannot read %s: %s", input.name.c_str(), std::strerror(errno));
        return Feed::failed;
    }
}

} // namespace cli
