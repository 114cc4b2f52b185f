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

#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

struct ProcessResult {
    int status = -1;
    std::string out;
    std::string err;
};

// argv[0] is looked up on PATH when it holds no slash. `input` goes to standard input.
ProcessResult run_process(const std::vector<std::string>& argv, const std::string& input = {});

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
