// Test support: run a program as a real process and capture everything it does.
//
//   ProcessResult r = run_process({"vantrel", "-h"});
//   r.status  -> exit status (or 128 + signal number when it was killed by a signal)
//   r.out     -> every byte written to standard output
//   r.err     -> every byte written to standard error
//
// Standard input is fed from `input` (or comes from /dev/null when it is empty) and the
// three streams are pumped together, so a chatty child never blocks on a full pipe.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <sys/types.h>
#include <vector>

namespace testsupport {

struct ProcessResult {
    int status = -1;
    std::string out;
    std::string err;
};

// argv[0] is looked up on PATH when it holds no slash. `input` goes to standard input.
ProcessResult run_process(const std::vector<std::string>& argv, const std::string& input = {});

// The peak resident memory in KiB that the peak_rss wrapper printed last on standard error;
// -1 when it printed none.
long peak_rss_kib(const ProcessResult& r);

// True in a sanitizer build: peak memory is then the sanitizer's (shadow memory, quarantine)
// and varies from run to run by several hundred KiB, so bounds on it are checked elsewhere.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool under_sanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool under_sanitizer = true;
#else
inline constexpr bool under_sanitizer = false;
#endif
#else
inline constexpr bool under_sanitizer = false;
#endif

// A program running with a live pipe on each standard stream, for tests that feed it piece by
// piece and watch what it does meanwhile:
//
//   LiveProcess p({vantrel_binary(), "AUDIO_FROM_STDIN"});
//   p.write(header);  p.wait_for_output(0, ...);   // standard output has brought 0 bytes so far
//   p.send(SIGINT);   int status = p.finish();     // status as run_process gives it
//
// The child starts with SIGINT and SIGTERM at their default action, and SIGPIPE too unless
// `sigpipe_ignored`. With `nonblocking_output` its standard output is non-blocking, as a parent
// that shares the pipe may leave it: a write to the full pipe fails with EAGAIN. Standard error
// is drained while waiting, so a chatty child never blocks.
struct LiveProcess {
    explicit LiveProcess(const std::vector<std::string>& argv, bool sigpipe_ignored = false,
                         bool nonblocking_output = false);
    ~LiveProcess(); // a child still running is killed and reaped
    LiveProcess(const LiveProcess&) = delete;
    LiveProcess& operator=(const LiveProcess&) = delete;

    // Writes all of `bytes` to the child's standard input; false when it no longer reads.
    bool write(const std::string& bytes);
    // Reads standard output until `total` bytes have come in all (or it ends, or `timeout`
    // passes); true when `out` holds at least `total` bytes.
    bool wait_for_output(size_t total, std::chrono::milliseconds timeout);
    // Waits until the child has taken every byte written to its standard input and all its
    // threads sleep (for more input, in a write to a full pipe, in a read that never returns),
    // without reading its outputs. For output that cannot be watched (a file). True once it
    // does (Linux).
    bool wait_until_idle(std::chrono::milliseconds timeout);
    // For a handler the child installs for one delivery: waits until it has taken `signal` (the
    // child no longer catches it). True once it has (Linux).
    bool wait_until_taken(int signal, std::chrono::milliseconds timeout);
    void close_input();
    // Closes the reading end of the child's standard output: the child's next write fails.
    void close_output();
    void send(int signal);
    // Waits up to `timeout` for the child to end, draining its outputs (unless not `draining`:
    // then they are read only once it has ended): its status (128 + signal when a signal ended
    // it), or -1 when it is still running.
    int wait_for_exit(std::chrono::milliseconds timeout, bool draining = true);
    // Closes standard input, reads both outputs to their end, and waits: the status.
    int finish();

    std::string out; // standard output so far
    std::string err; // standard error so far
  private:
    bool pump(int timeout_ms); // one poll round over the open outputs; false when none is open
    pid_t pid_ = -1;
    int status_ = -1;
    int in_ = -1, out_ = -1, err_ = -1;
};

// A command line for "sh -c": each word in single quotes (a quote inside written as '\''),
// joined by blanks. Redirections are appended by the caller, with their targets quoted too.
std::string shell_quote(const std::string& word);
std::string shell_command(const std::vector<std::string>& words);

// True when `name` is an executable on PATH.
bool have_program(const std::string& name);

// The built encoder, from the VANTREL_BINARY definition of the test target.
std::string vantrel_binary();

// A fresh, empty directory below the system's temporary directory; removed by the destructor.
struct TempDir {
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::filesystem::path path;
    std::filesystem::path operator/(const std::string& name) const { return path / name; }
};

std::string read_file(const std::filesystem::path& p);
void write_file(const std::filesystem::path& p, const std::string& bytes);

} // namespace testsupport
