// Ending a run cleanly on SIGINT or SIGTERM: the run stops between frames, writes everything it
// has made whole (frames, or audio with its header's sizes fixed), closes its files, and only
// then ends by the signal, so the parent sees the signal (status 130 or 143 in a shell) and the
// output holds whole frames or whole sample instants only.
//
//   stop_on_signals();                    before the loop (before it, a signal ends the program)
//   wait_readable(fd)                     instead of blocking in a read of live input
//   while (!stop_requested()) ...         checked between frames
//   end_by_stop_signal();                 after the output is finished and closed
//
// The first signal only sets the request: a read or write it interrupts returns with EINTR (no
// SA_RESTART), and the wait for input ends. Both signals are then back to their default action,
// so a second one, SIGINT or SIGTERM, ends the process at once when the clean end itself cannot
// finish (a downstream that no longer reads).
#pragma once

namespace cli {

// Installs the handlers for SIGINT and SIGTERM, except for a signal the parent set to be ignored
// (a background job, nohup), which stays ignored.
void stop_on_signals();

// True once SIGINT or SIGTERM has arrived after stop_on_signals; any thread may ask.
bool stop_requested();

// Waits until `fd` has something to read (or its end, or an error, which the read then finds),
// or until a stop signal came, whichever is first; a signal that came before the call counts
// too, so none is missed between a check and the wait. True when the input is ready, false when
// the run is to stop (only after stop_on_signals). The signal ends the wait of the thread that
// receives it: live input is waited for only by programs that run one thread meanwhile.
bool wait_readable(int fd);

// When a stop signal arrived: ends the process by that signal with its default action (the
// status a parent expects of it). Returns otherwise.
void end_by_stop_signal();

} // namespace cli
