// Stopping a live run cleanly on SIGINT or SIGTERM.
//
//   stop_on_signals();                 // at the start of the run
//   while (!stop_requested()) ... ;       // the run checks between frames and while waiting
//   finish the output (whole samples, header sizes fixed) ...
//   end_by_stop_signal();                 // the process ends by the signal it received
//
// The first signal only sets the request (a read or write it interrupts is retried or ends the
// wait); the handler is then back to the default, so a second signal ends the process at once
// when the clean end itself cannot finish (a downstream that no longer reads).
#pragma once

namespace cli {

void stop_on_signals();

// True once SIGINT or SIGTERM has arrived after stop_on_signals.
bool stop_requested();

// Waits until `fd` has bytes to read (or its end, or an error, to report); false when a stop
// signal arrived first (only after stop_on_signals).
bool wait_readable(int fd);

// When a stop signal arrived: ends the process by that signal (the conventional status, 130 for
// SIGINT and 143 for SIGTERM in a shell). Returns otherwise.
void end_by_stop_signal();

} // namespace cli
