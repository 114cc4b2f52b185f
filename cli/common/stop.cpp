// Stop signals: a flag set by a one-shot handler, and a wait that a signal can end without a
// race. Between checking the flag and sleeping in poll a signal could slip through and leave
// the wait blocked forever; so the signals are blocked while the flag is checked, and ppoll
// unblocks them only for the time it sleeps.
//
//   SIGINT ──► handler: received = SIGINT, default action back for SIGINT and SIGTERM both
//          ──► wait_readable returns false (ppoll ends with EINTR, or the flag was already set)
//          ──► the loop sees stop_requested() ──► last whole frames written, files closed
//          ──► end_by_stop_signal: raise(SIGINT) with the default action ──► parent sees SIGINT
#include "cli/common/stop.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <poll.h>

namespace cli {

namespace {

// Set by the handler, read by every thread of the run (the threaded encoder's workers too): a
// lock-free atomic, which a signal handler may touch.
std::atomic<int> received = 0;
static_assert(std::atomic<int>::is_always_lock_free);
bool catching = false;

constexpr std::array<int, 2> stop_signal_numbers = {SIGINT, SIGTERM};
// Which of them have our handler (a signal the parent ignores keeps being ignored); set before
// the handlers are installed, only read by them.
std::array<bool, 2> handled = {false, false};

// Records the request, and gives both signals their default action back, so that a second one,
// whichever it is, ends the process at once (sigaction may be called in a handler).
void on_stop(int signal) {
    received = signal;
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    for (size_t i = 0; i < stop_signal_numbers.size(); ++i)
        if (handled[i]) sigaction(stop_signal_numbers[i], &default_action, nullptr);
}

sigset_t stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : stop_signal_numbers) sigaddset(&set, signal);
    return set;
}

} // namespace

void stop_on_signals() {
    struct sigaction action {};
    action.sa_handler = on_stop;
    // While one of them is handled the other waits, and comes after it with the default action.
    action.sa_mask = stop_signals();
    // No SA_RESTART: a read waiting on a pipe returns, so the run sees the request.
    action.sa_flags = 0;
    for (size_t i = 0; i < stop_signal_numbers.size(); ++i) {
        struct sigaction previous {};
        // A signal ignored by whoever started us (nohup, a background job) stays ignored.
        handled[i] = !(sigaction(stop_signal_numbers[i], nullptr, &previous) == 0 &&
                       previous.sa_handler == SIG_IGN);
    }
    for (size_t i = 0; i < stop_signal_numbers.size(); ++i)
        if (handled[i]) sigaction(stop_signal_numbers[i], &action, nullptr);
    catching = true;
}

bool stop_requested() {
    return received != 0;
}

bool wait_readable(int fd) {
    pollfd watched{fd, POLLIN, 0};
    if (!catching) {
        while (poll(&watched, 1, -1) < 0 && errno == EINTR) {
        }
        return true;
    }
    const sigset_t block = stop_signals();
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &block, &previous);
    while (received == 0 && ppoll(&watched, 1, nullptr, &previous) < 0 && errno == EINTR) {
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    return received == 0;
}

void end_by_stop_signal() {
    const int signal = received.load();
    if (signal == 0) return;
    std::signal(signal, SIG_DFL);
    const sigset_t unblock = stop_signals();
    sigprocmask(SIG_UNBLOCK, &unblock, nullptr);
    std::raise(signal);
}

} // namespace cli
