// Opening the input and reading it into the scanner: see input.h.
#include "cli/common/input.h"

#include "cli/common/files.h"
#include "cli/common/options.h"
#include "cli/common/report.h"
#include "cli/common/stop.h"

#include <algorithm>
#include <array>
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

namespace {

// One read of at most `space.size()` bytes: more (and `got`), ended, failed or stopped.
Feed read_some(Input& input, std::span<uint8_t> space, size_t& got) {
    if (!input.ahead.empty()) {
        got = std::min(space.size(), input.ahead.size());
        std::copy_n(input.ahead.begin(), got, space.begin());
        input.ahead.erase(0, got);
        return Feed::more;
    }
    for (;;) {
        if (!input.regular && !wait_readable(input.fd)) return Feed::stopped;
        const ssize_t n = read(input.fd, space.data(), space.size());
        if (n > 0) {
            got = static_cast<size_t>(n);
            return Feed::more;
        }
        if (n == 0) return Feed::ended;
        if (errno == EINTR) {
            if (stop_requested()) return Feed::stopped;
            continue;
        }
        if (errno == EAGAIN) continue; // a non-blocking descriptor: wait_readable waits
        report("cannot read %s: %s", input.name.c_str(), std::strerror(errno));
        return Feed::failed;
    }
}

} // namespace

Feed feed_scanner(Input& input, sbc::StreamScanner& scanner) {
    size_t got = 0;
    const Feed feed = read_some(input, sbc::scanner_space(scanner), got);
    if (feed == Feed::more) sbc::scanner_commit(scanner, got);
    if (feed == Feed::ended) sbc::scanner_finish(scanner);
    return feed;
}

Feed feed_capture(Input& input, capture::CaptureReader& reader) {
    size_t got = 0;
    const Feed feed = read_some(input, capture::capture_space(reader), got);
    if (feed == Feed::more) capture::capture_commit(reader, got);
    if (feed == Feed::ended) capture::capture_finish(reader);
    return feed;
}

bool input_is_capture(Input& input, bool& failed) {
    failed = false;
    std::array<uint8_t, capture::RECOGNITION_BYTES> head{};
    size_t have = input.ahead.size();
    std::copy_n(input.ahead.begin(), std::min(have, head.size()), head.begin());
    input.ahead.clear();
    while (have < head.size() && capture::format_possible(std::span(head).first(have))) {
        size_t got = 0;
        const Feed feed = read_some(input, std::span(head).subspan(have), got);
        if (feed == Feed::ended) break;
        if (feed != Feed::more) {
            failed = true;
            break;
        }
        have += got;
    }
    input.ahead.assign(reinterpret_cast<const char*>(head.data()), have);
    return !failed && capture::format_of(std::span(head).first(have)) != capture::Format::none;
}

} // namespace cli
