// Stop signals: the handler records which signal came and writes a byte to a pipe of its own, so
// that a wait for input that starts after the signal still ends at once (poll sees the byte);
// the run looks at the record between frames and ends by re-raising the signal once its output
// is out.
//
//   SIGINT ──► handler: stop_requested = SIGINT, byte into the wake-up pipe, default action back
//          ──► wait_for_input returns false (poll: the wake-up pipe is readable)
//          ──► frame loop sees stop_signal() ──► last whole frames written, files closed
//          ──► end_by_signal: raise(SIGINT) with the default action ──► parent sees SIGINT
#include "cli/encode/signals.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

namespace cli {

namespace {

volatile std::sig_atomic_t stop_requested = 0;
std::array<int, 2> wake_up = {-1, -1}; // read end, write end; both non-blocking

extern "C" void note_stop_signal(int signal) {
    const int saved = errno;
    stop_requested = signal;
    const char byte = 0;
    if (wake_up[1] >= 0) {
        const ssize_t written = write(wake_up[1], &byte, 1); // a full pipe has woken us already
        (void)written;
    }
    errno = saved;
}

void catch_one(int signal) {
    struct sigaction current {};
    if (sigaction(signal, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) return;
    struct sigaction action {};
    action.sa_handler = note_stop_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND; // no SA_RESTART: a blocked read or write returns with EINTR
    sigaction(signal, &action, nullptr);
}

} // namespace

void catch_stop_signals() {
    if (wake_up[0] < 0 && pipe2(wake_up.data(), O_CLOEXEC | O_NONBLOCK) != 0) wake_up = {-1, -1};
    catch_one(SIGINT);
    catch_one(SIGTERM);
}

int stop_signal() {
    return stop_requested;
}

bool wait_for_input(int fd) {
    while (stop_requested == 0) {
        std::array<pollfd, 2> watched = {{{fd, POLLIN, 0}, {wake_up[0], POLLIN, 0}}};
        const int ready = poll(watched.data(), watched.size(), -1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0 || watched[0].revents != 0) return stop_requested == 0;
    }
    return false;
}

void end_by_signal(int signal) {
    std::signal(signal, SIG_DFL);
    sigset_t only{};
    sigemptyset(&only);
    sigaddset(&only, signal);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    std::raise(signal);
}

} // namespace cli
