// Ending a run on SIGINT or SIGTERM: the run stops between frames, writes every frame it has
// encoded, closes its files, and only then ends by the signal, so the parent sees the signal
// (status 130 or 143 in a shell) and the output holds whole frames only.
//
//   catch_stop_signals()         before the frame loop
//   wait_for_input(fd)           instead of blocking in a read of live input
//   stop_signal() != 0           checked between frames
//   end_by_signal(stop_signal()) after the output is closed
#pragma once

namespace cli {

// Installs the handlers for SIGINT and SIGTERM, except for a signal the parent set to be ignored
// (a background job, nohup), which stays ignored. A handler notes the signal and wakes
// wait_for_input; it does not restart a read or write it interrupts. It is installed for one
// delivery: a second SIGINT or SIGTERM ends the program at once, by the default action.
void catch_stop_signals();

// The signal that asked the run to stop, or 0.
int stop_signal();

// Waits until `fd` has something to read (or its end, or an error, which the read then finds),
// or until a stop signal came, whichever is first; a signal that came before the call counts
// too, so none is missed between a check and the wait. True when the input is ready, false when
// the run is to stop.
bool wait_for_input(int fd);

// Ends the process by `signal` with its default action (the status a parent expects of it).
// Returns only if the signal does not end the process.
void end_by_signal(int signal);

} // namespace cli
