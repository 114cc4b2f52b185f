#include "tools.h"

#include "audiofile/audiofile.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace toolstest {

std::string decode_binary() {
    return DECODE_BINARY;
}

std::string info_binary() {
    return INFO_BINARY;
}

Live::Live(const std::vector<std::string>& argv, const std::filesystem::path& errors,
           const std::string& output_file)
    : error_file(errors) {
    signal(SIGPIPE, SIG_IGN);
    int to_child[2], from_child[2];
    if (pipe2(to_child, O_CLOEXEC) != 0 || pipe2(from_child, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(to_child[0], 0);
        const int out = output_file.empty()
                            ? from_child[1]
                            : open(output_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        const int err = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(err, 2);
        execv(args[0], args.data());
        _exit(127);
    }
    close(to_child[0]);
    close(from_child[1]);
    in = to_child[1];
    out = from_child[0];
    fcntl(out, F_SETFL, O_NONBLOCK);
}

Live::~Live() {
    close_input();
    close_output();
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

void Live::write_all(const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = write(in, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error("write to the child failed");
        done += static_cast<size_t>(n);
    }
}

void Live::close_input() {
    if (in >= 0) close(in);
    in = -1;
}

void Live::close_output() {
    if (out >= 0) close(out);
    out = -1;
}

bool Live::read_until(std::string& got, size_t total, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    char buffer[65536];
    while (got.size() < total) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd ready{out, POLLIN, 0};
        if (poll(&ready, 1, static_cast<int>(left.count())) <= 0) continue;
        const ssize_t n = read(out, buffer, sizeof buffer);
        if (n == 0) return false;
        if (n > 0) got.append(buffer, static_cast<size_t>(n));
    }
    return true;
}

int Live::wait(std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            pid = -1;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string Live::error_text() const {
    return testsupport::read_file(error_file);
}

ReadBack read_back(const std::filesystem::path& file) {
    ReadBack r;
    audiofile::AudioInfo info{};
    auto handle = audiofile::audio_open(file.c_str(), "r", info);
    if (!handle) return r;
    r.opened = true;
    r.channels = info.channels;
    r.rate = info.sampling_frequency;
    r.sample_type = info.sample_type;
    r.count_known = info.num_samples_known;
    r.count = info.num_samples;
    std::vector<double> frame(static_cast<size_t>(std::max(info.channels, 1)));
    while ((!r.count_known || static_cast<long long>(r.samples.size() / frame.size()) < r.count) &&
           audiofile::audio_read(frame, *handle) == 0)
        r.samples.insert(r.samples.end(), frame.begin(), frame.end());
    audiofile::audio_close(handle);
    return r;
}

long long header_count(const std::filesystem::path& file) {
    const std::string h = testsupport::read_file(file);
    const auto byte = [&](size_t at) -> uint32_t {
        return at < h.size() ? static_cast<uint8_t>(h[at]) : 0;
    };
    const auto be32 = [&](size_t at) {
        return byte(at) << 24 | byte(at + 1) << 16 | byte(at + 2) << 8 | byte(at + 3);
    };
    const auto le32 = [&](size_t at) {
        return byte(at) | byte(at + 1) << 8 | byte(at + 2) << 16 | byte(at + 3) << 24;
    };
    const auto per_frame = [](uint32_t channels) { return channels == 0 ? 1u : 2 * channels; };
    const auto known = [](uint32_t size, uint32_t per) {
        return size == 0xFFFFFFFF ? -1LL : static_cast<long long>(size / per);
    };
    if (h.compare(0, 4, "RIFF") == 0) return known(le32(40), per_frame(byte(22) | byte(23) << 8));
    if (h.compare(0, 4, ".snd") == 0) return known(be32(8), per_frame(be32(20)));
    if (h.compare(0, 4, "FORM") == 0) {
        const size_t comm = h.find("COMM");
        return comm == std::string::npos ? -1 : be32(comm + 10) == 0 ? -1 : be32(comm + 10);
    }
    if (h.size() >= 512) return le32(54 * 4) == 0 ? -1 : le32(54 * 4);
    return -1;
}

std::vector<int16_t> pcm16(const std::string& bytes) {
    std::vector<int16_t> out(bytes.size() / 2);
    if (!out.empty()) std::memcpy(out.data(), bytes.data(), out.size() * 2);
    return out;
}

std::vector<float> float32(const std::string& bytes) {
    std::vector<float> out(bytes.size() / 4);
    if (!out.empty()) std::memcpy(out.data(), bytes.data(), out.size() * 4);
    return out;
}

} // namespace toolstest
