#include "process.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <random>
#include <signal.h>
#include <sstream>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

namespace testsupport {

namespace {

struct Pipe {
    int fd[2] = {-1, -1};
    Pipe() {
        if (pipe2(fd, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    }
    ~Pipe() {
        for (int f : fd)
            if (f >= 0) close(f);
    }
    void close_end(int i) {
        if (fd[i] >= 0) close(fd[i]);
        fd[i] = -1;
    }
};

} // namespace

ProcessResult run_process(const std::vector<std::string>& argv, const std::string& input) {
    // A child that exits before reading its input must not kill us with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    Pipe in, out, err;
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        if (input.empty()) {
            int null_fd = open("/dev/null", O_RDONLY);
            dup2(null_fd, 0);
        } else {
            dup2(in.fd[0], 0);
        }
        dup2(out.fd[1], 1);
        dup2(err.fd[1], 2);
        execvp(args[0], args.data());
        _exit(127);
    }
    in.close_end(0);
    out.close_end(1);
    err.close_end(1);
    if (input.empty()) in.close_end(1);

    ProcessResult result;
    size_t written = 0;
    if (in.fd[1] >= 0) fcntl(in.fd[1], F_SETFL, O_NONBLOCK);
    std::array<char, 65536> chunk{};
    while (out.fd[0] >= 0 || err.fd[0] >= 0) {
        std::array<pollfd, 3> fds{};
        nfds_t n = 0;
        if (out.fd[0] >= 0) fds[n++] = {out.fd[0], POLLIN, 0};
        if (err.fd[0] >= 0) fds[n++] = {err.fd[0], POLLIN, 0};
        if (in.fd[1] >= 0) fds[n++] = {in.fd[1], POLLOUT, 0};
        if (poll(fds.data(), n, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (nfds_t i = 0; i < n; ++i) {
            if (fds[i].revents == 0) continue;
            int fd = fds[i].fd;
            if (fd == in.fd[1]) {
                ssize_t w = write(fd, input.data() + written, input.size() - written);
                if (w > 0) written += static_cast<size_t>(w);
                if (w < 0 && errno != EAGAIN) written = input.size();
                if (written >= input.size()) in.close_end(1);
                continue;
            }
            ssize_t r = read(fd, chunk.data(), chunk.size());
            std::string& sink = fd == out.fd[0] ? result.out : result.err;
            if (r > 0) {
                sink.append(chunk.data(), static_cast<size_t>(r));
            } else if (r == 0 || errno != EINTR) {
                if (fd == out.fd[0])
                    out.close_end(0);
                else
                    err.close_end(0);
            }
        }
    }
    in.close_end(1);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

LiveProcess::LiveProcess(const std::vector<std::string>& argv, bool sigpipe_ignored,
                         bool nonblocking_output) {
    signal(SIGPIPE, SIG_IGN); // writing to a child that has ended must not end the test
    Pipe in, out, err;
    if (nonblocking_output) fcntl(out.fd[1], F_SETFL, O_NONBLOCK);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        signal(SIGPIPE, sigpipe_ignored ? SIG_IGN : SIG_DFL);
        dup2(in.fd[0], 0);
        dup2(out.fd[1], 1);
        dup2(err.fd[1], 2);
        execvp(args[0], args.data());
        _exit(127);
    }
    std::swap(in_, in.fd[1]);
    std::swap(out_, out.fd[0]);
    std::swap(err_, err.fd[0]);
}

LiveProcess::~LiveProcess() {
    for (int fd : {in_, out_, err_})
        if (fd >= 0) close(fd);
    if (status_ < 0 && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

bool LiveProcess::write(const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t w = ::write(in_, bytes.data() + done, bytes.size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        done += static_cast<size_t>(w);
    }
    return true;
}

bool LiveProcess::pump(int timeout_ms) {
    std::array<pollfd, 2> fds{};
    nfds_t n = 0;
    if (out_ >= 0) fds[n++] = {out_, POLLIN, 0};
    if (err_ >= 0) fds[n++] = {err_, POLLIN, 0};
    if (n == 0) return false;
    if (poll(fds.data(), n, timeout_ms) <= 0) return true;
    std::array<char, 65536> chunk{};
    for (nfds_t i = 0; i < n; ++i) {
        if (fds[i].revents == 0) continue;
        int& fd = fds[i].fd == out_ ? out_ : err_;
        const ssize_t r = read(fd, chunk.data(), chunk.size());
        if (r > 0) {
            (&fd == &out_ ? out : err).append(chunk.data(), static_cast<size_t>(r));
        } else if (r == 0 || errno != EINTR) {
            close(fd);
            fd = -1;
        }
    }
    return true;
}

bool LiveProcess::wait_for_output(size_t total, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (out.size() < total && out_ >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pump(static_cast<int>(left.count()));
    }
    return out.size() >= total;
}

namespace {

// Checks `done` every 5 ms until it holds (true) or `timeout` has passed (false).
template <class Check> bool poll_until(std::chrono::milliseconds timeout, Check done) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        usleep(5000);
    }
    return true;
}

// The first line of /proc/<pid>/<file> that starts with `prefix` ("" when there is none).
std::string proc_line(pid_t pid, const char* file, const std::string& prefix) {
    std::ifstream lines("/proc/" + std::to_string(pid) + "/" + file);
    std::string line;
    while (std::getline(lines, line))
        if (line.rfind(prefix, 0) == 0) return line;
    return "";
}

// True when every thread of `pid` sleeps: state S in each /proc/<pid>/task/<tid>/stat, whose
// line reads "tid (name) state ...".
bool every_thread_sleeps(pid_t pid) {
    std::error_code error;
    bool any = false;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::ifstream file(task.path() / "stat");
        std::string stat;
        std::getline(file, stat);
        const size_t name_end = stat.rfind(')');
        if (name_end == std::string::npos || stat.size() <= name_end + 2 ||
            stat[name_end + 2] != 'S')
            return false;
        any = true;
    }
    return any;
}

} // namespace

bool LiveProcess::wait_until_idle(std::chrono::milliseconds timeout) {
    return poll_until(timeout, [&] { // standard output is left alone: a full pipe is a sleep too
        int unread = -1;
        return every_thread_sleeps(pid_) && ioctl(in_, FIONREAD, &unread) == 0 && unread == 0;
    });
}

bool LiveProcess::wait_until_taken(int signal, std::chrono::milliseconds timeout) {
    return poll_until(timeout, [&] {
        const std::string caught = proc_line(pid_, "status", "SigCgt:");
        return caught.empty() ||
               (std::stoull(caught.substr(7), nullptr, 16) >> (signal - 1) & 1) == 0;
    });
}

void LiveProcess::close_input() {
    if (in_ >= 0) close(in_);
    in_ = -1;
}

void LiveProcess::close_output() {
    if (out_ >= 0) close(out_);
    out_ = -1;
}

void LiveProcess::send(int signal) {
    if (status_ < 0) kill(pid_, signal);
}

int LiveProcess::wait_for_exit(std::chrono::milliseconds timeout, bool draining) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (status_ < 0) {
        int raw = 0;
        if (waitpid(pid_, &raw, WNOHANG) == pid_) {
            status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            // What it wrote just before it ended may still be in the pipes.
            for (int rounds = 0; rounds < 100 && pump(10); ++rounds) {
            }
            break;
        }
        if (std::chrono::steady_clock::now() >= end) break;
        if (!draining || !pump(10)) usleep(10000);
    }
    return status_;
}

int LiveProcess::finish() {
    close_input();
    while (pump(-1)) {
    }
    return wait_for_exit(std::chrono::hours(1));
}

std::string shell_quote(const std::string& word) {
    std::string quoted = "'";
    for (char c : word) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    quoted += '\'';
    return quoted;
}

std::string shell_command(const std::vector<std::string>& words) {
    std::string command;
    for (const auto& word : words) {
        if (!command.empty()) command += ' ';
        command += shell_quote(word);
    }
    return command;
}

bool have_program(const std::string& name) {
    const char* path = std::getenv("PATH");
    if (path == nullptr) return false;
    std::stringstream dirs(path);
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (!dir.empty() && access((dir + "/" + name).c_str(), X_OK) == 0) return true;
    }
    return false;
}

std::string vantrel_binary() {
#ifdef VANTREL_BINARY
    return VANTREL_BINARY;
#else
    return "vantrel";
#endif
}

TempDir::TempDir() {
    std::random_device rd;
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto p = std::filesystem::temp_directory_path() /
                 ("vantrel-test-" + std::to_string(getpid()) + "-" + std::to_string(rd()));
        if (std::filesystem::create_directory(p)) {
            path = p;
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary directory");
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

std::string read_file(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void write_file(const std::filesystem::path& p, const std::string& bytes) {
    std::ofstream f(p, std::ios::binary);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

long peak_rss_kib(const ProcessResult& r) {
    const size_t at = r.err.rfind("peak_rss_kib ");
    return at == std::string::npos ? -1L : std::stol(r.err.substr(at + 13));
}

} // namespace testsupport
