// The bounded replay of a stream that cannot seek; see replay.h for the picture and the bounds.
//
// Invariants: `held` never grows past REPLAY_HELD_LIMIT and `window` never past REPLAY_WINDOW;
// the window holds positions [max(held.size(), end - REPLAY_WINDOW), end); every byte is taken
// from the stream once, in order, and a failed read is never retried into other bytes.
#include "audiofile/replay.h"

#include <algorithm>
#include <cerrno>

namespace audiofile {

namespace {

// At most this much is asked of the stream at once, so that a live stream's bytes are handed on
// as they come.
constexpr std::size_t stream_step = REPLAY_WINDOW / 4;

constexpr auto window_size = static_cast<std::int64_t>(REPLAY_WINDOW);
constexpr auto held_limit = static_cast<std::int64_t>(REPLAY_HELD_LIMIT);

// Where the next bytes of the stream go: the end of `held` while holding and below the limit,
// else the window's ring at `end` (up to the ring's wrap).
struct Landing {
    std::span<std::uint8_t> bytes;
    bool held = false;
};

Landing landing(ReplayStream& r, std::size_t n) {
    if (r.holding && static_cast<std::int64_t>(r.held.size()) == r.end && r.end < held_limit) {
        n = std::min(n, static_cast<std::size_t>(held_limit - r.end));
        const std::size_t size = r.held.size() + n;
        if (size > r.held.capacity()) // grown by doubling, but never past the limit
            r.held.reserve(std::min(REPLAY_HELD_LIMIT, std::max(size, 2 * r.held.capacity())));
        r.held.resize(size);
        return {std::span(r.held).last(n), true};
    }
    if (r.window.empty()) r.window.resize(REPLAY_WINDOW);
    const auto at = static_cast<std::size_t>(r.end % window_size);
    return {std::span(r.window).subspan(at, std::min(n, REPLAY_WINDOW - at)), false};
}

// Takes up to n bytes from the stream at `end`; false when none came.
bool take(ReplayStream& r, std::size_t n) {
    if (r.ended || r.error != 0) return false;
    const Landing to = landing(r, std::min(n, stream_step));
    const std::size_t want = to.bytes.size();
    std::size_t got = 0;
    while (got < want) {
        errno = 0;
        got += std::fread(to.bytes.data() + got, 1, want - got, r.stream);
        if (got == want) break;
        if (!std::ferror(r.stream)) {
            r.ended = true;
            break;
        }
        if (errno != EINTR) {
            r.error = errno != 0 ? errno : EIO;
            break;
        }
        std::clearerr(r.stream);
    }
    if (to.held) r.held.resize(r.held.size() - (want - got));
    r.end += static_cast<std::int64_t>(got);
    return got > 0;
}

// Whether a read at `at`, past the end, may take the stream's bytes up to it.
bool may_read_ahead(const ReplayStream& r, std::int64_t at, std::size_t n) {
    if (at - r.end <= REPLAY_READ_AHEAD) return true;
    return r.reaching_far && r.holding && static_cast<std::int64_t>(r.held.size()) == r.end &&
           at + static_cast<std::int64_t>(n) <= held_limit;
}

} // namespace

void replay_start(ReplayStream& replay, std::FILE* stream, std::vector<std::uint8_t> consumed) {
    replay = ReplayStream{};
    replay.stream = stream;
    replay.held = std::move(consumed);
    replay.end = static_cast<std::int64_t>(replay.held.size());
}

std::size_t replay_read(ReplayStream& r, std::int64_t at, std::span<std::uint8_t> out) {
    std::size_t done = 0;
    while (done < out.size()) {
        const std::int64_t p = at + static_cast<std::int64_t>(done);
        const std::span<std::uint8_t> rest = out.subspan(done);
        const auto held_size = static_cast<std::int64_t>(r.held.size());
        const std::int64_t window_start = std::max(held_size, r.end - window_size);
        std::size_t n = 0;
        if (p < 0) {
            break;
        } else if (p < held_size) {
            n = static_cast<std::size_t>(std::min<std::int64_t>(held_size - p, std::ssize(rest)));
            std::copy_n(r.held.begin() + p, n, rest.begin());
        } else if (p < window_start) {
            r.lost = true;
            break;
        } else if (p < r.end) {
            const std::int64_t w = p % window_size;
            n = static_cast<std::size_t>(
                std::min({r.end - p, window_size - w, static_cast<std::int64_t>(rest.size())}));
            std::copy_n(r.window.begin() + w, n, rest.begin());
        } else if (!may_read_ahead(r, p, rest.size())) {
            r.out_of_reach = true;
            break;
        } else if (!take(r, static_cast<std::size_t>(p - r.end) + rest.size())) {
            break;
        }
        done += n;
    }
    return done;
}

void replay_stop_holding(ReplayStream& replay) {
    replay.holding = false;
    replay.reaching_far = false;
}

std::optional<std::int64_t> replay_length(const ReplayStream& replay) {
    if (!replay.ended) return {};
    return replay.end;
}

} // namespace audiofile
