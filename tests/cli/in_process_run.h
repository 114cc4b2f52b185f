// The encoding run that `vantrel -j NAME` makes after its options, inside the test's process:
// sweeps of thousands of damaged files cost a process each otherwise, and a sanitizer build
// spends most of such a short life starting it and checking it for leaks at the end.
//
//   watch_runs();                                       // once: a run over 20 s ends the process
//   EncodingRun r = run_in_process(path, "what it is");  // by name
//   EncodingRun p = run_piped_in_process(bytes, "...");  // the same bytes through a pipe
#pragma once

#include <string>

struct EncodingRun {
    int status = -1;
    std::string out; // the frames
    std::string err; // what the run wrote on standard error (through the C library's stderr)
};

// From now on a run that takes over 20 seconds, or one that a sanitizer ends, names itself on
// standard error (its label) before the process ends (status 124 for the timeout).
void watch_runs();

EncodingRun run_in_process(const std::string& path, const std::string& label);

// The bytes come through a pipe, written by a thread of the test, and the run reads the pipe by
// a name of it ("/dev/fd/N"), as it reads standard input on a pipe.
EncodingRun run_piped_in_process(const std::string& bytes, const std::string& label);
