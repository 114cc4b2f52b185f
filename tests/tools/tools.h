// What the tests of vantrel-decode and vantrel-info share: the programs, a process whose
// standard input and output stay open as pipes while the test talks to it, and reading the
// audio a run wrote back through the audio file library.
#pragma once

#include "process.h"

#include <chrono>
#include <filesystem>
#include <string>
#include <sys/types.h>
#include <vector>

namespace toolstest {

std::string decode_binary();
std::string info_binary();

// A running program with pipes on its standard input and output (standard error goes to a
// file, read by `error_text`). SIGPIPE is ignored in the child, as a shell under a test harness
// may leave it, so that a closed downstream shows as a failed write.
struct Live {
    pid_t pid = -1;
    int in = -1;  // write end of its standard input
    int out = -1; // read end of its standard output
    std::filesystem::path error_file;

    Live(const std::vector<std::string>& argv, const std::filesystem::path& error_file,
         const std::string& output_file = "");
    ~Live();
    Live(const Live&) = delete;
    Live& operator=(const Live&) = delete;

    void write_all(const std::string& bytes);
    void close_input();
    void close_output();
    // Reads until `total` bytes have come in all (into `got`) or `limit` passes; false then.
    bool read_until(std::string& got, size_t total, std::chrono::seconds limit);
    // Waits for the process to end (killing it after `limit`); its status as run_process gives
    // it (128 + signal when a signal ended it), or -1 when it had to be killed.
    int wait(std::chrono::seconds limit);
    std::string error_text() const;
};

// Audio read back through the audio file library, as the encoder would read it.
struct ReadBack {
    bool opened = false;
    int channels = 0, rate = 0, sample_type = -1;
    bool count_known = false;
    long long count = 0;         // what the header (or the file size) says
    std::vector<double> samples; // every sample read, interleaved
};
ReadBack read_back(const std::filesystem::path& file);

// The sample frames a WAVE, Sun, AIFF/AIFC or 512-byte header states in its own fields (16-bit
// samples), or -1 when it states none (a placeholder) or the file is none of these.
long long header_count(const std::filesystem::path& file);

// Little-endian 16-bit or 32-bit float samples from bytes.
std::vector<int16_t> pcm16(const std::string& bytes);
std::vector<float> float32(const std::string& bytes);

} // namespace toolstest
